// What each host operation sends to the card, command for command: one
// command more than the fixed sequence is a failure, so is one fewer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card_taps.h"
#include "emulated_card.h"
#include "host_operations.h"
#include "test_host.h"

namespace vela::test {
namespace {

constexpr char kSelectApplication[] = "00 A4 08 0C 04 DF 02 80 FF";
constexpr char kVerifyUserPin[] = "00 20 00 03 06 31 32 33 34 35 36";

// "read DF FILE" stands for the READ BINARY chain of that file on the card:
// 255-byte chunks until a shorter one, so n / 255 + 1 reads.
std::vector<std::string> Expand(const std::vector<std::string>& expected, const emu::VelaCard& card) {
  std::vector<std::string> out;
  for (const std::string& line : expected) {
    if (line.rfind("read ", 0) != 0) {
      out.push_back(ToHex(Hex(line)));
      continue;
    }
    const std::vector<std::uint8_t> id = Hex(line.substr(5));
    const std::size_t size = card.FileData(static_cast<std::uint16_t>(id[0] << 8 | id[1]),
                                           static_cast<std::uint16_t>(id[2] << 8 | id[3]))
                                 .size();
    for (std::size_t offset = 0; offset <= size; offset += 255) {
      const std::uint8_t p[] = {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8 & 0x7F),
                                static_cast<std::uint8_t>(offset & 0xFF), 0xFF};
      out.push_back(ToHex(p));
    }
  }
  return out;
}

std::vector<std::string> Commands(const std::vector<Exchange>& trace) {
  std::vector<std::string> out;
  for (const Exchange& e : trace) out.push_back(ToHex(e.command));
  return out;
}

std::string Data(std::span<const BYTE> bytes) { return ToHex(bytes); }

struct Row {
  const char* operation;
  std::vector<std::string> commands;
};

std::vector<Row> Rows() {
  const std::string sign = "00 2A 9E 9A 20 " + Data(kSignHash) + " 00";
  const std::string agree = "00 2A 80 86 42 00 04 " + Data(kPeerPoint) + " 00";
  return {
      {"CardReadFile cardcf", {kSelectApplication}},
      {"CardReadFile cardid", {kSelectApplication}},
      {"CardReadFile cardapps", {kSelectApplication}},
      {"CardReadFile mscp/cmapfile", {kSelectApplication}},
      {"CardReadFile mscp/ksc00", {kSelectApplication, "00 A4 08 0C 04 DF 02 C0 00", "read DF02 C000"}},
      {"CardReadFile mscp/kxc04", {kSelectApplication, "00 A4 08 0C 04 DF 02 C2 00", "read DF02 C200"}},
      {"CardReadFile mscp/ksc07", {kSelectApplication, "00 A4 08 0C 04 DF 01 C0 01", "read DF01 C001"}},
      {"CardEnumFiles root", {kSelectApplication}},
      // The listing checks the context again, then finds DF02 by path once.
      {"CardEnumFiles mscp",
       {kSelectApplication, kSelectApplication, "00 A4 08 0C 04 DF 02 C0 00", "00 A4 02 0C 02 43 31",
        "00 A4 02 0C 02 C5 00", "00 A4 02 0C 02 43 71", "00 A4 02 0C 02 C2 00", "00 A4 02 0C 02 43 B1",
        "00 A4 02 0C 02 C2 01", "00 A4 08 0C 04 DF 01 C0 01"}},
      {"CardGetFileInfo cardid", {kSelectApplication}},
      {"CardGetContainerInfo 0", {kSelectApplication, "00 A4 02 0C 02 45 31", "read DF02 4531"}},
      {"CardGetContainerInfo 4", {kSelectApplication, "00 A4 02 0C 02 45 B1", "read DF02 45B1"}},
      {"CardGetContainerProperty Container Info",
       {kSelectApplication, kSelectApplication, "00 A4 02 0C 02 45 31", "read DF02 4531"}},
      {"CardGetContainerProperty PIN Identifier", {kSelectApplication}},
      {"CardAuthenticateEx user", {kSelectApplication, kVerifyUserPin}},
      {"CardAuthenticatePin user", {kSelectApplication, kSelectApplication, kVerifyUserPin}},
      // Generating verifies on the card; presenting the session PIN does not.
      {"CardAuthenticateEx session PIN", {kSelectApplication, kVerifyUserPin, kSelectApplication}},
      {"CardDeauthenticate user", {kSelectApplication}},
      {"CardSignData 0", {kSelectApplication, "00 22 41 B6 03 84 01 80", sign}},
      {"CardConstructDHAgreement 4", {kSelectApplication, "00 22 41 B8 03 84 01 81", agree}},
      {"CardDestroyDHAgreement", {kSelectApplication}},
      {"CardDeriveKey HASH", {kSelectApplication}},
      {"CardDeriveKey HMAC", {kSelectApplication}},
      {"CardDeriveKey TLS_PRF", {kSelectApplication}},
      {"CardGetProperty Card Serial Number", {kSelectApplication}},
      {"CardGetProperty PIN Information", {kSelectApplication}},
      {"CardSetProperty PIN Context String", {kSelectApplication}},
      {"CardQueryCapabilities", {kSelectApplication}},
      {"CardQueryKeySizes", {kSelectApplication}},
      {"CardQueryFreeSpace", {kSelectApplication}},
      {"CardChangeAuthenticator",
       {kSelectApplication, "00 24 00 03 0C 31 32 33 34 35 36 36 35 34 33 32 31", "00 20 00 03 06 36 35 34 33 32 31"}},
      {"CardUnblockPin", {kSelectApplication, "00 2C 00 03 0E 31 32 33 34 35 36 37 38 31 32 33 34 35 36"}},
  };
}

TEST(WireCost, AcquireReadsTheSerialAndProbesTwoContainers) {
  EmulatedCard card;
  DWORD result = 1;
  const std::vector<Exchange> trace = TraceAcquire(&card, &result);
  ASSERT_EQ(result, 0u);
  EXPECT_EQ(Commands(trace),
            Expand({"00 A4 08 0C 02 2F 02", "00 B0 00 02 0A", "00 A4 08 0C 04 DF 02 45 B2", "00 B0 00 00 02",
                    "00 A4 08 0C 04 DF 01 45 B2", "00 B0 00 00 02"},
                   card.card()));
}

TEST(WireCost, DeleteContextOnlyReselects) {
  EmulatedCard card;
  RecordingCard tap(&card);
  TestHost host(tap.handle());
  ASSERT_EQ(host.Acquire(), 0u);
  tap.Clear();
  ASSERT_EQ(host->pfnCardDeleteContext(host.get()), 0u);
  EXPECT_EQ(Commands(tap.exchanges()), Expand({kSelectApplication}, card.card()));
}

TEST(WireCost, EveryOperationSendsItsFixedSequence) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.operation);
    const HostOperation* op = FindHostOperation(row.operation);
    ASSERT_NE(op, nullptr);
    EmulatedCard card;
    DWORD result = 1;
    const std::vector<Exchange> trace = TraceOperation(&card, *op, &result);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(Commands(trace), Expand(row.commands, card.card()));
  }
}

// Every row of the operation table has its sequence here.
TEST(WireCost, EveryOperationHasARow) {
  const std::vector<Row> rows = Rows();
  for (const HostOperation& op : HostOperations()) {
    bool found = false;
    for (const Row& row : rows) found = found || std::string(row.operation) == op.name;
    EXPECT_TRUE(found) << op.name;
  }
}

}  // namespace
}  // namespace vela::test
