// C_WaitForSlotEvent over the rack: each card or reader that comes or goes
// told once, a blocked call woken by the change and by C_Finalize, and no
// lock held while it waits.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "p11_harness.h"
#include "pkcs11/fork_gate.h"

namespace vela::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kOtherReader = "Emulated Reader 1";

class Pkcs11SlotEvent : public P11Test {
 protected:
  // The slot told by a call that does not block, or CK_UNAVAILABLE_INFORMATION
  // for CKR_NO_EVENT.
  CK_SLOT_ID Poll() {
    CK_SLOT_ID slot = CK_UNAVAILABLE_INFORMATION;
    const CK_RV rv = p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
    EXPECT_TRUE(rv == CKR_OK || rv == CKR_NO_EVENT) << rv;
    return rv == CKR_OK ? slot : CK_UNAVAILABLE_INFORMATION;
  }

  // C_WaitForSlotEvent blocked in a thread of its own. One still blocked
  // when the test leaves (a failed assertion) is ended with C_Finalize, so
  // that the future's destructor does not wait for it for ever.
  struct Waiter {
    CK_FUNCTION_LIST* p11 = nullptr;
    std::future<CK_RV> result;
    CK_SLOT_ID slot = CK_UNAVAILABLE_INFORMATION;
    ~Waiter() {
      if (!result.valid() || result.wait_for(0ms) == std::future_status::ready) return;
      p11->C_Finalize(nullptr);
      if (result.wait_for(10s) != std::future_status::ready) Abandon("C_Finalize did not end a blocked call");
    }
  };
  void StartWaiter(Waiter* waiter) {
    waiter->p11 = p11();
    waiter->result = std::async(std::launch::async, [this, waiter] {
      return p11()->C_WaitForSlotEvent(0, &waiter->slot, nullptr);
    });
  }
  // A thread the test cannot get out of the module: the test program ends
  // here rather than wait for it.
  [[noreturn]] static void Abandon(const char* why) {
    std::fprintf(stderr, "%s: the test program cannot go on\n", why);
    std::fflush(nullptr);
    std::abort();
  }
  // Whether the blocked call has returned within `limit`; if it has not, the
  // module is finalised so that the test ends.
  bool Returned(Waiter& waiter, std::chrono::milliseconds limit) {
    if (waiter.result.wait_for(limit) == std::future_status::ready) return true;
    p11()->C_Finalize(nullptr);
    return false;
  }
};

TEST_F(Pkcs11SlotEvent, EachChangeIsToldOnceWithoutBlocking) {
  const CK_SLOT_ID none = CK_UNAVAILABLE_INFORMATION;
  EXPECT_EQ(Poll(), none) << "nothing happened since C_Initialize";
  CardRack& rack = CardRack::Get();
  struct Case {
    const char* change;
    std::function<void()> make;
    std::set<std::string> readers;  // whose slots are told, in any order
  };
  const std::vector<Case> cases = {
      {"card pulled", [&] { rack.Pull(kReader); }, {kReader}},
      {"card put in", [&] { rack.Insert(kReader); }, {kReader}},
      {"card swapped between two looks", [&] { rack.Pull(kReader), rack.Insert(kReader); }, {kReader}},
      {"empty reader appears", [&] { rack.AddReader(kOtherReader); }, {kOtherReader}},
      {"a card leaves one reader and enters the other",
       [&] { rack.Pull(kReader), rack.Insert(kOtherReader); }, {kReader, kOtherReader}},
      {"reader with its card unplugged", [&] { rack.RemoveReader(kOtherReader); }, {kOtherReader}},
      {"the reader plugged in again", [&] { rack.AddReader(kOtherReader); }, {kOtherReader}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    c.make();
    std::set<std::string> told;
    for (std::size_t i = 0; i < c.readers.size(); ++i) {
      const CK_SLOT_ID slot = Poll();
      ASSERT_NE(slot, none);
      CK_SLOT_INFO info;
      ASSERT_EQ(p11()->C_GetSlotInfo(slot, &info), CKR_OK);
      const std::string description(reinterpret_cast<const char*>(info.slotDescription), sizeof(info.slotDescription));
      told.insert(description.substr(0, description.find_last_not_of(' ') + 1));
    }
    EXPECT_EQ(told, c.readers);
    EXPECT_EQ(Poll(), none) << "told once only";
  }
  // The reader unplugged and plugged again keeps its slot id.
  CK_SLOT_ID slots[4];
  CK_ULONG count = 4;
  ASSERT_EQ(p11()->C_GetSlotList(CK_FALSE, slots, &count), CKR_OK);
  EXPECT_EQ(count, 2u);
}

TEST_F(Pkcs11SlotEvent, BadArgumentsAndNoModule) {
  CK_SLOT_ID slot;
  int reserved = 0;
  EXPECT_EQ(p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, &reserved), CKR_ARGUMENTS_BAD);
  ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(p11()->C_WaitForSlotEvent(0, &slot, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
}

// A blocked call sleeps (a look or two at the readers, not a loop), lets
// every other call through, and returns at once when the card moves.
TEST_F(Pkcs11SlotEvent, BlockedCallWakesOnTheChangeAndHoldsNoLock) {
  CardRack& rack = CardRack::Get();
  const int readsBefore = rack.statusReads;
  const int waitsBefore = rack.waits;
  Waiter waiter;
  StartWaiter(&waiter);
  EXPECT_FALSE(waiter.result.wait_for(300ms) == std::future_status::ready) << "returned with nothing to tell";
  EXPECT_LE(rack.statusReads - readsBefore, 2) << "the waiter looks at the readers over and over";
  EXPECT_LE(rack.waits - waitsBefore, 1);

  auto others = std::async(std::launch::async, [&] {
    CK_ULONG count = 0;
    EXPECT_EQ(p11()->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    const CK_SESSION_HANDLE session = Open();
    Login(session);
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    EXPECT_EQ(p11()->C_SignInit(session, &ecdsa, Object(session, CKO_PRIVATE_KEY, 0)), CKR_OK);
    std::vector<std::uint8_t> hash(32, 0x5A);
    CK_BYTE signature[64];
    CK_ULONG length = sizeof(signature);
    EXPECT_EQ(p11()->C_Sign(session, hash.data(), hash.size(), signature, &length), CKR_OK);
    EXPECT_EQ(p11()->C_CloseSession(session), CKR_OK);
  });
  if (others.wait_for(10s) != std::future_status::ready) {
    rack.Pull(kReader);  // ends the blocked call, and what waits for it
    FAIL() << "a call waits for the blocked one";
  }
  others.get();
  EXPECT_FALSE(waiter.result.wait_for(0ms) == std::future_status::ready) << "woken by a session's work";

  const auto pulled = std::chrono::steady_clock::now();
  rack.Pull(kReader);
  ASSERT_TRUE(Returned(waiter, 2s)) << "the pull was not told";
  EXPECT_LT(std::chrono::steady_clock::now() - pulled, 500ms);
  EXPECT_EQ(waiter.result.get(), CKR_OK);
  EXPECT_EQ(waiter.slot, slot());
  EXPECT_EQ(Poll(), CK_UNAVAILABLE_INFORMATION);
}

// A fork() while a thread waits for a card does not wait for the card: the
// waiter is outside the fork gate, and comes back in after the fork.
TEST_F(Pkcs11SlotEvent, ForkDoesNotWaitForABlockedCall) {
  Waiter waiter;
  StartWaiter(&waiter);
  std::this_thread::sleep_for(100ms);
  auto prepared = std::async(std::launch::async, [] { pkcs11::ForkGate::Prepare(); });
  EXPECT_TRUE(prepared.wait_for(2s) == std::future_status::ready) << "fork() waits for C_WaitForSlotEvent";
  // Had the waiter kept the gate, the pull lets it out and the fork through.
  CardRack::Get().Pull(kReader);
  if (prepared.wait_for(5s) != std::future_status::ready) {
    // The gate stays closed with the waiter inside: no call can end it.
    ADD_FAILURE() << "fork() waits even after the card has gone";
    Abandon("fork() waits for C_WaitForSlotEvent");
  }
  pkcs11::ForkGate::Parent();
  ASSERT_TRUE(Returned(waiter, 2s));
  EXPECT_EQ(waiter.result.get(), CKR_OK);
  EXPECT_EQ(waiter.slot, slot());
}

// C_Finalize from another thread ends a blocked call, whether it has begun
// to wait or is still on its way there.
TEST_F(Pkcs11SlotEvent, FinalizeEndsABlockedCall) {
  for (const auto pause : {200ms, 0ms, 1ms, 0ms, 5ms}) {
    SCOPED_TRACE(pause.count());
    Waiter waiter;
    StartWaiter(&waiter);
    std::this_thread::sleep_for(pause);
    const auto finalised = std::chrono::steady_clock::now();
    ASSERT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
    ASSERT_TRUE(Returned(waiter, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - finalised, 1s);
    EXPECT_EQ(waiter.result.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
  }
}

}  // namespace
}  // namespace vela::test
