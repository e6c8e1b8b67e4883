// The card commands byte for byte, and the transport beneath them.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <new>
#include <vector>

#include "card/apdu.h"
#include "card/card_commands.h"
#include "card/transport.h"
#include "fake_card.h"
#include "own_stack.h"
#include "test_host.h"

namespace vela::test {
namespace {

class CardCommandTest : public ::testing::Test {
 protected:
  ScriptedCard card_;
  TestHost host_{card_.handle()};
  const CARD_DATA* cd() { return host_.get(); }
};

// ---- transport --------------------------------------------------------------

TEST_F(CardCommandTest, TransportRefusesMissingOrEmptyApduWithoutSending) {
  const BYTE apdu[] = {0x00, 0xA4, 0x00, 0x00};
  WORD sw = 0;
  EXPECT_EQ(TransmitApdu(cd(), nullptr, 4, nullptr, nullptr, &sw), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(TransmitApdu(cd(), apdu, 0, nullptr, nullptr, &sw), SCARD_E_INVALID_PARAMETER);
  EXPECT_TRUE(card_.received().empty());
}

TEST_F(CardCommandTest, TransportHandsOutCopyLengthAndStatusWord) {
  const BYTE apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x02};
  card_.Expect("00 B0 00 00 02", "6A 82").Expect("00 B0 00 00 02", "01 02 90 00");

  BYTE* copy = nullptr;
  DWORD length = 0;
  WORD sw = 0;
  ASSERT_EQ(TransmitApdu(cd(), apdu, sizeof(apdu), &copy, &length, &sw), 0u);
  EXPECT_EQ(sw, 0x6A82) << "a status word is never an error of the transport";
  EXPECT_EQ(length, 2u);
  FreeResponseCopy(copy, length);

  ASSERT_EQ(TransmitApdu(cd(), apdu, sizeof(apdu), &copy, &length, &sw), 0u);
  EXPECT_EQ(sw, 0x9000);
  EXPECT_EQ(ToHex({copy, length}), "01 02 90 00");
  FreeResponseCopy(copy, length);
}

TEST_F(CardCommandTest, TransportWritesCopyOnlyWithBothOutParameters) {
  const BYTE apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x02};
  card_.Expect("00 B0 00 00 02", "01 02 90 00").Expect("00 B0 00 00 02", "01 02 63 C1");
  BYTE* copy = reinterpret_cast<BYTE*>(0x1);
  DWORD length = 77;
  WORD sw = 0;
  ASSERT_EQ(TransmitApdu(cd(), apdu, sizeof(apdu), nullptr, &length, &sw), 0u);
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(sw, 0x9000);
  ASSERT_EQ(TransmitApdu(cd(), apdu, sizeof(apdu), &copy, nullptr, &sw), 0u);
  EXPECT_EQ(copy, reinterpret_cast<BYTE*>(0x1));
  EXPECT_EQ(sw, 0x63C1);
}

TEST_F(CardCommandTest, TransportPassesReaderErrorsThroughUntouched) {
  const BYTE apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x02};
  card_.ExpectError("00 B0 00 00 02", SCARD_W_REMOVED_CARD).Expect("00 B0 00 00 02", "90");
  BYTE* copy = nullptr;
  DWORD length = 5;
  WORD sw = 0x1234;
  EXPECT_EQ(TransmitApdu(cd(), apdu, sizeof(apdu), &copy, &length, &sw), SCARD_W_REMOVED_CARD);
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(sw, 0x1234);
  // One byte back: completed, but no status word to report.
  EXPECT_EQ(TransmitApdu(cd(), apdu, sizeof(apdu), &copy, &length, &sw), 0u);
  EXPECT_EQ(sw, 0x1234);
  EXPECT_EQ(length, 1u);
  FreeResponseCopy(copy, length);
}

// An answer may carry a secret: whether the exchange completes or the reader
// fails after writing part of it, nothing of it stays on the stack.
TEST_F(CardCommandTest, TransportLeavesNoAnswerOnItsStack) {
  const BYTE apdu[] = {0x00, 0x2A, 0x80, 0x86, 0x02, 0x00, 0x04, 0x00};
  const std::string secretHex = "5EC2E75EC2E75EC2E75EC2E75EC2E75EC2E75EC2E75EC2E75EC2E75EC2E75EC2";
  const std::vector<BYTE> secret = Hex(secretHex);
  struct Case {
    const char* name;
    std::function<void()> script;
    DWORD expected;
  };
  const Case cases[] = {
      {"answered", [&] { card_.Expect(ToHex(apdu), secretHex + " 9000"); }, 0},
      {"failed midway", [&] { card_.ExpectError(ToHex(apdu), SCARD_W_REMOVED_CARD, secretHex); },
       SCARD_W_REMOVED_CARD},
  };
  for (const Case& c : cases) {
    c.script();
    DWORD rc = 1;
    OwnStack stack([&] {
      BYTE* copy = nullptr;
      DWORD length = 0;
      WORD sw = 0;
      rc = TransmitApdu(cd(), apdu, sizeof(apdu), &copy, &length, &sw);
      FreeResponseCopy(copy, length);
    });
    ASSERT_TRUE(stack.started());
    EXPECT_EQ(rc, c.expected) << c.name;
    EXPECT_FALSE(stack.Holds(secret)) << c.name;
  }
}

// ---- command APDU -----------------------------------------------------------

// A VERIFY's buffer holds the PIN; once the APDU is gone, so must the PIN be.
// The APDU lives in storage the test owns, so its bytes can be looked at
// after the destructor has run.
TEST(CommandApduTest, PinBytesAreWipedWhenTheApduDies) {
  const std::vector<BYTE> pin = Hex("71 72 73 74 75 76 77 78");
  alignas(CommandApdu) unsigned char storage[sizeof(CommandApdu)] = {};
  auto* apdu = new (storage) CommandApdu(0x20, 0x00, 0x03);
  apdu->Data(pin);
  ASSERT_EQ(ToHex(apdu->bytes()), "00 20 00 03 08 71 72 73 74 75 76 77 78");
  // No other field holds a byte from 71 to 78, so any such byte is PIN.
  const auto pinBytes = [&] {
    return std::count_if(std::begin(storage), std::end(storage),
                         [](unsigned char b) { return b >= 0x71 && b <= 0x78; });
  };
  ASSERT_EQ(pinBytes(), 8) << "the PIN is not where the test looks";
  apdu->~CommandApdu();
  EXPECT_EQ(pinBytes(), 0) << "PIN bytes left behind";
}

// ---- selects ----------------------------------------------------------------

TEST_F(CardCommandTest, SelectsSendExactBytesAndNeed9000) {
  card_.Expect("00 A4 08 0C 04 DF 02 C0 00", "90 00")
      .Expect("00 A4 08 0C 02 2F 02", "90 00")
      .Expect("00 A4 02 0C 02 45 31", "90 00")
      .Expect("00 A4 08 0C 04 DF 02 80 FF", "6A 82")
      .Expect("00 A4 02 0C 02 45 31", "90")
      .ExpectError("00 A4 08 0C 02 2F 02", SCARD_W_RESET_CARD);
  EXPECT_EQ(SelectByPath(cd(), 0xC000, 0xDF02), 0u);
  EXPECT_EQ(SelectByPath(cd(), 0x2F02, 0), 0u);
  EXPECT_EQ(SelectInCurrentDf(cd(), 0x4531), 0u);
  EXPECT_EQ(SelectApplication(cd()), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(SelectInCurrentDf(cd(), 0x4531), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(SelectByPath(cd(), 0x2F02, 0), SCARD_F_INTERNAL_ERROR);
}

// ---- whole-file reads -------------------------------------------------------

std::vector<BYTE> Pattern(std::size_t n) {
  std::vector<BYTE> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 7 + 3);
  return v;
}

// Scripts a card holding `file`: 255-byte chunks, a short last one, and 6B00
// with no data for a read at the end.
void ScriptFile(ScriptedCard& card, const std::vector<BYTE>& file, std::size_t limit = SIZE_MAX) {
  std::size_t offset = 0;
  for (std::size_t reads = 0; reads < limit; ++reads) {
    std::vector<BYTE> command = {0x00, 0xB0, static_cast<BYTE>((offset >> 8) & 0x7F), static_cast<BYTE>(offset), 0xFF};
    std::vector<BYTE> answer;
    if (offset >= file.size()) {
      answer = {0x6B, 0x00};
    } else {
      const std::size_t n = std::min<std::size_t>(255, file.size() - offset);
      answer.assign(file.begin() + offset, file.begin() + offset + n);
      answer.push_back(0x90);
      answer.push_back(0x00);
    }
    card.Expect(command, answer);
    if (offset + 255 > file.size()) break;
    offset += 255;
  }
}

TEST_F(CardCommandTest, ReadWholeFileCollectsChunks) {
  struct Case {
    std::size_t size;
    std::size_t reads;
  };
  const Case cases[] = {{0, 1}, {254, 1}, {255, 2}, {510, 3}, {600, 3}, {10240, 41}};
  for (const Case& c : cases) {
    ScriptedCard card;
    TestHost host(card.handle());
    const std::vector<BYTE> file = Pattern(c.size);
    ScriptFile(card, file);
    std::vector<BYTE> out(kMaxFileLength, 0xEE);
    DWORD count = 0;
    ASSERT_EQ(ReadWholeFile(host.get(), out, &count), 0u) << c.size;
    EXPECT_EQ(count, c.size);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), out.begin())) << c.size;
    EXPECT_EQ(card.received().size(), c.reads) << c.size;
  }
}

TEST_F(CardCommandTest, ReadWholeFileOffsetsForSixHundredBytes) {
  ScriptFile(card_, Pattern(600));
  std::vector<BYTE> out(kMaxFileLength);
  DWORD count = 0;
  ASSERT_EQ(ReadWholeFile(cd(), out, &count), 0u);
  const auto sent = card_.received();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(ToHex(sent[0]), "00 B0 00 00 FF");
  EXPECT_EQ(ToHex(sent[1]), "00 B0 00 FF FF");
  EXPECT_EQ(ToHex(sent[2]), "00 B0 01 FE FF");
}

// The staging area's end, byte for byte: its last byte is filled, the one
// after it never is. The area sits in a larger buffer so that a write past
// it shows as a changed guard byte.
TEST_F(CardCommandTest, ReadWholeFileStopsAtTheEndOfItsStagingArea) {
  struct Case {
    std::size_t size;
    DWORD expected;
  };
  // Each takes 41 reads: 40 chunks of 255 bytes, then the one at the end.
  const Case cases[] = {
      {kMaxFileLength, 0},                              // 40 bytes last
      {kMaxFileLength + 1, SCARD_E_INVALID_PARAMETER},  // one byte more than fits
      {41 * 255, SCARD_E_INVALID_PARAMETER},            // a whole chunk where 40 bytes fit
  };
  for (const Case& c : cases) {
    ScriptedCard card;
    TestHost host(card.handle());
    const std::vector<BYTE> file = Pattern(c.size);
    ScriptFile(card, file, 41);
    std::vector<BYTE> out(kMaxFileLength + 16, 0xEE);
    DWORD count = 1234;
    EXPECT_EQ(ReadWholeFile(host.get(), std::span<BYTE>(out.data(), kMaxFileLength), &count), c.expected) << c.size;
    EXPECT_EQ(count, c.expected == 0 ? c.size : 1234u) << c.size;
    if (c.expected == 0) {
      EXPECT_TRUE(std::equal(file.begin(), file.end(), out.begin())) << c.size;
    }
    for (std::size_t i = kMaxFileLength; i < out.size(); ++i) {
      ASSERT_EQ(out[i], 0xEE) << c.size << ": written past the area";
    }
    EXPECT_EQ(card.received().size(), 41u) << c.size;
  }
}

TEST_F(CardCommandTest, ReadWholeFileRefusesMalformedChunks) {
  std::vector<BYTE> oversized(256, 0x11);
  oversized.push_back(0x90);
  oversized.push_back(0x00);
  card_.Expect(Hex("00 B0 00 00 FF"), oversized);
  card_.Expect("00 B0 00 00 FF", "90");
  card_.ExpectError("00 B0 00 00 FF", SCARD_W_REMOVED_CARD);
  std::vector<BYTE> out(kMaxFileLength);
  DWORD count = 0;
  EXPECT_EQ(ReadWholeFile(cd(), out, &count), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(ReadWholeFile(cd(), out, &count), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(ReadWholeFile(cd(), out, &count), SCARD_F_INTERNAL_ERROR);
}

// ---- serial number and probe ------------------------------------------------

TEST_F(CardCommandTest, SerialNumberNeedsRoomForTen) {
  card_.Expect("00 A4 08 0C 02 2F 02", "9000");
  BYTE out[10];
  DWORD count = 9;
  EXPECT_EQ(ReadSerialNumber(cd(), out, &count), SCARD_E_INVALID_PARAMETER);
  card_.Expect("00 A4 08 0C 02 2F 02", "9000").Expect("00 B0 00 02 0A", "01 02 03 6B 00");
  count = 10;
  EXPECT_EQ(ReadSerialNumber(cd(), out, &count), 0u) << "the read's status word is not examined";
  EXPECT_EQ(count, 3u);

  // But it must be there: an answer cut below it holds no serial number.
  for (const char* cut : {"01", ""}) {
    card_.Expect("00 A4 08 0C 02 2F 02", "9000").Expect("00 B0 00 02 0A", cut);
    count = 10;
    EXPECT_EQ(ReadSerialNumber(cd(), out, &count), SCARD_F_INTERNAL_ERROR) << "answer '" << cut << "'";
  }
}

TEST_F(CardCommandTest, ProbeKeyFileAnswers) {
  struct Case {
    const char* answer;
    DWORD expected;
  };
  const Case cases[] = {
      {"00 00 90 00", SCARD_E_NO_KEY_CONTAINER}, {"FF FF 90 00", SCARD_E_NO_KEY_CONTAINER},
      {"00 FF 90 00", 0},                        {"30 82 90 00", 0},
      {"30 82 01 90 00", SCARD_F_INTERNAL_ERROR}, {"90", SCARD_F_INTERNAL_ERROR},
      {"6A 82", SCARD_E_NO_KEY_CONTAINER},       {"7F 6B 00", SCARD_E_NO_KEY_CONTAINER},
      {"30 59 6B 00", 0},
  };
  for (const Case& c : cases) {
    card_.Expect("00 B0 00 00 02", c.answer);
    EXPECT_EQ(ProbeKeyFile(cd()), c.expected) << c.answer;
  }
}

// ---- PIN commands -----------------------------------------------------------

TEST_F(CardCommandTest, VerifyPinLengthsAndStatusWord) {
  const std::vector<BYTE> pin250(250, 0x31), pin251(251, 0x31);
  std::vector<BYTE> command = Hex("00 20 00 03 FA");
  command.insert(command.end(), pin250.begin(), pin250.end());
  card_.Expect(command, Hex("63 C1"));
  EXPECT_EQ(VerifyPin(cd(), 0x03, pin250.data(), 250), 0x63C1u);
  EXPECT_EQ(VerifyPin(cd(), 0x03, pin251.data(), 251), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(VerifyPin(cd(), 0x03, nullptr, 6), SCARD_E_INVALID_PARAMETER);
  card_.ExpectError("00 20 00 04 06 31 32 33 34 35 36", SCARD_W_REMOVED_CARD);
  EXPECT_EQ(VerifyPin(cd(), 0x04, reinterpret_cast<const BYTE*>("123456"), 6), SCARD_F_INTERNAL_ERROR);
  card_.Expect("00 20 00 03 06 31 32 33 34 35 36", "90");
  EXPECT_EQ(VerifyPin(cd(), 0x03, reinterpret_cast<const BYTE*>("123456"), 6), SCARD_F_INTERNAL_ERROR)
      << "no status word to hand back";
}

TEST_F(CardCommandTest, TwoValuePinCommandsJoinBothValuesInOneApdu) {
  const BYTE oldPin[] = {'1', '2', '3', '4', '5', '6'};
  const BYTE newPin[] = {'6', '5', '4', '3', '2', '1', '0'};
  card_.Expect("00 24 00 03 0D 31 32 33 34 35 36 36 35 34 33 32 31 30", "90 00");
  EXPECT_EQ(ChangeReferenceData(cd(), 0x03, oldPin, 6, newPin, 7), 0x9000u);
  card_.Expect("00 2C 00 03 0D 31 32 33 34 35 36 36 35 34 33 32 31 30", "69 83");
  EXPECT_EQ(ResetRetryCounter(cd(), 0x03, oldPin, 6, newPin, 7), 0x6983u);

  const std::vector<BYTE> big(251, 0x32);
  struct Case {
    const BYTE* first;
    DWORD firstLength;
    const BYTE* second;
    DWORD secondLength;
  };
  const Case refused[] = {
      {nullptr, 6, newPin, 7},        {oldPin, 0, newPin, 7},         {oldPin, 6, nullptr, 7},
      {oldPin, 6, newPin, 0},         {big.data(), 246, newPin, 6},   {big.data(), 251, oldPin, 1},
      {big.data(), 0xFFFFFFFF, oldPin, 6},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(ChangeReferenceData(cd(), 0x03, c.first, c.firstLength, c.second, c.secondLength),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(ResetRetryCounter(cd(), 0x03, c.first, c.firstLength, c.second, c.secondLength),
              SCARD_E_INVALID_PARAMETER);
  }
  // 251 bytes together still fit one short APDU.
  std::vector<BYTE> command = Hex("00 24 00 03 FB");
  command.insert(command.end(), big.begin(), big.begin() + 245);
  command.insert(command.end(), newPin, newPin + 6);
  card_.Expect(command, Hex("90 00"));
  EXPECT_EQ(ChangeReferenceData(cd(), 0x03, big.data(), 245, newPin, 6), 0x9000u);
}

// ---- security operations ----------------------------------------------------

TEST_F(CardCommandTest, ComputeSignatureSendsHashAndTakesTwiceKeyBytes) {
  const ProfileEntry& entry = kProfileTable[2];  // key 82
  std::vector<BYTE> hash(32, 0xAB);
  std::vector<BYTE> signature(64, 0x5A);
  std::vector<BYTE> answer = signature;
  answer.push_back(0x90);
  answer.push_back(0x00);
  std::vector<BYTE> pso = Hex("00 2A 9E 9A 20");
  pso.insert(pso.end(), hash.begin(), hash.end());
  pso.push_back(0x00);
  card_.Expect("00 22 41 B6 03 84 01 82", "6A 88").Expect(pso, answer);

  BYTE out[80] = {};
  DWORD outLength = sizeof(out);
  ASSERT_EQ(ComputeSignature(cd(), entry, hash.data(), 32, out, &outLength), 0u);
  EXPECT_EQ(outLength, 64u);
  EXPECT_TRUE(std::equal(signature.begin(), signature.end(), out));

  // A 63-byte answer is refused but its length is reported.
  answer.erase(answer.begin());
  card_.Expect("00 22 41 B6 03 84 01 82", "90 00").Expect(pso, answer);
  outLength = sizeof(out);
  EXPECT_EQ(ComputeSignature(cd(), entry, hash.data(), 32, out, &outLength), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(outLength, 63u);
}

TEST_F(CardCommandTest, ComputeSignatureRefusesBeforeSending) {
  const ProfileEntry& entry = kProfileTable[0];
  std::vector<BYTE> hash(65, 0x01);
  BYTE out[64];
  DWORD outLength = 64;
  EXPECT_EQ(ComputeSignature(cd(), entry, hash.data(), 65, out, &outLength), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(ComputeSignature(cd(), entry, nullptr, 32, out, &outLength), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(ComputeSignature(cd(), entry, hash.data(), 32, nullptr, &outLength), SCARD_E_INVALID_PARAMETER);
  outLength = 63;
  EXPECT_EQ(ComputeSignature(cd(), entry, hash.data(), 32, out, &outLength), SCARD_E_INVALID_PARAMETER);
  EXPECT_TRUE(card_.received().empty());
  card_.ExpectError("00 22 41 B6 03 84 01 80", SCARD_W_REMOVED_CARD);
  outLength = 64;
  EXPECT_EQ(ComputeSignature(cd(), entry, hash.data(), 32, out, &outLength), SCARD_F_INTERNAL_ERROR);
}

TEST_F(CardCommandTest, ComputeSharedSecretSendsPaddedUncompressedPoint) {
  const ProfileEntry& entry = kProfileTable[4];  // key 81
  std::vector<BYTE> point(64);
  for (std::size_t i = 0; i < point.size(); ++i) point[i] = static_cast<BYTE>(i);
  std::vector<BYTE> pso = Hex("00 2A 80 86 42 00 04");
  pso.insert(pso.end(), point.begin(), point.end());
  pso.push_back(0x00);
  std::vector<BYTE> secret(32, 0x77);
  std::vector<BYTE> answer = secret;
  answer.insert(answer.end(), {0x90, 0x00});

  card_.Expect("00 22 41 B8 03 84 01 81", "90 00").Expect(pso, answer);
  BYTE out[32];
  DWORD outLength = sizeof(out);
  ASSERT_EQ(ComputeSharedSecret(cd(), entry, point.data(), 64, out, &outLength), 0u);
  EXPECT_EQ(outLength, 32u);
  EXPECT_TRUE(std::equal(secret.begin(), secret.end(), out));

  card_.Expect("00 22 41 B8 03 84 01 81", "90 00").Expect(pso, Hex("6A 80"));
  EXPECT_EQ(ComputeSharedSecret(cd(), entry, point.data(), 64, out, &outLength), SCARD_F_INTERNAL_ERROR);

  // A success without data carries no secret.
  card_.Expect("00 22 41 B8 03 84 01 81", "90 00").Expect(pso, Hex("90 00"));
  EXPECT_EQ(ComputeSharedSecret(cd(), entry, point.data(), 64, out, &outLength), SCARD_F_INTERNAL_ERROR);

  // More than the caller's room is refused, never copied.
  outLength = 31;
  card_.Expect("00 22 41 B8 03 84 01 81", "90 00").Expect(pso, answer);
  EXPECT_EQ(ComputeSharedSecret(cd(), entry, point.data(), 64, out, &outLength), SCARD_F_INTERNAL_ERROR);

  std::vector<BYTE> huge(249, 0x04);
  outLength = 32;
  EXPECT_EQ(ComputeSharedSecret(cd(), entry, huge.data(), 249, out, &outLength), SCARD_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vela::test
