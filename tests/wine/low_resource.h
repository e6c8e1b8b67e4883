// What a certification kit's low-resource mode does to a module, and what it
// measures: the module's allocator imports patched in its import table, so
// that a thread's allocations fail as a plan says; the process heaps walked.
// Kept apart from the module's interface header, as host_system.h is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela::winetest {

// Points the module's imports of malloc, calloc and realloc at failing
// stand-ins; the number of imports patched.
int PatchAllocatorImports(void* module);

// This thread's plan: its `failAt`-th allocation from now fails (1: the next),
// and with `andAfter` every later one; 0 fails none and only counts. With
// `hostToo` the host's own allocator for the module (pfnCspAlloc) asks
// NextHostAllocationFails, and its blocks count too.
void PlanAllocationFailures(std::size_t failAt, bool andAfter, bool hostToo);
void EndAllocationFailures();
std::size_t AllocationsSeen();
bool AllocationFailed();
bool NextAllocationFails();
bool NextHostAllocationFails();

// Runs `function(argument)` on a new thread and waits for it.
void RunOnFreshThread(void (*function)(void*), void* argument);
// Starts `function` on a new thread and lets it run.
void StartThread(void (*function)());
// ExitProcess: the other threads are stopped wherever they are.
void EndProcess(unsigned code);

// Busy blocks on every heap of the process.
struct HeapUse {
  std::uint64_t blocks = 0;
  std::uint64_t bytes = 0;
};
HeapUse ProcessHeapUse();

}  // namespace vela::winetest
