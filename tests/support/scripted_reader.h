// A scripted card in a reader with PC/SC part 10 features: the feature
// request gets a fixed reply, every other control code must come as expected.
#pragma once

#include "fake_card.h"

namespace vela::test {

class ScriptedReader : public ScriptedCard {
 public:
  struct Call {
    std::uint32_t code;
    std::vector<std::uint8_t> in;
  };

  // The reply to every feature request (hex), or the error it fails with.
  ScriptedReader& Features(const std::string& replyHex);
  ScriptedReader& RefuseFeatures(std::uint32_t error);
  // The next control call other than the feature request.
  ScriptedReader& ExpectControl(std::uint32_t code, const std::string& inHex, const std::string& replyHex,
                                std::uint32_t error = 0);

  std::uint32_t Control(std::uint32_t controlCode, std::span<const std::uint8_t> in,
                        std::vector<std::uint8_t>* out) override;
  // Every control call, the feature requests included.
  std::vector<Call> calls() const;
  bool controlsDone() const;

 private:
  struct ControlStep {
    std::uint32_t code;
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> reply;
    std::uint32_t error;
  };
  mutable std::mutex controlMutex_;
  std::vector<std::uint8_t> features_;
  std::uint32_t featureError_ = 0;
  std::deque<ControlStep> controls_;
  std::vector<Call> calls_;
};

// A feature entry: tag, length 4, the code most significant byte first.
std::string FeatureEntry(std::uint8_t tag, std::uint32_t code);

}  // namespace vela::test
