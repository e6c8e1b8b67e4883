// The cache of the card's public objects: a program that starts after
// another has read the card proves each cached certificate's identity with
// one short read (card_proof.h) instead of reading it and the public key
// through the minidriver, and needs the minidriver for nothing else; a card
// that changed (renewed, another card under the same serial number, a
// container added or removed) is read again and listed as a cold start
// lists it, and a cache file that is damaged or cannot be trusted is never
// used.
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "emulator/hex.h"
#include "p11_harness.h"
#include "pkcs11/object_cache.h"

namespace vela::test {
namespace {

namespace fs = std::filesystem;
using emu::Bytes;

// The certificate files of the card's containers, in container order.
struct CertificateFile {
  std::uint16_t df;
  std::uint16_t file;
};
constexpr CertificateFile kCertificateFiles[] = {{0xDF02, 0xC000}, {0xDF02, 0x4331}, {0xDF02, 0xC500},
                                                 {0xDF02, 0x4371}, {0xDF02, 0xC200}, {0xDF02, 0x43B1},
                                                 {0xDF02, 0xC201}, {0xDF01, 0xC001}};
// How many of a certificate's last bytes the proof reads.
constexpr std::size_t kProofBytes = 16;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const Bytes& bytes, mode_t mode = 0600) {
  fs::remove(path);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  chmod(path.c_str(), mode);
}

// A file's fields changed, its digest made to fit again.
Bytes WithDigest(Bytes body) {
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(body.data(), body.size(), digest);
  body.insert(body.end(), digest, digest + sizeof(digest));
  return body;
}

std::string Word(std::uint16_t value) {
  const std::uint8_t bytes[] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  return emu::HexText(bytes);
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
    std::vector<CK_OBJECT_CLASS> classes;
    std::vector<Bytes> certificates;
    std::vector<Bytes> points;   // CKA_EC_POINT of the public and the private key
    std::vector<Bytes> derived;  // every object's label, id, subject, issuer, serial number and key info
    std::size_t commands = 0;
    std::size_t bytes = 0;
    bool operator==(const Listing& other) const {
      return classes == other.classes && certificates == other.certificates && points == other.points &&
             derived == other.derived;
    }
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
      listing.classes.push_back(objectClass);
      if (objectClass == CKO_CERTIFICATE) listing.certificates.push_back(Attribute(session, object, CKA_VALUE));
      if (objectClass == CKO_PUBLIC_KEY) listing.points.push_back(Attribute(session, object, CKA_EC_POINT));
      for (const CK_ATTRIBUTE_TYPE type :
           {CKA_LABEL, CKA_ID, CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_PUBLIC_KEY_INFO}) {
        CK_ATTRIBUTE probe{type, nullptr, 0};
        if (p11()->C_GetAttributeValue(session, object, &probe, 1) == CKR_OK) {
          listing.derived.push_back(Attribute(session, object, type));
        }
      }
    }
    const std::size_t commands = card()->TotalCommands();
    const std::size_t bytes = card()->BytesIn() + card()->BytesOut();
    // The private keys' points and key info, seen once logged in.
    Login(session);
    for (const CK_OBJECT_HANDLE object : Find(session)) {
      CK_OBJECT_CLASS objectClass = 0;
      CK_ATTRIBUTE read{CKA_CLASS, &objectClass, sizeof(objectClass)};
      EXPECT_EQ(p11()->C_GetAttributeValue(session, object, &read, 1), CKR_OK);
      if (objectClass != CKO_PRIVATE_KEY) continue;
      listing.classes.push_back(objectClass);
      listing.points.push_back(Attribute(session, object, CKA_EC_POINT));
      listing.derived.push_back(Attribute(session, object, CKA_PUBLIC_KEY_INFO));
      listing.derived.push_back(Attribute(session, object, CKA_LABEL));
    }
    listing.commands = commands;
    listing.bytes = bytes;
    return listing;
  }
  // A cold listing of the card there now, with an empty cache of its own.
  Listing Cold() {
    const std::string saved = cacheHome_;
    char folder[] = "/tmp/vela-p11-cold-XXXXXX";
    EXPECT_NE(mkdtemp(folder), nullptr);
    setenv("XDG_CACHE_HOME", folder, 1);
    const Listing cold = Restart();
    setenv("XDG_CACHE_HOME", saved.c_str(), 1);
    fs::remove_all(folder);
    return cold;
  }
  // What a warm listing of a card with all its containers sends: per
  // container SELECT of its certificate file and one READ BINARY.
  static constexpr std::size_t kWarmCommands = 2 * std::size(kCertificateFiles);
  // The card's own certificates, as a listing must show them.
  std::vector<Bytes> CardCertificates() {
    std::vector<Bytes> certificates;
    for (const CertificateFile& file : kCertificateFiles) certificates.push_back(card()->Certificate(file.file));
    return certificates;
  }
};

// A warm start sends the card's serial number's read, the proofs and the
// PIN's status at the end of the program's use, and nothing else: the
// minidriver is not acquired for a listing. Command for command, so that
// one more (or one fewer) fails.
TEST_F(Pkcs11Cache, WarmStartSendsTheProofsAlone) {
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

  // A whole program: initialise, open a session, list, close, finalise.
  ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
  card()->ClearTrace();
  ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
  const CK_SESSION_HANDLE session = Open();
  std::vector<Bytes> certificates;
  CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
  for (const CK_OBJECT_HANDLE object : Find(session, {{CKA_CLASS, &certificateClass, sizeof(certificateClass)}})) {
    certificates.push_back(Attribute(session, object, CKA_VALUE));
  }
  EXPECT_EQ(p11()->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(certificates, CardCertificates());

  std::vector<std::string> expected = {"> 00 A4 08 0C 02 2F 02", "> 00 B0 00 02 0A"};
  for (const CertificateFile& f : kCertificateFiles) {
    const std::size_t size = card()->Certificate(f.file).size();
    expected.push_back("> 00 A4 08 0C 04 " + Word(f.df) + " " + Word(f.file));
    expected.push_back("> 00 B0 " + Word(static_cast<std::uint16_t>(size - kProofBytes)) + " 10");
  }
  // The program ends its use of the card: is a PIN left verified on it?
  expected.push_back("> 00 20 00 03");
  std::vector<std::string> sent;
  for (const std::string& line : card()->Trace()) {
    if (line.rfind("> ", 0) == 0) sent.push_back(line);
  }
  EXPECT_EQ(sent, expected);
  ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);

  const Listing warm = Restart();
  EXPECT_EQ(warm, cold);
  EXPECT_EQ(warm.commands, kWarmCommands);
  EXPECT_LE(warm.bytes * 10, cold.bytes) << "warm " << warm.bytes << " bytes, cold " << cold.bytes;
}

// A card that is no longer what the cache holds is listed as a cold start
// lists it, object for object and byte for byte, and the cache follows it:
// the next start is warm again.
TEST_F(Pkcs11Cache, StaleCardsAreListedAsTheyAre) {
  const auto with = [](const std::function<void(emu::Personalisation&)>& change) {
    emu::Personalisation p;
    change(p);
    return p;
  };
  const emu::Personalisation standard;
  // Two certificates of one key, each in the other's file.
  emu::Personalisation swapped;
  {
    const emu::VelaCard source(standard);
    swapped.files = {{0xDF02, 0xC500, source.Certificate(0x4371)}, {0xDF02, 0x4371, source.Certificate(0xC500)}};
  }
  struct Case {
    const char* name;
    emu::Personalisation before;  // the card the cache was written for
    emu::Personalisation after;   // the card in the reader now
  };
  const Case cases[] = {
      {"renewed with the same keys", standard, with([](auto& p) { p.certificateGeneration = 1; })},
      {"renewed with new keys", standard, with([](auto& p) { p.keyGeneration = p.certificateGeneration = 1; })},
      {"another issuer, the same certificate serial numbers", standard,
       with([](auto& p) { p.caName = "Another Test CA"; })},
      {"another card with the same serial number", standard, with([](auto& p) { p.seed = 8; })},
      {"another card with the same serial number and another ATR", standard, with([](auto& p) {
         p.seed = 8;
         p.atr = *emu::ParseHex("3B8A018056454C414733019000F0");
       })},
      // Container 7, whose certificate is the last issued: the others stay as they were.
      {"a container added", with([](auto& p) { p.container7 = false; }), standard},
      {"a container removed", standard, with([](auto& p) { p.container7 = false; })},
      {"a certificate added", with([](auto& p) { p.files = {{0xDF02, 0xC500, std::nullopt}}; }), standard},
      {"certificates moved between containers", standard, swapped},
      {"a certificate of another length", standard, with([](auto& p) { p.certificateSizes[0xC000] = 480; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Folder());
    CardRack::Get().Insert(kReader, c.before);
    const Listing first = Restart();
    EXPECT_LT(Restart().commands, first.commands) << "the cache of the card before was not used";
    CardRack::Get().Insert(kReader, c.after);
    const Listing stale = Restart();
    const Listing cold = Cold();
    EXPECT_EQ(stale, cold) << "the cache showed what the card no longer holds";
    // Read from the cache, which costs less than a cold start; a stale
    // cache kept would cost more (its proofs, then the reads).
    const Listing again = Restart();
    EXPECT_EQ(again, cold);
    EXPECT_LT(again.commands, cold.commands) << "the cache was not rewritten";
  }
}

// A file that is damaged or cannot be trusted is not read, and a new one
// replaces it.
TEST_F(Pkcs11Cache, UntrustworthyFilesAreIgnoredAndReplaced) {
  Restart();
  const fs::path file = CardFile();
  ASSERT_FALSE(file.empty());
  const Bytes good = ReadFile(file);
  const auto put = [&](const Bytes& bytes, mode_t mode) { WriteFile(file, bytes, mode); };
  const auto flipped = [&](std::size_t at) {
    Bytes bad = good;
    bad[at] ^= 0x01;
    return bad;
  };
  const auto cut = [&](std::size_t length) { return Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length)); };
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
      {"a byte flipped in a certificate", [&] { put(flipped(good.size() / 2), 0600); }},
      {"a byte flipped in the card's serial number", [&] { put(flipped(12), 0600); }},
      {"a byte flipped in the digest", [&] { put(flipped(good.size() - 1), 0600); }},
      {"cut short by half", [&] { put(cut(good.size() / 2), 0600); }},
      {"cut short by one byte", [&] { put(cut(good.size() - 1), 0600); }},
      {"empty", [&] { put({}, 0600); }},
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

// A cache file whose digest fits but whose fields do not (a file of another
// version or of another card, one cut short or grown and its digest made
// anew, a key that is not the certificate's) shows nothing the card does not
// hold: each listing equals a cold one, and what does not fit is read from
// the card again. A certificate altered inside the file on purpose, its
// digest made to fit, is the user's own programs' doing, which the cache
// does not defend against (docs/pkcs11.md).
TEST_F(Pkcs11Cache, RewrittenFileShowsWhatTheCardHolds) {
  const Listing cold = Restart();
  const fs::path file = CardFile();
  ASSERT_FALSE(file.empty());
  const Bytes good = ReadFile(file);
  const std::optional<pkcs11::CachedCard> parsed = pkcs11::ObjectCache::Parse(good);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->containers.size(), 8u);
  const pkcs11::ContainerData& other = parsed->containers[2];
  const auto rewrite = [&](const std::function<void(pkcs11::CachedCard&)>& change) {
    pkcs11::CachedCard card = *parsed;
    change(card);
    return pkcs11::ObjectCache::Encode(card);
  };
  const auto body = [&] { return Bytes(good.begin(), good.end() - SHA256_DIGEST_LENGTH); };
  struct Case {
    const char* name;
    std::function<Bytes()> file;
    bool fileUsed;  // the other containers still come from it
  };
  const Case cases[] = {
      {"another container's point",
       [&] { return rewrite([&](pkcs11::CachedCard& c) { c.containers[0].point = other.point; }); }, true},
      {"a certificate that does not parse",
       [&] { return rewrite([&](pkcs11::CachedCard& c) { c.containers[0].certificateFile.resize(40); }); }, true},
      {"truncated", [&] {
         Bytes b = body();
         b.resize(b.size() / 2);
         return WithDigest(b);
       }, false},
      // Valid but for its size: the certificate file followed by filler.
      {"oversized",
       [&] {
         return rewrite([&](pkcs11::CachedCard& c) {
           c.containers[0].certificateFile.resize(pkcs11::ObjectCache::kMaxFileBytes, 0);
         });
       },
       false},
      {"of another version", [&] {
         Bytes b = body();
         b[8] = 2;
         return WithDigest(b);
       }, false},
      {"of another card", [&] { return rewrite([&](pkcs11::CachedCard& c) { c.serial[9] ^= 0x01; }); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(file, c.file());
    const Listing listing = Restart();
    EXPECT_EQ(listing, cold) << "the rewritten file was served";
    if (c.fileUsed) {
      // Container 0 read as on a cold start; the other seven proven.
      EXPECT_GT(listing.commands, kWarmCommands);
      EXPECT_LT(listing.commands, cold.commands);
    } else {
      EXPECT_EQ(listing.commands, cold.commands) << "the file was used";
    }
    EXPECT_EQ(Restart().commands, kWarmCommands) << "the file was not replaced";
  }
}

// Past sixteen cards the files of the cards seen longest ago go first.
TEST(ObjectCache, KeepsTheNewestCards) {
  char home[] = "/tmp/vela-cache-prune-XXXXXX";
  ASSERT_NE(mkdtemp(home), nullptr);
  const pkcs11::ObjectCache cache(home);
  const auto card = [](std::uint8_t n) {
    pkcs11::CachedCard c;
    c.serial[0] = n;
    c.atr = {0x3B, 0x80};
    return c;
  };
  const auto stored = [&](std::uint8_t n) { return cache.Load(card(n).serial, card(n).atr).has_value(); };
  const std::size_t kept = pkcs11::ObjectCache::kMaxCards;
  for (std::uint8_t n = 0; n < kept; ++n) ASSERT_TRUE(cache.Store(card(n)));
  // Card n last seen n hours after the first: card 0 longest ago.
  const fs::path folder = fs::path(home) / "vela3ro";
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::optional<pkcs11::CachedCard> c = pkcs11::ObjectCache::Parse(ReadFile(entry.path()));
    ASSERT_TRUE(c);
    const timeval times[2] = {{1700000000 + 3600 * c->serial[0], 0}, {1700000000 + 3600 * c->serial[0], 0}};
    ASSERT_EQ(utimes(entry.path().c_str(), times), 0);
  }
  ASSERT_TRUE(cache.Store(card(100)));
  EXPECT_FALSE(stored(0)) << "the card seen longest ago was kept";
  for (std::uint8_t n = 1; n < kept; ++n) EXPECT_TRUE(stored(n)) << "card " << int(n) << " was dropped";
  EXPECT_TRUE(stored(100));
  fs::remove_all(home);
}

// The cache folder is used only where it is the user's own: nothing is made
// or written in another user's folder (root with a user's HOME, as sudo -E
// leaves it), a relative or empty XDG_CACHE_HOME is ignored, and a missing
// ~/.cache is made (0700) in a HOME of the user's, never with the HOME.
TEST_F(Pkcs11Cache, OnlyTheUsersOwnCacheFolderIsUsed) {
  const fs::path root = cacheHome_;
  const fs::path home = root / "home";
  const auto cold = [&] { return Restart().commands == 59u; };
  struct Case {
    const char* name;
    std::function<void()> set;
    fs::path expected;  // where the cache goes; empty: nowhere
    bool made = false;  // the cache folder above it made by the module
  };
  std::vector<Case> cases = {
      {"a relative XDG_CACHE_HOME",
       [&] {
         setenv("XDG_CACHE_HOME", "relative-cache", 1);
         fs::create_directories(home / ".cache");
       },
       home / ".cache" / "vela3ro"},
      {"an empty XDG_CACHE_HOME",
       [&] {
         setenv("XDG_CACHE_HOME", "", 1);
         fs::create_directories(home / ".cache");
       },
       home / ".cache" / "vela3ro"},
      {"no ~/.cache",
       [&] {
         unsetenv("XDG_CACHE_HOME");
         fs::create_directories(home);
       },
       home / ".cache" / "vela3ro", true},
      {"no HOME", [&] { unsetenv("XDG_CACHE_HOME"); }, {}},
  };
  // Another user's folder: one given away where the test may (it runs as
  // root), else one of root's that anyone may write to.
  if (geteuid() == 0) {
    cases.push_back({"another user's ~/.cache",
                     [&] {
                       unsetenv("XDG_CACHE_HOME");
                       fs::create_directories(home / ".cache");
                       ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
                       ASSERT_EQ(chown((home / ".cache").c_str(), 65534, 65534), 0);
                     },
                     {}});
    cases.push_back({"another user's HOME without ~/.cache",
                     [&] {
                       unsetenv("XDG_CACHE_HOME");
                       fs::create_directories(home);
                       ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
                     },
                     {}});
  } else if (!fs::exists("/dev/shm/vela3ro")) {
    cases.push_back({"root's /dev/shm", [&] { setenv("XDG_CACHE_HOME", "/dev/shm", 1); }, {}});
  }
  setenv("HOME", home.c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(home);
    c.set();
    EXPECT_TRUE(cold());
    const bool warm = Restart().commands == kWarmCommands;
    if (c.expected.empty()) {
      EXPECT_FALSE(warm) << "a cache was used";
      EXPECT_FALSE(fs::exists(home / ".cache" / "vela3ro"));
      EXPECT_FALSE(fs::exists("/dev/shm/vela3ro"));
      fs::remove_all("/dev/shm/vela3ro");
      if (!fs::exists(home / ".cache")) continue;
      struct stat info{};
      ASSERT_EQ(stat((home / ".cache").c_str(), &info), 0);
      EXPECT_NE(info.st_uid, geteuid()) << "taken over";
    } else {
      EXPECT_TRUE(warm) << "no cache used";
      EXPECT_TRUE(fs::is_directory(c.expected));
      EXPECT_FALSE(fs::exists("relative-cache"));
      struct stat info{};
      ASSERT_EQ(stat(c.expected.parent_path().c_str(), &info), 0);
      EXPECT_EQ(info.st_uid, geteuid());
      // Made, it is the user's alone.
      if (c.made) {
        EXPECT_EQ(info.st_mode & 0777, 0700u);
      }
    }
  }
  EXPECT_FALSE(fs::exists(home / ".cache" / "vela3ro"));
  unsetenv("HOME");
  setenv("XDG_CACHE_HOME", cacheHome_.c_str(), 1);
}

// A file system that is full (a file size limit stands in for it): the
// listing is a cold one, the file the cache had stays, nothing half written.
TEST_F(Pkcs11Cache, FullFileSystemLosesNothing) {
  CardRack::Get().Insert(kReader, [] {
    emu::Personalisation renewed;
    renewed.certificateGeneration = 1;
    return renewed;
  }());
  Restart();
  const fs::path file = CardFile();
  ASSERT_FALSE(file.empty());
  const Bytes before = ReadFile(file);
  CardRack::Get().Insert(kReader);  // certificates renewed back: the cache is to be rewritten
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 512;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const Listing full = Restart();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(full.certificates, CardCertificates());
  EXPECT_EQ(ReadFile(file), before) << "the old file was lost";
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(Folder())) ++entries;
  EXPECT_EQ(entries, 1u) << "a temporary file was left";
  // With room again, the next start writes the file and the one after uses it.
  Restart();
  EXPECT_EQ(Restart().commands, kWarmCommands);
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
