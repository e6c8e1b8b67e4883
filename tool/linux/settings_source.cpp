#include "platform/reg_file.h"
#include "tool/settings_file.h"
#include "tool/settings_source.h"

namespace vela::tool {

host::Value ConfiguredSettings() { return host::RegistryFileSettings(platform::kLinuxRegistryFile); }

}  // namespace vela::tool
