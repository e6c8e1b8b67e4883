// The load notification: keeps the instance handle and the slot of the
// thread mark, and gives back the thread-local slots and the C++ runtime's
// memory when the DLL is unloaded.
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

// The static C++ runtime's own release: the exception emergency pool, which
// a static initialiser allocates and nothing else frees.
namespace __gnu_cxx {
extern "C++" void __freeres() throw();
}  // namespace __gnu_cxx

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    vela::platform::moduleInstance.store(instance);
    vela::platform::TakeThreadMarkSlot();
  } else if (reason == DLL_PROCESS_DETACH) {
    vela::platform::ReleaseThreadMarkSlot();
    if (reserved == nullptr) {
      // FreeLibrary: a host that loads the module per card would otherwise
      // keep what every load took. At process exit nothing is given back
      // (the other threads stopped wherever they were; the heap goes anyway).
      vela::platform::ReleaseRuntimeKeys();
      __gnu_cxx::__freeres();
    } else {
      vela::platform::NoteProcessEnding();
    }
  }
  return TRUE;
}
