// PC/SC over libpcsclite. pcsclite's DWORD is unsigned long (8 bytes), so its
// headers stay in this one translation unit and values are converted here.
#include <PCSC/reader.h>
#include <PCSC/winscard.h>

#include "platform/pcsc.h"

namespace vela::platform {

std::uint32_t PcscTransmit(std::uintptr_t card, const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength) {
  DWORD received = *responseLength;
  const LONG rc = SCardTransmit(static_cast<SCARDHANDLE>(card), SCARD_PCI_T1, command, commandLength, nullptr,
                                response, &received);
  if (rc != SCARD_S_SUCCESS) return static_cast<std::uint32_t>(rc);
  *responseLength = static_cast<std::uint32_t>(received);
  return 0;
}

std::uint32_t PcscControl(std::uintptr_t card, std::uint32_t controlCode, const std::uint8_t* in,
                          std::uint32_t inLength, std::uint8_t* out, std::uint32_t outSize,
                          std::uint32_t* bytesReturned) {
  DWORD returned = 0;
  const LONG rc = SCardControl(static_cast<SCARDHANDLE>(card), controlCode, in, inLength, out, outSize, &returned);
  if (bytesReturned != nullptr) *bytesReturned = static_cast<std::uint32_t>(returned);
  return static_cast<std::uint32_t>(rc);
}

std::uint32_t FeatureRequestControlCode() { return static_cast<std::uint32_t>(SCARD_CTL_CODE(3400)); }

}  // namespace vela::platform
