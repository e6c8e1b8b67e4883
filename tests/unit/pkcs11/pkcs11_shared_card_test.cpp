// Other programs on the same card. One that logs out resets the card, which
// forgets every verified PIN: the token takes the card up again and replays
// a login whose PIN the application typed, so its sessions, handles and
// operations go on. What cannot be replayed (a keypad login, a PIN kept by
// nobody, a PIN changed meanwhile) ends the login only; another card under
// the reset ends the token.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <limits>

#include "openssl_reference.h"
#include "p11_harness.h"
#include "pkcs11/pin_mark.h"
#include "pkcs11/slot.h"

namespace vela::test {
namespace {

class Pkcs11SharedCard : public P11Test {
 protected:
  void SetUp() override {
    P11Test::SetUp();
    session_ = Open();
    Login(session_);
    key_ = Object(session_, CKO_PRIVATE_KEY, 0);
  }

  CK_STATE State() {
    CK_SESSION_INFO info{};
    EXPECT_EQ(p11()->C_GetSessionInfo(session_, &info), CKR_OK);
    return info.state;
  }
  CK_RV SignInit() {
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    return p11()->C_SignInit(session_, &ecdsa, key_);
  }
  // Finishes a signature begun with SignInit; a signature made is checked
  // against the card's key.
  CK_RV Finish() {
    CK_BYTE signature[64];
    CK_ULONG length = sizeof(signature);
    const CK_RV rv = p11()->C_Sign(session_, hash_.data(), hash_.size(), signature, &length);
    if (rv == CKR_OK) {
      EXPECT_TRUE(ReferenceEcdsaVerify(card()->Key(0x80), hash_, Bytes(signature, signature + length)));
    }
    return rv;
  }
  CK_RV SignOnce() {
    const CK_RV rv = SignInit();
    return rv != CKR_OK ? rv : Finish();
  }
  // The login ended by a reset that could not be replayed: the session and
  // the key's handle are still there, the key wants a login, and after one
  // the same handle signs again.
  void ExpectLoginEndedButHandlesKept() {
    EXPECT_EQ(State(), CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(SignInit(), CKR_USER_NOT_LOGGED_IN);
    Login(session_);
    EXPECT_EQ(SignOnce(), CKR_OK);
  }
  // The module started again (its settings read anew) on a fresh card, logged in.
  void Reinitialise() {
    ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
    CardRack::Get().Insert(kReader);
    ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
    session_ = Open();
    Login(session_);
    key_ = Object(session_, CKO_PRIVATE_KEY, 0);
  }

  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
  Bytes hash_ = Bytes(32, 0x3C);
};

TEST_F(Pkcs11SharedCard, LoginOutlivesAnotherProgramsReset) {
  // A signature begun before the reset ends after it.
  ASSERT_EQ(SignInit(), CKR_OK);
  CardRack::Get().ResetByAnotherProgram(kReader);
  EXPECT_FALSE(card()->Verified(0x03));
  card()->ClearCounters();
  EXPECT_EQ(Finish(), CKR_OK);
  EXPECT_TRUE(card()->Verified(0x03));
  // Taking the card up again: the old context's delete and a new acquire
  // (7), the serial number (1), the PIN's counter (1), the PIN (2); then
  // the signature (3).
  EXPECT_EQ(card()->TotalCommands(), 14u);
  EXPECT_EQ(card()->CommandCount(0x20), 2u);
  EXPECT_EQ(card()->TriesLeft(0x03), 3);
  EXPECT_EQ(State(), CKS_RO_USER_FUNCTIONS);

  // A reset before each call, and before a call that needs no card.
  for (int i = 0; i < 3; ++i) {
    CardRack::Get().ResetByAnotherProgram(kReader);
    EXPECT_EQ(SignOnce(), CKR_OK) << i;
  }
  CardRack::Get().ResetByAnotherProgram(kReader);
  EXPECT_EQ(State(), CKS_RO_USER_FUNCTIONS);
  EXPECT_NE(Object(session_, CKO_PRIVATE_KEY, 0), CK_INVALID_HANDLE);
  // Resets that keep coming while the card is taken up are waited out.
  {
    std::lock_guard lock(CardRack::Get().mutex);
    CardRack::Get().entries.at(kReader).resetsWhileTakingUp = 2;
  }
  CardRack::Get().ResetByAnotherProgram(kReader);
  EXPECT_EQ(SignOnce(), CKR_OK);
  // The login made again ends as any login does: the card forgets it.
  ASSERT_EQ(p11()->C_Logout(session_), CKR_OK);
  EXPECT_FALSE(card()->Verified(0x03));
}

// A transaction pcscd refuses while the card stays in the reader (it is not
// a reset and not a removal) fails that one call: the token, the session,
// its login and the key's handle stay, and nothing is presented again.
TEST_F(Pkcs11SharedCard, RefusedTransactionFailsOnlyThatCall) {
  {
    std::lock_guard lock(CardRack::Get().mutex);
    CardRack::Get().entries.at(kReader).refusedTransactions = 1;
  }
  card()->ClearCounters();
  EXPECT_EQ(SignOnce(), CKR_DEVICE_ERROR);
  EXPECT_EQ(State(), CKS_RO_USER_FUNCTIONS);
  EXPECT_EQ(SignOnce(), CKR_OK);
  EXPECT_EQ(card()->CommandCount(0x20), 0u) << "the PIN was presented again";
  EXPECT_TRUE(card()->Verified(0x03));
}

// What cannot be made again ends the login, nothing more.
TEST_F(Pkcs11SharedCard, LoginThatCannotBeReplayedEndsAlone) {
  // The administrator prefers failures to a PIN kept in memory.
  SetRegistryString(kSettingsKey, "Pkcs11KeepPin", "FALSE");
  Reinitialise();
  ASSERT_EQ(SignInit(), CKR_OK);
  CardRack::Get().ResetByAnotherProgram(kReader);
  card()->ClearCounters();
  EXPECT_EQ(Finish(), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(card()->CommandCount(0x20), 0u) << "no PIN replayed";
  ExpectLoginEndedButHandlesKept();
  ClearRegistry();

  // Another program changed the PIN meanwhile: the old one is tried once,
  // costing the card one try, and never again.
  Reinitialise();
  const std::string change = std::string("\x00\x24\x00\x03\x0C", 5) + kUserPin + "654321";
  std::vector<std::uint8_t> answer;
  ASSERT_EQ(card().Transmit(Bytes(change.begin(), change.end()), &answer), 0u);
  ASSERT_EQ(answer, (Bytes{0x90, 0x00}));
  CardRack::Get().ResetByAnotherProgram(kReader);
  EXPECT_EQ(State(), CKS_RO_PUBLIC_SESSION);
  EXPECT_EQ(card()->TriesLeft(0x03), 2);
  CardRack::Get().ResetByAnotherProgram(kReader);
  EXPECT_EQ(SignInit(), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(card()->TriesLeft(0x03), 2);
  Login(session_, "654321");
  EXPECT_EQ(SignOnce(), CKR_OK);
}

// A command of another program, sent to the card as it is.
Bytes Raw(EmulatedCard& card, const std::string& command) {
  std::vector<std::uint8_t> answer;
  EXPECT_EQ(card.Transmit(Bytes(command.begin(), command.end()), &answer), 0u);
  return answer;
}
const std::string kWrongVerify = std::string("\x00\x20\x00\x03\x06", 5) + "111111";
const std::string kRightVerify = std::string("\x00\x20\x00\x03\x06", 5) + kUserPin;

// Another program's wrong PIN makes the card forget the verified PIN with
// no reset to tell of it: the card refuses the next signature. The PIN kept
// is presented again where the counter allows, which fills it again; else
// the login ends cleanly.
TEST_F(Pkcs11SharedCard, CardForgetsTheLoginAtAnotherProgramsWrongPin) {
  struct Case {
    int wrongPins;
    CK_RV sign;
    int triesAfter;
  };
  for (const Case& c : {Case{1, CKR_OK, 3}, Case{2, CKR_USER_NOT_LOGGED_IN, 1}}) {
    SCOPED_TRACE(std::to_string(c.wrongPins) + " wrong PIN(s)");
    for (int i = 0; i < c.wrongPins; ++i) EXPECT_EQ(Raw(card(), kWrongVerify)[0], 0x63);
    card()->ClearCounters();
    EXPECT_EQ(SignOnce(), c.sign);
    EXPECT_EQ(card()->TriesLeft(0x03), c.triesAfter);
    if (c.sign == CKR_OK) {
      EXPECT_EQ(State(), CKS_RO_USER_FUNCTIONS);
      // The refused signature, the counter, the PIN, the signature again.
      EXPECT_EQ(card()->CommandCount(0x20), 2u);
      EXPECT_EQ(card()->CommandCount(0x2A), 2u);
    } else {
      EXPECT_EQ(card()->CommandCount(0x20), 1u) << "no PIN presented with one try left";
      ExpectLoginEndedButHandlesKept();
    }
  }
}

// A kept PIN is presented again only where it cannot block the card.
TEST_F(Pkcs11SharedCard, KeptPinNotPresentedWhereItCouldBlockTheCard) {
  // One try left (another program's two mistakes, then the reset).
  EXPECT_EQ(Raw(card(), kWrongVerify)[0], 0x63);
  EXPECT_EQ(Raw(card(), kWrongVerify)[0], 0x63);
  CardRack::Get().ResetByAnotherProgram(kReader);
  card()->ClearCounters();
  EXPECT_EQ(State(), CKS_RO_PUBLIC_SESSION);
  EXPECT_EQ(card()->CommandCount(0x20), 1u) << "only the counter asked";
  EXPECT_EQ(card()->TriesLeft(0x03), 1);
  ExpectLoginEndedButHandlesKept();

  // Another program of the user changed the PIN and left its mark; the PIN
  // kept here predates it.
  const std::string change = std::string("\x00\x24\x00\x03\x0C", 5) + kUserPin + "654321";
  ASSERT_EQ(Raw(card(), change), (Bytes{0x90, 0x00}));
  ASSERT_NE(pkcs11::WritePinMark(emu::Personalisation{}.serial), pkcs11::PinMark{});
  CardRack::Get().ResetByAnotherProgram(kReader);
  card()->ClearCounters();
  EXPECT_EQ(State(), CKS_RO_PUBLIC_SESSION);
  EXPECT_EQ(card()->TriesLeft(0x03), 3) << "the old PIN was presented";
  Login(session_, "654321");
  EXPECT_EQ(SignOnce(), CKR_OK);
  // A login made after the mark presents its PIN again.
  CardRack::Get().ResetByAnotherProgram(kReader);
  EXPECT_EQ(SignOnce(), CKR_OK);
}

// The unblocking code is never presented again: the SO's login ends.
TEST_F(Pkcs11SharedCard, SecurityOfficersLoginEndsAtAReset) {
  ASSERT_EQ(p11()->C_Logout(session_), CKR_OK);
  ASSERT_EQ(p11()->C_CloseSession(session_), CKR_OK);
  session_ = Open(true);
  std::string code = kUnblockCode;
  ASSERT_EQ(p11()->C_Login(session_, CKU_SO, reinterpret_cast<CK_UTF8CHAR*>(code.data()), code.size()), CKR_OK);
  CardRack::Get().ResetByAnotherProgram(kReader);
  card()->ClearCounters();
  EXPECT_EQ(State(), CKS_RW_PUBLIC_SESSION);
  EXPECT_EQ(card()->CommandCount(0x20), 0u);
  std::string pin = "654321";
  EXPECT_EQ(p11()->C_InitPIN(session_, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()),
            CKR_USER_NOT_LOGGED_IN);
}

// A program that ends its use of the card holding no login resets a card
// it finds with the user PIN verified: one that another program, killed
// while logged in, left so.
TEST_F(Pkcs11SharedCard, ProgramWithoutLoginLeavesNoPinVerified) {
  ASSERT_EQ(p11()->C_Logout(session_), CKR_OK);
  ASSERT_EQ(Raw(card(), kRightVerify), (Bytes{0x90, 0x00}));
  card()->ClearCounters();
  ASSERT_EQ(p11()->C_CloseSession(session_), CKR_OK);
  EXPECT_FALSE(card()->Verified(0x03)) << "the last session closed";
  EXPECT_EQ(card()->TotalCommands(), 1u) << "one question to the card";

  session_ = Open();
  ASSERT_EQ(Raw(card(), kRightVerify), (Bytes{0x90, 0x00}));
  ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
  EXPECT_FALSE(card()->Verified(0x03)) << "C_Finalize";
  ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
}

class Pkcs11FirstTakeUp : public P11Test {
 protected:
  // What the reader does at the next connections to the card.
  static void Script(int resetsAtConnect, int resetsWhileTakingUp, int refusedConnections = 0) {
    std::lock_guard lock(CardRack::Get().mutex);
    CardRack::Entry& entry = CardRack::Get().entries.at(kReader);
    entry.resetsAtConnect = resetsAtConnect;
    entry.resetsWhileTakingUp = resetsWhileTakingUp;
    entry.refusedConnections = refusedConnections;
  }
};

// A program that starts while others reset the card (each logout elsewhere
// does) finds the token; and the count of a slot list asked first is never
// less than the list that follows, however the resets fall.
TEST_F(Pkcs11FirstTakeUp, WaitsOutResets) {
  Script(1, 2);
  CK_SLOT_ID slots[1];
  CK_ULONG count = 1;
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
  EXPECT_EQ(count, 1u);
  CK_TOKEN_INFO info;
  EXPECT_EQ(p11()->C_GetTokenInfo(slot(), &info), CKR_OK);

  // A long run of resets (a busy machine loses the card to them many times
  // in a row) is waited out by one call: taking the card up, and a call on
  // the token taken up.
  ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
  Script(1, 40);
  count = 1;
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
  EXPECT_EQ(count, 1u);
  Script(0, 40);
  CardRack::Get().ResetByAnotherProgram(kReader);
  EXPECT_EQ(p11()->C_GetTokenInfo(slot(), &info), CKR_OK);

  // Resets that never stop: the call ends after a while all the same; the
  // count comes while the card is kept from being taken up, the list after.
  ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
  Script(1, std::numeric_limits<int>::max());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3 * pkcs11::kResetsWaitedOut);
  EXPECT_EQ(count, 1u);
  Script(0, 0);
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
  EXPECT_EQ(count, 1u);
}

// While another program resets the card, pcscd may also refuse a connection
// to it for a moment: a program starting then waits that out and finds the
// token. A card that goes on refusing leaves the call after a while, without
// a token, and is taken up at a later call once it answers.
TEST_F(Pkcs11FirstTakeUp, WaitsOutRefusedConnections) {
  CK_SLOT_ID slots[1];
  CK_ULONG count = 1;
  Script(1, 0, 2);
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
  EXPECT_EQ(count, 1u) << "two refused connections lost the token";

  ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
  Script(0, 0, std::numeric_limits<int>::max());
  const auto start = std::chrono::steady_clock::now();
  count = 1;
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3 * pkcs11::kResetsWaitedOut);
  EXPECT_EQ(count, 0u);
  Script(0, 0);
  count = 1;
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
  EXPECT_EQ(count, 1u) << "a card that refused for a while was given up";
}

// The mark a PIN change leaves is written and read only in a folder of the
// user's own that nobody else may write, as a regular file of the user's.
TEST_F(Pkcs11FirstTakeUp, PinMarkOnlyInTheUsersOwnPlaces) {
  const std::array<std::uint8_t, 10> serial = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const pkcs11::PinMark mark = pkcs11::WritePinMark(serial);
  ASSERT_NE(mark, pkcs11::PinMark{});
  EXPECT_EQ(pkcs11::ReadPinMark(serial), mark);
  const pkcs11::PinMark latest = pkcs11::WritePinMark(serial);
  EXPECT_NE(latest, mark) << "each mark is new";

  // A link planted in the mark's place is not followed.
  const std::array<std::uint8_t, 10> other = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  const std::string target = cacheHome_ + "/target";
  ASSERT_EQ(symlink(target.c_str(), (cacheHome_ + "/vela3ro-pin-09090909090909090909").c_str()), 0);
  EXPECT_EQ(pkcs11::WritePinMark(other), pkcs11::PinMark{});
  EXPECT_FALSE(std::filesystem::exists(target));

  // A runtime folder others may write to is not used (the user's own
  // folder in /tmp is, where it can be had).
  ASSERT_EQ(chmod(cacheHome_.c_str(), 0777), 0);
  EXPECT_NE(pkcs11::ReadPinMark(serial), latest);
  ASSERT_EQ(chmod(cacheHome_.c_str(), 0700), 0);
  EXPECT_EQ(pkcs11::ReadPinMark(serial), latest);
}

class Pkcs11SharedPinPad : public Pkcs11SharedCard {
 protected:
  void SetUp() override {
    SetRegistryString(kSettingsKey, "usePinPad", "TRUE");
    P11Test::SetUp();
    pad_ = &card().AttachPinPad({emu::PinPadFeatures::kVerifyDirect, std::nullopt, std::chrono::milliseconds(0),
                                 emu::PinPadOutcome::kTyped});
    session_ = Open();
    ASSERT_EQ(p11()->C_Login(session_, CKU_USER, nullptr, 0), CKR_OK);
    key_ = Object(session_, CKO_PRIVATE_KEY, 0);
  }
  emu::PinPadReader* pad_ = nullptr;
};

// A PIN typed on the reader's keypad is known to nobody here: the login ends
// and the application logs in again (on the keypad) when it wants to.
TEST_F(Pkcs11SharedPinPad, KeypadLoginEndsWithTheReset) {
  ASSERT_EQ(SignInit(), CKR_OK);
  CardRack::Get().ResetByAnotherProgram(kReader);
  EXPECT_EQ(Finish(), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(pad_->verifications(), 1u) << "the keypad was not asked again unbidden";
  EXPECT_EQ(State(), CKS_RO_PUBLIC_SESSION);
  EXPECT_EQ(SignInit(), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(p11()->C_Login(session_, CKU_USER, nullptr, 0), CKR_OK);
  EXPECT_EQ(SignOnce(), CKR_OK);
}

// Another card behind the reset is another token: the old one's sessions end.
TEST_F(Pkcs11SharedCard, AnotherCardUnderTheResetIsANewToken) {
  emu::Personalisation other;
  other.serial = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};
  CardRack::Get().SwapUnderReset(kReader, other);
  EXPECT_EQ(SignInit(), CKR_DEVICE_REMOVED);
  CK_SESSION_INFO info;
  EXPECT_EQ(p11()->C_GetSessionInfo(session_, &info), CKR_SESSION_HANDLE_INVALID);
  CK_TOKEN_INFO token;
  ASSERT_EQ(p11()->C_GetTokenInfo(slot(), &token), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(token.label), 28), "VELA G3 A0A1A2A3A4A5A6A7A8A9");
  EXPECT_FALSE(card()->Verified(0x03)) << "nothing was replayed on the other card";
}

}  // namespace
}  // namespace vela::test
