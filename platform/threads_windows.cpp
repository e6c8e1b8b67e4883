#include <windows.h>

#include <atomic>

#include "platform/threads.h"
#include "platform/threads_windows.h"

namespace vela::platform {

namespace {

static_assert(sizeof(SRWLOCK) <= 40 && alignof(SRWLOCK) <= alignof(void*));

// SRWLOCK_INIT is all zero bytes: the state as constructed.
PSRWLOCK Native(unsigned char* state) { return reinterpret_cast<PSRWLOCK>(state); }

std::atomic<DWORD> markSlot{TLS_OUT_OF_INDEXES};

}  // namespace

void Mutex::lock() { AcquireSRWLockExclusive(Native(state_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(Native(state_)); }

void TakeThreadMarkSlot() { markSlot.store(TlsAlloc()); }

void ReleaseThreadMarkSlot() {
  const DWORD slot = markSlot.exchange(TLS_OUT_OF_INDEXES);
  if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
}

void SetThreadMark(std::uintptr_t value) {
  const DWORD slot = markSlot.load(std::memory_order_relaxed);
  if (slot != TLS_OUT_OF_INDEXES) (void)TlsSetValue(slot, reinterpret_cast<void*>(value));
}

std::uintptr_t ThreadMark() {
  const DWORD slot = markSlot.load(std::memory_order_relaxed);
  return slot == TLS_OUT_OF_INDEXES ? 0 : reinterpret_cast<std::uintptr_t>(TlsGetValue(slot));
}

std::uint64_t MonotonicMicroseconds() {
  LARGE_INTEGER count{}, frequency{};
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
  const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
  if (perSecond == 0) return 0;
  return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

}  // namespace vela::platform
