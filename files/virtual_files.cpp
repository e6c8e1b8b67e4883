// Not built yet: refuses until its subsystem arrives.
#include "frontend/entry_points.h"

namespace vela {

DWORD VELA_WINAPI CardReadFile(PCARD_DATA, LPSTR, LPSTR, DWORD, PBYTE*, PDWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }
DWORD VELA_WINAPI CardEnumFiles(PCARD_DATA, LPSTR, LPSTR*, PDWORD, DWORD) { return SCARD_E_UNSUPPORTED_FEATURE; }
DWORD VELA_WINAPI CardGetFileInfo(PCARD_DATA, LPSTR, LPSTR, CARD_FILE_INFO*) { return SCARD_E_UNSUPPORTED_FEATURE; }

}  // namespace vela
