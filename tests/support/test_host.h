// A host as a provider builds one: CARD_DATA with a recording allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/minidriver_abi.h"

namespace vela::test {

// The host allocator callbacks. Every block is recorded until freed, so a
// test can check that nothing the module handed out or took is left over.
struct HostHeap {
  static void* VELA_WINAPI Alloc(SIZE_T size);
  static void* VELA_WINAPI ReAlloc(void* block, SIZE_T size);
  static void VELA_WINAPI Free(void* block);
  // Blocks allocated and not yet freed, in the whole process.
  static std::size_t Live();
  // The next `count` allocations fail (0 turns the failure off); allocations
  // before them succeed when `after` is given.
  static void FailAllocations(std::size_t after, std::size_t count = 1);
  static std::size_t allocations();
  // The block handed out last (for a test that must return a lost one).
  static void* LastBlock();
  static std::size_t frees();
};

// The ATR of an emulated VELA generation-3 card (T=1 only, 90 00, TCK).
extern const std::vector<BYTE> kVelaAtr;

class TestHost {
 public:
  explicit TestHost(std::uintptr_t cardHandle, DWORD version = CARD_DATA_VERSION_SEVEN);
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  DWORD Acquire(DWORD flags = 0);
  // Deletes the context if one is still held.
  void Release();

  CARD_DATA* operator->() { return &data; }
  CARD_DATA* get() { return &data; }

  CARD_DATA data{};
  std::vector<BYTE> atr = kVelaAtr;
  std::u16string cardName = u"VELA Gen3";
};

// Frees a host block handed out by the module (null is fine).
void HostRelease(void* block);

}  // namespace vela::test
