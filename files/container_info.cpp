// Not built yet: refuses until its subsystem arrives.
#include "frontend/entry_points.h"

namespace vela {

DWORD VELA_WINAPI CardGetContainerInfo(PCARD_DATA, BYTE, DWORD, CONTAINER_INFO*) { return SCARD_E_UNSUPPORTED_FEATURE; }
DWORD VELA_WINAPI CardGetContainerProperty(PCARD_DATA, BYTE, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }

}  // namespace vela
