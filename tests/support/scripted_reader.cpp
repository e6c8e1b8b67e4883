#include "scripted_reader.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "core/minidriver_abi.h"
#include "platform/pcsc.h"

namespace vela::test {

ScriptedReader& ScriptedReader::Features(const std::string& replyHex) {
  std::lock_guard lock(controlMutex_);
  features_ = Hex(replyHex);
  featureError_ = 0;
  return *this;
}

ScriptedReader& ScriptedReader::RefuseFeatures(std::uint32_t error) {
  std::lock_guard lock(controlMutex_);
  featureError_ = error;
  return *this;
}

ScriptedReader& ScriptedReader::ExpectControl(std::uint32_t code, const std::string& inHex,
                                              const std::string& replyHex, std::uint32_t error) {
  std::lock_guard lock(controlMutex_);
  controls_.push_back({code, Hex(inHex), Hex(replyHex), error});
  return *this;
}

std::uint32_t ScriptedReader::Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                                      std::vector<std::uint8_t>* out) {
  std::lock_guard lock(controlMutex_);
  calls_.push_back({controlCode, {in.begin(), in.end()}});
  if (controlCode == platform::FeatureRequestControlCode()) {
    EXPECT_TRUE(in.empty()) << "the feature request has no input";
    if (featureError_ != 0) return featureError_;
    *out = features_;
    return 0;
  }
  if (controls_.empty()) {
    ADD_FAILURE() << "unexpected control code " << std::hex << controlCode;
    return SCARD_E_NOT_TRANSACTED;
  }
  ControlStep step = std::move(controls_.front());
  controls_.pop_front();
  EXPECT_EQ(controlCode, step.code);
  EXPECT_EQ(ToHex(in), ToHex(step.in));
  if (step.error != 0) return step.error;
  *out = std::move(step.reply);
  return 0;
}

std::vector<ScriptedReader::Call> ScriptedReader::calls() const {
  std::lock_guard lock(controlMutex_);
  return calls_;
}

bool ScriptedReader::controlsDone() const {
  std::lock_guard lock(controlMutex_);
  return controls_.empty();
}

std::string FeatureEntry(std::uint8_t tag, std::uint32_t code) {
  char text[32];
  std::snprintf(text, sizeof text, "%02X 04 %08X ", tag, code);
  return text;
}

}  // namespace vela::test
