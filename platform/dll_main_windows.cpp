// The load notification: keeps the instance handle and the slot of the
// thread mark, and nothing else.
#include <windows.h>

#include <atomic>

#include "platform/module_instance.h"
#include "platform/threads_windows.h"

namespace vela::platform {

namespace {
std::atomic<HINSTANCE> moduleInstance{nullptr};
}  // namespace

void* ModuleInstance() { return moduleInstance.load(); }

}  // namespace vela::platform

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    vela::platform::moduleInstance.store(instance);
    vela::platform::TakeThreadMarkSlot();
  } else if (reason == DLL_PROCESS_DETACH) {
    vela::platform::ReleaseThreadMarkSlot();
  }
  return TRUE;
}
