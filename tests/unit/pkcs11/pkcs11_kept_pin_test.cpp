// The PIN an application typed is kept only where the administrator allows
// it, only for the length of its login and only for the card it was typed
// for. A kept PIN lives in a page that core dumps leave out; these tests
// search every such page of the process for the PIN, so a page left behind
// (not wiped, not given back) shows whatever the code path that lost it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "p11_harness.h"

namespace vela::test {
namespace {

// Pages kept out of core dumps (VmFlags "dd") that hold `pattern`. Mappings
// above 1 MiB are the sanitizers' shadow, which holds no plain bytes.
int UndumpedPagesHolding(const std::string& pattern) {
  constexpr unsigned long kLargest = 1 << 20;
  const int memory = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (memory < 0) {
    ADD_FAILURE() << "cannot read /proc/self/mem";
    return -1;
  }
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  unsigned long begin = 0, end = 0;
  bool readable = false;
  int holding = 0;
  std::string contents;
  while (std::getline(smaps, line)) {
    char permissions[5] = {};
    unsigned long from = 0, to = 0;
    // A mapping's first line is its address range; its fields follow, VmFlags last.
    if (std::sscanf(line.c_str(), "%lx-%lx %4s ", &from, &to, permissions) == 3) {
      begin = from;
      end = to;
      readable = permissions[0] == 'r';
      continue;
    }
    if (line.rfind("VmFlags:", 0) != 0 || !readable || end - begin > kLargest) continue;
    if ((line + " ").find(" dd ") == std::string::npos) continue;
    contents.assign(end - begin, '\0');
    const ssize_t got = pread(memory, contents.data(), contents.size(), static_cast<off_t>(begin));
    if (got > 0 && memmem(contents.data(), static_cast<std::size_t>(got), pattern.data(), pattern.size()) != nullptr) {
      ++holding;
    }
  }
  close(memory);
  return holding;
}

CK_RV LoginAs(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_USER_TYPE user, std::string pin) {
  return p11->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
}

CK_RV SetPin(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, std::string oldPin, std::string newPin) {
  return p11->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR*>(oldPin.data()), oldPin.size(),
                       reinterpret_cast<CK_UTF8CHAR*>(newPin.data()), newPin.size());
}

class Pkcs11KeptPin : public P11Test {
 protected:
  CK_RV SignInit(CK_SESSION_HANDLE session) {
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    return p11()->C_SignInit(session, &ecdsa, Object(session, CKO_PRIVATE_KEY, 0));
  }
};

// However a login ends, the PIN kept for it goes with it; while it lasts the
// PIN is kept once (which shows that the search finds it). A PIN changed
// during the login replaces the one kept, which goes at once.
TEST_F(Pkcs11KeptPin, GoesWhenTheLoginEnds) {
  struct End {
    const char* name;
    std::function<void(CK_SESSION_HANDLE)> end;
  };
  const End ends[] = {
      {"C_Logout", [&](CK_SESSION_HANDLE s) { ASSERT_EQ(p11()->C_Logout(s), CKR_OK); }},
      {"the last session closed", [&](CK_SESSION_HANDLE s) { ASSERT_EQ(p11()->C_CloseSession(s), CKR_OK); }},
      {"C_CloseAllSessions", [&](CK_SESSION_HANDLE) { ASSERT_EQ(p11()->C_CloseAllSessions(slot()), CKR_OK); }},
      {"the SO's C_Logout",
       [&](CK_SESSION_HANDLE s) {
         // The unblocking code is kept for C_InitPIN, and goes the same way.
         ASSERT_EQ(p11()->C_Logout(s), CKR_OK);
         ASSERT_EQ(LoginAs(p11(), s, CKU_SO, kUnblockCode), CKR_OK);
         ASSERT_EQ(UndumpedPagesHolding(kUnblockCode), 1);
         ASSERT_EQ(p11()->C_Logout(s), CKR_OK);
       }},
  };
  for (const End& end : ends) {
    SCOPED_TRACE(end.name);
    const CK_SESSION_HANDLE session = Open(true);
    Login(session);
    EXPECT_EQ(UndumpedPagesHolding(kUserPin), 1);
    end.end(session);
    EXPECT_EQ(UndumpedPagesHolding(kUserPin), 0) << "the PIN outlived the login";
    EXPECT_EQ(UndumpedPagesHolding(kUnblockCode), 0) << "the unblocking code outlived the login";
    p11()->C_CloseAllSessions(slot());
  }

  const CK_SESSION_HANDLE session = Open(true);
  Login(session);
  ASSERT_EQ(SetPin(p11(), session, kUserPin, "654321"), CKR_OK);
  EXPECT_EQ(UndumpedPagesHolding(kUserPin), 0) << "the PIN replaced during the login is still kept";
  EXPECT_EQ(UndumpedPagesHolding("654321"), 1);
  // The login goes on with the new PIN after another program's reset.
  CardRack::Get().ResetByAnotherProgram(kReader);
  EXPECT_EQ(SignInit(session), CKR_OK);
  EXPECT_TRUE(card()->Verified(0x03));
  ASSERT_EQ(p11()->C_Logout(session), CKR_OK);
  EXPECT_EQ(UndumpedPagesHolding("654321"), 0);
}

// The administrator's Pkcs11KeepPin FALSE: the PIN is not kept even while the
// login lasts.
TEST_F(Pkcs11KeptPin, NotKeptWhenTheAdministratorSaysSo) {
  ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
  SetRegistryString(kSettingsKey, "Pkcs11KeepPin", "FALSE");
  ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
  const CK_SESSION_HANDLE session = Open(true);
  Login(session);
  EXPECT_EQ(UndumpedPagesHolding(kUserPin), 0) << "kept although the administrator said no";
  EXPECT_EQ(SignInit(session), CKR_OK);
  // A PIN changed during the login is not kept either.
  ASSERT_EQ(SetPin(p11(), session, kUserPin, "654321"), CKR_OK);
  EXPECT_EQ(UndumpedPagesHolding("654321"), 0) << "the changed PIN kept although the administrator said no";
}

// A card that answers with the same serial number but is another card (its
// ATR differs) after a reset is another token: the kept PIN is not shown to it.
TEST_F(Pkcs11KeptPin, NotPresentedToAnotherCardWithTheSameSerialNumber) {
  const CK_SESSION_HANDLE session = Open();
  Login(session);
  ASSERT_EQ(SignInit(session), CKR_OK);
  std::vector<std::uint8_t> otherAtr = emu::VelaCard::Atr();
  // Another version byte among the historical bytes, and the check byte made to fit.
  otherAtr[10] ^= 0x01;
  otherAtr.back() ^= 0x01;
  EmulatedCard& other = CardRack::Get().SwapUnderReset(kReader, personalisation_, otherAtr);
  CK_BYTE signature[64];
  CK_ULONG length = sizeof(signature);
  CK_BYTE hash[32] = {};
  EXPECT_EQ(p11()->C_Sign(session, hash, sizeof(hash), signature, &length), CKR_DEVICE_REMOVED);
  EXPECT_EQ(other->CommandCount(0x20), 0u) << "a PIN was presented to the other card";
  EXPECT_FALSE(other->Verified(0x03));
  EXPECT_EQ(UndumpedPagesHolding(kUserPin), 0) << "the PIN outlived its token";
  // The other card is a token of its own, and works as one.
  const CK_SESSION_HANDLE fresh = Open();
  Login(fresh);
  EXPECT_EQ(SignInit(fresh), CKR_OK);
}

}  // namespace
}  // namespace vela::test
