// Signatures: every mechanism, single- and multi-part, checked by OpenSSL
// against the container's key; the refusals; and what a signature costs.
#include "openssl_reference.h"
#include "p11_harness.h"

namespace vela::test {
namespace {

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

class Pkcs11Sign : public P11Test {
 protected:
  void SetUp() override {
    P11Test::SetUp();
    session_ = Open();
    Login(session_);
  }

  Bytes Sign(CK_MECHANISM_TYPE type, int container, const Bytes& data, CK_RV* rv = nullptr) {
    CK_MECHANISM mechanism{type, nullptr, 0};
    EXPECT_EQ(p11()->C_SignInit(session_, &mechanism, Object(session_, CKO_PRIVATE_KEY, container)), CKR_OK);
    Bytes input = data;
    Bytes signature(64);
    CK_ULONG length = signature.size();
    const CK_RV result = p11()->C_Sign(session_, input.data(), input.size(), signature.data(), &length);
    if (rv != nullptr) {
      *rv = result;
    } else {
      EXPECT_EQ(result, CKR_OK);
    }
    signature.resize(result == CKR_OK ? length : 0);
    return signature;
  }

  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

struct HashedMechanism {
  CK_MECHANISM_TYPE type;
  const char* digest;
};

TEST_F(Pkcs11Sign, EveryMechanismSignsWhatOpenSslVerifies) {
  const Bytes message = Text("the contract, signed on the card");
  const HashedMechanism hashed[] = {{CKM_ECDSA_SHA1, "SHA1"},     {CKM_ECDSA_SHA224, "SHA224"},
                                    {CKM_ECDSA_SHA256, "SHA256"}, {CKM_ECDSA_SHA384, "SHA384"},
                                    {CKM_ECDSA_SHA512, "SHA512"}};
  for (const HashedMechanism& m : hashed) {
    SCOPED_TRACE(m.digest);
    const Bytes hash = ReferenceDigest(m.digest, message);
    EXPECT_TRUE(ReferenceEcdsaVerify(card()->Key(0x80), hash, Sign(m.type, 0, message)));

    // The same in parts.
    CK_MECHANISM mechanism{m.type, nullptr, 0};
    ASSERT_EQ(p11()->C_SignInit(session_, &mechanism, Object(session_, CKO_PRIVATE_KEY, 7)), CKR_OK);
    Bytes part1(message.begin(), message.begin() + 5), part2(message.begin() + 5, message.end());
    ASSERT_EQ(p11()->C_SignUpdate(session_, part1.data(), part1.size()), CKR_OK);
    ASSERT_EQ(p11()->C_SignUpdate(session_, part2.data(), part2.size()), CKR_OK);
    Bytes signature(64);
    CK_ULONG length = signature.size();
    ASSERT_EQ(p11()->C_SignFinal(session_, signature.data(), &length), CKR_OK);
    EXPECT_TRUE(ReferenceEcdsaVerify(card()->Key(0x84), hash, signature));
  }
  // CKM_ECDSA signs the caller's hash; a hash longer than the key is cut as
  // ECDSA cuts it, so OpenSSL verifies it whole.
  for (const char* digest : {"SHA1", "SHA256", "SHA512"}) {
    const Bytes hash = ReferenceDigest(digest, message);
    EXPECT_TRUE(ReferenceEcdsaVerify(card()->Key(0x82), hash, Sign(CKM_ECDSA, 2, hash))) << digest;
  }
}

TEST_F(Pkcs11Sign, SizeQueryAndShortBufferKeepTheOperation) {
  const Bytes hash = ReferenceDigest("SHA256", Text("data"));
  CK_MECHANISM mechanism{CKM_ECDSA, nullptr, 0};
  ASSERT_EQ(p11()->C_SignInit(session_, &mechanism, Object(session_, CKO_PRIVATE_KEY, 0)), CKR_OK);
  Bytes input = hash;
  CK_ULONG length = 0;
  card()->ClearCounters();
  ASSERT_EQ(p11()->C_Sign(session_, input.data(), input.size(), nullptr, &length), CKR_OK);
  EXPECT_EQ(length, 64u);
  Bytes signature(64);
  length = 63;
  ASSERT_EQ(p11()->C_Sign(session_, input.data(), input.size(), signature.data(), &length), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 64u);
  EXPECT_EQ(card()->TotalCommands(), 0u) << "nothing is signed until there is room";
  ASSERT_EQ(p11()->C_Sign(session_, input.data(), input.size(), signature.data(), &length), CKR_OK);
  EXPECT_TRUE(ReferenceEcdsaVerify(card()->Key(0x80), hash, signature));
  // Done: the operation has ended.
  EXPECT_EQ(p11()->C_Sign(session_, input.data(), input.size(), signature.data(), &length),
            CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(Pkcs11Sign, RefusalsNameTheFault) {
  CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
  CK_MECHANISM derive{CKM_ECDH1_DERIVE, nullptr, 0};
  CK_BYTE parameter = 0;
  CK_MECHANISM withParameter{CKM_ECDSA, &parameter, 1};
  const CK_OBJECT_HANDLE signing = Object(session_, CKO_PRIVATE_KEY, 0);
  EXPECT_EQ(p11()->C_SignInit(session_, &ecdsa, Object(session_, CKO_PRIVATE_KEY, 4)), CKR_KEY_FUNCTION_NOT_PERMITTED);
  EXPECT_EQ(p11()->C_SignInit(session_, &ecdsa, Object(session_, CKO_PUBLIC_KEY, 0)), CKR_KEY_FUNCTION_NOT_PERMITTED);
  EXPECT_EQ(p11()->C_SignInit(session_, &ecdsa, Object(session_, CKO_CERTIFICATE, 0)), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(p11()->C_SignInit(session_, &derive, signing), CKR_MECHANISM_INVALID);
  EXPECT_EQ(p11()->C_SignInit(session_, &withParameter, signing), CKR_MECHANISM_PARAM_INVALID);
  ASSERT_EQ(p11()->C_SignInit(session_, &ecdsa, signing), CKR_OK);
  EXPECT_EQ(p11()->C_SignInit(session_, &ecdsa, signing), CKR_OPERATION_ACTIVE);
  // CKM_ECDSA has no parts: the attempt ends the operation.
  CK_BYTE data[4] = {1, 2, 3, 4};
  EXPECT_EQ(p11()->C_SignUpdate(session_, data, sizeof(data)), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(p11()->C_SignInit(session_, &ecdsa, signing), CKR_OK);
  CK_ULONG length = 64;
  CK_BYTE signature[64];
  EXPECT_EQ(p11()->C_Sign(session_, data, 0, signature, &length), CKR_DATA_LEN_RANGE);
  // An empty message has a hash like any other.
  CK_MECHANISM sha256{CKM_ECDSA_SHA256, nullptr, 0};
  ASSERT_EQ(p11()->C_SignInit(session_, &sha256, signing), CKR_OK);
  ASSERT_EQ(p11()->C_Sign(session_, nullptr, 0, signature, &length), CKR_OK);
  EXPECT_TRUE(ReferenceEcdsaVerify(card()->Key(0x80), ReferenceDigest("SHA256", {}), Bytes(signature, signature + 64)));
}

// Logged out, the private key's handle still names it but cannot be used,
// and the key is no longer found.
TEST_F(Pkcs11Sign, LogoutEndsSigning) {
  const CK_OBJECT_HANDLE key = Object(session_, CKO_PRIVATE_KEY, 0);
  ASSERT_EQ(p11()->C_Logout(session_), CKR_OK);
  CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
  EXPECT_EQ(p11()->C_SignInit(session_, &ecdsa, key), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(Object(session_, CKO_PRIVATE_KEY, 0), CK_INVALID_HANDLE);
}

// Logging in and signing one hash, on a token whose objects are listed.
TEST_F(Pkcs11Sign, LoginAndSignCostFiveCommands) {
  const CK_OBJECT_HANDLE key = Object(session_, CKO_PRIVATE_KEY, 0);
  ASSERT_EQ(p11()->C_Logout(session_), CKR_OK);
  const CK_SESSION_HANDLE session = Open();
  card()->ClearCounters();
  Login(session);
  CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
  ASSERT_EQ(p11()->C_SignInit(session, &ecdsa, key), CKR_OK);
  Bytes hash = ReferenceDigest("SHA256", Text("x"));
  CK_BYTE signature[64];
  CK_ULONG length = sizeof(signature);
  ASSERT_EQ(p11()->C_Sign(session, hash.data(), hash.size(), signature, &length), CKR_OK);
  EXPECT_EQ(card()->TotalCommands(), 5u);
  EXPECT_EQ(card()->CommandCount(0x20), 1u);  // VERIFY
  EXPECT_EQ(card()->CommandCount(0x22), 1u);  // MANAGE SECURITY ENVIRONMENT
  EXPECT_EQ(card()->CommandCount(0x2A), 1u);  // PERFORM SECURITY OPERATION
}

}  // namespace
}  // namespace vela::test
