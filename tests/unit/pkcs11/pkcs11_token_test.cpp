// The library, its slots and the token: what programs read before they open
// a session, and how every entry answers arguments it cannot use.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "p11_harness.h"

namespace vela::test {
namespace {

std::string Field(const unsigned char* field, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(field), size);
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

class Pkcs11Token : public P11Test {
 protected:
  Pkcs11Token() { personalisation_.serial = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x01, 0x02, 0x03, 0x04}; }
};

TEST_F(Pkcs11Token, TokenIsNamedAfterTheCardAndSaysItIsReadOnly) {
  CK_TOKEN_INFO info;
  ASSERT_EQ(p11()->C_GetTokenInfo(slot(), &info), CKR_OK);
  EXPECT_EQ(Field(info.label, sizeof(info.label)), "VELA G3 A1B2C3D4E5F601020304");
  EXPECT_EQ(Field(info.serialNumber, sizeof(info.serialNumber)), "C3D4E5F601020304");
  EXPECT_EQ(Field(info.model, sizeof(info.model)), "VELA G3");
  EXPECT_EQ(info.flags, CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_WRITE_PROTECTED);
  EXPECT_EQ(info.ulMinPinLen, 6u);
  EXPECT_EQ(info.ulMaxPinLen, 48u);

  CK_SLOT_INFO slotInfo;
  ASSERT_EQ(p11()->C_GetSlotInfo(slot(), &slotInfo), CKR_OK);
  EXPECT_EQ(Field(slotInfo.slotDescription, sizeof(slotInfo.slotDescription)), kReader);
  EXPECT_EQ(slotInfo.flags, CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
}

TEST_F(Pkcs11Token, OneSlotPerReaderAndTokensOnlyWhereACardIsAccepted) {
  CardRack::Get().AddReader("Emulated Reader 1");  // empty
  CK_ULONG count = 0;
  ASSERT_EQ(p11()->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  ASSERT_EQ(count, 1u);
  CK_SLOT_ID ids[2] = {99, 99};
  count = 0;
  EXPECT_EQ(p11()->C_GetSlotList(CK_FALSE, ids, &count), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, ids, &count), CKR_OK);
  EXPECT_EQ(ids[0], slot());
  CK_TOKEN_INFO info;
  EXPECT_EQ(p11()->C_GetTokenInfo(1, &info), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(p11()->C_GetTokenInfo(7, &info), CKR_SLOT_ID_INVALID);
}

// Programs that read the slot list once, when they load the module, before
// any reader is there (or pcscd runs), find a reader plugged in later all
// the same: in the one slot the list had.
TEST_F(Pkcs11Token, WithoutReadersTheFirstReaderToComeTakesTheOneSlotListed) {
  CardRack& rack = CardRack::Get();
  rack.RemoveReader(kReader);
  CK_SLOT_ID ids[3] = {99, 99, 99};
  CK_ULONG count = 3;
  ASSERT_EQ(p11()->C_GetSlotList(CK_FALSE, ids, &count), CKR_OK);
  ASSERT_EQ(count, 1u);
  const CK_SLOT_ID waiting = ids[0];
  CK_SLOT_INFO info;
  ASSERT_EQ(p11()->C_GetSlotInfo(waiting, &info), CKR_OK);
  EXPECT_EQ(Field(info.slotDescription, sizeof(info.slotDescription)), "no reader yet");
  EXPECT_EQ(info.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  CK_TOKEN_INFO token;
  EXPECT_EQ(p11()->C_GetTokenInfo(waiting, &token), CKR_TOKEN_NOT_PRESENT);
  count = 3;
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, ids, &count), CKR_OK);
  EXPECT_EQ(count, 0u);

  // Asked again without a new listing, as such a program does.
  rack.Insert(kReader, personalisation_);
  ASSERT_EQ(p11()->C_GetSlotInfo(waiting, &info), CKR_OK);
  EXPECT_EQ(Field(info.slotDescription, sizeof(info.slotDescription)), kReader);
  EXPECT_EQ(info.flags, CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  ASSERT_EQ(p11()->C_GetTokenInfo(waiting, &token), CKR_OK);
  EXPECT_EQ(Field(token.label, sizeof(token.label)), "VELA G3 A1B2C3D4E5F601020304");

  // The slot is that reader's from now on; another reader gets its own, and
  // no slot waits any more.
  rack.AddReader("Emulated Reader 1");
  count = 3;
  ASSERT_EQ(p11()->C_GetSlotList(CK_FALSE, ids, &count), CKR_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(ids[0], waiting);
  rack.RemoveReader(kReader);
  rack.RemoveReader("Emulated Reader 1");
  count = 3;
  ASSERT_EQ(p11()->C_GetSlotList(CK_FALSE, ids, &count), CKR_OK);
  EXPECT_EQ(count, 0u);
}

// The card's ECDSA and ECDH on P-256 (key sizes in bits of the field, done
// by the card), and the AES key wraps done in the module (key sizes in bytes).
TEST_F(Pkcs11Token, MechanismsAreTheCardsEcdsaAndEcdhOnP256AndTheKeyWraps) {
  CK_ULONG count = 0;
  ASSERT_EQ(p11()->C_GetMechanismList(slot(), nullptr, &count), CKR_OK);
  std::vector<CK_MECHANISM_TYPE> types(count);
  CK_ULONG tooFew = 2;
  EXPECT_EQ(p11()->C_GetMechanismList(slot(), types.data(), &tooFew), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooFew, count);
  ASSERT_EQ(p11()->C_GetMechanismList(slot(), types.data(), &count), CKR_OK);
  EXPECT_EQ(types, (std::vector<CK_MECHANISM_TYPE>{CKM_ECDSA, CKM_ECDSA_SHA1, CKM_ECDSA_SHA224, CKM_ECDSA_SHA256,
                                                   CKM_ECDSA_SHA384, CKM_ECDSA_SHA512, CKM_ECDH1_DERIVE,
                                                   CKM_ECDH1_COFACTOR_DERIVE, CKM_AES_KEY_WRAP,
                                                   CKM_AES_KEY_WRAP_PAD}));
  for (const CK_MECHANISM_TYPE type : types) {
    SCOPED_TRACE(type);
    CK_MECHANISM_INFO info;
    ASSERT_EQ(p11()->C_GetMechanismInfo(slot(), type, &info), CKR_OK);
    if (type == CKM_AES_KEY_WRAP || type == CKM_AES_KEY_WRAP_PAD) {
      EXPECT_EQ(info.ulMinKeySize, 16u);
      EXPECT_EQ(info.ulMaxKeySize, 32u);
      EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_UNWRAP));
      continue;
    }
    EXPECT_EQ(info.ulMinKeySize, 256u);
    EXPECT_EQ(info.ulMaxKeySize, 256u);
    const bool derives = type == CKM_ECDH1_DERIVE || type == CKM_ECDH1_COFACTOR_DERIVE;
    EXPECT_EQ(info.flags & (CKF_SIGN | CKF_DERIVE | CKF_UNWRAP), derives ? CKF_DERIVE : CKF_SIGN);
    EXPECT_EQ(info.flags & (CKF_HW | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS),
              static_cast<CK_FLAGS>(CKF_HW | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS));
  }
  CK_MECHANISM_INFO info;
  EXPECT_EQ(p11()->C_GetMechanismInfo(slot(), CKM_RSA_PKCS, &info), CKR_MECHANISM_INVALID);
}

// Each entry refuses what it cannot use with the standard's code, before it
// touches anything.
TEST_F(Pkcs11Token, BadArgumentsAreRefusedWithTheStandardCode) {
  const CK_SESSION_HANDLE session = Open();
  const CK_SESSION_HANDLE unknown = session + 1000;
  CK_ULONG length = 0;
  CK_BYTE buffer[64];
  CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
  CK_OBJECT_HANDLE object;
  CK_SLOT_INFO slotInfo;
  CK_TOKEN_INFO tokenInfo;
  struct Case {
    const char* call;
    CK_RV got;
    CK_RV expected;
  };
  const Case cases[] = {
      {"C_GetInfo null", p11()->C_GetInfo(nullptr), CKR_ARGUMENTS_BAD},
      {"C_GetSlotList null count", p11()->C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_ARGUMENTS_BAD},
      {"C_GetSlotInfo null", p11()->C_GetSlotInfo(slot(), nullptr), CKR_ARGUMENTS_BAD},
      {"C_GetTokenInfo null", p11()->C_GetTokenInfo(slot(), nullptr), CKR_ARGUMENTS_BAD},
      {"C_GetMechanismList null count", p11()->C_GetMechanismList(slot(), nullptr, nullptr), CKR_ARGUMENTS_BAD},
      {"C_OpenSession null handle",
       p11()->C_OpenSession(slot(), CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD},
      {"C_OpenSession not serial", p11()->C_OpenSession(slot(), 0, nullptr, nullptr, &object),
       CKR_SESSION_PARALLEL_NOT_SUPPORTED},
      {"C_GetSessionInfo null", p11()->C_GetSessionInfo(session, nullptr), CKR_ARGUMENTS_BAD},
      {"C_Login null PIN with length", p11()->C_Login(session, CKU_USER, nullptr, 6), CKR_ARGUMENTS_BAD},
      {"C_Login null PIN", p11()->C_Login(session, CKU_USER, nullptr, 0), CKR_ARGUMENTS_BAD},
      {"C_Login unknown user", p11()->C_Login(session, 7, buffer, 6), CKR_USER_TYPE_INVALID},
      {"C_FindObjectsInit null template", p11()->C_FindObjectsInit(session, nullptr, 1), CKR_ARGUMENTS_BAD},
      {"C_FindObjects not begun", p11()->C_FindObjects(session, &object, 1, &length), CKR_OPERATION_NOT_INITIALIZED},
      {"C_FindObjectsFinal not begun", p11()->C_FindObjectsFinal(session), CKR_OPERATION_NOT_INITIALIZED},
      {"C_GetAttributeValue null template", p11()->C_GetAttributeValue(session, 1, nullptr, 1), CKR_ARGUMENTS_BAD},
      {"C_GetAttributeValue unknown object", p11()->C_GetAttributeValue(session, 12345, nullptr, 0),
       CKR_OBJECT_HANDLE_INVALID},
      {"C_SignInit null mechanism", p11()->C_SignInit(session, nullptr, 1), CKR_ARGUMENTS_BAD},
      {"C_SignInit unknown key", p11()->C_SignInit(session, &ecdsa, 12345), CKR_KEY_HANDLE_INVALID},
      {"C_Sign not begun", p11()->C_Sign(session, buffer, 32, buffer, &length), CKR_OPERATION_NOT_INITIALIZED},
      {"C_SignFinal not begun", p11()->C_SignFinal(session, buffer, &length), CKR_OPERATION_NOT_INITIALIZED},
      {"C_DeriveKey null mechanism", p11()->C_DeriveKey(session, nullptr, 1, nullptr, 0, &object), CKR_ARGUMENTS_BAD},
      {"C_UnwrapKey null mechanism", p11()->C_UnwrapKey(session, nullptr, 1, buffer, 24, nullptr, 0, &object),
       CKR_ARGUMENTS_BAD},
      {"C_UnwrapKey null wrapped key", p11()->C_UnwrapKey(session, &ecdsa, 1, nullptr, 24, nullptr, 0, &object),
       CKR_ARGUMENTS_BAD},
      {"C_UnwrapKey null handle", p11()->C_UnwrapKey(session, &ecdsa, 1, buffer, 24, nullptr, 0, nullptr),
       CKR_ARGUMENTS_BAD},
      {"C_Logout when not logged in", p11()->C_Logout(session), CKR_USER_NOT_LOGGED_IN},
      {"C_GenerateRandom", p11()->C_GenerateRandom(session, buffer, 8), CKR_RANDOM_NO_RNG},
      {"C_Encrypt", p11()->C_EncryptInit(session, &ecdsa, 1), CKR_FUNCTION_NOT_SUPPORTED},
      {"C_GetSessionInfo unknown session", p11()->C_GetSessionInfo(unknown, nullptr), CKR_SESSION_HANDLE_INVALID},
      {"C_CloseSession unknown session", p11()->C_CloseSession(unknown), CKR_SESSION_HANDLE_INVALID},
      {"C_Login unknown session", p11()->C_Login(unknown, CKU_USER, buffer, 6), CKR_SESSION_HANDLE_INVALID},
      {"C_GetSlotInfo unknown slot", p11()->C_GetSlotInfo(42, nullptr), CKR_SLOT_ID_INVALID},
      // One reader: slot 0 only; the first id past the slots is no slot.
      {"C_GetSlotInfo slot id of the slot count", p11()->C_GetSlotInfo(1, &slotInfo), CKR_SLOT_ID_INVALID},
      {"C_GetTokenInfo slot id of the slot count", p11()->C_GetTokenInfo(1, &tokenInfo), CKR_SLOT_ID_INVALID},
      {"C_OpenSession slot id of the slot count",
       p11()->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &object), CKR_SLOT_ID_INVALID},
      {"C_Finalize reserved", p11()->C_Finalize(buffer), CKR_ARGUMENTS_BAD},
      {"C_Initialize twice", p11()->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.call;
  // None of them disturbed the session.
  CK_SESSION_INFO info;
  ASSERT_EQ(p11()->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
}

// The functions the token does not offer still check their session first,
// as the standard orders the errors.
TEST_F(Pkcs11Token, UnofferedFunctionsCheckTheSessionFirst) {
  CK_BYTE buffer[64] = {};
  CK_ULONG length = sizeof(buffer);
  CK_MECHANISM mechanism{CKM_SHA256, nullptr, 0};
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  CK_FUNCTION_LIST* f = p11();
  using Call = std::function<CK_RV(CK_SESSION_HANDLE)>;
  const std::vector<std::pair<const char*, Call>> calls = {
      {"C_GetOperationState", [&](CK_SESSION_HANDLE s) { return f->C_GetOperationState(s, buffer, &length); }},
      {"C_SetOperationState", [&](CK_SESSION_HANDLE s) { return f->C_SetOperationState(s, buffer, 8, 0, 0); }},
      {"C_EncryptInit", [&](CK_SESSION_HANDLE s) { return f->C_EncryptInit(s, &mechanism, 1); }},
      {"C_Encrypt", [&](CK_SESSION_HANDLE s) { return f->C_Encrypt(s, buffer, 8, buffer, &length); }},
      {"C_DecryptInit", [&](CK_SESSION_HANDLE s) { return f->C_DecryptInit(s, &mechanism, 1); }},
      {"C_DecryptFinal", [&](CK_SESSION_HANDLE s) { return f->C_DecryptFinal(s, buffer, &length); }},
      {"C_DigestInit", [&](CK_SESSION_HANDLE s) { return f->C_DigestInit(s, &mechanism); }},
      {"C_DigestKey", [&](CK_SESSION_HANDLE s) { return f->C_DigestKey(s, 1); }},
      {"C_SignRecoverInit", [&](CK_SESSION_HANDLE s) { return f->C_SignRecoverInit(s, &mechanism, 1); }},
      {"C_VerifyInit", [&](CK_SESSION_HANDLE s) { return f->C_VerifyInit(s, &mechanism, 1); }},
      {"C_VerifyFinal", [&](CK_SESSION_HANDLE s) { return f->C_VerifyFinal(s, buffer, 8); }},
      {"C_SignEncryptUpdate",
       [&](CK_SESSION_HANDLE s) { return f->C_SignEncryptUpdate(s, buffer, 8, buffer, &length); }},
      {"C_GenerateKey", [&](CK_SESSION_HANDLE s) { return f->C_GenerateKey(s, &mechanism, nullptr, 0, &object); }},
      {"C_GenerateKeyPair",
       [&](CK_SESSION_HANDLE s) {
         return f->C_GenerateKeyPair(s, &mechanism, nullptr, 0, nullptr, 0, &object, &object);
       }},
      {"C_WrapKey", [&](CK_SESSION_HANDLE s) { return f->C_WrapKey(s, &mechanism, 1, 2, buffer, &length); }},
  };
  const CK_SESSION_HANDLE session = Open();
  for (const auto& [name, call] : calls) {
    EXPECT_EQ(call(session + 1000), CKR_SESSION_HANDLE_INVALID) << name;
    EXPECT_EQ(call(session), CKR_FUNCTION_NOT_SUPPORTED) << name;
  }
  EXPECT_EQ(f->C_GetFunctionStatus(session + 1000), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(f->C_CancelFunction(session), CKR_FUNCTION_NOT_PARALLEL);
}

TEST_F(Pkcs11Token, NothingIsWrittenToTheWriteProtectedToken) {
  const CK_SESSION_HANDLE readOnly = Open();
  const CK_SESSION_HANDLE readWrite = Open(true);
  const CK_OBJECT_HANDLE certificate = Object(readOnly, CKO_CERTIFICATE, 0);
  ASSERT_NE(certificate, CK_INVALID_HANDLE);
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE onToken{CKA_TOKEN, &yes, sizeof(yes)};
  CK_OBJECT_HANDLE made;
  CK_UTF8CHAR label[32] = "x";
  EXPECT_EQ(p11()->C_CreateObject(readWrite, &onToken, 1, &made), CKR_TOKEN_WRITE_PROTECTED);
  EXPECT_EQ(p11()->C_CreateObject(readOnly, &onToken, 1, &made), CKR_SESSION_READ_ONLY);
  EXPECT_EQ(p11()->C_DestroyObject(readWrite, certificate), CKR_TOKEN_WRITE_PROTECTED);
  EXPECT_EQ(p11()->C_DestroyObject(readOnly, certificate), CKR_SESSION_READ_ONLY);
  EXPECT_EQ(p11()->C_SetAttributeValue(readWrite, certificate, &onToken, 1), CKR_TOKEN_WRITE_PROTECTED);
  EXPECT_EQ(p11()->C_CopyObject(readWrite, certificate, nullptr, 0, &made), CKR_ACTION_PROHIBITED);
  EXPECT_EQ(p11()->C_InitToken(slot(), nullptr, 0, label), CKR_TOKEN_WRITE_PROTECTED);
  EXPECT_EQ(Object(readOnly, CKO_CERTIFICATE, 0), certificate);
}

// Programs that bring their own mutex functions must allow the system's.
TEST_F(Pkcs11Token, InitialiseArgumentsAreChecked) {
  ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(p11()->C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  const auto create = [](CK_VOID_PTR_PTR) -> CK_RV { return CKR_OK; };
  const auto other = [](CK_VOID_PTR) -> CK_RV { return CKR_OK; };
  CK_C_INITIALIZE_ARGS args{};
  args.CreateMutex = create;
  EXPECT_EQ(p11()->C_Initialize(&args), CKR_ARGUMENTS_BAD);
  args.DestroyMutex = other;
  args.LockMutex = other;
  args.UnlockMutex = other;
  EXPECT_EQ(p11()->C_Initialize(&args), CKR_CANT_LOCK);
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(p11()->C_Initialize(&args), CKR_OK);
  CK_INFO info;
  ASSERT_EQ(p11()->C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(info.cryptokiVersion.major, 2);
  EXPECT_EQ(info.cryptokiVersion.minor, 40);
}

}  // namespace
}  // namespace vela::test
