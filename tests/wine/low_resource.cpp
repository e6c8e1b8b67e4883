#include "low_resource.h"

#include <windows.h>

#include <cstring>

namespace vela::winetest {

namespace {

using Malloc = void*(__cdecl*)(std::size_t);
using Calloc = void*(__cdecl*)(std::size_t, std::size_t);
using Realloc = void*(__cdecl*)(void*, std::size_t);
Malloc realMalloc = nullptr;
Calloc realCalloc = nullptr;
Realloc realRealloc = nullptr;

// The plan lives in a TLS slot: the stand-ins run inside the module and take
// nothing of the host's heap themselves.
struct Plan {
  std::size_t failAt = 0;
  bool andAfter = false;
  bool hostToo = false;
  std::size_t seen = 0;
};
DWORD planSlot = TlsAlloc();

Plan* CurrentPlan() { return static_cast<Plan*>(TlsGetValue(planSlot)); }

void* __cdecl FailingMalloc(std::size_t size) { return NextAllocationFails() ? nullptr : realMalloc(size); }
void* __cdecl FailingCalloc(std::size_t count, std::size_t size) {
  return NextAllocationFails() ? nullptr : realCalloc(count, size);
}
void* __cdecl FailingRealloc(void* block, std::size_t size) {
  return NextAllocationFails() ? nullptr : realRealloc(block, size);
}

void Patch(ULONG_PTR* slot, void* replacement) {
  DWORD protection = 0;
  VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
  *slot = reinterpret_cast<ULONG_PTR>(replacement);
  VirtualProtect(slot, sizeof *slot, protection, &protection);
}

struct Thread {
  void (*function)(void*);
  void* argument;
};

DWORD WINAPI ThreadMain(void* parameter) {
  auto* thread = static_cast<Thread*>(parameter);
  thread->function(thread->argument);
  return 0;
}

DWORD WINAPI CallFunction(void* function) {
  reinterpret_cast<void (*)()>(function)();
  return 0;
}

}  // namespace

int PatchAllocatorImports(void* module) {
  auto* base = static_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  int patched = 0;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
    if (_stricmp(reinterpret_cast<const char*>(base + d->Name), "msvcrt.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      ULONG_PTR* slot = &addresses->u1.Function;
      if (std::strcmp(name, "malloc") == 0) {
        realMalloc = reinterpret_cast<Malloc>(*slot);
        Patch(slot, reinterpret_cast<void*>(FailingMalloc));
      } else if (std::strcmp(name, "calloc") == 0) {
        realCalloc = reinterpret_cast<Calloc>(*slot);
        Patch(slot, reinterpret_cast<void*>(FailingCalloc));
      } else if (std::strcmp(name, "realloc") == 0) {
        realRealloc = reinterpret_cast<Realloc>(*slot);
        Patch(slot, reinterpret_cast<void*>(FailingRealloc));
      } else {
        continue;
      }
      ++patched;
    }
  }
  return patched;
}

void PlanAllocationFailures(std::size_t failAt, bool andAfter, bool hostToo) {
  EndAllocationFailures();
  TlsSetValue(planSlot, new Plan{failAt, andAfter, hostToo, 0});
}

void EndAllocationFailures() {
  delete CurrentPlan();
  TlsSetValue(planSlot, nullptr);
}

std::size_t AllocationsSeen() {
  const Plan* plan = CurrentPlan();
  return plan != nullptr ? plan->seen : 0;
}

bool AllocationFailed() {
  const Plan* plan = CurrentPlan();
  return plan != nullptr && plan->failAt != 0 && plan->seen >= plan->failAt;
}

bool NextAllocationFails() {
  Plan* plan = CurrentPlan();
  if (plan == nullptr) return false;
  ++plan->seen;
  return plan->failAt != 0 && (plan->seen == plan->failAt || (plan->andAfter && plan->seen > plan->failAt));
}

bool NextHostAllocationFails() {
  const Plan* plan = CurrentPlan();
  return plan != nullptr && plan->hostToo && NextAllocationFails();
}

void RunOnFreshThread(void (*function)(void*), void* argument) {
  Thread thread{function, argument};
  HANDLE handle = CreateThread(nullptr, 0, ThreadMain, &thread, 0, nullptr);
  if (handle == nullptr) return;
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
}

void StartThread(void (*function)()) {
  HANDLE handle = CreateThread(nullptr, 0, CallFunction, reinterpret_cast<void*>(function), 0, nullptr);
  if (handle != nullptr) CloseHandle(handle);
}

void EndProcess(unsigned code) {
  // Called through a pointer: a direct call of the never-returning
  // ExitProcess trips this compiler's stack-clash code for SEH.
  using Exit = void(WINAPI*)(UINT);
  const auto exitProcess = reinterpret_cast<Exit>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "ExitProcess")));
  exitProcess(code);
}

HeapUse ProcessHeapUse() {
  HeapUse use;
  HANDLE heaps[256];
  const DWORD count = GetProcessHeaps(256, heaps);
  for (DWORD i = 0; i < count && i < 256; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
        ++use.blocks;
        use.bytes += entry.cbData;
      }
    }
    HeapUnlock(heaps[i]);
  }
  return use;
}

}  // namespace vela::winetest
