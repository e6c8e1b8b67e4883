// The module's own instance handle, kept by the load notification; the
// PIN-pad notice loads its dialog resource through it.
#pragma once

namespace vela::platform {

// Null before the load notification (or where there is none).
void* ModuleInstance();

}  // namespace vela::platform
