// The emulated PIN-pad reader and the card's socket framing, which the PIN-pad
// tests and the Windows bridge build on.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "auth/pin_pad.h"
#include "core/minidriver_abi.h"
#include "emulated_card.h"
#include "emulator/card_server.h"
#include "emulator/hex.h"
#include "test_host.h"

namespace vela::test {
namespace {

using emu::PinPadFeatures;
using emu::PinPadOutcome;

// PIN_VERIFY_STRUCTURE for the user PIN as a host builds it.
const char* kVerifyUserOnPad = "1F 05 02 00 00 12 06 02 00 04 09 00 00 00 00 04 00 00 00 00 20 00 03";

TEST(EmulatedReaderTest, FeatureListsAndVerification) {
  struct Case {
    const char* name;
    PinPadFeatures reader;
    const char* typed;  // null: the card's current PIN
    PinPadOutcome outcome;
    const char* features;      // answer to the feature request
    std::vector<std::uint32_t> codes;  // control codes of the verification, in order
    std::uint32_t result;      // of the last call
    const char* reply;         // of the last call
    int userTriesAfter;
  };
  const std::vector<Case> cases = {
      {"direct, right PIN", PinPadFeatures::kVerifyDirect, nullptr, PinPadOutcome::kTyped,
       "06 04 42 33 00 06", {0x42330006}, 0, "90 00", 3},
      {"direct, wrong PIN", PinPadFeatures::kVerifyDirect, "999999", PinPadOutcome::kTyped,
       "06 04 42 33 00 06", {0x42330006}, 0, "63 C2", 2},
      {"start and finish", PinPadFeatures::kStartFinish, nullptr, PinPadOutcome::kTyped,
       "01 04 42 33 00 01 02 04 42 33 00 02", {0x42330001, 0x42330002}, 0, "90 00", 3},
      {"finish without start", PinPadFeatures::kStartFinish, nullptr, PinPadOutcome::kTyped,
       "01 04 42 33 00 01 02 04 42 33 00 02", {0x42330002}, SCARD_E_INVALID_PARAMETER, "", 3},
      {"time-out", PinPadFeatures::kVerifyDirect, nullptr, PinPadOutcome::kTimeout,
       "06 04 42 33 00 06", {0x42330006}, 0, "64 00", 3},
      {"cancel", PinPadFeatures::kStartFinish, nullptr, PinPadOutcome::kCancel,
       "01 04 42 33 00 01 02 04 42 33 00 02", {0x42330001, 0x42330002}, 0, "64 01", 3},
      {"PIN too short for the structure", PinPadFeatures::kVerifyDirect, "12345", PinPadOutcome::kTyped,
       "06 04 42 33 00 06", {0x42330006}, 0, "64 03", 3},
      {"no features", PinPadFeatures::kNone, nullptr, PinPadOutcome::kTyped, "", {0x42330006},
       SCARD_E_UNSUPPORTED_FEATURE, "", 3},
      {"direct code on a start/finish reader", PinPadFeatures::kStartFinish, nullptr, PinPadOutcome::kTyped,
       "01 04 42 33 00 01 02 04 42 33 00 02", {0x42330006}, SCARD_E_UNSUPPORTED_FEATURE, "", 3},
  };
  for (const Case& c : cases) {
    EmulatedCard card;
    emu::PinPadOptions options;
    options.features = c.reader;
    if (c.typed != nullptr) options.pin = c.typed;
    options.outcome = c.outcome;
    card.AttachPinPad(options);
    std::vector<std::uint8_t> out;
    for (std::uint32_t request : {0x42000D48u, 0x00313520u}) {
      ASSERT_EQ(card.Control(request, {}, &out), 0u) << c.name;
      EXPECT_EQ(ToHex(out), c.features) << c.name;
    }
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < c.codes.size(); ++i) {
      const bool start = i == 0 && c.codes[i] != 0x42330002;
      const std::vector<std::uint8_t> in = start ? Hex(kVerifyUserOnPad) : std::vector<std::uint8_t>{};
      result = card.Control(c.codes[i], in, &out);
    }
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(ToHex(out), c.reply) << c.name;
    EXPECT_EQ(card->TriesLeft(0x03), c.userTriesAfter) << c.name;
  }
}

TEST(EmulatedReaderTest, PadSendsTheVerifyOfTheStructuresReference) {
  EmulatedCard card;
  card.AttachPinPad();  // the user types the right value of the PIN asked for
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> admin = Hex(kVerifyUserOnPad);
  admin.back() = 0x04;
  ASSERT_EQ(card.Control(0x42330006, admin, &out), 0u);
  EXPECT_EQ(ToHex(out), "90 00");
  EXPECT_EQ(card->Trace().front(), "> 00 20 00 04 08 31 32 33 34 35 36 37 38");
  // Malformed structures are refused without a card command.
  for (const char* bad : {"1F 05 02", "1F 05 02 00 00 12 06 02 00 04 09 00 00 00 00 05 00 00 00 00 20 00 03",
                          "1F 05 02 00 00 12 06 02 00 04 09 00 00 00 00 04 00 00 00 00 B0 00 03"}) {
    EXPECT_EQ(card.Control(0x42330006, Hex(bad), &out), SCARD_E_INVALID_PARAMETER) << bad;
  }
  EXPECT_EQ(card->TotalCommands(), 1u);
}

// The module's own PIN-pad road against the emulated reader: what the pad
// types reaches the card as the VERIFY of the block's reference.
TEST(EmulatedReaderTest, ModulePinPadVerifiesThroughTheReader) {
  struct Case {
    PinPadFeatures features;
    const char* typed;  // null: the card's current PIN
    DWORD result;
    bool verified;
  };
  const Case cases[] = {
      {PinPadFeatures::kVerifyDirect, nullptr, 0x9000, true},
      {PinPadFeatures::kStartFinish, nullptr, 0x9000, true},
      {PinPadFeatures::kVerifyDirect, "654321", 0x63C2, false},
      {PinPadFeatures::kNone, nullptr, SCARD_E_UNSUPPORTED_FEATURE, false},
  };
  for (const Case& c : cases) {
    EmulatedCard card;
    emu::PinPadOptions options;
    options.features = c.features;
    if (c.typed != nullptr) options.pin = c.typed;
    card.AttachPinPad(options);
    TestHost host(card.handle());
    EXPECT_EQ(ReaderCanVerifyPin(host.get()), c.features != PinPadFeatures::kNone);
    EXPECT_EQ(VerifyPinOnPad(host.get(), 0x03), c.result);
    EXPECT_EQ(card->Verified(0x03), c.verified);
  }
}

// A loopback client of the TCP framing. An answer that does not come within
// kAnswerSeconds fails the exchange instead of hanging the test.
class FramedClient {
 public:
  static constexpr int kAnswerSeconds = 5;

  explicit FramedClient(std::uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    const timeval limit{kAnswerSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~FramedClient() { close(fd_); }
  bool connected() const { return connected_; }

  std::string Exchange(const std::string& payloadHex) {
    std::vector<std::uint8_t> frame = Hex(payloadHex);
    const auto length = static_cast<std::uint16_t>(frame.size());
    frame.insert(frame.begin(), {static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
    if (send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return "send";
    std::uint8_t head[2];
    if (const char* failure = Receive(head, 2)) return failure;
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(head[0] << 8 | head[1]));
    if (const char* failure = Receive(payload.data(), payload.size())) return failure;
    return ToHex(payload);
  }
  void Send(const std::string& payloadHex) {
    std::vector<std::uint8_t> frame = Hex(payloadHex);
    frame.insert(frame.begin(), {0x00, static_cast<std::uint8_t>(frame.size())});
    ASSERT_EQ(send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
  }

 private:
  // Null once `size` bytes came, else why they did not.
  const char* Receive(std::uint8_t* buffer, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = recv(fd_, buffer + done, size - done, 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return "no answer in time";
      if (n <= 0) return "closed";
      done += static_cast<std::size_t>(n);
    }
    return nullptr;
  }
  int fd_;
  bool connected_ = false;
};

TEST(EmulatedReaderTest, TcpFramingControlAndDrop) {
  emu::Personalisation p;
  p.faults.dropAfter = 3;
  emu::VelaCard card(p);
  emu::PinPadReader reader(card, {});
  emu::CardServer server(card, reader);
  FramedClient client(server.ListenTcp(0));
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.Exchange("04"), "3B 8A 01 80 56 45 4C 41 47 33 00 90 00 F1");
  EXPECT_EQ(client.Exchange("00 A4 08 0C 04 DF 02 80 FF"), "90 00");
  EXPECT_EQ(client.Exchange("00 20 00 03 06 31 32 33 34 35 36"), "90 00");
  EXPECT_EQ(client.Exchange("FF C0 42 00 0D 48"), "00 00 00 00 06 04 42 33 00 06");
  EXPECT_EQ(client.Exchange("FF C0 42 33 00 06 " + std::string(kVerifyUserOnPad)), "00 00 00 00 90 00");
  EXPECT_EQ(client.Exchange("FF C0 42 33 00 05"), "80 10 00 22");
  EXPECT_EQ(client.Exchange("00 20 00 03"), "") << "dropped after three exchanges";
  client.Send("01");  // power on: no answer, the card is back and reset
  EXPECT_EQ(client.Exchange("00 20 00 03"), "63 C3");
  server.Stop();
}

}  // namespace
}  // namespace vela::test
