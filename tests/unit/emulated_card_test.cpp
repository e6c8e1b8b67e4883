// The emulated card's own rules, which every end-to-end test relies on, and
// its keys checked with OpenSSL.
#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/card_context.h"
#include "emulated_card.h"
#include "emulator/hex.h"
#include "test_host.h"

namespace vela::test {
namespace {

using emu::Bytes;
using emu::Personalisation;
using emu::VelaCard;

// One exchange: expected "SW" alone, or "N bytes SW" when only the data's
// length matters.
struct Step {
  const char* command;
  const char* expected;
};

std::string Answer(VelaCard& card, const std::string& commandHex) {
  const std::optional<Bytes> response = card.Transmit(Hex(commandHex));
  if (!response) return "dropped";
  if (response->size() > 2) {
    return std::to_string(response->size() - 2) + " bytes " + emu::HexText(std::span(*response).last(2));
  }
  return emu::HexText(*response);
}

void RunSteps(VelaCard& card, const std::vector<Step>& steps, const std::string& name) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(Answer(card, steps[i].command), steps[i].expected)
        << name << ", step " << i << ": " << steps[i].command;
  }
}

// Shared cards: making one costs a few dozen scalar multiplications.
const Personalisation& Default() {
  static const Personalisation p;
  return p;
}

const char* kSelectDf02 = "00 A4 08 0C 04 DF 02 80 FF";
const char* kVerifyUser = "00 20 00 03 06 31 32 33 34 35 36";

TEST(EmulatedCardTest, SelectFollowsTheCurrentDirectory) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"EF by path makes its DF current",
       {{kSelectDf02, "90 00"}, {"00 A4 02 0C 02 45 31", "90 00"}, {"00 A4 02 0C 02 C0 00", "90 00"}}},
      {"after reset the MF is current",
       {{"00 A4 02 0C 02 C0 00", "6A 82"}, {"00 A4 02 0C 02 2F 02", "90 00"}}},
      {"serial file by path leaves DF02 behind",
       {{kSelectDf02, "90 00"}, {"00 A4 08 0C 02 2F 02", "90 00"}, {"00 A4 02 0C 02 45 31", "6A 82"}}},
      {"DF01 holds its own 45B2 and C001, not DF02's files",
       {{"00 A4 08 0C 04 DF 01 45 B2", "90 00"}, {"00 A4 02 0C 02 C0 01", "90 00"},
        {"00 A4 02 0C 02 45 31", "6A 82"}}},
      {"a failed select keeps the current file",
       {{"00 A4 08 0C 04 DF 02 C0 00", "90 00"}, {"00 A4 08 0C 04 DF 02 12 34", "6A 82"},
        {"00 B0 00 00 02", "2 bytes 90 00"}}},
      {"missing paths",
       {{"00 A4 08 0C 04 2F 02 C0 00", "6A 82"}, {"00 A4 08 0C 04 DF 03 C0 00", "6A 82"},
        {"00 A4 08 0C 06 DF 02 DF 02 C0 00", "6A 82"}, {"00 A4 08 0C 03 DF 02 C0", "6A 80"}}},
      {"a DF alone, then an EF in it", {{"00 A4 08 0C 02 DF 02", "90 00"}, {"00 A4 02 0C 02 43 31", "90 00"}}},
      {"P1 and P2 the card does not offer",
       {{"00 A4 08 00 04 DF 02 80 FF", "6A 86"}, {"00 A4 04 0C 04 DF 02 80 FF", "6A 86"}}},
  };
  VelaCard card(Default());
  for (const Case& c : cases) {
    card.Reset();
    RunSteps(card, c.steps, c.name);
  }
}

TEST(EmulatedCardTest, MissingDirectoryAndEmptyKeyFilesOfAbsentContainers) {
  Personalisation p;
  p.container6 = false;
  p.container7 = false;
  p.missingContainer7 = emu::MissingContainer7::kNoDirectory;
  VelaCard card(p);
  RunSteps(card,
           {{"00 A4 08 0C 04 DF 01 45 B2", "6A 82"},
            {"00 A4 08 0C 04 DF 02 45 B2", "90 00"},
            {"00 B0 00 00 02", "2 bytes 90 00"},
            {"00 A4 08 0C 04 DF 02 C2 01", "6A 82"}},
           "absent containers");
  EXPECT_EQ(card.FileData(0xDF02, 0x45B2), Bytes(80, 0x00));
  EXPECT_TRUE(card.PublicPoint(0x85).empty());
  EXPECT_TRUE(card.PublicPoint(0x84).empty());
}

TEST(EmulatedCardTest, ReadBinaryAtAndPastTheEnd) {
  Bytes file(600);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 7);
  Personalisation p;
  p.files = {{0xDF02, 0xC000, file}, {0xDF02, 0x4331, Bytes{}}};
  VelaCard card(p);
  struct Case {
    const char* select;  // null: after a reset, nothing selected
    const char* read;
    const char* expected;
    std::size_t offset;  // where the data start in `file`
  };
  const Case cases[] = {
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 00 00 FF", "255 bytes 90 00", 0},
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 00 FF FF", "255 bytes 90 00", 255},
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 01 FE FF", "90 bytes 62 82", 510},  // Le runs past the end
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 02 57 FF", "1 bytes 62 82", 599},
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 02 57 01", "1 bytes 90 00", 599},   // Le ends with the file
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 02 58 FF", "6B 00", 0},  // exactly at the end
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 7F FF 01", "6B 00", 0},
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 00 10 00", "256 bytes 90 00", 16},  // Le 00 is 256
      {"00 A4 08 0C 04 DF 02 43 31", "00 B0 00 00 FF", "6B 00", 0},             // empty file
      {nullptr, "00 B0 00 00 FF", "69 86", 0},
      {"00 A4 08 0C 02 DF 02", "00 B0 00 00 FF", "69 86", 0},  // a DF is no EF
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 81 00 FF", "6A 86", 0},
      {"00 A4 08 0C 04 DF 02 C0 00", "00 B0 00 00", "67 00", 0},
  };
  for (const Case& c : cases) {
    card.Reset();
    if (c.select != nullptr) {
      ASSERT_EQ(Answer(card, c.select), "90 00");
    }
    const Bytes response = *card.Transmit(Hex(c.read));
    EXPECT_EQ(Answer(card, c.read), c.expected) << c.read;
    if (response.size() > 2) {
      EXPECT_TRUE(std::equal(response.begin(), response.end() - 2, file.begin() + static_cast<long>(c.offset)))
          << c.read;
    }
  }
}

TEST(EmulatedCardTest, RetryCountersAndBlocking) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    int userTriesAfter, codeTriesAfter;
  };
  const char* wrong = "00 20 00 03 06 31 31 31 31 31 31";
  const char* query = "00 20 00 03";
  const std::vector<Case> cases = {
      {"counter query, then verified", {{query, "63 C3"}, {"00 20 00 03 00", "63 C3"}, {kVerifyUser, "90 00"},
                                        {query, "90 00"}}, 3, 3},
      {"a right PIN restores the counter", {{wrong, "63 C2"}, {wrong, "63 C1"}, {kVerifyUser, "90 00"}}, 3, 3},
      {"a wrong PIN clears the verified state", {{kVerifyUser, "90 00"}, {wrong, "63 C2"}, {query, "63 C2"}}, 2, 3},
      {"three wrong PINs block", {{wrong, "63 C2"}, {wrong, "63 C1"}, {wrong, "63 C0"}, {kVerifyUser, "69 83"},
                                  {query, "69 83"}}, 0, 3},
      {"change splits old and new at the old length",
       {{"00 24 00 03 0D 31 32 33 34 35 36 39 38 37 36 35 34 33", "90 00"}, {kVerifyUser, "63 C2"},
        {"00 20 00 03 07 39 38 37 36 35 34 33", "90 00"}}, 3, 3},
      {"change with a wrong old PIN counts down",
       {{"00 24 00 03 0C 31 31 31 31 31 31 39 38 37 36 35 34", "63 C2"}, {wrong, "63 C1"}}, 1, 3},
      {"change without a new PIN, or a too short one",
       {{"00 24 00 03 06 31 32 33 34 35 36", "67 00"}, {"00 24 00 03 07 31 32 33 34 35 36 39", "6A 80"},
        {kVerifyUser, "90 00"}}, 3, 3},
      {"unblock sets a new PIN and the counter",
       {{wrong, "63 C2"}, {wrong, "63 C1"}, {wrong, "63 C0"},
        {"00 2C 00 03 0E 31 32 33 34 35 36 37 38 36 36 36 36 36 36", "90 00"}, {query, "63 C3"},
        {"00 20 00 03 06 36 36 36 36 36 36", "90 00"}}, 3, 3},
      {"unblock with the code only keeps the PIN",
       {{wrong, "63 C2"}, {"00 2C 01 03 08 31 32 33 34 35 36 37 38", "90 00"}, {kVerifyUser, "90 00"}}, 3, 3},
      {"a wrong unblocking code counts down its own counter",
       {{"00 2C 00 03 0E 38 38 38 38 38 38 38 38 36 36 36 36 36 36", "63 C2"},
        {"00 2C 00 03 0E 38 38 38 38 38 38 38 38 36 36 36 36 36 36", "63 C1"},
        {"00 2C 00 03 0E 38 38 38 38 38 38 38 38 36 36 36 36 36 36", "63 C0"},
        {"00 2C 00 03 0E 31 32 33 34 35 36 37 38 36 36 36 36 36 36", "69 83"}, {kVerifyUser, "90 00"}}, 3, 0},
      {"unblocking clears the verified state",
       {{kVerifyUser, "90 00"}, {"00 2C 01 03 08 31 32 33 34 35 36 37 38", "90 00"}, {query, "63 C3"}}, 3, 3},
      {"the unblocking code is reference 04",
       {{"00 20 00 04 08 31 32 33 34 35 36 37 38", "90 00"}, {"00 20 00 04", "90 00"}, {query, "63 C3"},
        {"00 2C 00 04 0E 31 32 33 34 35 36 37 38 36 36 36 36 36 36", "6A 88"}}, 3, 3},
      {"unknown references", {{"00 20 00 05", "6A 88"}, {"00 24 00 01 02 31 32", "6A 88"}}, 3, 3},
  };
  for (const Case& c : cases) {
    VelaCard card(Default());
    RunSteps(card, c.steps, c.name);
    EXPECT_EQ(card.TriesLeft(0x03), c.userTriesAfter) << c.name;
    EXPECT_EQ(card.TriesLeft(0x04), c.codeTriesAfter) << c.name;
  }
}

TEST(EmulatedCardTest, SecurityOperationsNeedTheUserPinSinceTheLastReset) {
  const char* msePlain = "00 22 41 B6 03 84 01 80";
  const char* sign = "00 2A 9E 9A 20 0102030405060708091011121314151617181920212223242526272829303132 00";
  const char* mseAgree = "00 22 41 B8 03 84 01 81";
  struct Case {
    const char* name;
    bool reset;  // power cycle between the verification and the operation
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"refused before VERIFY", false, {{msePlain, "90 00"}, {sign, "69 82"}}},
      {"signs after VERIFY", false, {{kVerifyUser, "90 00"}, {msePlain, "90 00"}, {sign, "64 bytes 90 00"}}},
      {"the unblocking code does not open the keys", false,
       {{"00 20 00 04 08 31 32 33 34 35 36 37 38", "90 00"}, {msePlain, "90 00"}, {sign, "69 82"}}},
      {"a failed VERIFY closes them again", false,
       {{kVerifyUser, "90 00"}, {"00 20 00 03 06 30 30 30 30 30 30", "63 C2"}, {msePlain, "90 00"},
        {sign, "69 82"}}},
      {"without an environment", false, {{kVerifyUser, "90 00"}, {sign, "69 85"}}},
      {"an agreement environment does not sign", false, {{kVerifyUser, "90 00"}, {mseAgree, "90 00"},
                                                          {sign, "69 85"}}},
      {"a refused environment is no environment", false,
       {{kVerifyUser, "90 00"}, {msePlain, "90 00"}, {"00 22 41 B6 03 84 01 99", "6A 88"}, {sign, "69 85"}}},
      {"key references and templates", false,
       {{"00 22 41 B6 03 84 01 81", "6A 88"}, {"00 22 41 B8 03 84 01 80", "6A 88"},
        {"00 22 41 B6 03 84 01 84", "90 00"}, {"00 22 41 B8 03 84 01 85", "90 00"},
        {"00 22 41 B6 03 83 01 80", "6A 80"}, {"00 22 41 B6 03 84 02 80", "6A 80"},
        {"00 22 F3 B6 03 84 01 80", "6A 86"}}},
      {"a bad point", false,
       {{kVerifyUser, "90 00"}, {mseAgree, "90 00"}, {"00 2A 80 86 03 00 04 01 00", "6A 80"}}},
  };
  for (const Case& c : cases) {
    VelaCard card(Default());
    RunSteps(card, c.steps, c.name);
  }
  // The card keeps its state until a reset.
  VelaCard card(Default());
  RunSteps(card, {{kVerifyUser, "90 00"}, {msePlain, "90 00"}, {sign, "64 bytes 90 00"}}, "before reset");
  card.Reset();
  RunSteps(card, {{sign, "69 82"}, {msePlain, "90 00"}, {sign, "69 82"}}, "after reset");
}

TEST(EmulatedCardTest, ClassAndInstructionAndLengths) {
  VelaCard card(Default());
  RunSteps(card,
           {{"80 A4 08 0C 04 DF 02 80 FF", "6E 00"},
            {"00 CA 00 00 00", "6D 00"},
            {"00 A4", "67 00"},
            {"00 A4 08 0C 05 DF 02 80 FF", "67 00"},
            {"00 A4 08 0C 00", "6A 80"}},
           "framing");
  EXPECT_EQ(card.CommandCount(0xA4), 4u);
  EXPECT_EQ(card.CommandCount(0xCA), 1u);
  EXPECT_EQ(card.TotalCommands(), 5u);
  EXPECT_EQ(card.BytesIn(), 9u + 5 + 2 + 9 + 5);
  EXPECT_EQ(card.BytesOut(), 10u);
}

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr ParseCertificate(const Bytes& der) {
  const unsigned char* p = der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  EXPECT_NE(cert, nullptr);
  EXPECT_EQ(p, der.data() + der.size()) << "trailing bytes after the certificate";
  return cert;
}

// The card's r || s verified by OpenSSL against `key` over `digest`.
bool SignatureVerifies(EVP_PKEY* key, const Bytes& digest, const Bytes& rs) {
  if (rs.size() != 64) return false;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  const bool ok = EVP_PKEY_verify_init(ctx) == 1 &&
                  EVP_PKEY_verify(ctx, der, static_cast<std::size_t>(derLength), digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  OPENSSL_free(der);
  return ok;
}

Bytes Sha256(const std::string& text) {
  Bytes out(32);
  EVP_Digest(text.data(), text.size(), out.data(), nullptr, EVP_sha256(), nullptr);
  return out;
}

Bytes Data(const Bytes& response) {
  EXPECT_GE(response.size(), 2u);
  EXPECT_EQ(emu::HexText(std::span(response).last(2)), "90 00");
  return Bytes(response.begin(), response.end() - 2);
}

Bytes Command(const std::string& headerHex, const Bytes& data, bool withLe) {
  Bytes apdu = Hex(headerHex);
  apdu.push_back(static_cast<std::uint8_t>(data.size()));
  apdu.insert(apdu.end(), data.begin(), data.end());
  if (withLe) apdu.push_back(0x00);
  return apdu;
}

TEST(EmulatedCardTest, SignaturesVerifyAgainstTheCertificates) {
  VelaCard card(Default());
  const X509Ptr ca = ParseCertificate(card.CaCertificate());
  ASSERT_EQ(X509_verify(ca.get(), card.CaKey()), 1);
  ASSERT_EQ(Answer(card, kVerifyUser), "90 00");
  struct Case {
    std::uint8_t keyRef;
    std::uint16_t certFile;
    Bytes digest;
  };
  const Case cases[] = {
      {0x80, 0xC000, Sha256("sign me")},
      {0x80, 0x4331, Sha256("a 510-byte certificate")},
      {0x82, 0xC500, Sha256("second key")},
      {0x82, 0x4371, Bytes(20, 0x5A)},  // SHA-1 length: taken as a short integer
      {0x84, 0xC001, Bytes(64, 0xA7)},  // longer than the key: truncated
  };
  for (const Case& c : cases) {
    const X509Ptr cert = ParseCertificate(card.Certificate(c.certFile));
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(X509_verify(cert.get(), card.CaKey()), 1) << std::hex << c.certFile;
    EVP_PKEY* certKey = X509_get0_pubkey(cert.get());
    EXPECT_EQ(EVP_PKEY_eq(certKey, card.Key(c.keyRef)), 1) << std::hex << c.certFile;
    ASSERT_EQ(Answer(card, "00 22 41 B6 03 84 01 " + emu::HexText(Bytes{c.keyRef})), "90 00");
    const Bytes rs = Data(*card.Transmit(Command("00 2A 9E 9A", c.digest, true)));
    EXPECT_TRUE(SignatureVerifies(certKey, c.digest, rs)) << std::hex << c.certFile;
    Bytes other = c.digest;
    other[0] ^= 1;
    EXPECT_FALSE(SignatureVerifies(certKey, other, rs));
  }
}

TEST(EmulatedCardTest, AgreementEqualsOpenSslsSecret) {
  VelaCard card(Default());
  ASSERT_EQ(Answer(card, kVerifyUser), "90 00");
  for (const auto& [keyRef, certFile] : {std::pair<std::uint8_t, std::uint16_t>{0x81, 0xC200}, {0x85, 0xC201}}) {
    EVP_PKEY* peer = EVP_EC_gen("P-256");
    ASSERT_NE(peer, nullptr);
    Bytes point(65);
    std::size_t pointLength = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(peer, "pub", point.data(), point.size(), &pointLength), 1);
    const X509Ptr cert = ParseCertificate(card.Certificate(certFile));
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(peer, nullptr);
    Bytes expected(32);
    std::size_t expectedLength = expected.size();
    ASSERT_TRUE(EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_derive_set_peer(ctx, X509_get0_pubkey(cert.get())) == 1 &&
                EVP_PKEY_derive(ctx, expected.data(), &expectedLength) == 1);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);

    ASSERT_EQ(Answer(card, "00 22 41 B8 03 84 01 " + emu::HexText(Bytes{keyRef})), "90 00");
    Bytes data = {0x00};
    data.insert(data.end(), point.begin(), point.end());
    EXPECT_EQ(Data(*card.Transmit(Command("00 2A 80 86", data, true))), expected) << std::hex << int(keyRef);
  }
}

TEST(EmulatedCardTest, CertificateSizesAreExactAndKeysRepeat) {
  Personalisation p;
  p.certificateSizes = {{0xC000, 510}, {0x4331, 255 * 4}, {0xC500, 420}, {0x4371, 383 + 128}, {0xC200, 4000}};
  VelaCard card(p);
  for (const auto& [file, size] : p.certificateSizes) {
    const Bytes der = card.Certificate(file);
    EXPECT_EQ(der.size(), size) << std::hex << file;
    const X509Ptr cert = ParseCertificate(der);
    EXPECT_EQ(X509_verify(cert.get(), card.CaKey()), 1) << std::hex << file;
  }
  EXPECT_GT(card.Certificate(0x43B1).size(), 255u) << "natural size";
  EXPECT_EQ(VelaCard(Default()).Certificate(0x4331).size(), 510u) << "default sizes";

  EXPECT_EQ(VelaCard(p).FileData(0xDF02, 0x45B1), card.FileData(0xDF02, 0x45B1));
  p.seed = 2;
  EXPECT_NE(VelaCard(p).PublicPoint(0x80), card.PublicPoint(0x80));

  p.certificateSizes = {{0xC000, 200}};
  EXPECT_THROW(VelaCard{p}, std::invalid_argument);
}

const std::uint16_t kCertificateFiles[] = {0xC000, 0x4331, 0xC500, 0x4371, 0xC200, 0x43B1, 0xC201, 0xC001};

// Path validation as a relying party does it, trusting the card's test CA
// alone (the clock left out: these tests must not depend on the date).
bool ChainVerifies(const VelaCard& card, X509* leaf) {
  const X509Ptr ca = ParseCertificate(card.CaCertificate());
  X509_STORE* store = X509_STORE_new();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  bool ok = store != nullptr && ctx != nullptr && X509_STORE_add_cert(store, ca.get()) == 1 &&
            X509_STORE_CTX_init(ctx, store, leaf, nullptr) == 1;
  if (ok) {
    X509_STORE_CTX_set_flags(ctx, X509_V_FLAG_NO_CHECK_TIME);
    ok = X509_verify_cert(ctx) == 1;
  }
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  return ok;
}

TEST(EmulatedCardTest, FirstCertificatesStayByteForByte) {
  // Traces, corpora and the pkcs11 tier's expectations hold these bytes.
  VelaCard card(Default());
  Bytes all;
  for (std::uint16_t file : kCertificateFiles) {
    const Bytes der = card.Certificate(file);
    all.insert(all.end(), der.begin(), der.end());
  }
  Bytes digest(32);
  EVP_Digest(all.data(), all.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
  EXPECT_EQ(ToHex(digest), ToHex(Hex("99748082c9e5ced47fbfe490ed77183008ea472539e56ce1416a4ef75bc34f76")));
}

TEST(EmulatedCardTest, RenewedCertificatesKeepTheKeys) {
  VelaCard first(Default());
  Personalisation p = Default();
  p.certificateGeneration = 1;
  VelaCard renewed(p);
  VelaCard again(p);
  EXPECT_EQ(renewed.CaCertificate(), first.CaCertificate());
  for (std::uint16_t file : kCertificateFiles) {
    SCOPED_TRACE(ToHex(Bytes{static_cast<std::uint8_t>(file >> 8), static_cast<std::uint8_t>(file)}));
    const Bytes der = renewed.Certificate(file);
    EXPECT_NE(der, first.Certificate(file));
    EXPECT_EQ(der, again.Certificate(file)) << "a generation is the same for the same seed";
    const X509Ptr old = ParseCertificate(first.Certificate(file));
    const X509Ptr cert = ParseCertificate(der);
    ASSERT_TRUE(old && cert);
    EXPECT_NE(ASN1_INTEGER_cmp(X509_get0_serialNumber(cert.get()), X509_get0_serialNumber(old.get())), 0);
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_subject_name(old.get())), 0);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), X509_get0_pubkey(old.get())), 1);
    EXPECT_GT(ASN1_TIME_compare(X509_get0_notBefore(cert.get()), X509_get0_notBefore(old.get())), 0);
    EXPECT_NE(ASN1_TIME_compare(X509_get0_notAfter(cert.get()), X509_get0_notAfter(old.get())), 0);
    EXPECT_TRUE(ChainVerifies(renewed, cert.get()));
    // Files of an exact size keep it, so a renewal does not change the reads.
    if (p.certificateSizes.count(file) != 0) {
      EXPECT_EQ(der.size(), p.certificateSizes.at(file));
    }
  }
  // Serial numbers differ between generations, never inside one.
  std::set<std::string> serials;
  for (unsigned generation : {0u, 1u, 2u}) {
    p.certificateGeneration = generation;
    VelaCard card(p);
    for (std::uint16_t file : kCertificateFiles) {
      const X509Ptr cert = ParseCertificate(card.Certificate(file));
      serials.insert(std::to_string(ASN1_INTEGER_get(X509_get0_serialNumber(cert.get()))));
    }
  }
  EXPECT_EQ(serials.size(), 3 * std::size(kCertificateFiles));
  p.certificateGeneration = emu::kMaxCertificateGeneration;
  const X509Ptr last = ParseCertificate(VelaCard(p).Certificate(0xC000));
  EXPECT_TRUE(last != nullptr && ChainVerifies(VelaCard(p), last.get()));
  p.certificateGeneration = emu::kMaxCertificateGeneration + 1;
  EXPECT_THROW(VelaCard{p}, std::invalid_argument);
}

// A mail program offers a certificate for the account whose address it
// names: every certificate of the holder's keys carries it, the CA's does
// not, and a card without one is the card as before (sizes kept exact).
TEST(EmulatedCardTest, TheHolderAddressIsInEveryHolderCertificate) {
  Personalisation p = Default();
  p.email = "holder@example.org";
  VelaCard card(p);
  const auto addresses = [](X509* cert) {
    std::vector<std::string> found;
    GENERAL_NAMES* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
      if (name->type == GEN_EMAIL) {
        found.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.rfc822Name)),
                           static_cast<std::size_t>(ASN1_STRING_length(name->d.rfc822Name)));
      }
    }
    GENERAL_NAMES_free(names);
    return found;
  };
  for (std::uint16_t file : kCertificateFiles) {
    SCOPED_TRACE(ToHex(Bytes{static_cast<std::uint8_t>(file >> 8), static_cast<std::uint8_t>(file)}));
    const X509Ptr cert = ParseCertificate(card.Certificate(file));
    ASSERT_TRUE(cert);
    EXPECT_EQ(addresses(cert.get()), std::vector<std::string>{"holder@example.org"});
    EXPECT_TRUE(ChainVerifies(card, cert.get()));
    if (p.certificateSizes.count(file) != 0) {
      EXPECT_EQ(card.Certificate(file).size(), p.certificateSizes.at(file));
    }
    EXPECT_TRUE(addresses(ParseCertificate(VelaCard(Default()).Certificate(file)).get()).empty());
  }
  const X509Ptr ca = ParseCertificate(card.CaCertificate());
  EXPECT_TRUE(addresses(ca.get()).empty());
}

TEST(EmulatedCardTest, AnotherSeedIsAnotherCardWithTheSameSerialNumber) {
  VelaCard first(Default());
  Personalisation p = Default();
  p.seed = 2;
  VelaCard other(p);
  EXPECT_EQ(other.FileData(0x3F00, 0x2F02), first.FileData(0x3F00, 0x2F02));
  for (std::uint8_t keyRef : {0x80, 0x81, 0x82, 0x84, 0x85}) {
    EXPECT_NE(other.PublicPoint(keyRef), first.PublicPoint(keyRef)) << std::hex << int(keyRef);
  }
  for (std::uint16_t file : kCertificateFiles) {
    const X509Ptr cert = ParseCertificate(other.Certificate(file));
    ASSERT_NE(cert, nullptr);
    EXPECT_TRUE(ChainVerifies(other, cert.get())) << std::hex << file;
    EXPECT_FALSE(ChainVerifies(first, cert.get())) << std::hex << file;
  }
}

// What the cache's tests put in the reader: new keys under the same CA,
// certificates of another CA with the same serial numbers, another ATR.
// Each changes only what it names.
TEST(EmulatedCardTest, NewKeysAnotherIssuerAnotherAtr) {
  const VelaCard first(Default());
  Personalisation p = Default();
  p.keyGeneration = 1;
  const VelaCard newKeys(p);
  EXPECT_EQ(newKeys.CaCertificate(), first.CaCertificate());
  for (std::uint8_t keyRef : {0x80, 0x81, 0x82, 0x84, 0x85}) {
    EXPECT_NE(newKeys.PublicPoint(keyRef), first.PublicPoint(keyRef)) << std::hex << int(keyRef);
  }

  p = Default();
  p.caName = "Another Test CA";
  const VelaCard otherIssuer(p);
  for (std::uint16_t file : kCertificateFiles) {
    SCOPED_TRACE(std::to_string(file));
    const X509Ptr old = ParseCertificate(first.Certificate(file));
    const X509Ptr cert = ParseCertificate(otherIssuer.Certificate(file));
    ASSERT_TRUE(old && cert);
    EXPECT_EQ(ASN1_INTEGER_cmp(X509_get0_serialNumber(cert.get()), X509_get0_serialNumber(old.get())), 0);
    EXPECT_NE(X509_NAME_cmp(X509_get_issuer_name(cert.get()), X509_get_issuer_name(old.get())), 0);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), X509_get0_pubkey(old.get())), 1);
    EXPECT_TRUE(ChainVerifies(otherIssuer, cert.get()));
  }
  EXPECT_EQ(otherIssuer.AnswerToReset(), VelaCard::Atr());

  p = Default();
  p.atr = Hex("3B8A018056454C414733019000F0");
  EXPECT_EQ(VelaCard(p).AnswerToReset(), p.atr);
  for (const Bytes& bad : {Bytes{0x3B}, Bytes(emu::kMaxAtrBytes + 1, 0x3B)}) {
    p.atr = bad;
    EXPECT_THROW(VelaCard{p}, std::invalid_argument) << bad.size();
  }
  p = Default();
  p.caName.clear();
  EXPECT_THROW(VelaCard{p}, std::invalid_argument);
}

TEST(EmulatedCardTest, KeyFileTemplates) {
  struct Case {
    emu::KeyTemplateForm form;
    const char* head;
  };
  const Case cases[] = {
      {emu::KeyTemplateForm::kShort, "7F 49 4D 06 08 2A 86 48 CE 3D 03 01 07 86 41 04"},
      {emu::KeyTemplateForm::kLong81, "7F 49 81 4D 06 08"},
      {emu::KeyTemplateForm::kLong82, "7F 49 82 00 4D 06 08"},
      {emu::KeyTemplateForm::kWithoutCurve, "7F 49 43 86 41 04"},
  };
  for (const Case& c : cases) {
    Personalisation p;
    p.keyTemplate = c.form;
    VelaCard card(p);
    const Bytes file = card.FileData(0xDF02, 0x4571);
    const Bytes head = Hex(c.head);
    ASSERT_GE(file.size(), head.size() + 64);
    EXPECT_EQ(emu::HexText(std::span(file).first(head.size())), c.head);
    EXPECT_EQ(Bytes(file.end() - 65, file.end()), card.PublicPoint(0x82));
  }
}

TEST(EmulatedCardTest, FaultsForHostileCardTests) {
  Personalisation p;
  p.faults.answers = {{0xB0, 0, Hex("01"), 1},                       // first READ BINARY: no status word
                      {std::nullopt, 3, Hex("6F 00"), 1},            // third exchange
                      {0x20, 0, Bytes(300, 0x11), 0}};               // every VERIFY: oversized
  p.faults.extraReadBytes = 45;
  p.faults.dropAfter = 6;
  EmulatedCard card(p);
  std::vector<std::uint8_t> response;
  const auto send = [&](const char* hex) {
    response.clear();
    return card.Transmit(Hex(hex), &response);
  };
  ASSERT_EQ(send("00 A4 08 0C 04 DF 02 C0 00"), 0u);
  ASSERT_EQ(send("00 B0 00 00 FF"), 0u);
  EXPECT_EQ(ToHex(response), "01");
  ASSERT_EQ(send("00 B0 00 00 FF"), 0u);
  EXPECT_EQ(ToHex(response), "6F 00");
  ASSERT_EQ(send("00 B0 00 00 FF"), 0u);
  EXPECT_EQ(response.size(), 255u + 45 + 2);
  ASSERT_EQ(send(kVerifyUser), 0u);
  EXPECT_EQ(response.size(), 300u);
  ASSERT_EQ(send(kVerifyUser), 0u);
  EXPECT_EQ(send("00 A4 08 0C 04 DF 02 C0 00"), SCARD_W_REMOVED_CARD);
  EXPECT_EQ(send("00 A4 08 0C 04 DF 02 C0 00"), SCARD_W_REMOVED_CARD);
  EXPECT_EQ(card->TotalCommands(), 6u);
  EXPECT_EQ(card->Trace().back(), "< dropped");
  card->Reset();
  EXPECT_EQ(send("00 A4 08 0C 04 DF 02 C0 00"), 0u);
  EXPECT_EQ(ToHex(response), "90 00");
}

TEST(EmulatedCardTest, ModuleAcquiresOnTheEmulatedCard) {
  struct Case {
    bool container6, container7;
    emu::MissingContainer7 missing;
    BYTE status6, status7;
  };
  const Case cases[] = {
      {true, true, emu::MissingContainer7::kEmptyKeyFile, 1, 1},
      {false, false, emu::MissingContainer7::kEmptyKeyFile, 0, 0},
      {true, false, emu::MissingContainer7::kNoDirectory, 1, 0},
  };
  for (const Case& c : cases) {
    Personalisation p;
    p.serial = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    p.container6 = c.container6;
    p.container7 = c.container7;
    p.missingContainer7 = c.missing;
    EmulatedCard card(p);
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    const CardContext* context = ContextOf(host.get());
    const BYTE expected[16] = {3, 1, 1, 1, 1, 1, c.status6, c.status7, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(context->profile.containerStatus, expected, 16));
    EXPECT_EQ(ToHex({context->profile.serialNumber(), 10}), "01 02 03 04 05 06 07 08 09 0A");
    host.Release();
    std::vector<std::string> commands;
    for (const std::string& line : card->Trace()) {
      if (line[0] == '>') commands.push_back(line);
    }
    std::vector<std::string> expectedCommands = {"> 00 A4 08 0C 02 2F 02", "> 00 B0 00 02 0A",
                                                 "> 00 A4 08 0C 04 DF 02 45 B2", "> 00 B0 00 00 02",
                                                 "> 00 A4 08 0C 04 DF 01 45 B2", "> 00 B0 00 00 02",
                                                 "> 00 A4 08 0C 04 DF 02 80 FF"};
    if (c.missing == emu::MissingContainer7::kNoDirectory) expectedCommands.erase(expectedCommands.begin() + 5);
    EXPECT_EQ(commands, expectedCommands);
  }
}

}  // namespace
}  // namespace vela::test
