// The load notification gives back the runtime's thread-local slots when the
// DLL is unloaded (see runtime_threads_windows.cpp).
#pragma once

namespace vela::platform {

void ReleaseRuntimeKeys();
// Called at the detach of process exit: the runtime's locks stop waiting.
void NoteProcessEnding();

}  // namespace vela::platform
