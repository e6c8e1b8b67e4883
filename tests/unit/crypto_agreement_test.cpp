#include <algorithm>
#include <cstddef>
#include <cstring>

#include "agreement_host.h"

namespace vela::test {
namespace {

const std::string kSecret = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF";

using CryptoAgreement = AgreementHost;

TEST_F(CryptoAgreement, SendsThePointAfterTheBlobHeaderAndKeepsTheSecret) {
  // Any magic: the header is skipped unexamined.
  for (const DWORD magic : {BCRYPT_ECDH_PUBLIC_P256_MAGIC, DWORD{0xDEADBEEF}}) {
    std::vector<BYTE> blob = PeerBlob(magic);
    ScriptAgreement(kSecret + " 9000", blob);
    CARD_DH_AGREEMENT_INFO info = AgreementInfo(blob);
    info.dwVersion = magic == BCRYPT_ECDH_PUBLIC_P256_MAGIC ? 2 : 0;
    ASSERT_EQ(CardConstructDHAgreement(host_.get(), &info), 0u);
    const BYTE slot = magic == BCRYPT_ECDH_PUBLIC_P256_MAGIC ? 0 : 1;
    EXPECT_EQ(info.bSecretAgreementIndex, slot);
    EXPECT_EQ(context()->agreements[slot].inUse, 1u);
    EXPECT_EQ(context()->agreements[slot].secretLength, 32u);
    EXPECT_EQ(ToHex({context()->agreements[slot].secretBytes, 32}), ToHex(Hex(kSecret)));
  }
  const auto sent = card_.received();
  EXPECT_EQ(sent[sent.size() - 1].size(), 4u + 1 + 66 + 1) << "00 04 and 64 coordinate bytes";
}

TEST_F(CryptoAgreement, LowestFreeSlotIsTakenAndTheEleventhIsRefused) {
  EXPECT_EQ(Agree(kSecret), 0);
  EXPECT_EQ(Agree(kSecret), 1);
  card_.ExpectSelectApplication();
  ASSERT_EQ(CardDestroyDHAgreement(host_.get(), 0, 0), 0u);
  EXPECT_EQ(Agree("01 02"), 0) << "a freed slot is taken again";
  EXPECT_EQ(context()->agreements[0].secretLength, 2u);
  for (BYTE expected = 2; expected < 10; ++expected) EXPECT_EQ(Agree(kSecret), expected);

  // The card is still asked; its secret is dropped.
  std::vector<BYTE> blob = PeerBlob();
  ScriptAgreement("C0C1C2C3 9000", blob);
  CARD_DH_AGREEMENT_INFO info = AgreementInfo(blob);
  EXPECT_EQ(CardConstructDHAgreement(host_.get(), &info), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(info.bSecretAgreementIndex, 0xFF);
  for (const AgreementSlot& slot : context()->agreements) EXPECT_NE(slot.secretLength, 4u);
}

TEST_F(CryptoAgreement, CardFailuresTakeNoSlot) {
  struct Case {
    const char* answer;  // null: transport failure
    DWORD expected;
  };
  const std::string tooLong = kSecret + "C0 9000";  // 33 bytes
  const Case cases[] = {
      {"6982", SCARD_F_INTERNAL_ERROR},
      {"6A80", SCARD_F_INTERNAL_ERROR},
      {tooLong.c_str(), SCARD_F_INTERNAL_ERROR},
      {"9000", SCARD_F_INTERNAL_ERROR},  // success without a secret
      {nullptr, SCARD_F_INTERNAL_ERROR},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> blob = PeerBlob();
    if (c.answer != nullptr) {
      ScriptAgreement(c.answer, blob);
    } else {
      card_.ExpectSelectApplication().Expect(kSetKeyExchangeKey, "9000");
      card_.ExpectError(DecipherCommand(blob), SCARD_W_REMOVED_CARD);
    }
    CARD_DH_AGREEMENT_INFO info = AgreementInfo(blob);
    EXPECT_EQ(CardConstructDHAgreement(host_.get(), &info), c.expected) << (c.answer ? c.answer : "transport");
    EXPECT_EQ(info.bSecretAgreementIndex, 0xFF);
  }
  for (const AgreementSlot& slot : context()->agreements) EXPECT_EQ(slot.inUse, 0u);
}

TEST_F(CryptoAgreement, RefusalsReachNoSecurityCommand) {
  struct Case {
    const char* name;
    void (*breakIt)(CARD_DH_AGREEMENT_INFO&, std::vector<BYTE>& blob, CardContext&);
    DWORD expected;
  };
  const Case cases[] = {
      {"null key", [](auto& i, auto&, auto&) { i.pbPublicKey = nullptr; }, SCARD_E_INVALID_PARAMETER},
      {"empty key", [](auto& i, auto&, auto&) { i.dwPublicKey = 0; }, SCARD_E_INVALID_PARAMETER},
      {"flags", [](auto& i, auto&, auto&) { i.dwFlags = 1; }, SCARD_E_INVALID_PARAMETER},
      {"shorter than its header", [](auto& i, auto&, auto&) { i.dwPublicKey = 7; }, SCARD_E_INVALID_PARAMETER},
      {"header alone", [](auto& i, auto&, auto&) { i.dwPublicKey = 8; }, SCARD_E_INVALID_PARAMETER},
      {"point of 249 bytes",
       [](auto& i, auto& b, auto&) {
         b.resize(8 + 249);
         i.pbPublicKey = b.data();
         i.dwPublicKey = 8 + 249;
       },
       SCARD_E_INVALID_PARAMETER},
      {"version 1", [](auto& i, auto&, auto&) { i.dwVersion = 1; }, ERROR_REVISION_MISMATCH},
      {"version 3", [](auto& i, auto&, auto&) { i.dwVersion = 3; }, ERROR_REVISION_MISMATCH},
      {"no PIN", [](auto&, auto&, auto& c) { c.userAuthenticated = false; }, SCARD_W_SECURITY_VIOLATION},
      {"container 16", [](auto& i, auto&, auto&) { i.bContainerIndex = 16; }, SCARD_E_NO_KEY_CONTAINER},
      {"container 255", [](auto& i, auto&, auto&) { i.bContainerIndex = 255; }, SCARD_E_NO_KEY_CONTAINER},
      {"absent container 8", [](auto& i, auto&, auto&) { i.bContainerIndex = 8; }, SCARD_E_NO_KEY_CONTAINER},
      {"signature key", [](auto& i, auto&, auto&) { i.bContainerIndex = 0; }, SCARD_E_INVALID_PARAMETER},
      {"flags before version", [](auto& i, auto&, auto&) { i.dwFlags = 1; i.dwVersion = 1; },
       SCARD_E_INVALID_PARAMETER},
      {"version before PIN",
       [](auto& i, auto&, auto& c) {
         i.dwVersion = 1;
         c.userAuthenticated = false;
       },
       ERROR_REVISION_MISMATCH},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> blob = PeerBlob();
    CARD_DH_AGREEMENT_INFO info = AgreementInfo(blob);
    c.breakIt(info, blob, *context());
    card_.ExpectSelectApplication();
    EXPECT_EQ(CardConstructDHAgreement(host_.get(), &info), c.expected) << c.name;
    EXPECT_TRUE(card_.done()) << c.name;
    context()->userAuthenticated = true;
  }
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardConstructDHAgreement(host_.get(), nullptr), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardConstructDHAgreement(nullptr, nullptr), SCARD_E_INVALID_PARAMETER);
  for (const AgreementSlot& slot : context()->agreements) EXPECT_EQ(slot.inUse, 0u);
}

TEST_F(CryptoAgreement, LargestPointThatFitsTheCommandIsSent) {
  std::vector<BYTE> blob(8 + 248, 0x5A);
  ScriptAgreement(kSecret + " 9000", blob);
  CARD_DH_AGREEMENT_INFO info = AgreementInfo(blob);
  EXPECT_EQ(CardConstructDHAgreement(host_.get(), &info), 0u);
  EXPECT_EQ(card_.received().back().size(), 256u);
}

TEST_F(CryptoAgreement, DestroyRulesAndTheSecretIsWiped) {
  const BYTE slot = Agree(kSecret);
  // The record's bytes after the table, where a slot 10 would begin, look
  // like a slot in use: a bound one too loose would take them for one.
  const std::size_t tableEnd = offsetof(CardContext, agreements) + sizeof(CardContext::agreements);
  std::memset(reinterpret_cast<BYTE*>(context()) + tableEnd, 0x01, sizeof(CardContext) - tableEnd);
  struct Case {
    BYTE index;
    DWORD flags;
    bool authenticated;
    DWORD expected;
  };
  const Case cases[] = {
      {10, 0, false, SCARD_E_INVALID_PARAMETER},       // past the table, before the PIN
      {10, 0, true, SCARD_E_INVALID_PARAMETER},        {255, 0, true, SCARD_E_INVALID_PARAMETER},
      {slot, 1, true, SCARD_E_INVALID_PARAMETER},      {1, 0, true, SCARD_E_INVALID_PARAMETER},  // free
      {1, 0, false, SCARD_E_INVALID_PARAMETER},        // free, even without the PIN
      {slot, 0, false, SCARD_W_SECURITY_VIOLATION},
  };
  for (const Case& c : cases) {
    context()->userAuthenticated = c.authenticated;
    card_.ExpectSelectApplication();
    EXPECT_EQ(CardDestroyDHAgreement(host_.get(), c.index, c.flags), c.expected)
        << int{c.index} << " flags " << c.flags << " pin " << c.authenticated;
    EXPECT_EQ(context()->agreements[slot].inUse, 1u);
  }
  context()->userAuthenticated = true;
  card_.ExpectSelectApplication();
  ASSERT_EQ(CardDestroyDHAgreement(host_.get(), slot, 0), 0u);
  const AgreementSlot& freed = context()->agreements[slot];
  EXPECT_EQ(freed.inUse, 0u);
  EXPECT_TRUE(std::all_of(std::begin(freed.secretBytes), std::end(freed.secretBytes), [](BYTE b) { return b == 0; }));
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardDestroyDHAgreement(host_.get(), slot, 0), SCARD_E_INVALID_PARAMETER) << "destroyed twice";
  EXPECT_EQ(CardDestroyDHAgreement(nullptr, 0, 0), SCARD_E_INVALID_PARAMETER);
}

// What the host's free callback sees of the record as it is handed back.
std::vector<BYTE> releasedRecord;
void VELA_WINAPI InspectingFree(void* block) {
  if (block != nullptr && releasedRecord.empty()) {
    const BYTE* bytes = static_cast<const BYTE*>(block);
    releasedRecord.assign(bytes, bytes + sizeof(CardContext));
  }
  HostHeap::Free(block);
}

TEST_F(CryptoAgreement, DeletingTheContextWipesSlotsInUse) {
  Agree(kSecret);
  Agree(kSecret);
  releasedRecord.clear();
  host_->pfnCspFree = InspectingFree;
  card_.ExpectSelectApplication();
  ASSERT_EQ(host_->pfnCardDeleteContext(host_.get()), 0u);
  ASSERT_EQ(releasedRecord.size(), sizeof(CardContext));
  CardContext released;
  std::memcpy(&released, releasedRecord.data(), sizeof(released));
  for (const AgreementSlot& slot : released.agreements) {
    EXPECT_EQ(slot.inUse, 0u);
    EXPECT_TRUE(std::all_of(std::begin(slot.secretBytes), std::end(slot.secretBytes), [](BYTE b) { return b == 0; }));
  }
}

}  // namespace
}  // namespace vela::test
