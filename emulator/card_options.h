// vela-card's options, from its command line and from --config files.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "emulator/link_model.h"
#include "emulator/pin_pad_reader.h"
#include "emulator/vela_card.h"

namespace vela::emu {

struct CardOptions {
  Personalisation card;
  PinPadOptions pad{PinPadFeatures::kNone, std::nullopt, std::chrono::milliseconds(0), PinPadOutcome::kTyped};
  bool pinpad = false;
  PinPadFeatures padFeatures = PinPadFeatures::kVerifyDirect;
  std::string vpcdHost = "127.0.0.1";
  std::uint16_t vpcdPort = 35963;
  bool vpcd = true;
  int tcpPort = -1;
  std::string trace;
  std::string caCertificate;
  const LinkProfile* link = nullptr;  // null: the card takes no time
  bool help = false;
};

// A bad option, a bad value or an unreadable --config file.
class OptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `arguments` without the program's name. Throws OptionError.
CardOptions ParseCardOptions(const std::vector<std::string>& arguments);
const char* CardOptionsUsage();

}  // namespace vela::emu
