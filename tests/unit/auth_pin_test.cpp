#include <cstdlib>
#include <cstring>

#include "auth_fixture.h"

namespace vela::test {
namespace {

constexpr DWORD kUntouched = 77;  // attempt count a call must not write

class PinVerificationTest : public AcquiredCardTest {
 protected:
  DWORD Verify(PIN_ID pinId, DWORD flags, std::vector<BYTE> pin, DWORD* attempts = nullptr) {
    return CardAuthenticateEx(host_.get(), pinId, flags, pin.data(), static_cast<DWORD>(pin.size()), nullptr,
                              nullptr, attempts);
  }
  // A generate request; the session PIN handed out (empty when none was).
  DWORD Generate(std::vector<BYTE>* sessionPin) {
    std::vector<BYTE> pin = Hex(kPinHex);
    PBYTE out = nullptr;
    DWORD outLength = 0;
    const DWORD rc = CardAuthenticateEx(host_.get(), ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, pin.data(),
                                        static_cast<DWORD>(pin.size()), &out, &outLength, nullptr);
    sessionPin->clear();
    if (out != nullptr) {
      sessionPin->assign(out, out + outLength);
      HostRelease(out);
    }
    return rc;
  }
  DWORD Present(std::vector<BYTE> sessionPin) {
    return CardAuthenticateEx(host_.get(), ROLE_USER, CARD_AUTHENTICATE_SESSION_PIN, sessionPin.data(),
                              static_cast<DWORD>(sessionPin.size()), nullptr, nullptr, nullptr);
  }
};

TEST_F(PinVerificationTest, PinLengthIsCheckedBeforeTheCardAndBeforeTheFlags) {
  struct Case {
    std::size_t length;
    DWORD flags;
    bool sent;
  };
  const Case cases[] = {{5, 0, false}, {6, 0, true}, {48, 0, true}, {49, 0, false}, {5, 0x1, false}};
  for (const Case& c : cases) {
    std::vector<BYTE> pin(c.length, 0x37);
    card_.ExpectSelectApplication();
    if (c.sent) card_.Expect(VerifyCommand(0x03, pin), "90 00");
    DWORD attempts = kUntouched;
    EXPECT_EQ(Verify(ROLE_USER, c.flags, pin, &attempts), c.sent ? 0u : SCARD_W_WRONG_CHV) << c.length;
    EXPECT_EQ(attempts, kUntouched) << c.length;
    EXPECT_TRUE(card_.done()) << c.length;
  }
}

// The card's answer (or the exchange's failure) as the host sees it. The flag
// of the PIN was set before each call and stays set only on success.
TEST_F(PinVerificationTest, OutcomesBecomeResultsAndAttempts) {
  struct Case {
    const char* answer;  // null: the exchange fails
    DWORD result;
    DWORD attempts;
  };
  const Case cases[] = {
      {"90 00", 0, kUntouched},
      {"63 C0", SCARD_W_CHV_BLOCKED, 0},
      {"69 83", SCARD_W_CHV_BLOCKED, 0},
      {"63 C1", SCARD_W_WRONG_CHV, 1},
      {"63 C2", SCARD_W_WRONG_CHV, 2},
      {"69 85", SCARD_W_WRONG_CHV, 3},
      {"64 00", SCARD_W_WRONG_CHV, 3},
      {"64 01", SCARD_W_WRONG_CHV, 3},
      {"64 03", SCARD_W_WRONG_CHV, 3},
      {"64 02", 0x6402, kUntouched},
      {"63 C3", 0x63C3, kUntouched},
      {"6A 88", 0x6A88, kUntouched},
      {"00 00", SCARD_F_INTERNAL_ERROR, kUntouched},  // would otherwise read as success
      {"90", SCARD_F_INTERNAL_ERROR, kUntouched},     // no status word
      {nullptr, SCARD_F_INTERNAL_ERROR, kUntouched},
  };
  for (PIN_ID pinId : {ROLE_USER, ROLE_ADMIN}) {
    const BYTE pinRef = pinId == ROLE_USER ? 0x03 : 0x04;
    bool& flag = pinId == ROLE_USER ? context_->userAuthenticated : context_->adminAuthenticated;
    bool& other = pinId == ROLE_USER ? context_->adminAuthenticated : context_->userAuthenticated;
    for (const Case& c : cases) {
      const std::string name = std::to_string(pinId) + " " + (c.answer ? c.answer : "transport error");
      ExpectVerify(pinRef, kPinHex, c.answer);
      flag = true;
      other = true;
      DWORD attempts = kUntouched;
      EXPECT_EQ(Verify(pinId, 0, Hex(kPinHex), &attempts), c.result) << name;
      EXPECT_EQ(attempts, c.attempts) << name;
      EXPECT_EQ(flag, c.result == 0) << name;
      EXPECT_TRUE(other) << name << ": the other PIN's flag changed";
    }
  }
}

TEST_F(PinVerificationTest, UserIdsAreMatchedExactly) {
  struct Case {
    const char16_t* userId;
    BYTE pinRef;  // 0: refused
  };
  const Case cases[] = {{u"user", 0x03}, {u"admin", 0x04}, {u"User", 0},  {u"USER", 0},
                        {u"users", 0},   {u"use", 0},      {u"Admin", 0}, {nullptr, 0}};
  for (const Case& c : cases) {
    std::u16string id = c.userId ? c.userId : u"";
    card_.ExpectSelectApplication();
    if (c.pinRef != 0) ExpectVerify(c.pinRef, kPinHex, "90 00");
    std::vector<BYTE> pin = Hex(kPinHex);
    const DWORD rc = CardAuthenticatePin(host_.get(), c.userId ? id.data() : nullptr, pin.data(),
                                         static_cast<DWORD>(pin.size()), nullptr);
    EXPECT_EQ(rc, c.pinRef != 0 ? 0u : SCARD_E_INVALID_PARAMETER) << std::string(id.begin(), id.end());
    EXPECT_TRUE(card_.done());
  }
  EXPECT_TRUE(context_->userAuthenticated);
  EXPECT_TRUE(context_->adminAuthenticated);
}

TEST_F(PinVerificationTest, RequestsRefusedBeforeTheCard) {
  struct Case {
    PIN_ID pinId;
    DWORD flags;
    DWORD result;
  };
  const DWORD generate = CARD_AUTHENTICATE_GENERATE_SESSION_PIN;
  const DWORD session = CARD_AUTHENTICATE_SESSION_PIN;
  const Case cases[] = {
      {0, 0, SCARD_E_INVALID_PARAMETER},
      {3, 0, SCARD_E_INVALID_PARAMETER},
      {ROLE_USER, 0x1, SCARD_E_INVALID_PARAMETER},
      {ROLE_USER, 0x80000000, SCARD_E_INVALID_PARAMETER},
      {ROLE_ADMIN, generate, SCARD_E_UNSUPPORTED_FEATURE},
      {ROLE_ADMIN, session, SCARD_E_UNSUPPORTED_FEATURE},
      {ROLE_ADMIN, generate | session, SCARD_E_UNSUPPORTED_FEATURE},
      {ROLE_USER, generate | session, SCARD_E_INVALID_PARAMETER},
  };
  context_->userAuthenticated = true;
  for (const Case& c : cases) {
    card_.ExpectSelectApplication();
    DWORD attempts = kUntouched;
    EXPECT_EQ(Verify(c.pinId, c.flags, Hex(kPinHex), &attempts), c.result) << c.pinId << " " << c.flags;
    EXPECT_EQ(attempts, kUntouched);
    EXPECT_TRUE(card_.done());
  }
  EXPECT_TRUE(context_->userAuthenticated);
  // Without a record nothing is looked at.
  EXPECT_EQ(CardAuthenticateEx(nullptr, ROLE_USER, 0, nullptr, 0, nullptr, nullptr, nullptr),
            SCARD_E_INVALID_PARAMETER);
}

TEST_F(PinVerificationTest, NullPinIsRefusedByTheCommandWithoutAnExchange) {
  card_.ExpectSelectApplication();
  context_->userAuthenticated = true;
  EXPECT_EQ(CardAuthenticateEx(host_.get(), ROLE_USER, 0, nullptr, 3, nullptr, nullptr, nullptr),
            SCARD_E_INVALID_PARAMETER);
  EXPECT_FALSE(context_->userAuthenticated);
}

TEST_F(PinVerificationTest, SessionPinLifecycle) {
  // A first draw of all zeros means "none" and must be drawn again.
  scriptedRandom = {0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  std::srand(1234);
  const int expectedRand = std::rand();
  std::srand(1234);

  ExpectVerify(0x03, kPinHex, "90 00");
  std::vector<BYTE> sessionPin;
  ASSERT_EQ(Generate(&sessionPin), 0u);
  EXPECT_EQ(ToHex(sessionPin), "11 22 33 44 55 66 77 88");
  EXPECT_FALSE(context_->userAuthenticated) << "a generate request alone signs nobody in";
  EXPECT_EQ(std::rand(), expectedRand) << "the process's rand state was touched";

  card_.ExpectSelectApplication();
  ASSERT_EQ(Present(sessionPin), 0u);
  EXPECT_TRUE(context_->userAuthenticated);

  // Issued once, then handed out unchanged.
  ExpectVerify(0x03, kPinHex, "90 00");
  std::vector<BYTE> again;
  ASSERT_EQ(Generate(&again), 0u);
  EXPECT_EQ(again, sessionPin);
  EXPECT_FALSE(context_->userAuthenticated);

  // A wrong, shortened or lengthened session PIN changes nothing: exactly
  // the eight bytes count, also when the first eight of more are right.
  std::vector<BYTE> wrong = sessionPin;
  wrong[7] ^= 1;
  std::vector<BYTE> nine = sessionPin;
  nine.push_back(0x00);
  std::vector<BYTE> longest = sessionPin;
  longest.resize(48, 0x88);
  for (const std::vector<BYTE>& presented :
       {wrong, std::vector<BYTE>(sessionPin.begin(), sessionPin.begin() + 7), nine, longest}) {
    card_.ExpectSelectApplication();
    EXPECT_EQ(Present(presented), SCARD_W_WRONG_CHV) << presented.size() << " bytes";
    EXPECT_FALSE(context_->userAuthenticated) << presented.size() << " bytes";
  }

  // Deauthentication keeps it; a plain verification of PIN 1 discards it.
  card_.ExpectSelectApplication();
  EXPECT_EQ(Present(sessionPin), 0u);
  ExpectVerify(0x03, kPinHex, "90 00");
  EXPECT_EQ(Verify(ROLE_USER, 0, Hex(kPinHex)), 0u);
  card_.ExpectSelectApplication();
  EXPECT_EQ(Present(sessionPin), SCARD_W_WRONG_CHV);
  EXPECT_EQ(ToHex({context_->sessionPin, 8}), "00 00 00 00 00 00 00 00");
}

TEST_F(PinVerificationTest, NoSessionPinIsIssuedAtFirst) {
  for (const char* presented : {"00 00 00 00 00 00 00 00", "11 22 33 44 55 66 77 88"}) {
    card_.ExpectSelectApplication();
    EXPECT_EQ(Present(Hex(presented)), SCARD_W_WRONG_CHV) << presented;
  }
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardAuthenticateEx(host_.get(), ROLE_USER, CARD_AUTHENTICATE_SESSION_PIN, nullptr, 8, nullptr, nullptr,
                               nullptr),
            SCARD_W_WRONG_CHV);
  EXPECT_FALSE(context_->userAuthenticated);
}

TEST_F(PinVerificationTest, GenerateFailuresHandNothingOut) {
  scriptedRandom = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<BYTE> pin = Hex(kPinHex);
  const DWORD generate = CARD_AUTHENTICATE_GENERATE_SESSION_PIN;
  DWORD outLength = kUntouched;

  // Missing out-parameters: the card verified, the session PIN is issued,
  // but the host is told nothing and stays unauthenticated.
  ExpectVerify(0x03, kPinHex, "90 00");
  EXPECT_EQ(CardAuthenticateEx(host_.get(), ROLE_USER, generate, pin.data(), 6, nullptr, &outLength, nullptr),
            SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(outLength, kUntouched);
  EXPECT_FALSE(context_->userAuthenticated);

  HostHeap::FailAllocations(0, 1);
  ExpectVerify(0x03, kPinHex, "90 00");
  PBYTE out = nullptr;
  EXPECT_EQ(CardAuthenticateEx(host_.get(), ROLE_USER, generate, pin.data(), 6, &out, &outLength, nullptr),
            SCARD_E_NO_MEMORY);
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(context_->userAuthenticated);

  ExpectVerify(0x03, kPinHex, "90 00");
  std::vector<BYTE> sessionPin;
  ASSERT_EQ(Generate(&sessionPin), 0u);
  EXPECT_EQ(ToHex(sessionPin), "01 02 03 04 05 06 07 08") << "the PIN made on the first call";
}

TEST_F(PinVerificationTest, FailingRandomSourceIssuesNoSessionPin) {
  randomFails = true;
  ExpectVerify(0x03, kPinHex, "90 00");
  std::vector<BYTE> sessionPin;
  EXPECT_EQ(Generate(&sessionPin), SCARD_F_INTERNAL_ERROR);
  EXPECT_TRUE(sessionPin.empty());
  EXPECT_FALSE(context_->userAuthenticated);
  card_.ExpectSelectApplication();
  EXPECT_EQ(Present(Hex("00 00 00 00 00 00 00 00")), SCARD_W_WRONG_CHV);

  // A source that only ever yields zeros is as good as a failed one.
  randomFails = false;
  scriptedRandom.assign(64, 0);
  ExpectVerify(0x03, kPinHex, "90 00");
  EXPECT_EQ(Generate(&sessionPin), SCARD_F_INTERNAL_ERROR);
  EXPECT_TRUE(sessionPin.empty());
}

TEST_F(PinVerificationTest, DeauthenticationClearsFlagsOnly) {
  struct Case {
    const char* name;
    DWORD (*call)(PCARD_DATA);
    DWORD result;
    bool selects;  // passes the context check (so sends the select)
    bool user, admin;  // the flags after the call
  };
  static WCHAR user[] = u"user";
  static WCHAR admin[] = u"admin";
  static WCHAR other[] = u"User";
  const Case cases[] = {
      {"user", [](PCARD_DATA cd) { return CardDeauthenticate(cd, user, 0); }, 0, true, false, true},
      {"admin", [](PCARD_DATA cd) { return CardDeauthenticate(cd, admin, 0); }, 0, true, true, false},
      {"other id", [](PCARD_DATA cd) { return CardDeauthenticate(cd, other, 0); }, 0, true, true, true},
      {"null id", [](PCARD_DATA cd) { return CardDeauthenticate(cd, nullptr, 0); }, SCARD_E_INVALID_PARAMETER, true,
       true, true},
      {"flags", [](PCARD_DATA cd) { return CardDeauthenticate(cd, user, 1); }, SCARD_E_INVALID_PARAMETER, false,
       true, true},
      {"set 0x2", [](PCARD_DATA cd) { return CardDeauthenticateEx(cd, 0x2, 0); }, 0, true, false, true},
      {"set 0x4", [](PCARD_DATA cd) { return CardDeauthenticateEx(cd, 0x4, 0); }, 0, true, true, false},
      {"set 0x6", [](PCARD_DATA cd) { return CardDeauthenticateEx(cd, 0x6, 0); }, 0, true, false, false},
      {"set 0xFF", [](PCARD_DATA cd) { return CardDeauthenticateEx(cd, 0xFF, 0); }, 0, true, false, false},
      {"set 0x1", [](PCARD_DATA cd) { return CardDeauthenticateEx(cd, 0x1, 0); }, 0, true, true, true},
      {"set 0", [](PCARD_DATA cd) { return CardDeauthenticateEx(cd, 0, 0); }, SCARD_E_INVALID_PARAMETER, false,
       true, true},
      {"set 0x100", [](PCARD_DATA cd) { return CardDeauthenticateEx(cd, 0x102, 0); }, SCARD_E_INVALID_PARAMETER,
       false, true, true},
      {"ex flags", [](PCARD_DATA cd) { return CardDeauthenticateEx(cd, 0x2, 1); }, SCARD_E_INVALID_PARAMETER, false,
       true, true},
  };
  const BYTE issued[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  std::memcpy(context_->sessionPin, issued, 8);
  for (const Case& c : cases) {
    context_->userAuthenticated = true;
    context_->adminAuthenticated = true;
    if (c.selects) card_.ExpectSelectApplication();
    EXPECT_EQ(c.call(host_.get()), c.result) << c.name;
    EXPECT_EQ(context_->userAuthenticated, c.user) << c.name;
    EXPECT_EQ(context_->adminAuthenticated, c.admin) << c.name;
    EXPECT_EQ(0, std::memcmp(context_->sessionPin, issued, 8)) << c.name;
    EXPECT_TRUE(card_.done()) << c.name;
  }
  EXPECT_EQ(CardDeauthenticate(nullptr, user, 0), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardDeauthenticateEx(nullptr, 0x2, 0), SCARD_E_INVALID_PARAMETER);
}

// PIN-pad mode is fixed at acquire from the reader's features; no scripted
// reader offers any, so the field is set directly. The reader, not the
// card, is asked: no VERIFY reaches the card and the host's bytes are unused.
TEST_F(PinVerificationTest, PinPadModeLeavesTheHostsPinAlone) {
  context_->pinPadInUse = true;
  context_->userAuthenticated = true;
  for (DWORD flags : {0u, CARD_PIN_SILENT_CONTEXT}) {
    card_.ExpectSelectApplication();
    DWORD attempts = kUntouched;
    // This reader offers no keypad verification, which the host hears as is.
    EXPECT_EQ(CardAuthenticateEx(host_.get(), ROLE_USER, flags, nullptr, 0, nullptr, nullptr, &attempts),
              SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_EQ(attempts, kUntouched);
    EXPECT_FALSE(context_->userAuthenticated);
  }
  card_.ExpectSelectApplication();
  EXPECT_EQ(Verify(ROLE_USER, 0, Hex("31 32 33 34")), SCARD_W_WRONG_CHV);
}

}  // namespace
}  // namespace vela::test
