// exit-lock-probe.dll: the C++ runtime's thread shim of the module
// (platform/runtime_threads_windows.cpp) in a DLL of its own, with calls that
// leave one of its locks held and one of its once-functions running for ever
// on a thread of the host. When the host then ends the process, the detach
// takes that lock and that once-flag, as the runtime may at exit: it must
// come back, and says so on standard output.
#include <pthread.h>
#include <windows.h>

#include "platform/runtime_threads_windows.h"

namespace {

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t once = PTHREAD_ONCE_INIT;
HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr);

void Say(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

void RunForEver() {
  SetEvent(held);
  Sleep(INFINITE);
}

}  // namespace

extern "C" __declspec(dllexport) void ProbeHoldLock() {
  pthread_mutex_lock(&lock);
  SetEvent(held);
  Sleep(INFINITE);
}

extern "C" __declspec(dllexport) void ProbeHoldOnce() { pthread_once(&once, RunForEver); }

// Waits until the thread that called one of the above holds what it took.
extern "C" __declspec(dllexport) void ProbeWaitHeld() {
  WaitForSingleObject(held, INFINITE);
  ResetEvent(held);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
    vela::platform::NoteProcessEnding();
    Say("detach at process exit\n");
    pthread_mutex_lock(&lock);
    pthread_mutex_unlock(&lock);
    Say("ok exit-lock-returned\n");
    pthread_once(&once, [] {});
    Say("ok exit-once-returned\n");
  }
  return TRUE;
}
