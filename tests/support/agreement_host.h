// A host with an acquired context on a scripted card, the user PIN taken as
// verified, and agreements made with secrets the card is scripted to return.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/card_context.h"
#include "core/entry_points.h"
#include "fake_card.h"
#include "test_host.h"

namespace vela::test {

inline const std::string kSelectApplication = "00 A4 08 0C 04 DF 02 80 FF";
// MANAGE SECURITY ENVIRONMENT for the key-exchange key 81 (containers 4, 5).
inline const std::string kSetKeyExchangeKey = "00 22 41 B8 03 84 01 81";

// A 72-byte P-256 public key blob: header, then X = 01..20, Y = 21..40.
inline std::vector<BYTE> PeerBlob(DWORD magic = BCRYPT_ECDH_PUBLIC_P256_MAGIC) {
  std::vector<BYTE> blob(72);
  for (int i = 0; i < 4; ++i) blob[i] = static_cast<BYTE>(magic >> (8 * i));
  blob[4] = 32;
  for (std::size_t i = 8; i < blob.size(); ++i) blob[i] = static_cast<BYTE>(i - 7);
  return blob;
}

// PERFORM SECURITY OPERATION DECIPHER carrying 00 04 and the blob's point.
inline std::string DecipherCommand(const std::vector<BYTE>& blob) {
  std::vector<BYTE> command = {0x00, 0x2A, 0x80, 0x86, static_cast<BYTE>(blob.size() - 8 + 2), 0x00, 0x04};
  command.insert(command.end(), blob.begin() + 8, blob.end());
  command.push_back(0x00);
  return ToHex(command);
}

class AgreementHost : public ::testing::Test {
 protected:
  void SetUp() override {
    liveBefore_ = HostHeap::Live();
    card_.ExpectAcquire();
    ASSERT_EQ(host_.Acquire(), 0u);
    context()->userAuthenticated = true;
  }
  void TearDown() override {
    if (context() != nullptr) card_.ExpectSelectApplication();
    host_.Release();
    EXPECT_TRUE(card_.done()) << card_.remaining() << " scripted exchanges left";
    EXPECT_EQ(HostHeap::Live(), liveBefore_) << "host blocks left over";
    HostHeap::FailAllocations(0, 0);
  }

  CardContext* context() { return ContextOf(host_.get()); }

  // Scripts the card's answer to an agreement on `container` (4 or 5).
  void ScriptAgreement(const std::string& answerHex, const std::vector<BYTE>& blob = PeerBlob()) {
    card_.ExpectSelectApplication().Expect(kSetKeyExchangeKey, "9000").Expect(DecipherCommand(blob), answerHex);
  }

  CARD_DH_AGREEMENT_INFO AgreementInfo(std::vector<BYTE>& blob, BYTE container = 4) {
    CARD_DH_AGREEMENT_INFO info{};
    info.dwVersion = 2;
    info.bContainerIndex = container;
    info.dwPublicKey = static_cast<DWORD>(blob.size());
    info.pbPublicKey = blob.data();
    info.bSecretAgreementIndex = 0x55;
    return info;
  }

  // An agreement whose secret the card returns as `secretHex`; the slot.
  BYTE Agree(const std::string& secretHex) {
    std::vector<BYTE> blob = PeerBlob();
    ScriptAgreement(secretHex + " 9000", blob);
    CARD_DH_AGREEMENT_INFO info = AgreementInfo(blob);
    EXPECT_EQ(CardConstructDHAgreement(host_.get(), &info), 0u);
    return info.bSecretAgreementIndex;
  }

  ScriptedCard card_;
  TestHost host_{card_.handle()};
  std::size_t liveBefore_ = 0;
};

}  // namespace vela::test
