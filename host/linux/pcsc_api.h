// pcsclite's PC/SC API for host/pcsc_connection.cpp. Its DWORD is the
// platform's unsigned long, so these headers stay out of everything else.
#pragma once

#include <PCSC/reader.h>
#include <PCSC/winscard.h>

namespace vela::host {

inline constexpr DWORD kMaxAtrSize = MAX_ATR_SIZE;

}  // namespace vela::host
