// The load notification: keeps the instance handle and the slot of the
// thread mark, and gives back the thread-local slots when the DLL goes.
#include <windows.h>

#include <atomic>

#include "platform/module_instance.h"
#include "platform/runtime_threads_windows.h"
#include "platform/threads_windows.h"

namespace vela::platform {

namespace {
std::atomic<HINSTANCE> moduleInstance{nullptr};
}  // namespace

void* ModuleInstance() { return moduleInstance.load(); }

}  // namespace vela::platform

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    vela::platform::moduleInstance.store(instance);
    vela::platform::TakeThreadMarkSlot();
  } else if (reason == DLL_PROCESS_DETACH) {
    vela::platform::ReleaseThreadMarkSlot();
    // On FreeLibrary only: at process exit the threads are gone already.
    if (reserved == nullptr) vela::platform::ReleaseRuntimeKeys();
  }
  return TRUE;
}
