// The platform's half of `vela3ro-tool check`: what the smart-card stack of
// this machine makes of a card (Windows: the card database in both registry
// views and the DLL it names; Linux: libvela3ro.so and pcscd). Each reason the
// module would not be used for a card goes into `problems` as a sentence an
// administrator can act on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/module_host.h"
#include "tool/report.h"

namespace vela::tool {

struct CheckPlatform {
  const char* stack;        // who pairs card and module: "Windows", "the host"
  const char* serviceHint;  // added to a PC/SC service failure
};
const CheckPlatform& ThisPlatform();

// What keeps every card from the module, whatever the card (Linux: no
// libvela3ro.so to load).
void CheckMachine(const std::string& modulePath, host::Value& out, std::vector<std::string>* problems);

// What the stack makes of a card with `atr`; `module` gets the module to
// acquire a context with (`modulePath`, or the one installed), or stays null
// with a problem saying why. True when the platform registers anything for
// the card (then a refusal by the module is a fault, not another card).
bool CheckCard(const std::vector<std::uint8_t>& atr, const std::string& modulePath, host::Value& out,
               std::vector<std::string>* problems, std::unique_ptr<host::Module>* module);

}  // namespace vela::tool
