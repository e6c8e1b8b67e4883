// Calling convention and visibility of the module's entry points.
#pragma once

#if defined(_WIN32)
#define VELA_WINAPI __stdcall
#define VELA_EXPORT
#else
#define VELA_WINAPI
#define VELA_EXPORT __attribute__((visibility("default")))
#endif
