// Stand-in backend only: message boxes on the terminal and in the journal, the exit
// request in the journal, file input from the machine's drive C, the program's name.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/standin/faults.h"
#include "platform/standin/hosttext.h"
#include "platform/standin/machine.h"
#include "platform/standin/terminal.h"
#include "platform/text.h"

namespace {

// The descriptors OpenFileForReadA handed out and not yet closed. ReadFile and
// CloseHandle act on these only: handle 0 (which Windows never hands out for a file,
// while here it would be standard input), the terminal's descriptors, the machine's
// own files and a handle closed before are refused with ERROR_INVALID_HANDLE, as
// Windows refuses them.
std::vector<int>& OpenFiles() {
    static std::vector<int> files;
    return files;
}

bool IsOpenFile(platform::HANDLE h) {
    const std::vector<int>& files = OpenFiles();
    return std::find(files.begin(), files.end(), h) != files.end();
}

// What a message box of `style` shows beside its text, from its icon bits
// (MB_ICONMASK): the stand-in says it in words on the terminal.
std::string IconOfStyle(platform::UINT style) {
    switch (style & 0xF0) {
        case 0x00: return "no icon";
        case platform::MB_ICONERROR: return "error icon";
        case 0x20: return "question icon";
        case 0x30: return "warning icon";
        case platform::MB_ICONINFORMATION: return "information icon";
        default: return "unknown icon " + standin::Hex(style & 0xF0);
    }
}

}  // namespace

namespace platform {

int MessageBoxA(const char* lpText, const char* lpCaption, UINT uType) {
    std::string title = standin::Utf8FromAnsi(lpCaption);
    std::string text = standin::Utf8FromAnsi(lpText);
    if (standin::CallLogging()) {
        standin::LogCall("MessageBoxA(\"" + standin::JournalQuote(text) + "\", \"" + standin::JournalQuote(title) +
                         "\", " + standin::Hex(uType) + ") = 1");
    }
    standin::Journal("MessageBox style=" + standin::Hex(uType) + " title=\"" + standin::JournalQuote(title) +
                     "\" text=\"" + standin::JournalQuote(text) + "\"");
    standin::TerminalBox(title, IconOfStyle(uType), text, "OK");
    return IDOK;
}

BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    if (standin::CallLogging()) {
        standin::LogCall("ExitWindowsEx(" + standin::Hex(uFlags) + ", " + standin::Hex(dwReason) + ") = 1");
    }
    standin::Journal("ExitWindowsEx " + standin::Hex(uFlags) + " " + standin::Hex(dwReason));
    const char* what = (uFlags & EWX_REBOOT) ? "restart" : (uFlags & EWX_SHUTDOWN) ? "shut down" : "log off";
    std::printf("[Windows is asked to %s]\n", what);
    std::fflush(stdout);
    return 1;
}

LONG OpenFileForReadA(const char* lpFileName, HANDLE* phFile) {
    *phFile = INVALID_HANDLE_VALUE;
    std::string name = lpFileName ? lpFileName : "";
    // Fault point "OpenFileForReadA", matched by the Windows path: a file that exists
    // but cannot be opened, which root (who runs CI) cannot arrange with permissions.
    LONG status = standin::FaultFor("OpenFileForReadA", name);
    standin::Fd fd;
    // O_NONBLOCK: a named pipe would otherwise hold the open until a writer came,
    // before the regular-file check could refuse it. Regular files ignore it.
    if (status == ERROR_SUCCESS)
        status = standin::OpenWindowsPath(name, O_RDONLY | O_NONBLOCK | O_NOCTTY, fd);
    struct stat st {};
    if (status == ERROR_SUCCESS && (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))) status = ERROR_ACCESS_DENIED;
    if (status == ERROR_SUCCESS) {
        OpenFiles().push_back(fd.Get());
        *phFile = fd.Release();
    }
    if (standin::CallLogging()) {
        standin::LogCall("OpenFileForReadA(\"" + standin::Utf8FromAnsi(lpFileName) + "\") = " + std::to_string(status));
    }
    return status;
}

LONG ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead) {
    *lpNumberOfBytesRead = 0;
    if (!IsOpenFile(hFile)) return ERROR_INVALID_HANDLE;
    // Fault point "ReadFile": a read that fails (a bad sector, a network drive gone).
    const LONG injected = standin::FaultFor("ReadFile");
    if (injected != ERROR_SUCCESS) return injected;
    for (;;) {
        ssize_t n = read(static_cast<int>(hFile), lpBuffer, nNumberOfBytesToRead);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_READ_FAULT;
        *lpNumberOfBytesRead = static_cast<DWORD>(n);
        return ERROR_SUCCESS;
    }
}

LONG CloseHandle(HANDLE hFile) {
    if (!IsOpenFile(hFile)) return ERROR_INVALID_HANDLE;
    std::vector<int>& files = OpenFiles();
    files.erase(std::find(files.begin(), files.end(), hFile));
    if (close(static_cast<int>(hFile)) != 0) return ERROR_INVALID_HANDLE;
    standin::LogCall("CloseHandle");
    return ERROR_SUCCESS;
}

std::wstring AppExeName() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string path = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("program");
    std::string base = path.substr(path.find_last_of('/') + 1);
    std::size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    // Host file names are UTF-8; the program's text is Unicode.
    return FromUtf8(base);
}

}  // namespace platform
