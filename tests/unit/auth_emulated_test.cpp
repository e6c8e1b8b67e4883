// PINs and signatures on the emulated card, end to end through the entry
// points; every signature is checked with OpenSSL against the certificate the
// host reads for the container.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <memory>
#include <string>

#include "core/card_context.h"
#include "core/entry_points.h"
#include "emulated_card.h"
#include "openssl_reference.h"
#include "test_host.h"

namespace vela::test {
namespace {

const std::vector<BYTE> kRightPin = {'1', '2', '3', '4', '5', '6'};
const std::vector<BYTE> kWrongPin = {'6', '6', '6', '6', '6', '6'};
const std::vector<BYTE> kNewPin = {'2', '4', '6', '8', '0', '2', '4'};
const std::vector<BYTE> kUnblockCode = {'1', '2', '3', '4', '5', '6', '7', '8'};

class EmulatedAuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    liveBefore_ = HostHeap::Live();
    ASSERT_EQ(host_.Acquire(), 0u);
  }
  void TearDown() override {
    host_.Release();
    EXPECT_EQ(HostHeap::Live(), liveBefore_) << "host blocks left over";
  }

  DWORD Verify(const std::vector<BYTE>& pin, DWORD* attempts = nullptr) {
    std::vector<BYTE> copy = pin;
    return CardAuthenticateEx(host_.get(), ROLE_USER, 0, copy.data(), static_cast<DWORD>(copy.size()), nullptr,
                              nullptr, attempts);
  }

  std::vector<BYTE> Certificate(BYTE container) {
    char name[] = "ksc00";
    name[4] = static_cast<char>('0' + container);
    char directory[] = "mscp";
    PBYTE data = nullptr;
    DWORD size = 0;
    EXPECT_EQ(CardReadFile(host_.get(), directory, name, 0, &data, &size), 0u);
    std::vector<BYTE> der(data, data + (data != nullptr ? size : 0));
    HostRelease(data);
    return der;
  }

  // Signs a SHA-256 hash with `container`'s key, either as the bare hash or
  // through the host's padding callback (hashAlg set), and checks the
  // signature against the container's certificate. Returns the entry's code.
  DWORD SignAndCheck(BYTE container, ALG_ID hashAlg = 0) {
    const std::string message = "contract #" + std::to_string(signatures_++);
    std::vector<BYTE> hash(SHA256_DIGEST_LENGTH);
    SHA256(reinterpret_cast<const unsigned char*>(message.data()), message.size(), hash.data());
    std::vector<BYTE> data = hash;
    CARD_SIGNING_INFO info{};
    info.dwVersion = 2;
    info.bContainerIndex = container;
    info.dwKeySpec = AT_ECDSA_P256;
    info.aiHashAlg = hashAlg;
    info.pbData = data.data();
    info.cbData = static_cast<DWORD>(data.size());
    const DWORD rc = CardSignData(host_.get(), &info);
    if (rc == 0) {
      const std::vector<BYTE> certificate = Certificate(container);
      const std::vector<BYTE> signature(info.pbSignedData, info.pbSignedData + info.cbSignedData);
      EXPECT_TRUE(SignatureVerifies(certificate, hash, signature)) << "container " << int(container) << " alg " << hashAlg;
      hash[0] ^= 1;
      EXPECT_FALSE(SignatureVerifies(certificate, hash, signature)) << "the check accepts anything";
    }
    HostRelease(info.pbSignedData);
    return rc;
  }

  bool SignedIn() { return ContextOf(host_.get())->userAuthenticated; }

  EmulatedCard card_;
  TestHost host_{card_.handle()};
  std::size_t liveBefore_ = 0;
  int signatures_ = 0;
};

TEST_F(EmulatedAuthTest, RightPinThenSignaturesVerifyAgainstTheCertificates) {
  EXPECT_EQ(SignAndCheck(0), SCARD_W_SECURITY_VIOLATION);
  ASSERT_EQ(Verify(kRightPin), 0u);
  for (BYTE container : {0, 1, 2, 3, 7}) {
    EXPECT_EQ(SignAndCheck(container), 0u) << int(container);
    EXPECT_EQ(SignAndCheck(container, CALG_SHA_256), 0u) << int(container) << " padded";
  }
  EXPECT_EQ(card_->CommandCount(0x20), 1u) << "one VERIFY for all the signatures";

  WCHAR user[] = u"user";
  ASSERT_EQ(CardDeauthenticate(host_.get(), user, 0), 0u);
  EXPECT_TRUE(card_->Verified(0x03)) << "the card keeps its own state";
  EXPECT_EQ(SignAndCheck(0), SCARD_W_SECURITY_VIOLATION);
}

TEST_F(EmulatedAuthTest, WrongPinBlocksAndTheUnblockingCodeRestores) {
  for (DWORD left : {2u, 1u}) {
    DWORD attempts = 99;
    EXPECT_EQ(Verify(kWrongPin, &attempts), SCARD_W_WRONG_CHV);
    EXPECT_EQ(attempts, left);
  }
  DWORD attempts = 99;
  EXPECT_EQ(Verify(kWrongPin, &attempts), SCARD_W_CHV_BLOCKED);
  EXPECT_EQ(attempts, 0u);
  attempts = 99;
  EXPECT_EQ(Verify(kRightPin, &attempts), SCARD_W_CHV_BLOCKED) << "the right PIN no longer helps";
  EXPECT_EQ(attempts, 0u);
  EXPECT_FALSE(SignedIn());

  WCHAR admin[] = u"admin";
  std::vector<BYTE> wrongCode = {'8', '7', '6', '5', '4', '3', '2', '1'};
  std::vector<BYTE> newPin = kNewPin;
  EXPECT_EQ(CardUnblockPin(host_.get(), admin, wrongCode.data(), 8, newPin.data(), 7, 0, 0), SCARD_W_WRONG_CHV);
  EXPECT_EQ(card_->TriesLeft(0x03), 0);

  std::vector<BYTE> code = kUnblockCode;
  ASSERT_EQ(CardUnblockPin(host_.get(), admin, code.data(), 8, newPin.data(), 7, 0, 0), 0u);
  EXPECT_FALSE(SignedIn()) << "an unblock is followed by a verification";
  EXPECT_EQ(card_->TriesLeft(0x03), 3);
  EXPECT_EQ(Verify(kRightPin), SCARD_W_WRONG_CHV) << "the old PIN is gone";
  ASSERT_EQ(Verify(kNewPin), 0u);
  EXPECT_EQ(SignAndCheck(0), 0u);
}

TEST_F(EmulatedAuthTest, ChangedPinSignsAndTheOldOneIsRefused) {
  WCHAR user[] = u"user";
  std::vector<BYTE> current = kRightPin;
  std::vector<BYTE> next = kNewPin;
  DWORD attempts = 99;
  std::vector<BYTE> wrong = kWrongPin;
  EXPECT_EQ(CardChangeAuthenticator(host_.get(), user, wrong.data(), 6, next.data(), 7, 0, CARD_AUTHENTICATE_PIN_PIN,
                                    &attempts),
            SCARD_W_WRONG_CHV);
  EXPECT_EQ(attempts, 2u);
  ASSERT_EQ(CardChangeAuthenticatorEx(host_.get(), PIN_CHANGE_FLAG_CHANGEPIN, ROLE_USER, current.data(), 6, ROLE_USER,
                                      next.data(), 7, 0, &attempts),
            0u);
  EXPECT_EQ(card_->PinValue(0x03), "2468024");
  EXPECT_TRUE(SignedIn());
  EXPECT_EQ(SignAndCheck(2), 0u);

  // A fresh context on the same card knows only the new PIN.
  TestHost other(card_.handle());
  ASSERT_EQ(other.Acquire(), 0u);
  current = kRightPin;
  EXPECT_EQ(CardAuthenticatePin(other.get(), user, current.data(), 6, &attempts), SCARD_W_WRONG_CHV);
  EXPECT_EQ(attempts, 2u);
  next = kNewPin;
  EXPECT_EQ(CardAuthenticatePin(other.get(), user, next.data(), 7, &attempts), 0u);
}

TEST_F(EmulatedAuthTest, SessionPinSignsInWithoutTheCard) {
  std::vector<BYTE> pin = kRightPin;
  PBYTE sessionPin = nullptr;
  DWORD length = 0;
  ASSERT_EQ(CardAuthenticateEx(host_.get(), ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, pin.data(), 6,
                               &sessionPin, &length, nullptr),
            0u);
  ASSERT_EQ(length, 8u);
  EXPECT_EQ(SignAndCheck(0), SCARD_W_SECURITY_VIOLATION);
  const std::size_t verifies = card_->CommandCount(0x20);
  EXPECT_EQ(CardAuthenticateEx(host_.get(), ROLE_USER, CARD_AUTHENTICATE_SESSION_PIN, sessionPin, length, nullptr,
                               nullptr, nullptr),
            0u);
  EXPECT_EQ(card_->CommandCount(0x20), verifies);
  EXPECT_EQ(SignAndCheck(0), 0u);
  HostRelease(sessionPin);
}

}  // namespace
}  // namespace vela::test
