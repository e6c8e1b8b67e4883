// The cache of the card's public objects: a program that starts after
// another has read the card proves each certificate with two commands
// instead of reading it; whatever the card does not prove (a renewed
// certificate, another card under the same serial number) is read again,
// and a cache file that cannot be trusted is never used.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "openssl_reference.h"
#include "p11_harness.h"

namespace vela::test {
namespace {

namespace fs = std::filesystem;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class Pkcs11Cache : public P11Test {
 protected:
  fs::path Folder() const { return fs::path(cacheHome_) / "vela3ro"; }
  // The one card file in the folder.
  fs::path CardFile() const {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Folder(), ec)) {
      if (entry.path().filename().string().rfind("card-", 0) == 0) files.push_back(entry.path());
    }
    return files.size() == 1 ? files.front() : fs::path();
  }
  // A program that starts anew and lists every object; what the card sent
  // and received for the listing alone.
  struct Listing {
    std::vector<Bytes> certificates;
    std::vector<Bytes> points;
    std::size_t commands = 0;
    std::size_t bytes = 0;
  };
  Listing Restart() {
    EXPECT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
    const CK_SESSION_HANDLE session = Open();
    card()->ClearCounters();
    Listing listing;
    for (const CK_OBJECT_HANDLE object : Find(session)) {
      CK_OBJECT_CLASS objectClass = 0;
      CK_ATTRIBUTE read{CKA_CLASS, &objectClass, sizeof(objectClass)};
      EXPECT_EQ(p11()->C_GetAttributeValue(session, object, &read, 1), CKR_OK);
      if (objectClass == CKO_CERTIFICATE) listing.certificates.push_back(Attribute(session, object, CKA_VALUE));
      if (objectClass == CKO_PUBLIC_KEY) listing.points.push_back(Attribute(session, object, CKA_EC_POINT));
    }
    listing.commands = card()->TotalCommands();
    listing.bytes = card()->BytesIn() + card()->BytesOut();
    return listing;
  }
  // The card's own certificates, as a listing must show them.
  std::vector<Bytes> CardCertificates() {
    std::vector<Bytes> certificates;
    for (const std::uint16_t file : {0xC000, 0x4331, 0xC500, 0x4371, 0xC200, 0x43B1, 0xC201, 0xC001}) {
      certificates.push_back(card()->Certificate(file));
    }
    return certificates;
  }
};

TEST_F(Pkcs11Cache, WarmStartProvesEachCertificateWithTwoCommands) {
  const Listing cold = Restart();
  EXPECT_EQ(cold.certificates, CardCertificates());
  EXPECT_EQ(cold.commands, 59u);
  const fs::path file = CardFile();
  ASSERT_FALSE(file.empty()) << "no cache written";
  struct stat info{};
  ASSERT_EQ(stat(Folder().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const Listing warm = Restart();
  EXPECT_EQ(warm.certificates, cold.certificates);
  EXPECT_EQ(warm.points, cold.points);
  // The container map, then per container SELECT and READ BINARY.
  EXPECT_EQ(warm.commands, 1u + 2 * 8);
  EXPECT_LE(warm.bytes * 5, cold.bytes) << "warm " << warm.bytes << " bytes, cold " << cold.bytes;
  EXPECT_EQ(card()->CommandCount(0xB0), 8u);
}

// What the card does not prove is read from it again, and the cache follows.
TEST_F(Pkcs11Cache, RenewedCertificateOrAnotherCardIsReadAgain) {
  Restart();
  struct Case {
    const char* name;
    std::function<emu::Personalisation()> card;
    std::size_t reread;  // containers read whole from the card
  };
  const Case cases[] = {
      // Container 2's certificate issued anew at another length; the key stays.
      {"a renewed certificate",
       [] {
         emu::Personalisation renewed;
         renewed.certificateSizes[0xC500] = 480;
         return renewed;
       },
       1},
      // The same serial number on a card with keys and certificates of its own.
      {"another card with the same serial number",
       [] {
         emu::Personalisation other;
         other.seed = 77;
         return other;
       },
       8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CardRack::Get().Insert(kReader, c.card());
    const Listing changed = Restart();
    EXPECT_EQ(changed.certificates, CardCertificates());
    // Each container read whole costs its key (3) and certificate (4 or 5)
    // beside the two commands of its failed proof.
    EXPECT_GE(changed.commands, 1u + 2 * 8 + 7 * c.reread);
    const Listing again = Restart();
    EXPECT_EQ(again.certificates, CardCertificates());
    EXPECT_EQ(again.commands, 1u + 2 * 8) << "the cache was not rewritten";
  }
}

// A file that cannot be trusted is not read, and a new one replaces it.
TEST_F(Pkcs11Cache, UntrustworthyFilesAreIgnoredAndReplaced) {
  Restart();
  const fs::path file = CardFile();
  ASSERT_FALSE(file.empty());
  const Bytes good = ReadFile(file);
  const auto put = [&](const Bytes& bytes, mode_t mode) {
    fs::remove(file);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    chmod(file.c_str(), mode);
  };
  // Another card's file under this card's name: a cache of the card with seed 9.
  Bytes foreign;
  {
    emu::Personalisation other;
    other.serial = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    CardRack::Get().Insert(kReader, other);
    Restart();
    for (const auto& entry : fs::directory_iterator(Folder())) {
      if (entry.path() != file) foreign = ReadFile(entry.path());
    }
    CardRack::Get().Insert(kReader);
  }
  ASSERT_FALSE(foreign.empty());
  const fs::path elsewhere = fs::path(cacheHome_) / "elsewhere";
  struct Case {
    const char* name;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"a byte changed",
       [&] {
         Bytes bad = good;
         bad[bad.size() / 2] ^= 0x01;
         put(bad, 0600);
       }},
      {"cut short", [&] { put(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2)), 0600); }},
      {"readable by others", [&] { put(good, 0644); }},
      {"another card's", [&] { put(foreign, 0600); }},
      {"a symbolic link to a good copy",
       [&] {
         put(good, 0600);
         fs::rename(file, elsewhere);
         fs::create_symlink(elsewhere, file);
       }},
      {"a hard link",
       [&] {
         put(good, 0600);
         fs::create_hard_link(file, elsewhere);
       }},
      {"a directory", [&] {
         fs::remove(file);
         fs::create_directory(file);
       }},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  if (geteuid() == 0) {
    all.push_back({"another user's", [&] {
                     put(good, 0600);
                     ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
                   }});
  }
  for (const Case& c : all) {
    SCOPED_TRACE(c.name);
    fs::remove(elsewhere);
    c.plant();
    const Listing listing = Restart();
    EXPECT_EQ(listing.certificates, CardCertificates());
    EXPECT_EQ(listing.commands, 59u) << "the planted file was used";
    if (fs::is_directory(fs::symlink_status(file))) {
      fs::remove(file);
      continue;  // a directory is not replaced; the next start writes the file
    }
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << "not replaced";
    EXPECT_EQ(ReadFile(file), good);
    if (fs::exists(elsewhere)) {
      EXPECT_EQ(ReadFile(elsewhere), good) << "written through the link";
    }
  }
  // A folder others may enter is neither read nor written.
  fs::permissions(Folder(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  EXPECT_EQ(Restart().commands, 59u);
  fs::remove(file);
  Restart();
  EXPECT_FALSE(fs::exists(file));
}

// The administrator's switch: every program reads the card, nothing is kept.
TEST_F(Pkcs11Cache, SwitchedOffReadsTheCardAndKeepsNothing) {
  SetRegistryString(kSettingsKey, "Pkcs11Cache", "FALSE");
  EXPECT_EQ(Restart().commands, 59u);
  EXPECT_EQ(Restart().commands, 59u);
  EXPECT_FALSE(fs::exists(Folder()));
}

}  // namespace
}  // namespace vela::test
