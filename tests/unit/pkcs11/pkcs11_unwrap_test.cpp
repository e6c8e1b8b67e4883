// C_UnwrapKey with the AES key wraps, as a mail program unwraps a message's
// key under the key it derived with the card: the wraps against the RFCs'
// own vectors, then through the token with keys the card agreed, wrapped
// by OpenSSL.
#include <openssl/evp.h>

#include <memory>

#include "emulator/card_keys.h"
#include "openssl_reference.h"
#include "p11_harness.h"
#include "pkcs11/key_wrap.h"

namespace vela::test {
namespace {

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

using pkcs11::KeyWrap;

// RFC 3394 section 4.1 and 4.6, RFC 5649 section 6; then each wrap with a
// byte changed, cut short, or under another key.
TEST(AesKeyUnwrap, RfcVectorsAndDamagedWraps) {
  struct Case {
    const char* name;
    KeyWrap kind;
    const char* kek;
    const char* wrapped;
    const char* key;  // empty: refused with `rv`
    CK_RV rv;
  };
  const char* kek128 = "000102030405060708090A0B0C0D0E0F";
  const char* kek192 = "5840df6e29b02af1ab493b705bf16ea1ae8338f4dcc176a8";
  const char* kek256 = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
  const Case cases[] = {
      {"3394 4.1", KeyWrap::kRfc3394, kek128, "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5",
       "00112233445566778899AABBCCDDEEFF", CKR_OK},
      {"3394 4.6", KeyWrap::kRfc3394, kek256,
       "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21",
       "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F", CKR_OK},
      {"5649 20 bytes", KeyWrap::kRfc5649, kek192, "138bdeaa9b8fa7fc61f97742e72248ee5ae6ae5360d1ae6a5f54f373fa543b6a",
       "c37b7e6492584340bed12207808941155068f738", CKR_OK},
      {"5649 7 bytes", KeyWrap::kRfc5649, kek192, "afbeb0f07dfbf5419200f2ccb50bb24f", "466f7250617369", CKR_OK},
      {"3394 byte changed", KeyWrap::kRfc3394, kek128, "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE4", "",
       CKR_WRAPPED_KEY_INVALID},
      {"5649 byte changed", KeyWrap::kRfc5649, kek192, "afbeb0f07dfbf5419200f2ccb50bb25f", "", CKR_WRAPPED_KEY_INVALID},
      {"3394 under another key", KeyWrap::kRfc3394, kek256, "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5", "",
       CKR_WRAPPED_KEY_INVALID},
      {"a key of no AES size", KeyWrap::kRfc3394, "000102030405060708090A0B0C0D0E0F10111213",
       "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5", "", CKR_KEY_SIZE_RANGE},
      {"3394 read as 5649", KeyWrap::kRfc5649, kek128, "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5", "",
       CKR_WRAPPED_KEY_INVALID},
      {"3394 one semiblock short", KeyWrap::kRfc3394, kek128, "1FA68B0A8112B447AEF34BD8FB5A7B82", "",
       CKR_WRAPPED_KEY_LEN_RANGE},
      {"5649 not whole semiblocks", KeyWrap::kRfc5649, kek192, "afbeb0f07dfbf5419200f2ccb50bb2", "",
       CKR_WRAPPED_KEY_LEN_RANGE},
      {"5649 empty", KeyWrap::kRfc5649, kek192, "", "", CKR_WRAPPED_KEY_LEN_RANGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    EXPECT_EQ(pkcs11::AesKeyUnwrap(c.kind, FromHex(c.kek), {}, FromHex(c.wrapped), &out), c.rv);
    EXPECT_EQ(out, FromHex(c.key));
  }
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// OpenSSL's AES key wrap of `key` under `kek`, with or without padding.
Bytes ReferenceWrap(bool pad, const Bytes& kek, const Bytes& key, const Bytes& iv = {}) {
  const EVP_CIPHER* cipher = kek.size() == 16 ? (pad ? EVP_aes_128_wrap_pad() : EVP_aes_128_wrap())
                                              : (pad ? EVP_aes_256_wrap_pad() : EVP_aes_256_wrap());
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
  EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  Bytes out(key.size() + 16);
  int length = 0, last = 0;
  if (EVP_EncryptInit_ex(context.get(), cipher, nullptr, kek.data(), iv.empty() ? nullptr : iv.data()) != 1 ||
      EVP_EncryptUpdate(context.get(), out.data(), &length, key.data(), static_cast<int>(key.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), out.data() + length, &last) != 1) {
    return {};
  }
  out.resize(static_cast<std::size_t>(length + last));
  return out;
}

class Pkcs11Unwrap : public P11Test {
 protected:
  void SetUp() override {
    P11Test::SetUp();
    session_ = Open();
    Login(session_);
    peer_ = emu::EcKey::Derive(98, "sender");
  }

  // A key-encryption key as a mail program derives it: AES of `length`
  // bytes from the X9.63 KDF with SHA-256, with only the usage it names.
  CK_OBJECT_HANDLE DeriveKek(CK_ULONG length, CK_KEY_TYPE keyType = CKK_AES, CK_ATTRIBUTE_TYPE usage = CKA_WRAP,
                             CK_BBOOL allowed = CK_TRUE) {
    Bytes point = peer_.publicPoint();
    CK_ECDH1_DERIVE_PARAMS params{CKD_SHA256_KDF, 0, nullptr, point.size(), point.data()};
    CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, sizeof(params)};
    CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &keyClass, sizeof(keyClass)},
                              {CKA_KEY_TYPE, &keyType, sizeof(keyType)},
                              {usage, &allowed, sizeof(allowed)},
                              {CKA_VALUE_LEN, &length, sizeof(length)}};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    EXPECT_EQ(p11()->C_DeriveKey(session_, &mechanism, Object(session_, CKO_PRIVATE_KEY, 4), pattern, 4, &key),
              CKR_OK);
    return key;
  }

  Bytes KekValue(CK_ULONG length) {
    return ReferenceX963Kdf("SHA256", ReferenceAgree(card()->Key(0x81), peer_.pkey()), {}, length);
  }

  CK_RV Unwrap(CK_MECHANISM_TYPE type, CK_OBJECT_HANDLE kek, Bytes wrapped, std::vector<CK_ATTRIBUTE> pattern,
               CK_OBJECT_HANDLE* key, Bytes iv = {}) {
    CK_MECHANISM mechanism{type, iv.empty() ? nullptr : iv.data(), iv.size()};
    return p11()->C_UnwrapKey(session_, &mechanism, kek, wrapped.data(), wrapped.size(), pattern.data(),
                              pattern.size(), key);
  }

  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  emu::EcKey peer_;
  CK_OBJECT_CLASS secretClass_ = CKO_SECRET_KEY;
  CK_KEY_TYPE aes_ = CKK_AES;
  CK_KEY_TYPE generic_ = CKK_GENERIC_SECRET;
  CK_BBOOL yes_ = CK_TRUE;
  CK_BBOOL no_ = CK_FALSE;
};

// The template NSS gives: class, AES, the usage it wants; the unwrapped key's
// value may then be read to move it to another token.
TEST_F(Pkcs11Unwrap, ContentKeysComeOutAsTheSenderWrappedThem) {
  const Bytes contentKey = FromHex("8899aabbccddeeff0011223344556677f0e1d2c3b4a5968778695a4b3c2d1e0f");
  struct Case {
    CK_MECHANISM_TYPE type;
    CK_ULONG kekLength;
    std::size_t keyLength;
    Bytes iv;
  };
  const Case cases[] = {
      {CKM_AES_KEY_WRAP, 16, 16, {}},
      {CKM_AES_KEY_WRAP, 32, 32, {}},
      {CKM_AES_KEY_WRAP_PAD, 32, 24, {}},
      {CKM_AES_KEY_WRAP, 32, 16, FromHex("0123456789abcdef")},
      {CKM_AES_KEY_WRAP_PAD, 16, 32, FromHex("a1b2c3d4")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mechanism " + std::to_string(c.type) + ", key " + std::to_string(c.keyLength) + " under " +
                 std::to_string(c.kekLength) + (c.iv.empty() ? "" : ", own IV"));
    const CK_OBJECT_HANDLE kek = DeriveKek(c.kekLength);
    const Bytes key(contentKey.begin(), contentKey.begin() + static_cast<std::ptrdiff_t>(c.keyLength));
    const Bytes wrapped = ReferenceWrap(c.type == CKM_AES_KEY_WRAP_PAD, KekValue(c.kekLength), key, c.iv);
    ASSERT_FALSE(wrapped.empty());
    CK_OBJECT_HANDLE unwrapped = CK_INVALID_HANDLE;
    ASSERT_EQ(Unwrap(c.type, kek, wrapped,
                     {{CKA_CLASS, &secretClass_, sizeof(secretClass_)},
                      {CKA_KEY_TYPE, &aes_, sizeof(aes_)},
                      {CKA_UNWRAP, &yes_, sizeof(yes_)}},
                     &unwrapped, c.iv),
              CKR_OK);
    EXPECT_EQ(Attribute(session_, unwrapped, CKA_VALUE), key);
    EXPECT_EQ(Attribute(session_, unwrapped, CKA_DECRYPT), Bytes{CK_TRUE});
    EXPECT_EQ(Attribute(session_, unwrapped, CKA_TOKEN), Bytes{CK_FALSE});
    // Its value came from outside the token.
    EXPECT_EQ(Attribute(session_, unwrapped, CKA_NEVER_EXTRACTABLE), Bytes{CK_FALSE});
  }
}

// Refusals change nothing: no key is made, and the unwrapping key is used
// only for what it may do.
TEST_F(Pkcs11Unwrap, WhatCannotBeUnwrappedIsRefused) {
  const CK_OBJECT_HANDLE kek = DeriveKek(16);
  const Bytes key(16, 0x5A);
  const Bytes wrapped = ReferenceWrap(false, KekValue(16), key);
  const CK_OBJECT_HANDLE generic = DeriveKek(16, CKK_GENERIC_SECRET);
  const CK_OBJECT_HANDLE noUnwrap = DeriveKek(16, CKK_AES, CKA_UNWRAP, CK_FALSE);
  CK_ULONG wrongLength = 24, rightLength = 16;
  const std::vector<CK_ATTRIBUTE> aes = {{CKA_CLASS, &secretClass_, sizeof(secretClass_)},
                                         {CKA_KEY_TYPE, &aes_, sizeof(aes_)}};
  Bytes damaged = wrapped;
  damaged[3] ^= 1;
  struct Case {
    const char* name;
    CK_MECHANISM_TYPE type;
    CK_OBJECT_HANDLE kek;
    Bytes wrapped;
    std::vector<CK_ATTRIBUTE> pattern;
    Bytes iv;
    CK_RV rv;
  };
  const Case cases[] = {
      {"another mechanism", CKM_AES_ECB, kek, wrapped, aes, {}, CKR_MECHANISM_INVALID},
      {"an IV of 7 bytes", CKM_AES_KEY_WRAP, kek, wrapped, aes, Bytes(7, 1), CKR_MECHANISM_PARAM_INVALID},
      {"no such key", CKM_AES_KEY_WRAP, kek + 100, wrapped, aes, {}, CKR_UNWRAPPING_KEY_HANDLE_INVALID},
      {"a generic secret", CKM_AES_KEY_WRAP, generic, wrapped, aes, {}, CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT},
      {"the card's private key", CKM_AES_KEY_WRAP, Object(session_, CKO_PRIVATE_KEY, 4), wrapped, aes, {},
       CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT},
      {"a key that may not unwrap", CKM_AES_KEY_WRAP, noUnwrap, wrapped, aes, {}, CKR_KEY_FUNCTION_NOT_PERMITTED},
      {"no key type", CKM_AES_KEY_WRAP, kek, wrapped, {{CKA_CLASS, &secretClass_, sizeof(secretClass_)}}, {},
       CKR_TEMPLATE_INCOMPLETE},
      {"a token object", CKM_AES_KEY_WRAP, kek, wrapped,
       {{CKA_KEY_TYPE, &aes_, sizeof(aes_)}, {CKA_TOKEN, &yes_, sizeof(yes_)}}, {}, CKR_SESSION_READ_ONLY},
      {"another length", CKM_AES_KEY_WRAP, kek, wrapped,
       {{CKA_KEY_TYPE, &aes_, sizeof(aes_)}, {CKA_VALUE_LEN, &wrongLength, sizeof(wrongLength)}}, {},
       CKR_TEMPLATE_INCONSISTENT},
      {"a byte changed", CKM_AES_KEY_WRAP, kek, damaged, aes, {}, CKR_WRAPPED_KEY_INVALID},
      {"cut short", CKM_AES_KEY_WRAP, kek, Bytes(wrapped.begin(), wrapped.end() - 8), aes, {},
       CKR_WRAPPED_KEY_LEN_RANGE},
      {"an AES key of 20 bytes", CKM_AES_KEY_WRAP_PAD, kek, ReferenceWrap(true, KekValue(16), Bytes(20, 7)), aes, {},
       CKR_WRAPPED_KEY_INVALID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
    EXPECT_EQ(Unwrap(c.type, c.kek, c.wrapped, c.pattern, &made, c.iv), c.rv);
    EXPECT_EQ(made, CK_INVALID_HANDLE);
  }
  EXPECT_EQ(Find(session_, {{CKA_CLASS, &secretClass_, sizeof(secretClass_)}}).size(), 3u);

  // A generic secret of the right length comes out as asked, and stays
  // inside when the template makes it sensitive.
  CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
  ASSERT_EQ(Unwrap(CKM_AES_KEY_WRAP, kek, wrapped,
                   {{CKA_KEY_TYPE, &generic_, sizeof(generic_)},
                    {CKA_VALUE_LEN, &rightLength, sizeof(rightLength)},
                    {CKA_SENSITIVE, &yes_, sizeof(yes_)}},
                   &made),
            CKR_OK);
  CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p11()->C_GetAttributeValue(session_, made, &value, 1), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(Attribute(session_, made, CKA_ALWAYS_SENSITIVE), Bytes{CK_FALSE});
}

}  // namespace
}  // namespace vela::test
