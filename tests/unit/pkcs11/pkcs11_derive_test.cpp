// CKM_ECDH1_DERIVE: the card agrees the secret, the minidriver's "HASH"
// derivation makes the X9.63 KDF blocks; the keys must equal OpenSSL's ECDH
// and X963KDF from the same two keys.
#include <algorithm>
#include <array>
#include <functional>
#include <optional>

#include "core/secure_wipe.h"
#include "emulator/card_keys.h"
#include "full_log.h"
#include "freed_memory.h"
#include "openssl_reference.h"
#include "p11_harness.h"

namespace vela::test {
namespace {

class Pkcs11Derive : public P11Test {
 protected:
  void SetUp() override {
    P11Test::SetUp();
    session_ = Open();
    Login(session_);
    peer_ = emu::EcKey::Derive(99, "peer");
  }

  // Derives a generic secret of `length` bytes; the key's handle.
  CK_RV Derive(CK_ULONG kdf, const Bytes& shared, CK_ULONG length, const Bytes& publicData, int container,
               CK_OBJECT_HANDLE* key, CK_BBOOL sensitive = CK_FALSE, CK_BBOOL isPrivate = CK_FALSE,
               CK_BBOOL extractable = CK_TRUE) {
    Bytes sharedCopy = shared;
    Bytes point = publicData;
    CK_ECDH1_DERIVE_PARAMS params{kdf, sharedCopy.size(), sharedCopy.empty() ? nullptr : sharedCopy.data(),
                                  point.size(), point.data()};
    CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, sizeof(params)};
    CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
    CK_KEY_TYPE keyType = CKK_GENERIC_SECRET;
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &keyClass, sizeof(keyClass)},
                              {CKA_KEY_TYPE, &keyType, sizeof(keyType)},
                              {CKA_VALUE_LEN, &length, sizeof(length)},
                              {CKA_TOKEN, &no, sizeof(no)},
                              {CKA_SENSITIVE, &sensitive, sizeof(sensitive)},
                              {CKA_PRIVATE, &isPrivate, sizeof(isPrivate)},
                              {CKA_EXTRACTABLE, &extractable, sizeof(extractable)}};
    return p11()->C_DeriveKey(session_, &mechanism, Object(session_, CKO_PRIVATE_KEY, container), pattern, 7, key);
  }

  Bytes Expected(const char* digest, std::uint8_t keyRef, const Bytes& shared, std::size_t length) {
    return ReferenceX963Kdf(digest, ReferenceAgree(card()->Key(keyRef), peer_.pkey()), shared, length);
  }

  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  emu::EcKey peer_;
};

Bytes UlongBytes(CK_ULONG value) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
  return Bytes(bytes, bytes + sizeof(value));
}

struct Kdf {
  CK_ULONG kdf;
  const char* digest;
};

TEST_F(Pkcs11Derive, EveryKdfAndLengthEqualsOpenSsl) {
  const Bytes shared = {0x53, 0x68, 0x61, 0x72, 0x65, 0x64};
  for (const Kdf& kdf : {Kdf{CKD_SHA1_KDF, "SHA1"}, Kdf{CKD_SHA256_KDF, "SHA256"}, Kdf{CKD_SHA384_KDF, "SHA384"},
                         Kdf{CKD_SHA512_KDF, "SHA512"}}) {
    // Less than a block, exactly one, and several with a part of the last.
    for (const CK_ULONG length : {16ul, 32ul, 100ul}) {
      SCOPED_TRACE(std::string(kdf.digest) + ", " + std::to_string(length) + " bytes");
      CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
      ASSERT_EQ(Derive(kdf.kdf, shared, length, peer_.publicPoint(), 4, &key), CKR_OK);
      EXPECT_EQ(Attribute(session_, key, CKA_VALUE), Expected(kdf.digest, 0x81, shared, length));
      EXPECT_EQ(p11()->C_DestroyObject(session_, key), CKR_OK);
    }
  }
  // No shared data, the peer's point as a DER OCTET STRING, container 6.
  Bytes wrapped = {0x04, 0x41};
  wrapped.insert(wrapped.end(), peer_.publicPoint().begin(), peer_.publicPoint().end());
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  ASSERT_EQ(Derive(CKD_SHA256_KDF, {}, 32, wrapped, 6, &key), CKR_OK);
  EXPECT_EQ(Attribute(session_, key, CKA_VALUE), Expected("SHA256", 0x85, {}, 32));
}

// CKD_NULL hands out the secret the card agreed, the cofactor scheme
// agrees the same one (P-256's cofactor is 1), and a template without a
// length gets the whole secret or one block of the KDF's hash where that
// makes a key of its type.
TEST_F(Pkcs11Derive, RawSecretsAndDefaultLengthsEqualOpenSsl) {
  struct Case {
    CK_MECHANISM_TYPE mechanism;
    CK_ULONG kdf;
    const char* digest;  // of the KDF; null for the raw secret
    CK_KEY_TYPE keyType;
    CK_ULONG length;  // 0: none in the template
    int container;
    CK_RV rv;
    std::size_t made;
  };
  const Case cases[] = {
      {CKM_ECDH1_DERIVE, CKD_NULL, nullptr, CKK_GENERIC_SECRET, 0, 4, CKR_OK, 32},
      {CKM_ECDH1_COFACTOR_DERIVE, CKD_NULL, nullptr, CKK_GENERIC_SECRET, 0, 6, CKR_OK, 32},
      {CKM_ECDH1_DERIVE, CKD_NULL, nullptr, CKK_AES, 0, 5, CKR_OK, 32},
      // A shorter key is the secret's last bytes.
      {CKM_ECDH1_DERIVE, CKD_NULL, nullptr, CKK_AES, 16, 4, CKR_OK, 16},
      {CKM_ECDH1_COFACTOR_DERIVE, CKD_SHA1_KDF, "SHA1", CKK_GENERIC_SECRET, 0, 4, CKR_OK, 20},
      {CKM_ECDH1_DERIVE, CKD_SHA512_KDF, "SHA512", CKK_GENERIC_SECRET, 0, 6, CKR_OK, 64},
      {CKM_ECDH1_DERIVE, CKD_SHA256_KDF, "SHA256", CKK_AES, 0, 4, CKR_OK, 32},
      {CKM_ECDH1_COFACTOR_DERIVE, CKD_SHA384_KDF, "SHA384", CKK_AES, 24, 5, CKR_OK, 24},
      // No AES key has 20 or 48 bytes: the template must say.
      {CKM_ECDH1_DERIVE, CKD_SHA1_KDF, "SHA1", CKK_AES, 0, 4, CKR_TEMPLATE_INCOMPLETE, 0},
      {CKM_ECDH1_COFACTOR_DERIVE, CKD_SHA384_KDF, "SHA384", CKK_AES, 0, 4, CKR_TEMPLATE_INCOMPLETE, 0},
  };
  const Bytes shared = {'m', 'a', 'i', 'l'};
  for (const Case& c : cases) {
    SCOPED_TRACE("mechanism " + std::to_string(c.mechanism) + ", kdf " + std::to_string(c.kdf) + ", key type " +
                 std::to_string(c.keyType) + ", length " + std::to_string(c.length) + ", container " +
                 std::to_string(c.container));
    Bytes sharedData = c.digest != nullptr ? shared : Bytes();
    Bytes point = peer_.publicPoint();
    CK_ECDH1_DERIVE_PARAMS params{c.kdf, sharedData.size(), sharedData.empty() ? nullptr : sharedData.data(),
                                  point.size(), point.data()};
    CK_MECHANISM mechanism{c.mechanism, &params, sizeof(params)};
    CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
    CK_KEY_TYPE keyType = c.keyType;
    CK_ULONG length = c.length;
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &keyClass, sizeof(keyClass)},
                              {CKA_KEY_TYPE, &keyType, sizeof(keyType)},
                              {CKA_VALUE_LEN, &length, sizeof(length)}};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    ASSERT_EQ(p11()->C_DeriveKey(session_, &mechanism, Object(session_, CKO_PRIVATE_KEY, c.container), pattern,
                                 c.length != 0 ? 3 : 2, &key),
              c.rv);
    if (c.rv != CKR_OK) continue;
    const Bytes secret = ReferenceAgree(card()->Key(c.container == 6 ? 0x85 : 0x81), peer_.pkey());
    const Bytes expected = c.digest == nullptr ? Bytes(secret.end() - static_cast<std::ptrdiff_t>(c.made), secret.end())
                                               : ReferenceX963Kdf(c.digest, secret, shared, c.made);
    EXPECT_EQ(Attribute(session_, key, CKA_VALUE), expected);
    EXPECT_EQ(Attribute(session_, key, CKA_VALUE_LEN), UlongBytes(c.made));
    EXPECT_EQ(Attribute(session_, key, CKA_KEY_GEN_MECHANISM), UlongBytes(c.mechanism));
  }
}

// The raw secret is the card's own agreement command, sent by the module
// under the login: nothing else reaches the card, and a login the card
// forgot (another program reset it) is made again first.
TEST_F(Pkcs11Derive, RawSecretIsOneCardCommandUnderTheLogin) {
  const Bytes secret = ReferenceAgree(card()->Key(0x81), peer_.pkey());
  Find(session_);
  card()->ClearCounters();
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  ASSERT_EQ(Derive(CKD_NULL, {}, 32, peer_.publicPoint(), 4, &key), CKR_OK);
  EXPECT_EQ(Attribute(session_, key, CKA_VALUE), secret);
  EXPECT_EQ(card()->CommandCount(0x22), 1u);  // MANAGE SECURITY ENVIRONMENT
  EXPECT_EQ(card()->CommandCount(0x2A), 1u);  // the agreement
  EXPECT_EQ(card()->TotalCommands(), 2u);

  CardRack::Get().ResetByAnotherProgram(kReader);
  ASSERT_EQ(Derive(CKD_NULL, {}, 32, peer_.publicPoint(), 4, &key), CKR_OK);
  EXPECT_EQ(Attribute(session_, key, CKA_VALUE), secret);

  // Without the login the card is not asked.
  Bytes point = peer_.publicPoint();
  CK_ECDH1_DERIVE_PARAMS params{CKD_NULL, 0, nullptr, point.size(), point.data()};
  CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, sizeof(params)};
  CK_KEY_TYPE keyType = CKK_GENERIC_SECRET;
  CK_ATTRIBUTE pattern[] = {{CKA_KEY_TYPE, &keyType, sizeof(keyType)}};
  const CK_OBJECT_HANDLE base = Object(session_, CKO_PRIVATE_KEY, 4);
  ASSERT_EQ(p11()->C_Logout(session_), CKR_OK);
  card()->ClearCounters();
  EXPECT_EQ(p11()->C_DeriveKey(session_, &mechanism, base, pattern, 1, &key), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(card()->CommandCount(0x2A), 0u);
}

// A card whose agreement answers anything but a 32-byte secret makes no key.
TEST_F(Pkcs11Derive, AHostileAgreementAnswerMakesNoKey) {
  const Bytes answers[] = {Bytes(16, 0x11), Bytes(40, 0x22), Bytes{}, Bytes{0x69, 0x82}};
  for (const Bytes& data : answers) {
    SCOPED_TRACE(std::to_string(data.size()) + " bytes");
    emu::Personalisation hostile;
    Bytes answer = data;
    if (data.size() != 2) answer.insert(answer.end(), {0x90, 0x00});
    hostile.faults.answers.push_back({0x2A, 0, answer, 0});
    CardRack::Get().Pull(kReader);
    EXPECT_EQ(p11()->C_FindObjectsInit(session_, nullptr, 0), CKR_DEVICE_REMOVED);
    CardRack::Get().Insert(kReader, hostile);
    session_ = Open();
    Login(session_);
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    EXPECT_EQ(Derive(CKD_NULL, {}, 32, peer_.publicPoint(), 4, &key), CKR_DEVICE_ERROR);
    EXPECT_EQ(key, CK_INVALID_HANDLE);
    CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
    EXPECT_TRUE(Find(session_, {{CKA_CLASS, &secretClass, sizeof(secretClass)}}).empty());
  }
}

// The log at its fullest, the card's commands traced: neither the secret the
// card agreed nor a key made from it is written, whichever way it was made
// (the module's own command, or the minidriver's agreement); the card's
// answer appears as its length.
class Pkcs11DeriveLog : public Pkcs11Derive {
 protected:
  // Read when the token is made, as the minidriver reads them at an acquire.
  void SetUp() override {
    log_.emplace();
    Pkcs11Derive::SetUp();
  }
  void TearDown() override {
    Pkcs11Derive::TearDown();
    log_.reset();
  }

  std::optional<FullLog> log_;
};

std::string Hex(const Bytes& bytes, const char* digits) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

TEST_F(Pkcs11DeriveLog, NoSecretIsWritten) {
  const Bytes secret = ReferenceAgree(card()->Key(0x81), peer_.pkey());
  const Bytes derived = Expected("SHA256", 0x81, {}, 32);
  CK_OBJECT_HANDLE raw = CK_INVALID_HANDLE, kdf = CK_INVALID_HANDLE;
  ASSERT_EQ(Derive(CKD_NULL, {}, 32, peer_.publicPoint(), 4, &raw), CKR_OK);
  ASSERT_EQ(Derive(CKD_SHA256_KDF, {}, 32, peer_.publicPoint(), 4, &kdf), CKR_OK);
  ASSERT_EQ(Attribute(session_, raw, CKA_VALUE), secret);
  ASSERT_EQ(Attribute(session_, kdf, CKA_VALUE), derived);
  const std::string log = log_->Text();
  // The trace was on and saw both agreements, the module's and the minidriver's.
  const std::string withheld = "APDU < [32 bytes not logged] 9000";
  const std::size_t first = log.find(withheld);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(withheld, first + 1), std::string::npos) << log;
  for (const Bytes& value : {secret, derived}) {
    // Any 8 bytes of it, as the trace writes bytes, in either case.
    for (std::size_t at = 0; at + 8 <= value.size(); ++at) {
      const Bytes piece(value.begin() + static_cast<std::ptrdiff_t>(at),
                        value.begin() + static_cast<std::ptrdiff_t>(at + 8));
      EXPECT_EQ(log.find(Hex(piece, "0123456789ABCDEF")), std::string::npos) << at;
      EXPECT_EQ(log.find(Hex(piece, "0123456789abcdef")), std::string::npos) << at;
    }
  }
}

TEST_F(Pkcs11Derive, KdfsTheCardCannotDoAreRefused) {
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  Find(session_);  // the objects are read; what follows must not reach the card
  card()->ClearCounters();
  // SHA-224 is not among the minidriver's hashes; the raw secret takes no
  // shared data and has 32 bytes.
  EXPECT_EQ(Derive(CKD_SHA224_KDF, {}, 32, peer_.publicPoint(), 4, &key), CKR_MECHANISM_PARAM_INVALID);
  EXPECT_EQ(Derive(CKD_NULL, {1, 2}, 32, peer_.publicPoint(), 4, &key), CKR_MECHANISM_PARAM_INVALID);
  EXPECT_EQ(Derive(CKD_NULL, {}, 33, peer_.publicPoint(), 4, &key), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(Derive(CKD_SHA256_KDF, Bytes(509, 1), 32, peer_.publicPoint(), 4, &key), CKR_MECHANISM_PARAM_INVALID);
  Bytes compressed(33, 0x02);
  EXPECT_EQ(Derive(CKD_SHA256_KDF, {}, 32, compressed, 4, &key), CKR_MECHANISM_PARAM_INVALID);
  EXPECT_EQ(Derive(CKD_SHA256_KDF, {}, 32, peer_.publicPoint(), 0, &key), CKR_KEY_FUNCTION_NOT_PERMITTED);
  EXPECT_EQ(Derive(CKD_SHA256_KDF, {}, 0, peer_.publicPoint(), 4, &key), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(Derive(CKD_SHA256_KDF, {}, 2000, peer_.publicPoint(), 4, &key), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(card()->TotalCommands(), 0u);
  EXPECT_EQ(key, CK_INVALID_HANDLE);
}

TEST_F(Pkcs11Derive, TemplateDecidesTheKeyAndItsValueStaysInsideWhenSensitive) {
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  ASSERT_EQ(Derive(CKD_SHA256_KDF, {}, 32, peer_.publicPoint(), 4, &key, CK_TRUE), CKR_OK);
  CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p11()->C_GetAttributeValue(session_, key, &value, 1), CKR_ATTRIBUTE_SENSITIVE);

  CK_ECDH1_DERIVE_PARAMS params{CKD_SHA256_KDF, 0, nullptr, peer_.publicPoint().size(),
                                const_cast<CK_BYTE*>(peer_.publicPoint().data())};
  CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, sizeof(params)};
  const CK_OBJECT_HANDLE base = Object(session_, CKO_PRIVATE_KEY, 4);
  CK_OBJECT_CLASS wrongClass = CKO_PUBLIC_KEY;
  CK_BBOOL yes = CK_TRUE;
  CK_ULONG aes = CKK_AES, length = 20;
  CK_ATTRIBUTE publicKey[] = {{CKA_CLASS, &wrongClass, sizeof(wrongClass)}};
  CK_ATTRIBUTE onToken[] = {{CKA_TOKEN, &yes, sizeof(yes)}};
  CK_ATTRIBUTE oddAes[] = {{CKA_KEY_TYPE, &aes, sizeof(aes)}, {CKA_VALUE_LEN, &length, sizeof(length)}};
  CK_ATTRIBUTE shortLength[] = {{CKA_VALUE_LEN, &length, 4}};
  EXPECT_EQ(p11()->C_DeriveKey(session_, &mechanism, base, publicKey, 1, &key), CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(p11()->C_DeriveKey(session_, &mechanism, base, onToken, 1, &key), CKR_SESSION_READ_ONLY);
  EXPECT_EQ(p11()->C_DeriveKey(session_, &mechanism, base, oddAes, 2, &key), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(p11()->C_DeriveKey(session_, &mechanism, base, shortLength, 1, &key), CKR_ATTRIBUTE_VALUE_INVALID);
  length = 24;
  ASSERT_EQ(p11()->C_DeriveKey(session_, &mechanism, base, oddAes, 2, &key), CKR_OK);
  EXPECT_EQ(Attribute(session_, key, CKA_VALUE), Expected("SHA256", 0x81, {}, 24));
}

// The value leaves the token only from a key that is neither sensitive nor
// unextractable; the "always sensitive" and "never extractable" attributes
// say what the template made it.
TEST_F(Pkcs11Derive, SensitiveOrUnextractableKeysKeepTheirValueInside) {
  struct Case {
    CK_BBOOL sensitive;
    CK_BBOOL extractable;
    bool readable;
  };
  const Case cases[] = {{CK_FALSE, CK_TRUE, true},
                        {CK_TRUE, CK_TRUE, false},
                        {CK_FALSE, CK_FALSE, false},
                        {CK_TRUE, CK_FALSE, false}};
  const auto flag = [&](CK_OBJECT_HANDLE key, CK_ATTRIBUTE_TYPE type) { return Attribute(session_, key, type); };
  for (const Case& c : cases) {
    SCOPED_TRACE("sensitive " + std::to_string(c.sensitive) + ", extractable " + std::to_string(c.extractable));
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    ASSERT_EQ(Derive(CKD_SHA256_KDF, {}, 32, peer_.publicPoint(), 4, &key, c.sensitive, CK_FALSE, c.extractable),
              CKR_OK);
    CK_BYTE value[32];
    CK_ATTRIBUTE read{CKA_VALUE, value, sizeof(value)};
    EXPECT_EQ(p11()->C_GetAttributeValue(session_, key, &read, 1), c.readable ? CKR_OK : CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(read.ulValueLen, c.readable ? 32 : CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(flag(key, CKA_SENSITIVE), Bytes{c.sensitive});
    EXPECT_EQ(flag(key, CKA_EXTRACTABLE), Bytes{c.extractable});
    EXPECT_EQ(flag(key, CKA_ALWAYS_SENSITIVE), Bytes{c.sensitive});
    EXPECT_EQ(flag(key, CKA_NEVER_EXTRACTABLE), Bytes{static_cast<CK_BBOOL>(!c.extractable)});
  }
}

// Nor when the token goes: at C_Finalize, or when the card is pulled.
TEST_F(Pkcs11Derive, DerivedKeyBytesAreWipedWhenTheTokenGoes) {
  if (!FreedMemoryWatch::available()) GTEST_SKIP() << "needs a sanitizer's allocator hooks";
  const Bytes shared = {'g', 'o', 'n', 'e'};
  std::array<std::uint8_t, 16> head{};
  {
    Bytes expected = Expected("SHA256", 0x81, shared, 64);
    std::copy_n(expected.begin(), head.size(), head.begin());
    SecureWipe(expected.data(), expected.size());
  }
  const std::pair<const char*, std::function<void()>> ends[] = {
      {"C_Finalize", [&] { ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK); }},
      {"the card pulled",
       [&] {
         CardRack::Get().Pull(kReader);
         EXPECT_EQ(p11()->C_FindObjectsInit(session_, nullptr, 0), CKR_DEVICE_REMOVED);
       }},
  };
  for (const auto& [name, end] : ends) {
    SCOPED_TRACE(name);
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    ASSERT_EQ(Derive(CKD_SHA256_KDF, shared, 64, peer_.publicPoint(), 4, &key), CKR_OK);
    {
      FreedMemoryWatch watch(head);
      end();
      EXPECT_EQ(watch.Hits(), 0);
    }
    // A token for the next round.
    if (p11()->C_GetInfo(nullptr) == CKR_CRYPTOKI_NOT_INITIALIZED) {
      ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
    }
    CardRack::Get().Insert(kReader);
    session_ = Open();
    Login(session_);
  }
}

// A derived key lives as long as the session that made it.
TEST_F(Pkcs11Derive, DerivedKeysGoWithTheirSession) {
  const CK_SESSION_HANDLE other = Open();
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  ASSERT_EQ(Derive(CKD_SHA1_KDF, {}, 20, peer_.publicPoint(), 5, &key), CKR_OK);
  EXPECT_FALSE(Attribute(other, key, CKA_VALUE).empty());
  ASSERT_EQ(p11()->C_CloseSession(session_), CKR_OK);
  CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p11()->C_GetAttributeValue(other, key, &value, 1), CKR_OBJECT_HANDLE_INVALID);
}

// A derived key's bytes never go back to the heap unwiped: not while its
// value is assembled block by block, nor when the key is destroyed, nor when
// its session or all sessions close.
TEST_F(Pkcs11Derive, DerivedKeyBytesAreWipedBeforeTheirMemoryIsFreed) {
  if (!FreedMemoryWatch::available()) GTEST_SKIP() << "needs a sanitizer's allocator hooks";
  const Bytes shared = {0x77, 0x69, 0x70, 0x65};
  // Known before the derivation, so that the watch covers all of it; the
  // reference's own copy is wiped before it is freed.
  std::array<std::uint8_t, 16> head{};
  {
    Bytes expected = Expected("SHA256", 0x81, shared, 100);
    std::copy_n(expected.begin(), head.size(), head.begin());
    SecureWipe(expected.data(), expected.size());
  }
  const CK_SESSION_HANDLE other = Open();
  const CK_SESSION_HANDLE first = session_;
  {
    FreedMemoryWatch watch(head);
    // Four SHA-256 blocks each: the value grows as it is made.
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    ASSERT_EQ(Derive(CKD_SHA256_KDF, shared, 100, peer_.publicPoint(), 4, &key), CKR_OK);
    EXPECT_EQ(watch.Hits(), 0) << "while the key was made";
    ASSERT_EQ(p11()->C_DestroyObject(session_, key), CKR_OK);
    EXPECT_EQ(watch.Hits(), 0) << "C_DestroyObject";

    ASSERT_EQ(Derive(CKD_SHA256_KDF, shared, 100, peer_.publicPoint(), 4, &key), CKR_OK);
    session_ = other;
    ASSERT_EQ(Derive(CKD_SHA256_KDF, shared, 100, peer_.publicPoint(), 4, &key), CKR_OK);
    ASSERT_EQ(p11()->C_CloseSession(first), CKR_OK);
    EXPECT_EQ(watch.Hits(), 0) << "C_CloseSession";
    ASSERT_EQ(p11()->C_CloseAllSessions(slot()), CKR_OK);
    EXPECT_EQ(watch.Hits(), 0) << "C_CloseAllSessions";
  }
}

// A private session key belongs to the login: logging out destroys it, its
// value wiped first, and logging in again does not bring it back. A public
// one stays with its session.
TEST_F(Pkcs11Derive, PrivateSessionKeysGoAtLogout) {
  const Bytes privateShared = {'p', 'r', 'i', 'v'};
  std::array<std::uint8_t, 16> head{};
  {
    Bytes expected = Expected("SHA256", 0x81, privateShared, 32);
    std::copy_n(expected.begin(), head.size(), head.begin());
    SecureWipe(expected.data(), expected.size());
  }
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  ASSERT_EQ(Derive(CKD_SHA256_KDF, privateShared, 32, peer_.publicPoint(), 4, &privateKey, CK_FALSE, CK_TRUE), CKR_OK);
  ASSERT_EQ(Derive(CKD_SHA256_KDF, {}, 32, peer_.publicPoint(), 4, &publicKey), CKR_OK);
  ASSERT_FALSE(Attribute(session_, privateKey, CKA_VALUE).empty());
  {
    std::optional<FreedMemoryWatch> watch;
    if (FreedMemoryWatch::available()) watch.emplace(head);
    ASSERT_EQ(p11()->C_Logout(session_), CKR_OK);
    if (watch) {
      EXPECT_EQ(watch->Hits(), 0) << "the value went back to the heap unwiped";
    }
  }
  CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p11()->C_GetAttributeValue(session_, privateKey, &value, 1), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(Attribute(session_, publicKey, CKA_VALUE), Expected("SHA256", 0x81, {}, 32));
  Login(session_);
  EXPECT_EQ(p11()->C_GetAttributeValue(session_, privateKey, &value, 1), CKR_OBJECT_HANDLE_INVALID);
}

// The agreement slot is given back whatever happens: many derivations in a
// row never run out of the minidriver's ten.
TEST_F(Pkcs11Derive, AgreementsAreAlwaysGivenBack) {
  for (int i = 0; i < 12; ++i) {
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    ASSERT_EQ(Derive(CKD_SHA512_KDF, {}, 200, peer_.publicPoint(), 4, &key), CKR_OK) << i;
  }
}

}  // namespace
}  // namespace vela::test
