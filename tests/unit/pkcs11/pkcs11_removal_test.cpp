// A card taken out of the reader in the middle of a session, and put back.
#include <functional>
#include <thread>
#include <vector>

#include "openssl_reference.h"
#include "p11_harness.h"

namespace vela::test {
namespace {

class Pkcs11Removal : public P11Test {
 protected:
  CK_RV SignOnce(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    CK_RV rv = p11()->C_SignInit(session, &ecdsa, key);
    if (rv != CKR_OK) return rv;
    Bytes hash(32, 0x5A);
    CK_BYTE signature[64];
    CK_ULONG length = sizeof(signature);
    return p11()->C_Sign(session, hash.data(), hash.size(), signature, &length);
  }
};

TEST_F(Pkcs11Removal, PulledCardEndsItsSessionsAndComesBackAsANewToken) {
  const CK_SESSION_HANDLE session = Open();
  const CK_SESSION_HANDLE other = Open(true);
  Login(session);
  const CK_OBJECT_HANDLE key = Object(session, CKO_PRIVATE_KEY, 0);
  CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
  ASSERT_EQ(p11()->C_SignInit(session, &ecdsa, key), CKR_OK);

  CardRack::Get().Pull(kReader);
  Bytes hash(32, 0x5A);
  CK_BYTE signature[64];
  CK_ULONG length = sizeof(signature);
  EXPECT_EQ(p11()->C_Sign(session, hash.data(), hash.size(), signature, &length), CKR_DEVICE_REMOVED);
  CK_SESSION_INFO sessionInfo;
  EXPECT_EQ(p11()->C_GetSessionInfo(session, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(p11()->C_GetSessionInfo(other, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
  CK_TOKEN_INFO tokenInfo;
  EXPECT_EQ(p11()->C_GetTokenInfo(slot(), &tokenInfo), CKR_TOKEN_NOT_PRESENT);
  CK_SESSION_HANDLE none;
  EXPECT_EQ(p11()->C_OpenSession(slot(), CKF_SERIAL_SESSION, nullptr, nullptr, &none), CKR_TOKEN_NOT_PRESENT);
  CK_SLOT_INFO slotInfo;
  ASSERT_EQ(p11()->C_GetSlotInfo(slot(), &slotInfo), CKR_OK);
  EXPECT_EQ(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);
  CK_ULONG count = 9;
  ASSERT_EQ(p11()->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 0u);

  // Back in: a new token, logged out, whose old handles mean nothing.
  CardRack::Get().Insert(kReader);
  const CK_SESSION_HANDLE again = Open();
  EXPECT_NE(again, session);
  EXPECT_EQ(SignOnce(again, key), CKR_KEY_HANDLE_INVALID);
  Login(again);
  EXPECT_EQ(SignOnce(again, Object(again, CKO_PRIVATE_KEY, 0)), CKR_OK);
}

// Whatever call comes first after the card went, it reports the removal or
// the absence and leaves nothing open.
TEST_F(Pkcs11Removal, EveryFirstCallAfterThePullReportsIt) {
  using Call = std::function<CK_RV(CK_FUNCTION_LIST*, CK_SESSION_HANDLE)>;
  const std::vector<std::pair<const char*, Call>> calls = {
      {"C_FindObjectsInit", [](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_FindObjectsInit(s, nullptr, 0); }},
      {"C_Login", [](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
         std::string pin = kUserPin;
         return f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
       }},
      {"C_Logout", [](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_Logout(s); }},
      {"C_GetAttributeValue", [](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
         return f->C_GetAttributeValue(s, 1, nullptr, 0);
       }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    CardRack::Get().Insert(kReader);
    const CK_SESSION_HANDLE session = Open();
    CardRack::Get().Pull(kReader);
    EXPECT_EQ(call(p11(), session), CKR_DEVICE_REMOVED);
    EXPECT_EQ(p11()->C_CloseSession(session), CKR_SESSION_HANDLE_INVALID);
  }
}

// The card goes while the objects are being read: the listing fails cleanly
// and a new card is read afresh.
TEST_F(Pkcs11Removal, CardLostWhileReadingObjects) {
  emu::Personalisation dropping;
  dropping.faults.dropAfter = 12;
  CardRack::Get().Insert(kReader, dropping);
  const CK_SESSION_HANDLE session = Open();
  EXPECT_EQ(p11()->C_FindObjectsInit(session, nullptr, 0), CKR_DEVICE_ERROR);
  CardRack::Get().Pull(kReader);
  CardRack::Get().Insert(kReader);
  const CK_SESSION_HANDLE again = Open();
  EXPECT_EQ(Find(again).size(), 16u);
}

// Sessions of one token take turns on the card; each signature is whole.
// (Named for the ThreadSanitizer run, which takes the Concurrency tests.)
class ConcurrencyPkcs11 : public Pkcs11Removal {};

TEST_F(ConcurrencyPkcs11, SessionsOfOneTokenSignInTurn) {
  const CK_SESSION_HANDLE first = Open();
  Login(first);
  const CK_OBJECT_HANDLE key = Object(first, CKO_PRIVATE_KEY, 0);
  std::vector<std::thread> threads;
  std::vector<int> failures(3, 0);
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      CK_SESSION_HANDLE session;
      if (p11()->C_OpenSession(slot(), CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) {
        ++failures[t];
        return;
      }
      for (int i = 0; i < 10; ++i) failures[t] += SignOnce(session, key) != CKR_OK;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(3, 0));
}

}  // namespace
}  // namespace vela::test
