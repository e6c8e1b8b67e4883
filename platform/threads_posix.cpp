#include <pthread.h>
#include <time.h>

#include "platform/threads.h"

namespace vela::platform {

namespace {

static_assert(sizeof(pthread_mutex_t) <= 40 && alignof(pthread_mutex_t) <= alignof(void*));

// glibc's PTHREAD_MUTEX_INITIALIZER is all zero bytes: the state as constructed.
pthread_mutex_t* Native(unsigned char* state) { return reinterpret_cast<pthread_mutex_t*>(state); }

thread_local std::uintptr_t threadMark = 0;

}  // namespace

void Mutex::lock() { (void)pthread_mutex_lock(Native(state_)); }
void Mutex::unlock() { (void)pthread_mutex_unlock(Native(state_)); }

void SetThreadMark(std::uintptr_t value) { threadMark = value; }
std::uintptr_t ThreadMark() { return threadMark; }

std::uint64_t MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace vela::platform
