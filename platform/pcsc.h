// The PC/SC services the module uses. One implementation per platform; the
// unit tests link a scripted or emulated card in their place.
#pragma once

#include <cstdint>

namespace vela::platform {

// One exchange over T=1 on the given card handle. `responseLength` is the
// buffer size on entry and the received length on return. Returns 0 or the
// PC/SC error code unchanged.
std::uint32_t PcscTransmit(std::uintptr_t card, const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength);

// SCardControl on the given card handle. Returns 0 or the PC/SC error code.
std::uint32_t PcscControl(std::uintptr_t card, std::uint32_t controlCode, const std::uint8_t* in,
                          std::uint32_t inLength, std::uint8_t* out, std::uint32_t outSize,
                          std::uint32_t* bytesReturned);

// SCARD_CTL_CODE(3400), CM_IOCTL_GET_FEATURE_REQUEST: the platforms encode it
// differently.
std::uint32_t FeatureRequestControlCode();

}  // namespace vela::platform
