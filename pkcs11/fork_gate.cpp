#include "pkcs11/fork_gate.h"

#include <condition_variable>
#include <mutex>
#include <new>

namespace vela::pkcs11 {
namespace {

struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int inside = 0;        // threads inside the module
  bool closed = false;   // a fork() is under way
};

// Never destroyed: a thread may still pass it while the process ends. The
// child makes it anew in place: the parent's copy may hold the lock of a
// thread the child does not have.
alignas(Gate) unsigned char storage[sizeof(Gate)];
Gate& Current() {
  static Gate* gate = new (storage) Gate;
  return *gate;
}

// How deep this thread is inside the module.
thread_local int depth = 0;

}  // namespace

ForkGate::Inside::Inside() {
  if (depth++ > 0) return;
  Gate& gate = Current();
  std::unique_lock lock(gate.mutex);
  gate.changed.wait(lock, [&] { return !gate.closed; });
  ++gate.inside;
}

ForkGate::Inside::~Inside() {
  if (--depth > 0) return;
  Gate& gate = Current();
  std::lock_guard lock(gate.mutex);
  if (--gate.inside == 0) gate.changed.notify_all();
}

ForkGate::Outside::Outside() : left_(depth == 1) {
  if (!left_) return;
  depth = 0;
  Gate& gate = Current();
  std::lock_guard lock(gate.mutex);
  if (--gate.inside == 0) gate.changed.notify_all();
}

ForkGate::Outside::~Outside() {
  if (!left_) return;
  Gate& gate = Current();
  std::unique_lock lock(gate.mutex);
  gate.changed.wait(lock, [&] { return !gate.closed; });
  ++gate.inside;
  depth = 1;
}

void ForkGate::Prepare() {
  Gate& gate = Current();
  std::unique_lock lock(gate.mutex);
  // Another thread's fork() first; then every other thread out.
  gate.changed.wait(lock, [&] { return !gate.closed; });
  gate.closed = true;
  const int own = depth > 0 ? 1 : 0;
  gate.changed.wait(lock, [&] { return gate.inside == own; });
}

void ForkGate::Parent() {
  Gate& gate = Current();
  {
    std::lock_guard lock(gate.mutex);
    gate.closed = false;
  }
  gate.changed.notify_all();
}

void ForkGate::Child() {
  Gate* fresh = new (&Current()) Gate;
  fresh->inside = depth > 0 ? 1 : 0;
}

}  // namespace vela::pkcs11
