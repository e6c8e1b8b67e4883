// Other programs on the same card. One that logs out resets the card, which
// forgets every verified PIN: the token takes the card up again and replays
// a login whose PIN the application typed, so its sessions, handles and
// operations go on. What cannot be replayed (a keypad login, a PIN kept by
// nobody, a PIN changed meanwhile) ends the login only; another card under
// the reset ends the token.
#include <functional>

#include "openssl_reference.h"
#include "p11_harness.h"

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
  // (7), the serial number (1), the PIN (2); then the signature (3).
  EXPECT_EQ(card()->TotalCommands(), 13u);
  EXPECT_EQ(card()->CommandCount(0x20), 1u);
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
