// Only Win32-specific code here: message box, exit request (with the NT family's
// shutdown privilege), file input, ANSI text and the program's own file name.
#include "platform/platform.h"

#include <string>
#include <string_view>
#include <type_traits>

#include "platform/win32/windows_h.h"

namespace {

// <windows.h> defines INVALID_HANDLE_VALUE as a macro with a cast to HANDLE, which
// inside namespace platform would name the seam's HANDLE; both sides are spelt out
// here instead.
const ::HANDLE kWin32NoFile = INVALID_HANDLE_VALUE;
constexpr platform::HANDLE kSeamNoFile = -1;

::HANDLE File(platform::HANDLE file) { return reinterpret_cast<::HANDLE>(file); }

// A status for a failed call whose last error was not set; never report success.
platform::LONG LastErrorOr(platform::LONG fallback) {
    ::DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? static_cast<platform::LONG>(error) : fallback;
}

// CP_ACP bytes of `text`, using the system's own best-fit conversion.
std::string WideToAnsi(const wchar_t* text, int length) {
    if (length <= 0) {
        return std::string();
    }
    int size = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, length, &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring AnsiToWide(const char* bytes, int length) {
    if (length <= 0) {
        return std::wstring();
    }
    int size = ::MultiByteToWideChar(CP_ACP, 0, bytes, length, nullptr, 0);
    if (size <= 0) {
        return std::wstring();
    }
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, bytes, length, &out[0], size);
    return out;
}

// A function looked up at run time, typed from the SDK's own declaration of it: the
// name and the type cannot drift apart, and the calling convention is the
// declaration's (__stdcall, where a hand-written pointer type that forgot it would
// corrupt the stack). GetProcAddress gives a generic function pointer; going
// through void(*)() is the cast GCC accepts without a function-type warning.
template <typename Function>
Function* ProcAddress(HMODULE module, const char* name) {
    return reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}
//
// The name is macro-expanded once, before it is both looked up and declared:
// <windows.h> maps a generic name (LookupPrivilegeValue) to its A or W function, and
// stringizing the unexpanded name would look up an export no DLL has while typing
// the pointer as the A function; the null pointer would then make NT refuse the
// restart without a word.
#define IRPATCH_PROC(module, function) \
    ProcAddress<std::remove_pointer_t<decltype(&::function)>>(module, IRPATCH_PROC_NAME(function))
#define IRPATCH_PROC_NAME(function) IRPATCH_PROC_STRING(function)
#define IRPATCH_PROC_STRING(function) #function
static_assert(std::string_view(IRPATCH_PROC_NAME(LookupPrivilegeValue)) == "LookupPrivilegeValueA",
              "a generic Win32 name must be looked up as the function it is declared as");

// The NT family refuses ExitWindowsEx (ERROR_PRIVILEGE_NOT_HELD) unless the caller
// has enabled the shutdown privilege in its token; Windows 98 has no privileges and
// restarts on request. Without this the program would announce a restart that NT
// never performs. The token functions are looked up at run time: they are only
// needed on NT, and an import Windows 98 lacked would stop the program loading.
// Any failure here leaves ExitWindowsEx to fail as it would have.
void EnableShutdownPrivilegeOnNt() {
    if ((::GetVersion() & 0x80000000u) != 0) {
        return;  // Windows 95/98/ME
    }
    HMODULE advapi = ::GetModuleHandleA("advapi32.dll");
    if (advapi == nullptr) {
        return;
    }
    auto openToken = IRPATCH_PROC(advapi, OpenProcessToken);
    auto lookup = IRPATCH_PROC(advapi, LookupPrivilegeValueA);
    auto adjust = IRPATCH_PROC(advapi, AdjustTokenPrivileges);
    if (openToken == nullptr || lookup == nullptr || adjust == nullptr) {
        return;
    }
    HANDLE token = nullptr;
    if (!openToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (lookup(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        adjust(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    ::CloseHandle(token);
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

namespace platform {

int MessageBoxA(const char* lpText, const char* lpCaption, UINT uType) {
    return ::MessageBoxA(nullptr, lpText, lpCaption, uType);
}

BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    EnableShutdownPrivilegeOnNt();
    return ::ExitWindowsEx(uFlags, dwReason);
}

LONG OpenFileForReadA(const char* lpFileName, HANDLE* phFile) {
    *phFile = kSeamNoFile;
    ::HANDLE file = ::CreateFileA(lpFileName, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == kWin32NoFile) {
        // The seam knows three reasons only. A folder opened as a file, a file held
        // by another program, a device that is not ready: all "cannot be read".
        switch (::GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
                return ERROR_FILE_NOT_FOUND;
            case ERROR_PATH_NOT_FOUND:
            case ERROR_BAD_PATHNAME:
            case ERROR_INVALID_NAME:
            case ERROR_INVALID_DRIVE:
            case ERROR_BAD_NETPATH:
            case ERROR_BAD_NET_NAME:
                return ERROR_PATH_NOT_FOUND;
            default:
                return ERROR_ACCESS_DENIED;
        }
    }
    *phFile = reinterpret_cast<HANDLE>(file);
    return ERROR_SUCCESS;
}

LONG ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
              DWORD* lpNumberOfBytesRead) {
    ::DWORD read = 0;
    if (!::ReadFile(File(hFile), lpBuffer, nNumberOfBytesToRead, &read, nullptr)) {
        *lpNumberOfBytesRead = 0;
        return LastErrorOr(ERROR_READ_FAULT);
    }
    *lpNumberOfBytesRead = read;
    return ERROR_SUCCESS;
}

// INVALID_HANDLE_VALUE is also the NT family's pseudo-handle of the current
// process, which CloseHandle accepts; a file that was never opened must not
// report a successful close.
LONG CloseHandle(HANDLE hFile) {
    if (hFile == kSeamNoFile || hFile == 0) {
        return ERROR_INVALID_HANDLE;
    }
    if (!::CloseHandle(File(hFile))) {
        return LastErrorOr(ERROR_INVALID_HANDLE);
    }
    return ERROR_SUCCESS;
}

// Windows 98 rejects WC_NO_BEST_FIT_CHARS, and without it the system quietly maps
// a character with no code to a look-alike ('A' for A-macron) without setting the
// used-default flag. So the result is converted back: when it does not give the
// text again, each character is converted on its own and any that does not survive
// the round trip becomes '?'.
bool ToAnsi(const std::wstring& text, std::string& out) {
    const int length = static_cast<int>(text.size());
    out = WideToAnsi(text.data(), length);
    std::wstring back = AnsiToWide(out.data(), static_cast<int>(out.size()));
    if (back == text) {
        return true;
    }
    out.clear();
    for (std::size_t i = 0; i < text.size();) {
        std::size_t width =
            (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ? 2
                                                                                             : 1;
        std::string one = WideToAnsi(text.data() + i, static_cast<int>(width));
        if (AnsiToWide(one.data(), static_cast<int>(one.size())) ==
            text.substr(i, width)) {
            out += one;
        } else {
            out += '?';
        }
        i += width;
    }
    return false;
}

std::wstring FromAnsi(const char* bytes, std::size_t length) {
    return AnsiToWide(bytes, static_cast<int>(length));
}

std::wstring AppExeName() {
    // GetModuleFileNameA truncates silently on Windows 98 (no error, maybe no
    // terminator), so the buffer grows until the answer is clearly shorter.
    std::string path;
    for (::DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::string buffer(size, '\0');
        ::DWORD got = ::GetModuleFileNameA(nullptr, &buffer[0], size);
        if (got == 0) {
            return std::wstring();
        }
        if (got < size - 1) {
            path.assign(buffer.data(), got);
            break;
        }
    }
    std::string::size_type slash = path.find_last_of("\\/:");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos) {
        name.erase(dot);
    }
    return FromAnsi(name);
}

}  // namespace platform
