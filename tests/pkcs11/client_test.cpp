// A client of our own for what the ready-made programs do not show: the
// ECDH1 derivations against OpenSSL, refusals, and a card taken out and put
// back, all through dlopen, pcscd and vpcd as any program sees the module.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "p11_client.h"

namespace vela::test {
namespace {

Bytes PointOf(EVP_PKEY* key) {
  Bytes point(65);
  std::size_t length = 0;
  EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(), &length);
  point.resize(length);
  return point;
}

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    p11_ = LoadModule();
    ASSERT_NE(p11_, nullptr) << "cannot load " << Environment("VELA_P11_MODULE");
    ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
    slot_ = program_.FindToken();
    ASSERT_NE(slot_, CK_UNAVAILABLE_INFORMATION) << "no token of the card " << Environment("VELA_CARD_SERIAL");
  }
  void TearDown() override {
    if (p11_ != nullptr) {
      EXPECT_EQ(p11_->C_Finalize(nullptr), CKR_OK);
    }
  }

  CK_SLOT_ID FindToken() { return program_.FindToken(); }
  CK_SESSION_HANDLE Open() { return program_.Open(slot_); }
  CK_RV Login(CK_SESSION_HANDLE session, std::string pin = "123456") { return program_.Login(session, pin); }
  CK_OBJECT_HANDLE Key(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, CK_BYTE id) {
    return program_.Key(session, objectClass, id);
  }
  Bytes Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    return program_.Attribute(session, object, type);
  }
  CK_RV Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, Bytes* signature) {
    const std::string data = "signed through pcscd";
    return program_.Sign(session, key, Bytes(data.begin(), data.end()), signature);
  }

  CK_FUNCTION_LIST* p11_ = nullptr;
  CardProgram program_{LoadModule()};
  CK_SLOT_ID slot_ = CK_UNAVAILABLE_INFORMATION;
};

// C_WaitForSlotEvent blocked in a thread of its own. A test that fails
// while the call is still blocked (an assertion returns) must not wait for
// it for ever, as a std::async future's destructor would: C_Finalize ends
// the call, and the module is initialised again for what follows.
class SlotEventWaiter {
 public:
  explicit SlotEventWaiter(CK_FUNCTION_LIST* p11)
      : p11_(p11),
        call_(std::async(std::launch::async, [this] { return p11_->C_WaitForSlotEvent(0, &slot_, nullptr); })) {}
  ~SlotEventWaiter() {
    if (ReturnedWithin(std::chrono::milliseconds(0))) return;
    p11_->C_Finalize(nullptr);
    if (!ReturnedWithin(std::chrono::seconds(10))) {
      // Nothing else can end it: the test program cannot go on.
      std::fprintf(stderr, "C_Finalize did not end a blocked C_WaitForSlotEvent\n");
      std::abort();
    }
    EXPECT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  }
  SlotEventWaiter(const SlotEventWaiter&) = delete;
  SlotEventWaiter& operator=(const SlotEventWaiter&) = delete;

  bool ReturnedWithin(std::chrono::milliseconds limit) {
    return !call_.valid() || call_.wait_for(limit) == std::future_status::ready;
  }
  // Once returned: its result (to be taken once), and the slot it named.
  CK_RV result() { return call_.get(); }
  CK_SLOT_ID slot() const { return slot_; }

 private:
  CK_FUNCTION_LIST* p11_;
  CK_SLOT_ID slot_ = CK_UNAVAILABLE_INFORMATION;
  std::future<CK_RV> call_;
};

// The card put back when a test that took it out leaves early, so that the
// tests after it find it.
struct CardPutBack {
  std::string insert;
  bool out = false;
  ~CardPutBack() {
    if (out) {
      EXPECT_EQ(std::system(insert.c_str()), 0) << "the card is not back: later tests fail";
    }
  }
};

struct Kdf {
  CK_ULONG kdf;
  const char* digest;
};

TEST_F(Client, DerivedKeysEqualOpenSslsEcdhAndX963) {
  const CK_SESSION_HANDLE session = Open();
  ASSERT_EQ(Login(session), CKR_OK);
  Pkey peer(EVP_EC_gen("P-256"));
  ASSERT_TRUE(peer);
  Bytes peerPoint = PointOf(peer.get());
  Bytes shared = {'v', 'e', 'l', 'a'};
  for (const CK_BYTE container : {4, 6}) {
    const CK_OBJECT_HANDLE privateKey = Key(session, CKO_PRIVATE_KEY, container);
    const Pkey cardKey = program_.PublicKey(session, container);
    ASSERT_TRUE(cardKey);
    const Bytes secret = ReferenceAgree(peer.get(), cardKey.get());
    for (const Kdf& kdf : {Kdf{CKD_SHA1_KDF, "SHA1"}, Kdf{CKD_SHA256_KDF, "SHA256"}, Kdf{CKD_SHA384_KDF, "SHA384"},
                           Kdf{CKD_SHA512_KDF, "SHA512"}}) {
      SCOPED_TRACE(std::string(kdf.digest) + " on container " + std::to_string(container));
      CK_ECDH1_DERIVE_PARAMS params{kdf.kdf, shared.size(), shared.data(), peerPoint.size(), peerPoint.data()};
      CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, sizeof(params)};
      CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
      CK_KEY_TYPE keyType = CKK_GENERIC_SECRET;
      CK_ULONG length = 72;
      CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &keyClass, sizeof(keyClass)},
                                {CKA_KEY_TYPE, &keyType, sizeof(keyType)},
                                {CKA_VALUE_LEN, &length, sizeof(length)}};
      CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
      ASSERT_EQ(p11_->C_DeriveKey(session, &mechanism, privateKey, pattern, 3, &derived), CKR_OK);
      EXPECT_EQ(Attribute(session, derived, CKA_VALUE), ReferenceX963Kdf(kdf.digest, secret, shared, length));
    }
  }
  // The raw secret, the module's own card command on its PC/SC connection,
  // with either mechanism; without a length the whole secret.
  const Pkey cardKey = program_.PublicKey(session, 5);
  ASSERT_TRUE(cardKey);
  CK_ECDH1_DERIVE_PARAMS raw{CKD_NULL, 0, nullptr, peerPoint.size(), peerPoint.data()};
  CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
  CK_KEY_TYPE keyType = CKK_GENERIC_SECRET;
  CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &keyClass, sizeof(keyClass)}, {CKA_KEY_TYPE, &keyType, sizeof(keyType)}};
  for (const CK_MECHANISM_TYPE type : {CKM_ECDH1_DERIVE, CKM_ECDH1_COFACTOR_DERIVE}) {
    CK_MECHANISM mechanism{type, &raw, sizeof(raw)};
    CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
    ASSERT_EQ(p11_->C_DeriveKey(session, &mechanism, Key(session, CKO_PRIVATE_KEY, 5), pattern, 2, &derived), CKR_OK);
    EXPECT_EQ(Attribute(session, derived, CKA_VALUE), ReferenceAgree(peer.get(), cardKey.get())) << type;
  }
}

// A private session key belongs to the login: gone after a logout, and not
// back with the next login.
TEST_F(Client, PrivateSessionKeyGoesAtLogout) {
  const CK_SESSION_HANDLE session = Open();
  ASSERT_EQ(Login(session), CKR_OK);
  Pkey peer(EVP_EC_gen("P-256"));
  ASSERT_TRUE(peer);
  Bytes peerPoint = PointOf(peer.get());
  CK_ECDH1_DERIVE_PARAMS params{CKD_SHA256_KDF, 0, nullptr, peerPoint.size(), peerPoint.data()};
  CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, sizeof(params)};
  CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
  CK_KEY_TYPE keyType = CKK_GENERIC_SECRET;
  CK_ULONG length = 32;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &keyClass, sizeof(keyClass)},
                            {CKA_KEY_TYPE, &keyType, sizeof(keyType)},
                            {CKA_VALUE_LEN, &length, sizeof(length)},
                            {CKA_PRIVATE, &yes, sizeof(yes)}};
  CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
  ASSERT_EQ(p11_->C_DeriveKey(session, &mechanism, Key(session, CKO_PRIVATE_KEY, 4), pattern, 4, &derived), CKR_OK);
  EXPECT_EQ(Attribute(session, derived, CKA_VALUE).size(), 32u);
  ASSERT_EQ(p11_->C_Logout(session), CKR_OK);
  ASSERT_EQ(Login(session), CKR_OK);
  CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p11_->C_GetAttributeValue(session, derived, &value, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(Client, RefusalsThroughThePcscStack) {
  const CK_SESSION_HANDLE session = Open();
  EXPECT_EQ(Login(session, "000000"), CKR_PIN_INCORRECT);
  CK_TOKEN_INFO info;
  ASSERT_EQ(p11_->C_GetTokenInfo(slot_, &info), CKR_OK);
  EXPECT_NE(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);
  EXPECT_EQ(Login(session, "123"), CKR_PIN_LEN_RANGE);
  ASSERT_EQ(Login(session), CKR_OK);
  ASSERT_EQ(p11_->C_GetTokenInfo(slot_, &info), CKR_OK);
  EXPECT_EQ(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);

  Bytes signature;
  EXPECT_EQ(Sign(session, Key(session, CKO_PRIVATE_KEY, 4), &signature), CKR_KEY_FUNCTION_NOT_PERMITTED);
  CK_MECHANISM mechanism{CKM_ECDSA, nullptr, 0};
  ASSERT_EQ(p11_->C_SignInit(session, &mechanism, Key(session, CKO_PRIVATE_KEY, 0)), CKR_OK);
  CK_BYTE hash[32] = {1};
  CK_BYTE small[10];
  CK_ULONG length = sizeof(small);
  EXPECT_EQ(p11_->C_Sign(session, hash, sizeof(hash), small, &length), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 64u);
  CK_SESSION_INFO sessionInfo;
  EXPECT_EQ(p11_->C_GetSessionInfo(session + 99, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
  CK_SESSION_HANDLE readWrite;
  ASSERT_EQ(p11_->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &readWrite), CKR_OK);
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE onToken{CKA_TOKEN, &yes, sizeof(yes)};
  CK_OBJECT_HANDLE made;
  EXPECT_EQ(p11_->C_CreateObject(readWrite, &onToken, 1, &made), CKR_TOKEN_WRITE_PROTECTED);
}

// The card leaves the reader in the middle of a session: the session's next
// call says so, the slot has no token; the card put back is a new token.
TEST_F(Client, PulledCardThenPutBack) {
  const std::string pull = Environment("VELA_PULL");
  const std::string insert = Environment("VELA_INSERT");
  ASSERT_FALSE(pull.empty() || insert.empty()) << "VELA_PULL and VELA_INSERT say how to move the card";
  const CK_SESSION_HANDLE session = Open();
  ASSERT_EQ(Login(session), CKR_OK);
  const CK_OBJECT_HANDLE key = Key(session, CKO_PRIVATE_KEY, 0);
  Bytes signature;
  ASSERT_EQ(Sign(session, key, &signature), CKR_OK);

  {
    CardPutBack back{insert, true};
    ASSERT_EQ(std::system(pull.c_str()), 0);
    const CK_RV rv = Sign(session, key, &signature);
    EXPECT_TRUE(rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT) << rv;
    CK_TOKEN_INFO info;
    EXPECT_EQ(p11_->C_GetTokenInfo(slot_, &info), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_INFO sessionInfo;
    EXPECT_EQ(p11_->C_GetSessionInfo(session, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
  }
  // pcscd reports the card again within moments of the insert.
  ASSERT_EQ(program_.WaitForToken(5), slot_) << "the same reader shows the card again";
  const CK_SESSION_HANDLE again = Open();
  ASSERT_EQ(Login(again), CKR_OK);
  EXPECT_EQ(Sign(again, Key(again, CKO_PRIVATE_KEY, 0), &signature), CKR_OK);
}

// pcscd tells a blocked C_WaitForSlotEvent of the pull and of the insert
// within moments; between them nothing more is told; C_Finalize from another
// thread ends a blocked call.
TEST_F(Client, SlotEventsOfAPulledAndInsertedCard) {
  using namespace std::chrono_literals;
  const std::string pull = Environment("VELA_PULL");
  const std::string insert = Environment("VELA_INSERT");
  ASSERT_FALSE(pull.empty() || insert.empty()) << "VELA_PULL and VELA_INSERT say how to move the card";
  CK_SLOT_ID told = CK_UNAVAILABLE_INFORMATION;
  ASSERT_EQ(p11_->C_WaitForSlotEvent(CKF_DONT_BLOCK, &told, nullptr), CKR_NO_EVENT);

  CardPutBack back{insert};
  for (const bool pulling : {true, false}) {
    const std::string& move = pulling ? pull : insert;
    SCOPED_TRACE(move);
    SlotEventWaiter waiter(p11_);
    ASSERT_FALSE(waiter.ReturnedWithin(300ms)) << "told of nothing";
    back.out = true;
    ASSERT_EQ(std::system(move.c_str()), 0);
    back.out = pulling;
    // The script returns once pcscd shows the change.
    const auto moved = std::chrono::steady_clock::now();
    ASSERT_TRUE(waiter.ReturnedWithin(3s)) << "the change was not told";
    EXPECT_LT(std::chrono::steady_clock::now() - moved, 2s);
    EXPECT_EQ(waiter.result(), CKR_OK);
    EXPECT_EQ(waiter.slot(), slot_);
    CK_SLOT_ID again;
    EXPECT_EQ(p11_->C_WaitForSlotEvent(CKF_DONT_BLOCK, &again, nullptr), CKR_NO_EVENT);
  }
  ASSERT_EQ(program_.WaitForToken(5), slot_);

  {
    SlotEventWaiter waiter(p11_);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(p11_->C_Finalize(nullptr), CKR_OK);
    ASSERT_TRUE(waiter.ReturnedWithin(2s)) << "C_Finalize did not end the blocked call";
    EXPECT_EQ(waiter.result(), CKR_CRYPTOKI_NOT_INITIALIZED);
  }
  ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
}

// pcscd restarted under a blocked call: the call takes up the new pcscd and
// still tells of the card pulled afterwards.
TEST_F(Client, SlotEventsOutlastAPcscdRestart) {
  using namespace std::chrono_literals;
  const std::string restart = Environment("VELA_RESTART_PCSCD");
  const std::string pull = Environment("VELA_PULL");
  const std::string insert = Environment("VELA_INSERT");
  ASSERT_FALSE(restart.empty() || pull.empty() || insert.empty());
  ASSERT_EQ(std::system(restart.c_str()), 0);
  // What the restart itself showed (the reader gone and back) is told first.
  CK_SLOT_ID told = CK_UNAVAILABLE_INFORMATION;
  while (p11_->C_WaitForSlotEvent(CKF_DONT_BLOCK, &told, nullptr) == CKR_OK) {
  }
  std::optional<SlotEventWaiter> waiter(std::in_place, p11_);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(std::system(restart.c_str()), 0);
  std::this_thread::sleep_for(2s);
  while (waiter->ReturnedWithin(0ms)) {
    waiter->result();  // the restart, told
    waiter.emplace(p11_);
    std::this_thread::sleep_for(300ms);
  }
  CardPutBack back{insert, true};
  ASSERT_EQ(std::system(pull.c_str()), 0);
  ASSERT_TRUE(waiter->ReturnedWithin(3s)) << "the pull after the restart was not told";
  EXPECT_EQ(waiter->result(), CKR_OK);
  EXPECT_EQ(waiter->slot(), slot_);
}

}  // namespace
}  // namespace vela::test
