// The one seam between the program and the operating system.
//
// The program's code above platform/ (main/, registry/, identity/, and frmAbout in
// about/) talks to the machine only through this header and the runtime services
// built on it. One part is an exception by design: the About dialog's window, which
// the build picks per backend like the backends themselves, calls its system
// directly -- about/win32/ calls the Windows API (user32's dialog, window and paint
// calls, FillRect among them, and kernel32's GetModuleHandleA) to show a real dialog
// from the resources, and about/standin/ calls the stand-in's journal, call log and
// terminal box. Tests, fuzz targets and benchmarks also use the stand-in's own
// headers, to make machines and read the call log.
//
// The seam is shaped like the small Win32 subset the program needs: the same function
// names and argument lists, Win32 status codes as results, the predefined root-key
// values, and ANSI (code page) text at the boundary. Two backends implement it and
// the build picks one: platform/win32/ (thin calls into the real API) and
// platform/standin/ (a simulated machine in a folder, for Linux).
//
// The declarations live in namespace platform so that a backend can include
// <windows.h> beside this header without the two colliding; the Win32 headers'
// macros (ERROR_SUCCESS, HKEY_LOCAL_MACHINE, ...) must not be in scope when this
// header is read, so backends include it before <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using LONG = std::int32_t;
using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using BOOL = int;
using UINT = std::uint32_t;
using REGSAM = DWORD;

// A registry key handle. The predefined roots are 32-bit values sign-extended to
// pointer width, exactly as the Win32 headers define them, so a root held in a
// 32-bit signed integer converts to its handle with a plain cast.
using HKEY = std::intptr_t;
constexpr HKEY RootFromLong(std::int32_t root) { return static_cast<HKEY>(root); }

constexpr HKEY HKEY_CLASSES_ROOT = RootFromLong(static_cast<std::int32_t>(0x80000000u));
constexpr HKEY HKEY_CURRENT_USER = RootFromLong(static_cast<std::int32_t>(0x80000001u));
constexpr HKEY HKEY_LOCAL_MACHINE = RootFromLong(static_cast<std::int32_t>(0x80000002u));
constexpr HKEY HKEY_USERS = RootFromLong(static_cast<std::int32_t>(0x80000003u));
constexpr HKEY HKEY_CURRENT_CONFIG = RootFromLong(static_cast<std::int32_t>(0x80000005u));
constexpr HKEY HKEY_DYN_DATA = RootFromLong(static_cast<std::int32_t>(0x80000006u));

// Win32 status codes the program and its tests meet.
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_READ_FAULT = 30;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_BAD_PATHNAME = 161;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_KEY_DELETED = 1018;

// Registry value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

// Key access rights and create options.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;

// Message box styles and answers.
constexpr UINT MB_OK = 0x00;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;

// ExitWindowsEx flags.
constexpr UINT EWX_SHUTDOWN = 0x1;
constexpr UINT EWX_REBOOT = 0x2;

// ShowWindow commands.
constexpr int SW_SHOWNORMAL = 1;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

// ---- Registry (advapi32, ANSI forms) ----------------------------------------
// Same arguments and results as the Win32 functions of the same name. Every
// backend gives these guarantees the program relies on:
//  - a handle of 0 or one that is not open gives ERROR_INVALID_HANDLE, never a crash;
//  - RegCloseKey(0) returns ERROR_INVALID_HANDLE;
//  - RegDeleteKeyA removes the key together with all its subkeys, as Windows 98
//    does (the NT family refuses a key with subkeys; the Win32 backend walks it).

LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, const char* lpClass,
                     DWORD dwOptions, REGSAM samDesired,
                     const SECURITY_ATTRIBUTES* lpSecurityAttributes, HKEY* phkResult,
                     DWORD* lpdwDisposition);
LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   HKEY* phkResult);
LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData);
LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType,
                      BYTE* lpData, DWORD* lpcbData);
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName,
                   DWORD* lpReserved, DWORD* lpType, BYTE* lpData, DWORD* lpcbData);
LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName);
LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey);
LONG RegCloseKey(HKEY hKey);

// ---- User interface (user32) --------------------------------------------------
// A modal message box with no owner window (the program has none). Returns the
// button that closed it; the program only ever offers OK.
int MessageBoxA(const char* lpText, const char* lpCaption, UINT uType);

// Asks Windows to restart or shut down. The request is only passed on; what
// Windows then does is outside the program.
BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason);

// ---- Sequential file input (kernel32) -------------------------------------------
// A file opened for reading only, shared for reading, never created.
using HANDLE = std::intptr_t;
constexpr HANDLE INVALID_HANDLE_VALUE = -1;

// ERROR_SUCCESS and a handle, or ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND /
// ERROR_ACCESS_DENIED (also for a directory) with *phFile left INVALID_HANDLE_VALUE.
LONG OpenFileForReadA(const char* lpFileName, HANDLE* phFile);
// Reads up to nNumberOfBytesToRead bytes; *lpNumberOfBytesRead is 0 at the end of
// the file. A failed read returns its status and reads nothing. ReadFile and
// CloseHandle refuse a handle that OpenFileForReadA did not give or that is closed
// already, handle 0 included, with ERROR_INVALID_HANDLE.
LONG ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
              DWORD* lpNumberOfBytesRead);
LONG CloseHandle(HANDLE hFile);

// ---- Text at the boundary -----------------------------------------------------
// The program's text is Unicode (std::wstring); the system speaks its ANSI code
// page (Windows-1252 on the target machines, one byte per character).

// Converts to the ANSI code page. Returns false when a character has no code in
// it; `out` then holds '?' in its place, as the system's own conversion does.
bool ToAnsi(const std::wstring& text, std::string& out);
// Converts from the ANSI code page; every byte has a character. The pointer form
// reads `length` bytes from a buffer, embedded zeros included, without a copy first.
std::wstring FromAnsi(const char* bytes, std::size_t length);
inline std::wstring FromAnsi(const std::string& bytes) { return FromAnsi(bytes.data(), bytes.size()); }

// ---- The program's identity ---------------------------------------------------
// The executable's file name without folder and extension, e.g. Patch_IR_K314(FR).
std::wstring AppExeName();

// ---- Files and processes (kernel32) ---------------------------------------------

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

constexpr LONG ERROR_INVALID_NAME = 123;
constexpr LONG ERROR_BAD_EXE_FORMAT = 193;

// The attributes of the file or folder at lpFileName (an ANSI Windows path, no
// wildcards), or INVALID_FILE_ATTRIBUTES when there is none or it cannot be reached.
DWORD GetFileAttributesA(const char* lpFileName);

// Starts the program file at lpApplicationName as a new process, its first window
// shown with nCmdShow (SW_SHOWNORMAL: normal size, activated), as CreateProcessA does
// with that application name, no arguments and STARTF_USESHOWWINDOW. The path is
// taken as it is: no search, no splitting at blanks, so "C:\Program Files\x.exe"
// can never start "C:\Program.exe". Nothing waits for the process and no handle to
// it stays open. Returns ERROR_SUCCESS with its id in *lpdwProcessId (when not
// null), or the Win32 status: ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND for a
// missing file, ERROR_INVALID_NAME for a wildcard or a character no file name may
// hold, ERROR_ACCESS_DENIED for a folder, ERROR_BAD_EXE_FORMAT for a file
// that is not a program.
LONG StartProcessA(const char* lpApplicationName, int nCmdShow, DWORD* lpdwProcessId);

}  // namespace platform
