// The module's settings where it reads them on this platform, for the
// reports: on Linux the registry file (settings_file.h), on Windows the key
// under HKEY_LOCAL_MACHINE in the 64-bit view, which both DLLs read.
#pragma once

#include "tool/report.h"

namespace vela::tool {

// "registryFile" (Linux) or "registryKey" (Windows) and what was found
// there, and, when the module reads the key, "configured": the six values as
// the module gets them (null where absent).
host::Value ConfiguredSettings();

}  // namespace vela::tool
