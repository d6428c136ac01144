// Only Win32-specific code here: the one place the Win32 backend includes <windows.h>.
//
// The version macros are pinned to Windows 95/NT 4 so that a declaration the
// oldest target lacks fails to compile instead of failing to load on Windows 98.
// Include platform/platform.h before this header: the Win32 macros (ERROR_SUCCESS,
// HKEY_LOCAL_MACHINE, ...) would otherwise rewrite the seam's own constants.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#undef WINVER
#undef _WIN32_WINNT
#undef _WIN32_WINDOWS
#undef _WIN32_IE
#define WINVER 0x0400
#define _WIN32_WINNT 0x0400
#define _WIN32_WINDOWS 0x0410
#define _WIN32_IE 0x0400

#include <windows.h>
