// CKM_ECDH1_DERIVE: the card agrees the secret, the minidriver's "HASH"
// derivation makes the X9.63 KDF blocks; the keys must equal OpenSSL's ECDH
// and X963KDF from the same two keys.
#include <algorithm>
#include <array>
#include <functional>
#include <optional>

#include "core/secure_wipe.h"
#include "emulator/card_keys.h"
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

TEST_F(Pkcs11Derive, KdfsTheCardCannotDoAreRefused) {
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  Find(session_);  // the objects are read; what follows must not reach the card
  card()->ClearCounters();
  // The raw secret never leaves the minidriver; SHA-224 is not among its hashes.
  EXPECT_EQ(Derive(CKD_NULL, {}, 32, peer_.publicPoint(), 4, &key), CKR_MECHANISM_PARAM_INVALID);
  EXPECT_EQ(Derive(CKD_SHA224_KDF, {}, 32, peer_.publicPoint(), 4, &key), CKR_MECHANISM_PARAM_INVALID);
  EXPECT_EQ(Derive(CKD_SHA256_KDF, Bytes(509, 1), 32, peer_.publicPoint(), 4, &key), CKR_MECHANISM_PARAM_INVALID);
  Bytes compressed(33, 0x02);
  EXPECT_EQ(Derive(CKD_SHA256_KDF, {}, 32, compressed, 4, &key), CKR_MECHANISM_PARAM_INVALID);
  EXPECT_EQ(Derive(CKD_SHA256_KDF, {}, 32, peer_.publicPoint(), 0, &key), CKR_KEY_FUNCTION_NOT_PERMITTED);
  EXPECT_EQ(Derive(CKD_SHA256_KDF, {}, 0, peer_.publicPoint(), 4, &key), CKR_TEMPLATE_INCOMPLETE);
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
