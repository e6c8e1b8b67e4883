#include <cstring>

#include "auth_fixture.h"

namespace vela::test {
namespace {

constexpr DWORD kUntouched = 77;  // attempt count a call must not write
constexpr char kNewPinHex[] = "39 38 37 36 35 34 33";  // "9876543"
constexpr char kUnblockHex[] = "31 31 31 31 31 31 31 31";
const BYTE kIssuedSessionPin[8] = {9, 8, 7, 6, 5, 4, 3, 2};

class PinChangeTest : public AcquiredCardTest {
 protected:
  void SetUp() override {
    AcquiredCardTest::SetUp();
    std::memcpy(context_->sessionPin, kIssuedSessionPin, 8);
  }

 public:
  bool SessionPinKept() const { return std::memcmp(context_->sessionPin, kIssuedSessionPin, 8) == 0; }

  DWORD Change(std::vector<BYTE> current, std::vector<BYTE> next, DWORD* attempts, DWORD flags = 2,
               const char16_t* userId = u"user", DWORD retryCount = 0) {
    std::u16string id = userId ? userId : u"";
    return CardChangeAuthenticator(host_.get(), userId ? id.data() : nullptr, current.data(),
                                   static_cast<DWORD>(current.size()), next.data(), static_cast<DWORD>(next.size()),
                                   retryCount, flags, attempts);
  }
  DWORD Unblock(std::vector<BYTE> code, std::vector<BYTE> next, DWORD flags = 0, const char16_t* userId = u"user",
                DWORD retryCount = 0) {
    std::u16string id = userId ? userId : u"";
    return CardUnblockPin(host_.get(), userId ? id.data() : nullptr, code.data(), static_cast<DWORD>(code.size()),
                          next.data(), static_cast<DWORD>(next.size()), retryCount, flags);
  }
  void ExpectChange(const char* answer) {
    ExpectExchange(std::string("00 24 00 03 0D ") + kPinHex + kNewPinHex, answer);
  }
  void ExpectUnblock(const char* answer) {
    ExpectExchange(std::string("00 2C 00 03 0F ") + kUnblockHex + kNewPinHex, answer);
  }
};

TEST_F(PinChangeTest, ArgumentFaultsChangeNothing) {
  struct Case {
    const char* name;
    DWORD (*call)(PinChangeTest&, DWORD*);
  };
  const Case cases[] = {
      {"null user", [](PinChangeTest& t, DWORD* a) { return t.Change(Hex(kPinHex), Hex(kNewPinHex), a, 2, nullptr); }},
      {"empty current", [](PinChangeTest& t, DWORD* a) { return t.Change({}, Hex(kNewPinHex), a); }},
      {"empty new", [](PinChangeTest& t, DWORD* a) { return t.Change(Hex(kPinHex), {}, a); }},
      {"retry count", [](PinChangeTest& t, DWORD* a) { return t.Change(Hex(kPinHex), Hex(kNewPinHex), a, 2, u"user", 1); }},
      {"admin", [](PinChangeTest& t, DWORD* a) { return t.Change(Hex(kPinHex), Hex(kNewPinHex), a, 2, u"admin"); }},
      {"User", [](PinChangeTest& t, DWORD* a) { return t.Change(Hex(kPinHex), Hex(kNewPinHex), a, 2, u"User"); }},
      {"flags 0", [](PinChangeTest& t, DWORD* a) { return t.Change(Hex(kPinHex), Hex(kNewPinHex), a, 0); }},
      {"flags 1", [](PinChangeTest& t, DWORD* a) { return t.Change(Hex(kPinHex), Hex(kNewPinHex), a, 1); }},
      // Both PINs travel in one short APDU: 251 bytes together at most.
      {"too long", [](PinChangeTest& t, DWORD* a) { return t.Change(std::vector<BYTE>(200, 1), std::vector<BYTE>(52, 2), a); }},
  };
  for (const Case& c : cases) {
    context_->userAuthenticated = true;
    card_.ExpectSelectApplication();
    DWORD attempts = kUntouched;
    EXPECT_EQ(c.call(*this, &attempts), SCARD_E_INVALID_PARAMETER) << c.name;
    EXPECT_EQ(attempts, kUntouched) << c.name;
    EXPECT_TRUE(context_->userAuthenticated) << c.name;
    EXPECT_TRUE(card_.done()) << c.name;
  }
  EXPECT_TRUE(SessionPinKept());
  BYTE pin[6] = {};
  WCHAR user[] = u"user";
  card_.ExpectSelectApplication().ExpectSelectApplication();
  EXPECT_EQ(CardChangeAuthenticator(host_.get(), user, nullptr, 6, pin, 6, 0, 2, nullptr), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardChangeAuthenticator(host_.get(), user, pin, 6, nullptr, 6, 0, 2, nullptr), SCARD_E_INVALID_PARAMETER);
}

TEST_F(PinChangeTest, LongestPinsThatFitAreSent) {
  const std::vector<BYTE> current(200, 0x31), next(51, 0x32);
  card_.ExpectSelectApplication().Expect("00 24 00 03 FB " + ToHex(current) + " " + ToHex(next), "63 C2");
  DWORD attempts = kUntouched;
  EXPECT_EQ(Change(current, next, &attempts), SCARD_W_WRONG_CHV);
  EXPECT_EQ(attempts, 2u);
}

TEST_F(PinChangeTest, AcceptedChangeIsFollowedByVerifyingTheNewPin) {
  for (const char* answer : {"90 00", "62 82", "63 81"}) {
    ExpectChange(answer);
    card_.Expect(VerifyCommand(0x03, Hex(kNewPinHex)), "90 00");
    std::memcpy(context_->sessionPin, kIssuedSessionPin, 8);
    context_->userAuthenticated = false;
    DWORD attempts = kUntouched;
    EXPECT_EQ(Change(Hex(kPinHex), Hex(kNewPinHex), &attempts), 0u) << answer;
    EXPECT_EQ(attempts, kUntouched) << answer;
    EXPECT_TRUE(context_->userAuthenticated) << answer;
    EXPECT_EQ(ToHex({context_->sessionPin, 8}), "00 00 00 00 00 00 00 00") << answer << ": session PIN kept";
  }
}

TEST_F(PinChangeTest, NewPinThatDoesNotVerifyIsAnInternalError) {
  for (bool before : {false, true}) {
    ExpectChange("90 00");
    card_.Expect(VerifyCommand(0x03, Hex(kNewPinHex)), "63 C2");
    context_->userAuthenticated = before;
    DWORD attempts = kUntouched;
    EXPECT_EQ(Change(Hex(kPinHex), Hex(kNewPinHex), &attempts), SCARD_F_INTERNAL_ERROR);
    EXPECT_EQ(attempts, kUntouched);
    EXPECT_EQ(context_->userAuthenticated, before);
    EXPECT_TRUE(SessionPinKept());
  }
}

TEST_F(PinChangeTest, RefusedChangeSignsTheUserOut) {
  struct Case {
    const char* answer;  // null: the exchange fails
    DWORD result;
    DWORD attempts;
  };
  const Case cases[] = {
      {"63 C0", SCARD_W_CHV_BLOCKED, 0},
      {"69 83", SCARD_W_CHV_BLOCKED, 0},
      {"63 C1", SCARD_W_WRONG_CHV, 1},
      {"63 C2", SCARD_W_WRONG_CHV, 2},
      {"63 C5", SCARD_W_WRONG_CHV, 5},
      {"63 CF", SCARD_W_WRONG_CHV, 15},
      {"69 85", SCARD_W_WRONG_CHV, 3},
      {"64 00", 0x6400, kUntouched},
      {"6A 80", 0x6A80, kUntouched},
      {"00 00", SCARD_F_INTERNAL_ERROR, kUntouched},  // would otherwise read as success
      {nullptr, SCARD_F_INTERNAL_ERROR, kUntouched},
  };
  for (const Case& c : cases) {
    const char* name = c.answer ? c.answer : "transport error";
    ExpectChange(c.answer);
    context_->userAuthenticated = true;
    DWORD attempts = kUntouched;
    EXPECT_EQ(Change(Hex(kPinHex), Hex(kNewPinHex), &attempts), c.result) << name;
    EXPECT_EQ(attempts, c.attempts) << name;
    EXPECT_FALSE(context_->userAuthenticated) << name;
    EXPECT_TRUE(SessionPinKept()) << name;
  }
}

TEST_F(PinChangeTest, UnblockOutcomes) {
  struct Case {
    const char* answer;  // null: the exchange fails
    DWORD result;
  };
  const Case cases[] = {
      {"90 00", 0},
      {"63 C0", SCARD_W_CHV_BLOCKED},
      {"69 83", SCARD_W_CHV_BLOCKED},
      {"63 C1", SCARD_W_WRONG_CHV},
      {"6A 80", SCARD_W_WRONG_CHV},
      {nullptr, SCARD_W_WRONG_CHV},
  };
  for (const Case& c : cases) {
    for (const char16_t* id : {u"user", u"admin"}) {
      const char* name = c.answer ? c.answer : "transport error";
      ExpectUnblock(c.answer);
      context_->userAuthenticated = true;
      EXPECT_EQ(Unblock(Hex(kUnblockHex), Hex(kNewPinHex), 0, id), c.result) << name;
      EXPECT_FALSE(context_->userAuthenticated) << name << ": an unblock must be followed by a verification";
      EXPECT_TRUE(SessionPinKept()) << name;
    }
  }
  // Flags other than challenge-response are accepted like 0.
  ExpectUnblock("90 00");
  EXPECT_EQ(Unblock(Hex(kUnblockHex), Hex(kNewPinHex), 2), 0u);
}

TEST_F(PinChangeTest, UnblockRefusals) {
  struct Case {
    const char* name;
    DWORD (*call)(PinChangeTest&);
    DWORD result;
    bool signsOut;
  };
  const Case cases[] = {
      {"retry count", [](PinChangeTest& t) { return t.Unblock(Hex(kUnblockHex), Hex(kNewPinHex), 0, u"user", 1); },
       SCARD_E_INVALID_PARAMETER, false},
      {"null id", [](PinChangeTest& t) { return t.Unblock(Hex(kUnblockHex), Hex(kNewPinHex), 0, nullptr); },
       SCARD_E_INVALID_PARAMETER, false},
      {"Admin", [](PinChangeTest& t) { return t.Unblock(Hex(kUnblockHex), Hex(kNewPinHex), 0, u"Admin"); },
       SCARD_E_INVALID_PARAMETER, false},
      {"challenge", [](PinChangeTest& t) { return t.Unblock(Hex(kUnblockHex), Hex(kNewPinHex), 1); },
       SCARD_E_UNSUPPORTED_FEATURE, false},
      // Refused by the command without an exchange, yet an unblock attempt.
      {"empty new PIN", [](PinChangeTest& t) { return t.Unblock(Hex(kUnblockHex), {}); }, SCARD_W_WRONG_CHV, true},
      {"empty code", [](PinChangeTest& t) { return t.Unblock({}, Hex(kNewPinHex)); }, SCARD_W_WRONG_CHV, true},
      {"too long", [](PinChangeTest& t) { return t.Unblock(std::vector<BYTE>(250, 1), {2, 2}); }, SCARD_W_WRONG_CHV,
       true},
  };
  for (const Case& c : cases) {
    context_->userAuthenticated = true;
    card_.ExpectSelectApplication();
    EXPECT_EQ(c.call(*this), c.result) << c.name;
    EXPECT_EQ(context_->userAuthenticated, !c.signsOut) << c.name;
    EXPECT_TRUE(card_.done()) << c.name;
  }
}

TEST_F(PinChangeTest, ChangeAuthenticatorExDispatches) {
  struct Case {
    const char* name;
    DWORD flags;
    PIN_ID authenticating, target;
    bool nullData;
    const char* sent;  // "change", "unblock", "select" (refused after the context check) or "" (nothing)
    DWORD result;
  };
  const Case cases[] = {
      {"flags 0", 0, 1, 1, false, "", SCARD_E_INVALID_PARAMETER},
      {"flags 3", 3, 1, 1, false, "", SCARD_E_INVALID_PARAMETER},
      {"null data", PIN_CHANGE_FLAG_CHANGEPIN, 1, 1, true, "", SCARD_E_INVALID_PARAMETER},
      {"change 1", PIN_CHANGE_FLAG_CHANGEPIN, 1, 1, false, "change", SCARD_W_WRONG_CHV},
      {"change 2", PIN_CHANGE_FLAG_CHANGEPIN, 2, 2, false, "select", SCARD_E_INVALID_PARAMETER},
      {"change 1 to 2", PIN_CHANGE_FLAG_CHANGEPIN, 1, 2, false, "", SCARD_E_INVALID_PARAMETER},
      {"change 3", PIN_CHANGE_FLAG_CHANGEPIN, 3, 3, false, "", SCARD_E_INVALID_PARAMETER},
      {"unblock 2 to 1", PIN_CHANGE_FLAG_UNBLOCK, 2, 1, false, "unblock", SCARD_W_WRONG_CHV},
      {"unblock 1 to 1", PIN_CHANGE_FLAG_UNBLOCK, 1, 1, false, "", SCARD_E_INVALID_PARAMETER},
      {"unblock 2 to 2", PIN_CHANGE_FLAG_UNBLOCK, 2, 2, false, "", SCARD_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    const std::string sent = c.sent;
    std::vector<BYTE> authenticating = Hex(sent == "unblock" ? kUnblockHex : kPinHex);
    std::vector<BYTE> target = Hex(kNewPinHex);
    if (sent == "change") ExpectChange("63 C1");
    if (sent == "unblock") ExpectUnblock("63 C1");
    if (sent == "select") card_.ExpectSelectApplication();
    DWORD attempts = kUntouched;
    EXPECT_EQ(CardChangeAuthenticatorEx(host_.get(), c.flags, c.authenticating, c.nullData ? nullptr : authenticating.data(),
                                        static_cast<DWORD>(authenticating.size()), c.target, target.data(),
                                        static_cast<DWORD>(target.size()), 0, &attempts),
              c.result)
        << c.name;
    EXPECT_EQ(attempts, sent == "change" ? 1u : kUntouched) << c.name;
    EXPECT_TRUE(card_.done()) << c.name;
  }
}

}  // namespace
}  // namespace vela::test
