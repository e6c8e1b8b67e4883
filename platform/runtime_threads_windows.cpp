// The few POSIX thread calls the statically linked C++ runtime makes (the
// lock of the exception emergency pool, and the once-flag, lock and keys of
// its thread-local storage, which holds each thread's exception state),
// answered over Win32. With these defined here, the linker takes no part of
// winpthreads, which would bring the whole POSIX thread library and its
// imports (SuspendThread, SetThreadContext, SetSystemTime) into a DLL that
// every smart-card program loads.
//
// The types and initial values are winpthreads' (its pthread.h, only for
// the declarations): a mutex is a pointer-sized word, (void*)-1 when
// statically initialised; a once-flag is a long, 0 before the call; a key is
// an unsigned index. A mutex is an SRW lock in that word (made from the
// static initialiser on first use). At process exit Windows ends the other
// threads wherever they are, perhaps holding one of these locks or inside a
// once-function: the thread left, running the detach, then goes on instead
// of waiting for ever.
#include <pthread.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/runtime_threads_windows.h"

namespace vela::platform {

namespace {

constexpr std::intptr_t kStaticInitialiser = -1;

std::atomic<bool> processEnding{false};

PSRWLOCK Lock(pthread_mutex_t* mutex) {
  static_assert(sizeof(SRWLOCK) == sizeof(pthread_mutex_t) && sizeof(std::atomic<std::intptr_t>) == sizeof(SRWLOCK));
  auto* word = reinterpret_cast<std::atomic<std::intptr_t>*>(mutex);
  std::intptr_t expected = kStaticInitialiser;
  word->compare_exchange_strong(expected, 0);  // SRWLOCK_INIT
  return reinterpret_cast<PSRWLOCK>(mutex);
}

// Keys are FLS slots, so that a thread's values are handed to the key's
// destructor when the thread ends. The callback is per key: x86's FLS
// callback is __stdcall, the destructor is not.
using Destructor = void (*)(void*);
constexpr unsigned kMaxKeys = 4;
struct Key {
  std::atomic<DWORD> slot{FLS_OUT_OF_INDEXES};
  std::atomic<Destructor> destructor{nullptr};
};
Key keys[kMaxKeys];
std::atomic<unsigned> keysTaken{0};

template <unsigned I>
void WINAPI CallDestructor(void* value) {
  if (Destructor destructor = keys[I].destructor.load(); destructor != nullptr && value != nullptr) destructor(value);
}
constexpr PFLS_CALLBACK_FUNCTION kCallbacks[kMaxKeys] = {CallDestructor<0>, CallDestructor<1>, CallDestructor<2>,
                                                         CallDestructor<3>};

}  // namespace

void NoteProcessEnding() { processEnding.store(true); }

void ReleaseRuntimeKeys() {
  // Before the code of the callbacks goes away with the DLL: FlsFree hands
  // every thread's value to the destructor now.
  for (Key& key : keys) {
    const DWORD slot = key.slot.exchange(FLS_OUT_OF_INDEXES);
    if (slot != FLS_OUT_OF_INDEXES) FlsFree(slot);
  }
}

}  // namespace vela::platform

using namespace vela::platform;

extern "C" {

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t*) {
  reinterpret_cast<std::atomic<std::intptr_t>*>(mutex)->store(0);  // SRWLOCK_INIT
  return 0;
}

int pthread_mutex_destroy(pthread_mutex_t*) { return 0; }

int pthread_mutex_lock(pthread_mutex_t* mutex) {
  const PSRWLOCK lock = Lock(mutex);
  if (TryAcquireSRWLockExclusive(lock)) return 0;
  // Held by a thread the process's end has stopped: nobody will let go.
  if (processEnding.load()) return 0;
  AcquireSRWLockExclusive(lock);
  return 0;
}

int pthread_mutex_unlock(pthread_mutex_t* mutex) {
  ReleaseSRWLockExclusive(Lock(mutex));
  return 0;
}

int pthread_once(pthread_once_t* once, void (*function)(void)) {
  auto* state = reinterpret_cast<std::atomic<long>*>(once);
  static_assert(sizeof(std::atomic<long>) == sizeof(pthread_once_t));
  constexpr long kRunning = 1, kDone = 2;
  long seen = 0;
  if (state->compare_exchange_strong(seen, kRunning, std::memory_order_acquire)) {
    function();
    state->store(kDone, std::memory_order_release);
    return 0;
  }
  // Another thread runs the function (for a few instructions), or ran it when
  // the process's end stopped it.
  while (state->load(std::memory_order_acquire) != kDone) {
    if (processEnding.load()) return ERROR_PROCESS_ABORTED;
    SwitchToThread();
  }
  return 0;
}

int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  const unsigned index = keysTaken.fetch_add(1);
  if (index >= kMaxKeys) return ERROR_NOT_ENOUGH_MEMORY;
  keys[index].destructor.store(destructor);
  const DWORD slot = FlsAlloc(kCallbacks[index]);
  if (slot == FLS_OUT_OF_INDEXES) return ERROR_NOT_ENOUGH_MEMORY;
  keys[index].slot.store(slot);
  *key = index;
  return 0;
}

void* pthread_getspecific(pthread_key_t key) {
  if (key >= kMaxKeys) return nullptr;
  const DWORD slot = keys[key].slot.load(std::memory_order_relaxed);
  return slot == FLS_OUT_OF_INDEXES ? nullptr : FlsGetValue(slot);
}

int pthread_setspecific(pthread_key_t key, const void* value) {
  if (key >= kMaxKeys) return ERROR_INVALID_PARAMETER;
  const DWORD slot = keys[key].slot.load(std::memory_order_relaxed);
  if (slot == FLS_OUT_OF_INDEXES || !FlsSetValue(slot, const_cast<void*>(value))) return ERROR_INVALID_PARAMETER;
  return 0;
}

}  // extern "C"
