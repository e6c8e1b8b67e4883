// What the module needs of threads and time beyond plain atomics: a lock, a
// mark per thread and a monotonic clock. Built on the operating system's own
// primitives (SRWLOCK, TLS slots and QueryPerformanceCounter on Windows), so
// the DLL links no threading library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela::platform {

// A non-recursive lock with constant initialisation (all zero bytes is the
// unlocked state on both platforms), usable from static storage at any time.
class Mutex {
 public:
  constexpr Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();

 private:
  static constexpr std::size_t kStateSize = 40;  // pthread_mutex_t on x86-64 glibc; SRWLOCK is smaller
  alignas(void*) unsigned char state_[kStateSize] = {};
};

class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// One value per thread, zero until set. On Windows it lives in a TLS slot
// taken when the DLL loads; without one, setting does nothing and reading
// gives zero.
void SetThreadMark(std::uintptr_t value);
std::uintptr_t ThreadMark();

// Microseconds from a fixed point, never going back.
std::uint64_t MonotonicMicroseconds();

}  // namespace vela::platform
