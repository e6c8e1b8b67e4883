#include "pcsc_card.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "host/result_names.h"

namespace vela::pcsc_test {

namespace {

std::string Environment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

std::string ReaderName() { return Environment("VELA_PCSC_READER", "Virtual PCD 00 00"); }
std::string TracePath() { return Environment("VELA_CARD_TRACE", ""); }
std::string CardSerial() { return Environment("VELA_CARD_SERIAL", ""); }

std::vector<std::string> CardTrace::Commands() const {
  std::vector<std::string> commands;
  std::ifstream in(path_);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with("> ")) continue;
    std::string hex;
    for (const char c : line.substr(2)) {
      if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::toupper(c));
    }
    commands.push_back(hex);
  }
  return commands;
}

void CardTrace::Mark() { marked_ = Commands().size(); }

std::vector<std::string> CardTrace::CommandsSinceMark(std::size_t expected) const {
  std::vector<std::string> commands = Commands();
  for (int i = 0; i < 40 && commands.size() < marked_ + expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    commands = Commands();
  }
  if (commands.size() < marked_) return {};
  return {commands.begin() + static_cast<std::ptrdiff_t>(marked_), commands.end()};
}

void PcscCardTest::SetUp() {
  ASSERT_FALSE(TracePath().empty()) << "VELA_CARD_TRACE is not set: run the pcsc tier through ctest";
  liveBefore_ = host::HostHeap::Live();
  std::string error;
  module_ = host::Module::Load(VELA_MODULE_PATH, &error);
  ASSERT_TRUE(module_) << error;
  ASSERT_EQ(connection_.Establish(), 0u) << "pcscd is not reachable";
  const std::uint32_t rc = connection_.Connect(ReaderName());
  ASSERT_EQ(rc, 0u) << ReaderName() << ": " << host::ResultText(rc);
  host_ = std::make_unique<host::CardHost>(*module_, connection_.context(), connection_.card(), connection_.atr());
}

void PcscCardTest::TearDown() {
  if (host_) {
    EXPECT_EQ(host_->Delete(), 0u);
  }
  host_.reset();
  connection_.Disconnect();
  EXPECT_EQ(host::HostHeap::Live(), liveBefore_) << "host blocks left over";
}

void PcscCardTest::Acquire() {
  const DWORD rc = host_->Acquire();
  ASSERT_EQ(rc, 0u) << host::ResultText(rc);
}

}  // namespace vela::pcsc_test
