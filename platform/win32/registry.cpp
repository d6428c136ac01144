// Only Win32-specific code here: the seam's registry functions over advapi32.
//
// Each function hands its arguments to the ANSI entry point of the same name
// unchanged; the only behaviour added is RegDeleteKeyA's subtree walk, which the
// NT family needs to behave like Windows 98.
#include "platform/platform.h"

#include <cstddef>

#include "platform/keyhandle.h"

#include "platform/win32/windows_h.h"

namespace {

// The seam's types are fixed-width stand-ins for the Win32 ones: same size and
// representation on this target, so pointers to them are handed through as they are.
static_assert(sizeof(platform::HKEY) == sizeof(::HKEY), "HKEY width");
static_assert(sizeof(platform::DWORD) == sizeof(::DWORD), "DWORD width");
static_assert(sizeof(platform::LONG) == sizeof(::LONG), "LONG width");
static_assert(sizeof(platform::SECURITY_ATTRIBUTES) == sizeof(::SECURITY_ATTRIBUTES) &&
                  offsetof(platform::SECURITY_ATTRIBUTES, lpSecurityDescriptor) ==
                      offsetof(::SECURITY_ATTRIBUTES, lpSecurityDescriptor) &&
                  offsetof(platform::SECURITY_ATTRIBUTES, bInheritHandle) ==
                      offsetof(::SECURITY_ATTRIBUTES, bInheritHandle),
              "SECURITY_ATTRIBUTES layout");

::HKEY Key(platform::HKEY key) { return reinterpret_cast<::HKEY>(key); }
::HKEY* KeyOut(platform::HKEY* key) { return reinterpret_cast<::HKEY*>(key); }
::DWORD* DwordPtr(platform::DWORD* value) { return reinterpret_cast<::DWORD*>(value); }

// Longest key name the registry allows (255) plus its terminator.
constexpr ::DWORD kKeyNameSize = 256;

// Deletes parent\name and everything below it. Windows 98's RegDeleteKeyA does this
// by itself; the NT family (and Wine) refuse a key that has subkeys with
// ERROR_ACCESS_DENIED, so on that answer the subkeys are removed depth-first and the
// delete is tried again. Subkeys are always enumerated from index 0: each deletion
// renumbers the rest. Returns the first status that stops the walk; keys removed
// before that stay removed, as they would on a failure halfway through Windows 98's
// own walk.
LONG DeleteTree(::HKEY parent, const char* name) {
    LONG status = ::RegDeleteKeyA(parent, name);
    if (status != ERROR_ACCESS_DENIED) {
        return status;
    }
    // Closed by its owner on every way out; explicitly before the final delete.
    RegKeyHandle key;
    if (::RegOpenKeyExA(parent, name, 0, KEY_ENUMERATE_SUB_KEYS, KeyOut(key.Receive())) != ERROR_SUCCESS) {
        key.Forget();
        // Not a key whose subkeys we could list: the refusal stands as it was.
        return status;
    }
    char child[kKeyNameSize];
    bool hadSubkeys = false;
    for (;;) {
        LONG enumStatus = ::RegEnumKeyA(Key(key.Get()), 0, child, kKeyNameSize);
        if (enumStatus == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (enumStatus != ERROR_SUCCESS) {
            return enumStatus;
        }
        hadSubkeys = true;
        LONG childStatus = DeleteTree(Key(key.Get()), child);
        if (childStatus != ERROR_SUCCESS) {
            return childStatus;
        }
    }
    key.Close();
    if (!hadSubkeys) {
        // The refusal was about the key itself (rights), not about its subkeys.
        return status;
    }
    return ::RegDeleteKeyA(parent, name);
}

}  // namespace

namespace platform {

LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, const char* lpClass,
                     DWORD dwOptions, REGSAM samDesired,
                     const SECURITY_ATTRIBUTES* lpSecurityAttributes, HKEY* phkResult,
                     DWORD* lpdwDisposition) {
    // The Win32 prototypes are not const-correct for the class text and the
    // security record; neither is written through.
    return ::RegCreateKeyExA(
        Key(hKey), lpSubKey, Reserved, const_cast<char*>(lpClass), dwOptions, samDesired,
        reinterpret_cast<::SECURITY_ATTRIBUTES*>(
            const_cast<SECURITY_ATTRIBUTES*>(lpSecurityAttributes)),
        KeyOut(phkResult), DwordPtr(lpdwDisposition));
}

LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   HKEY* phkResult) {
    return ::RegOpenKeyExA(Key(hKey), lpSubKey, ulOptions, samDesired, KeyOut(phkResult));
}

LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
    return ::RegSetValueExA(Key(hKey), lpValueName, Reserved, dwType, lpData, cbData);
}

LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType,
                      BYTE* lpData, DWORD* lpcbData) {
    return ::RegQueryValueExA(Key(hKey), lpValueName, DwordPtr(lpReserved), DwordPtr(lpType),
                              lpData, DwordPtr(lpcbData));
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName,
                   DWORD* lpReserved, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    return ::RegEnumValueA(Key(hKey), dwIndex, lpValueName, DwordPtr(lpcchValueName),
                           DwordPtr(lpReserved), DwordPtr(lpType), lpData, DwordPtr(lpcbData));
}

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName) {
    return ::RegEnumKeyA(Key(hKey), dwIndex, lpName, cchName);
}

// A missing key answers ERROR_FILE_NOT_FOUND from the first call, before any walk.
// An empty or absent path names hKey itself; that is never walked, so a call with
// a root and no path cannot empty the root.
LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey) {
    if (lpSubKey == nullptr || *lpSubKey == '\0') {
        return ::RegDeleteKeyA(Key(hKey), lpSubKey);
    }
    return DeleteTree(Key(hKey), lpSubKey);
}

// The seam promises ERROR_INVALID_HANDLE for a null handle on every system; the
// Windows families need not agree on the status for it, so it is answered here.
LONG RegCloseKey(HKEY hKey) {
    if (hKey == 0) {
        return ERROR_INVALID_HANDLE;
    }
    return ::RegCloseKey(Key(hKey));
}

}  // namespace platform
