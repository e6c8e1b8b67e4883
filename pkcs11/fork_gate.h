// fork() in one thread of a program while another thread is inside this
// module copies into the child whatever that thread held: the module's own
// locks, the minidriver's, and libpcsclite's global lock, on which the
// child's first SCardEstablishContext would wait for ever. Every entry point
// therefore runs inside the gate, and the program's fork() closes it first
// (the handlers are registered with pthread_atfork where the module meets
// the system): fork() waits until no thread is inside the module, and new
// calls wait until fork() has returned in the parent. The child starts with
// a gate of its own.
#pragma once

namespace vela::pkcs11 {

class ForkGate {
 public:
  // Held for the length of one entry point's work; a thread already inside
  // (a call made from within the module) passes.
  class Inside {
   public:
    Inside();
    ~Inside();
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
  };

  // Steps out of the gate for a wait of unbounded length (C_WaitForSlotEvent
  // blocked on PC/SC), so that a fork() meanwhile need not wait for it; back
  // in at the end. Only an entry point's own thread, not a nested call, steps
  // out.
  class Outside {
   public:
    Outside();
    ~Outside();
    Outside(const Outside&) = delete;
    Outside& operator=(const Outside&) = delete;

   private:
    bool left_;
  };

  // The three fork handlers: before fork() (waits until no other thread is
  // inside), after it in the parent, and in the child.
  static void Prepare();
  static void Parent();
  static void Child();
};

}  // namespace vela::pkcs11
