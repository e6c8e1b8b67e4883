// The Linux module's registry file as the module itself reads it (the same
// reader, the same size limit), for scinfo's settings section: what the
// module would use, never what it ignores.
#pragma once

#include "tool/report.h"

namespace vela::host {

// "registryFile", "registryKey" (what was found) and, when the module reads
// the key, "configured": the six values as the module gets them.
Value RegistryFileSettings(const char* path);

}  // namespace vela::host
