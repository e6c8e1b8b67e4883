// winscard.dll's PC/SC API for host/pcsc_connection.cpp (the narrow "A"
// calls), with the two names pcsclite has and the Windows SDK does not.
#pragma once

#include <windows.h>
#include <winscard.h>

namespace vela::host {

inline constexpr DWORD kMaxAtrSize = 36;  // SCARD_ATR_LENGTH is 33; room to spare

}  // namespace vela::host

#ifndef CM_IOCTL_GET_FEATURE_REQUEST
#define CM_IOCTL_GET_FEATURE_REQUEST SCARD_CTL_CODE(3400)
#endif
