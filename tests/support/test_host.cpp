#include "test_host.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include <gtest/gtest.h>

namespace vela::test {

namespace {

std::mutex heapMutex;
std::unordered_set<void*> liveBlocks;
std::size_t allocationCount = 0;
std::size_t freeCount = 0;
std::size_t failAfter = 0;
std::size_t failCount = 0;
void* lastBlock = nullptr;

}  // namespace

void* VELA_WINAPI HostHeap::Alloc(SIZE_T size) {
  std::lock_guard lock(heapMutex);
  if (failCount > 0) {
    if (failAfter == 0) {
      --failCount;
      return nullptr;
    }
    --failAfter;
  }
  void* block = std::malloc(size > 0 ? size : 1);
  // Garbage, not zeros: the module must not rely on a zeroed block.
  if (block != nullptr) std::memset(block, 0xA5, size);
  liveBlocks.insert(block);
  lastBlock = block;
  ++allocationCount;
  return block;
}

void* VELA_WINAPI HostHeap::ReAlloc(void*, SIZE_T) {
  ADD_FAILURE() << "the module never reallocates";
  return nullptr;
}

void VELA_WINAPI HostHeap::Free(void* block) {
  if (block == nullptr) return;
  std::lock_guard lock(heapMutex);
  if (liveBlocks.erase(block) == 0) {
    ADD_FAILURE() << "free of a block the host never handed out: " << block;
    return;
  }
  ++freeCount;
  std::free(block);
}

std::size_t HostHeap::Live() {
  std::lock_guard lock(heapMutex);
  return liveBlocks.size();
}

void HostHeap::FailAllocations(std::size_t after, std::size_t count) {
  std::lock_guard lock(heapMutex);
  failAfter = after;
  failCount = count;
}

std::size_t HostHeap::allocations() {
  std::lock_guard lock(heapMutex);
  return allocationCount;
}

void* HostHeap::LastBlock() {
  std::lock_guard lock(heapMutex);
  return lastBlock;
}

std::size_t HostHeap::frees() {
  std::lock_guard lock(heapMutex);
  return freeCount;
}

const std::vector<BYTE> kVelaAtr = {0x3B, 0x8A, 0x01, 0x80, 0x56, 0x45, 0x4C, 0x41,
                                    0x47, 0x33, 0x00, 0x90, 0x00, 0xF1};

// Pads as a provider does for an ECDSA key: the hash, least significant byte
// first, in a block of the host's heap.
DWORD VELA_WINAPI PadHash(CARD_SIGNING_INFO* info, DWORD, DWORD* paddedLength, PBYTE* padded) {
  if (info == nullptr || paddedLength == nullptr || padded == nullptr || info->pbData == nullptr) {
    return SCARD_E_INVALID_PARAMETER;
  }
  auto* block = static_cast<BYTE*>(HostHeap::Alloc(info->cbData));
  if (block == nullptr) return SCARD_E_NO_MEMORY;
  for (DWORD i = 0; i < info->cbData; ++i) block[i] = info->pbData[info->cbData - 1 - i];
  *padded = block;
  *paddedLength = info->cbData;
  return 0;
}

TestHost::TestHost(std::uintptr_t cardHandle, DWORD version) {
  data.dwVersion = version;
  data.pfnCspAlloc = HostHeap::Alloc;
  data.pfnCspReAlloc = HostHeap::ReAlloc;
  data.pfnCspFree = HostHeap::Free;
  data.pfnCspPadData = PadHash;
  data.hSCardCtx = 0x5C;
  data.hScard = cardHandle;
  data.pbAtr = atr.data();
  data.cbAtr = static_cast<DWORD>(atr.size());
  data.pwszCardName = cardName.data();
}

TestHost::~TestHost() { Release(); }

DWORD TestHost::Acquire(DWORD flags) {
  data.pbAtr = atr.data();
  data.pwszCardName = cardName.data();
  return CardAcquireContext(&data, flags);
}

void TestHost::Release() {
  if (data.pvVendorSpecific != nullptr && data.pfnCardDeleteContext != nullptr) {
    data.pfnCardDeleteContext(&data);
  }
}

void HostRelease(void* block) { HostHeap::Free(block); }

}  // namespace vela::test
