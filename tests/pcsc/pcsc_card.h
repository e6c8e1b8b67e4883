// The pcsc tier's host: the Linux module loaded as a provider loads it, on
// the emulated card through pcscd and vpcd, and the card's own APDU trace.
//
// A test derives from PcscCardTest: the module is loaded and the card handle
// connected before the test body; host() is a CARD_DATA filled as a host
// does, not yet acquired. TearDown deletes the context and checks that no
// host block is left over.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/module_host.h"
#include "host/pcsc_connection.h"

namespace vela::pcsc_test {

// The commands the card received, from the trace the card writes ("> HEX"
// per command, "< HEX" per response).
class CardTrace {
 public:
  explicit CardTrace(std::string path) : path_(std::move(path)) {}
  // Forgets what the card received so far.
  void Mark();
  // The commands since the last Mark, as upper-case hexadecimal without
  // spaces. Waits a little for `expected` commands, since the card writes
  // its trace on its own time.
  std::vector<std::string> CommandsSinceMark(std::size_t expected = 0) const;

 private:
  std::vector<std::string> Commands() const;
  std::string path_;
  std::size_t marked_ = 0;
};

// Settings of the running tier, from the environment ctest gives the tests.
std::string ReaderName();    // VELA_PCSC_READER, default "Virtual PCD 00 00"
std::string TracePath();     // VELA_CARD_TRACE
std::string CardSerial();    // VELA_CARD_SERIAL: the serial the card was personalised with

class PcscCardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  host::CardHost& host() { return *host_; }
  // Acquires the context and fails the test unless it succeeds.
  void Acquire();

  std::unique_ptr<host::Module> module_;
  host::PcscConnection connection_;
  std::unique_ptr<host::CardHost> host_;
  CardTrace trace_{TracePath()};

 private:
  std::size_t liveBefore_ = 0;
};

}  // namespace vela::pcsc_test
