#include "host/module_host.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace vela::host {

namespace {

std::mutex heapMutex;
std::unordered_set<void*> liveBlocks;

}  // namespace

void* VELA_WINAPI HostHeap::Alloc(SIZE_T size) {
  void* block = std::malloc(size > 0 ? size : 1);
  if (block == nullptr) return nullptr;
  // Not zeros: the module must not count on a cleared block.
  std::memset(block, 0xA5, size);
  std::lock_guard lock(heapMutex);
  liveBlocks.insert(block);
  return block;
}

void* VELA_WINAPI HostHeap::ReAlloc(void* block, SIZE_T size) {
  std::lock_guard lock(heapMutex);
  if (block != nullptr && liveBlocks.count(block) == 0) return nullptr;
  // The old address is forgotten before the block may move.
  liveBlocks.erase(block);
  void* moved = std::realloc(block, size > 0 ? size : 1);
  if (moved == nullptr) {
    if (block != nullptr) liveBlocks.insert(block);  // realloc failed: the block stays
    return nullptr;
  }
  liveBlocks.insert(moved);
  return moved;
}

void VELA_WINAPI HostHeap::Free(void* block) {
  if (block == nullptr) return;
  std::lock_guard lock(heapMutex);
  // A block this host never handed out is left alone rather than corrupting
  // the process heap.
  if (liveBlocks.erase(block) == 0) return;
  std::free(block);
}

std::size_t HostHeap::Live() {
  std::lock_guard lock(heapMutex);
  return liveBlocks.size();
}

DWORD VELA_WINAPI PadData(CARD_SIGNING_INFO* signingInfo, DWORD, DWORD* pcbPaddedBuffer, PBYTE* ppbPaddedBuffer) {
  if (signingInfo == nullptr || pcbPaddedBuffer == nullptr || ppbPaddedBuffer == nullptr) {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (signingInfo->pbData == nullptr && signingInfo->cbData != 0) return SCARD_E_INVALID_PARAMETER;
  auto* block = static_cast<BYTE*>(HostHeap::Alloc(signingInfo->cbData));
  if (block == nullptr) return SCARD_E_NO_MEMORY;
  for (DWORD i = 0; i < signingInfo->cbData; ++i) block[i] = signingInfo->pbData[signingInfo->cbData - 1 - i];
  *ppbPaddedBuffer = block;
  *pcbPaddedBuffer = signingInfo->cbData;
  return 0;
}

CardHost::CardHost(const Module& module, std::uintptr_t context, std::uintptr_t card, std::vector<BYTE> atr,
                   DWORD version)
    : CardHost(module.acquire(), context, card, std::move(atr), version) {}

CardHost::CardHost(AcquireFunction acquire, std::uintptr_t context, std::uintptr_t card, std::vector<BYTE> atr,
                   DWORD version)
    : acquire_(acquire), atr_(std::move(atr)) {
  data_.dwVersion = version;
  data_.pbAtr = atr_.data();
  data_.cbAtr = static_cast<DWORD>(atr_.size());
  data_.pwszCardName = cardName_.data();
  data_.pfnCspAlloc = HostHeap::Alloc;
  data_.pfnCspReAlloc = HostHeap::ReAlloc;
  data_.pfnCspFree = HostHeap::Free;
  data_.pfnCspPadData = PadData;
  data_.hSCardCtx = context;
  data_.hScard = card;
}

CardHost::~CardHost() { Delete(); }

DWORD CardHost::Acquire(DWORD flags) { return acquire_(&data_, flags); }

DWORD CardHost::Delete() {
  if (!acquired() || data_.pfnCardDeleteContext == nullptr) return 0;
  return data_.pfnCardDeleteContext(&data_);
}

}  // namespace vela::host
