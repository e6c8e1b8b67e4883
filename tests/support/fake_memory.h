// The module's heap in the tests: real blocks, counted, and a switch per
// thread that fails the n-th allocation from now (or that one and every one
// after it), so a test can walk an operation's allocations one by one.
#pragma once

#include <cstddef>

namespace vela::test {

class ModuleHeapFailure {
 public:
  // Fails this thread's `n`-th allocation of the module from now on (1: the
  // next), and with `andAfter` every later one too; 0 fails none and counts.
  explicit ModuleHeapFailure(std::size_t n, bool andAfter = false);
  ~ModuleHeapFailure();
  ModuleHeapFailure(const ModuleHeapFailure&) = delete;
  ModuleHeapFailure& operator=(const ModuleHeapFailure&) = delete;

  // Allocations this thread asked for since the switch was set.
  std::size_t allocations() const;
  bool fired() const;
};

// Blocks of the module's heap not yet given back, in the whole process.
std::size_t ModuleHeapLive();

}  // namespace vela::test
