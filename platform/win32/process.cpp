// Only Win32-specific code here: file attributes and program starts, over kernel32.
#include "platform/platform.h"

#include "platform/win32/windows_h.h"

namespace platform {

DWORD GetFileAttributesA(const char* lpFileName) { return ::GetFileAttributesA(lpFileName); }

LONG StartProcessA(const char* lpApplicationName, int nCmdShow, DWORD* lpdwProcessId) {
    // The child's own command line is the quoted path, so that its argv[0] is the
    // whole path even when it holds blanks; the application name alone decides which
    // file is started.
    std::string commandLine = std::string("\"") + lpApplicationName + "\"";
    ::STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<::WORD>(nCmdShow);
    ::PROCESS_INFORMATION process = {};
    if (!::CreateProcessA(lpApplicationName, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        ::DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? static_cast<LONG>(error) : ERROR_FILE_NOT_FOUND;
    }
    // Nothing watches the new process: its handles are not kept.
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    if (lpdwProcessId) *lpdwProcessId = process.dwProcessId;
    return ERROR_SUCCESS;
}

}  // namespace platform
