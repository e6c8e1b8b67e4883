#include "core/host_services.h"

namespace vela {

void* HostAlloc(const CARD_DATA* cardData, std::size_t size) {
  if (cardData == nullptr || cardData->pfnCspAlloc == nullptr) return nullptr;
  return cardData->pfnCspAlloc(size);
}

void HostFree(const CARD_DATA* cardData, void* buffer) {
  if (buffer == nullptr || cardData == nullptr || cardData->pfnCspFree == nullptr) return;
  cardData->pfnCspFree(buffer);
}

}  // namespace vela
