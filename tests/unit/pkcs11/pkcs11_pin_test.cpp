// Login, logout and the PINs: attempts reported in the token flags, PIN
// change through the minidriver's change entry, unblocking as the SO, the
// card made to forget a verified PIN, and a keypad reader.
#include <cstring>
#include <functional>

#include "openssl_reference.h"
#include "p11_harness.h"

namespace vela::test {
namespace {

CK_RV LoginAs(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_USER_TYPE user, std::string pin) {
  return p11->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
}

class Pkcs11Pin : public P11Test {
 protected:
  CK_FLAGS TokenFlags() {
    CK_TOKEN_INFO info;
    EXPECT_EQ(p11()->C_GetTokenInfo(slot(), &info), CKR_OK);
    return info.flags;
  }
  CK_STATE State(CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info;
    EXPECT_EQ(p11()->C_GetSessionInfo(session, &info), CKR_OK);
    return info.state;
  }
  CK_RV SetPin(CK_SESSION_HANDLE session, std::string oldPin, std::string newPin) {
    return p11()->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR*>(oldPin.data()), oldPin.size(),
                           reinterpret_cast<CK_UTF8CHAR*>(newPin.data()), newPin.size());
  }
  static constexpr CK_FLAGS kPinFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
};

TEST_F(Pkcs11Pin, WrongPinsCountDownInTheTokenFlagsUntilLocked) {
  const CK_SESSION_HANDLE session = Open();
  struct Step {
    const char* pin;
    CK_RV rv;
    CK_FLAGS flags;
  };
  const Step steps[] = {
      {"000000", CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW},
      {"000000", CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
      {"000000", CKR_PIN_LOCKED, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED},
      {kUserPin, CKR_PIN_LOCKED, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(LoginAs(p11(), session, CKU_USER, step.pin), step.rv);
    EXPECT_EQ(TokenFlags() & kPinFlags, step.flags);
    EXPECT_EQ(State(session), CKS_RO_PUBLIC_SESSION);
  }
}

TEST_F(Pkcs11Pin, PinLengthsOutsideTheCardsAreRefusedWithoutACommand) {
  const CK_SESSION_HANDLE session = Open(true);
  TokenFlags();  // as programs do before a login: the token asks once whether PINs are typed on a keypad
  card()->ClearCounters();
  EXPECT_EQ(LoginAs(p11(), session, CKU_USER, "12345"), CKR_PIN_LEN_RANGE);
  EXPECT_EQ(LoginAs(p11(), session, CKU_USER, std::string(49, '1')), CKR_PIN_LEN_RANGE);
  EXPECT_EQ(SetPin(session, kUserPin, "123"), CKR_PIN_LEN_RANGE);
  EXPECT_EQ(card()->TotalCommands(), 0u);
  EXPECT_EQ(card()->TriesLeft(0x03), 3);
}

TEST_F(Pkcs11Pin, LoginStatesFollowTheStandard) {
  const CK_SESSION_HANDLE readOnly = Open();
  const CK_SESSION_HANDLE readWrite = Open(true);
  // The SO may not log in while a read-only session is open.
  EXPECT_EQ(LoginAs(p11(), readWrite, CKU_SO, kUnblockCode), CKR_SESSION_READ_ONLY_EXISTS);
  Login(readOnly);
  EXPECT_EQ(State(readOnly), CKS_RO_USER_FUNCTIONS);
  EXPECT_EQ(State(readWrite), CKS_RW_USER_FUNCTIONS);
  EXPECT_EQ(LoginAs(p11(), readWrite, CKU_USER, kUserPin), CKR_USER_ALREADY_LOGGED_IN);
  ASSERT_EQ(p11()->C_Logout(readWrite), CKR_OK);
  EXPECT_EQ(State(readOnly), CKS_RO_PUBLIC_SESSION);
  // A context-specific login needs an operation to belong to.
  EXPECT_EQ(LoginAs(p11(), readOnly, CKU_CONTEXT_SPECIFIC, kUserPin), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(Pkcs11Pin, ChangedPinWorksAndAPublicSessionStaysPublic) {
  const CK_SESSION_HANDLE readOnly = Open();
  EXPECT_EQ(SetPin(readOnly, kUserPin, "654321"), CKR_SESSION_READ_ONLY);
  const CK_SESSION_HANDLE session = Open(true);
  EXPECT_EQ(SetPin(session, "000000", "654321"), CKR_PIN_INCORRECT);
  EXPECT_EQ(TokenFlags() & kPinFlags, CKF_USER_PIN_COUNT_LOW);
  ASSERT_EQ(SetPin(session, kUserPin, "654321"), CKR_OK);
  EXPECT_EQ(card()->PinValue(0x03), "654321");
  EXPECT_EQ(TokenFlags() & kPinFlags, 0u);
  // The change verified the new PIN on the card; the session did not log in.
  EXPECT_EQ(State(session), CKS_RW_PUBLIC_SESSION);
  CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
  Login(session, "654321");
  const CK_OBJECT_HANDLE key = Object(session, CKO_PRIVATE_KEY, 0);
  ASSERT_EQ(p11()->C_Logout(session), CKR_OK);
  EXPECT_EQ(p11()->C_SignInit(session, &ecdsa, key), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(LoginAs(p11(), session, CKU_USER, kUserPin), CKR_PIN_INCORRECT);
}

// Unblocking needs the SO: a read-write session, the unblocking code at
// login, then C_InitPIN with the new user PIN.
TEST_F(Pkcs11Pin, SecurityOfficerUnblocksTheUserPin) {
  const CK_SESSION_HANDLE session = Open(true);
  for (int i = 0; i < 3; ++i) LoginAs(p11(), session, CKU_USER, "000000");
  ASSERT_NE(TokenFlags() & CKF_USER_PIN_LOCKED, 0u);
  std::string pin = "777777";
  EXPECT_EQ(p11()->C_InitPIN(session, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()),
            CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(LoginAs(p11(), session, CKU_SO, "87654321"), CKR_PIN_INCORRECT);
  ASSERT_EQ(LoginAs(p11(), session, CKU_SO, kUnblockCode), CKR_OK);
  EXPECT_EQ(State(session), CKS_RW_SO_FUNCTIONS);
  CK_SESSION_HANDLE readOnly;
  EXPECT_EQ(p11()->C_OpenSession(slot(), CKF_SERIAL_SESSION, nullptr, nullptr, &readOnly),
            CKR_SESSION_READ_WRITE_SO_EXISTS);
  // The unblocking code itself cannot be changed.
  EXPECT_EQ(SetPin(session, kUnblockCode, "11112222"), CKR_TOKEN_WRITE_PROTECTED);
  ASSERT_EQ(p11()->C_InitPIN(session, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()), CKR_OK);
  EXPECT_EQ(card()->PinValue(0x03), "777777");
  EXPECT_EQ(card()->TriesLeft(0x03), 3);
  EXPECT_EQ(TokenFlags() & kPinFlags, 0u);
  ASSERT_EQ(p11()->C_Logout(session), CKR_OK);
  Login(session, "777777");
}

// The minidriver forgets a login on its own; the card keeps a PIN verified
// until it is reset. Whatever verified a PIN here, and however the login
// ends, the card is reset, so no other program finds it ready to sign.
TEST_F(Pkcs11Pin, NoWayOfVerifyingOrEndingLeavesThePinVerifiedOnTheCard) {
  const auto verifiedOnCard = [&] { return card()->Verified(0x03) || card()->Verified(0x04); };
  std::string pin = kUserPin;
  struct Verification {
    const char* name;
    std::function<CK_RV(CK_SESSION_HANDLE)> verify;
  };
  const Verification verifications[] = {
      {"user login", [&](CK_SESSION_HANDLE s) { return LoginAs(p11(), s, CKU_USER, kUserPin); }},
      {"SO login", [&](CK_SESSION_HANDLE s) { return LoginAs(p11(), s, CKU_SO, kUnblockCode); }},
      {"SO login and C_InitPIN",
       [&](CK_SESSION_HANDLE s) {
         const CK_RV rv = LoginAs(p11(), s, CKU_SO, kUnblockCode);
         return rv != CKR_OK ? rv : p11()->C_InitPIN(s, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
       }},
  };
  enum class End { kLogout, kCloseSession, kCloseAllSessions, kFinalize };
  const std::pair<End, const char*> ends[] = {{End::kLogout, "C_Logout"},
                                              {End::kCloseSession, "closing the last session"},
                                              {End::kCloseAllSessions, "C_CloseAllSessions"},
                                              {End::kFinalize, "C_Finalize"}};
  for (const Verification& verification : verifications) {
    for (const auto& [end, endName] : ends) {
      SCOPED_TRACE(std::string(verification.name) + ", then " + endName);
      const CK_SESSION_HANDLE session = Open(true);
      ASSERT_EQ(verification.verify(session), CKR_OK);
      EXPECT_TRUE(verifiedOnCard());
      switch (end) {
        case End::kLogout: ASSERT_EQ(p11()->C_Logout(session), CKR_OK); break;
        case End::kCloseSession: ASSERT_EQ(p11()->C_CloseSession(session), CKR_OK); break;
        case End::kCloseAllSessions: ASSERT_EQ(p11()->C_CloseAllSessions(slot()), CKR_OK); break;
        case End::kFinalize: ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK); break;
      }
      EXPECT_FALSE(verifiedOnCard());
      if (end == End::kFinalize) {
        ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
      } else if (end == End::kLogout) {
        ASSERT_EQ(p11()->C_CloseSession(session), CKR_OK);
      }
    }
  }
  // A PIN changed from a public session: the card forgets the new one at once.
  const CK_SESSION_HANDLE session = Open(true);
  ASSERT_EQ(SetPin(session, kUserPin, "654321"), CKR_OK);
  EXPECT_FALSE(verifiedOnCard());
  EXPECT_EQ(State(session), CKS_RW_PUBLIC_SESSION);
  ASSERT_EQ(SetPin(session, "654321", kUserPin), CKR_OK);
  EXPECT_FALSE(verifiedOnCard());
}

class Pkcs11PinPad : public P11Test {
 protected:
  void SetUp() override {
    SetRegistryString(kSettingsKey, "usePinPad", "TRUE");
    P11Test::SetUp();
  }
};

TEST_F(Pkcs11PinPad, KeypadReaderIsAProtectedAuthenticationPath) {
  // The rack's card gets its keypad before the module first looks at it.
  emu::PinPadReader& pad = card().AttachPinPad({emu::PinPadFeatures::kVerifyDirect, std::nullopt,
                                                std::chrono::milliseconds(0), emu::PinPadOutcome::kTyped});
  CK_TOKEN_INFO info;
  ASSERT_EQ(p11()->C_GetTokenInfo(slot(), &info), CKR_OK);
  EXPECT_NE(info.flags & CKF_PROTECTED_AUTHENTICATION_PATH, 0u);
  const CK_SESSION_HANDLE session = Open();
  ASSERT_EQ(p11()->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
  EXPECT_EQ(pad.verifications(), 1u);
  EXPECT_NE(Object(session, CKO_PRIVATE_KEY, 0), CK_INVALID_HANDLE);
}

}  // namespace
}  // namespace vela::test
