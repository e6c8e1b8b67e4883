// The virtual files and container keys on the emulated card, checked with
// OpenSSL: every certificate the host reads carries the key the container
// reports.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "emulated_card.h"
#include "files_fixture.h"

namespace vela::test {
namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};

// 04 X Y of the certificate's public key, or empty when it does not parse.
std::vector<BYTE> CertificatePoint(const std::vector<BYTE>& der) {
  const unsigned char* p = der.data();
  std::unique_ptr<X509, X509Free> certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!certificate) return {};
  EVP_PKEY* key = X509_get0_pubkey(certificate.get());
  std::vector<BYTE> point(65);
  std::size_t length = 0;
  if (key == nullptr || EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                                        point.size(), &length) != 1) {
    return {};
  }
  point.resize(length);
  return point;
}

struct Container {
  BYTE index;
  const char* certificateFile;
  WORD certificateId;
  BYTE keyRef;
  bool signature;
};
constexpr Container kContainers[] = {
    {0, "ksc00", 0xC000, 0x80, true},  {1, "ksc01", 0x4331, 0x80, true},  {2, "ksc02", 0xC500, 0x82, true},
    {3, "ksc03", 0x4371, 0x82, true},  {4, "kxc04", 0xC200, 0x81, false}, {5, "kxc05", 0x43B1, 0x81, false},
    {6, "kxc06", 0xC201, 0x85, false}, {7, "ksc07", 0xC001, 0x84, true},
};

class EmulatedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { liveBefore_ = HostHeap::Live(); }
  void TearDown() override { EXPECT_EQ(HostHeap::Live(), liveBefore_) << "host blocks left over"; }

  static std::vector<BYTE> Read(CARD_DATA* cd, const char* directory, const char* file, DWORD* rc = nullptr) {
    PBYTE data = nullptr;
    DWORD size = 0;
    const DWORD result = CardReadFile(cd, const_cast<char*>(directory), const_cast<char*>(file), 0, &data, &size);
    if (rc != nullptr) *rc = result;
    std::vector<BYTE> bytes(data, data + (data != nullptr ? size : 0));
    HostRelease(data);
    return bytes;
  }
  // 04 X Y from the container's blob, after checking the blob's header.
  static std::vector<BYTE> ContainerPoint(CARD_DATA* cd, const Container& c) {
    CONTAINER_INFO info{};
    info.dwVersion = 1;
    EXPECT_EQ(CardGetContainerInfo(cd, c.index, 0, &info), 0u) << int(c.index);
    const BYTE* blob = c.signature ? info.pbSigPublicKey : info.pbKeyExPublicKey;
    const DWORD size = c.signature ? info.cbSigPublicKey : info.cbKeyExPublicKey;
    std::vector<BYTE> point;
    if (blob != nullptr && size == 72) {
      EXPECT_EQ(ToHex({blob, 8}), c.signature ? "45 43 53 31 20 00 00 00" : "45 43 4B 31 20 00 00 00");
      point = {0x04};
      point.insert(point.end(), blob + 8, blob + 72);
    }
    HostRelease(info.pbSigPublicKey);
    HostRelease(info.pbKeyExPublicKey);
    return point;
  }

  std::size_t liveBefore_ = 0;
};

TEST_F(EmulatedFilesTest, EveryCertificateCarriesItsContainersKey) {
  EmulatedCard card;
  TestHost host(card.handle());
  ASSERT_EQ(host.Acquire(), 0u);

  LPSTR names = nullptr;
  DWORD namesLength = 0;
  char mscp[] = "mscp";
  ASSERT_EQ(CardEnumFiles(host.get(), mscp, &names, &namesLength, 0), 0u);
  EXPECT_EQ(std::string(names, namesLength),
            std::string("ksc00\0ksc01\0ksc02\0ksc03\0kxc04\0kxc05\0kxc06\0ksc07\0cmapfile\0\0", 58));
  HostRelease(names);

  // The card answers the read that runs past a file's end with the rest and
  // 62 82, as a card may; a file of a whole number of chunks ends in 6B 00.
  for (const Container& c : kContainers) {
    card->ClearCounters();
    card->ClearTrace();
    const std::vector<BYTE> der = Read(host.get(), "mscp", c.certificateFile);
    EXPECT_EQ(der, card->Certificate(c.certificateId)) << c.certificateFile << ": not byte for byte";
    EXPECT_EQ(card->CommandCount(0xB0), der.size() / 255 + 1) << c.certificateFile;
    const std::string lastAnswer = card->Trace().back();
    EXPECT_EQ(lastAnswer.substr(lastAnswer.size() - 5), der.size() % 255 == 0 ? "6B 00" : "62 82")
        << c.certificateFile;

    const std::vector<BYTE> point = CertificatePoint(der);
    ASSERT_EQ(point.size(), 65u) << c.certificateFile << " does not parse";
    EXPECT_EQ(ContainerPoint(host.get(), c), point) << c.certificateFile;
    EXPECT_EQ(point, card->PublicPoint(c.keyRef)) << c.certificateFile;
  }
  // The card's own edge sizes went through whole.
  EXPECT_EQ(card->Certificate(0x4331).size(), 510u);
  EXPECT_EQ(card->Certificate(0xC500).size(), 600u);
}

TEST_F(EmulatedFilesTest, KeyTemplateFormsGiveTheSameKey) {
  for (emu::KeyTemplateForm form : {emu::KeyTemplateForm::kLong81, emu::KeyTemplateForm::kLong82,
                                    emu::KeyTemplateForm::kWithoutCurve}) {
    emu::Personalisation personalisation;
    personalisation.keyTemplate = form;
    EmulatedCard card(personalisation);
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    for (const Container& c : kContainers) {
      EXPECT_EQ(ContainerPoint(host.get(), c), card->PublicPoint(c.keyRef)) << int(form) << " " << int(c.index);
    }
  }
}

TEST_F(EmulatedFilesTest, AbsentOptionalContainersOnTheCard) {
  for (emu::MissingContainer7 missing : {emu::MissingContainer7::kEmptyKeyFile, emu::MissingContainer7::kNoDirectory}) {
    emu::Personalisation personalisation;
    personalisation.serial = {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0x0A, 0xBC};
    personalisation.container6 = false;
    personalisation.container7 = false;
    personalisation.missingContainer7 = missing;
    EmulatedCard card(personalisation);
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u);

    const std::vector<BYTE> map = Read(host.get(), "mscp", "cmapfile");
    ASSERT_EQ(map.size(), 1376u);
    std::string name;
    for (std::size_t i = 0; i < 31; ++i) name += static_cast<char>(map[2 * i] | map[2 * i + 1] << 8);
    EXPECT_EQ(name, std::string("ABCDEF01234567890ABC-DF02-C000", 31));
    EXPECT_EQ(map[80], 3);
    EXPECT_TRUE(std::all_of(map.begin() + 6 * 86, map.end(), [](BYTE b) { return b == 0; }))
        << "records 6 to 15 must be empty";

    DWORD rc = 0;
    EXPECT_TRUE(Read(host.get(), "mscp", "ksc07", &rc).empty());
    EXPECT_EQ(rc, SCARD_E_FILE_NOT_FOUND);
    CONTAINER_INFO info{};
    EXPECT_EQ(CardGetContainerInfo(host.get(), 7, 0, &info), SCARD_E_NO_KEY_CONTAINER);
    EXPECT_EQ(CardGetContainerInfo(host.get(), 6, 0, &info), SCARD_E_NO_KEY_CONTAINER);
  }
}

}  // namespace
}  // namespace vela::test
