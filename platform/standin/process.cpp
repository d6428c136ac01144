// Stand-in backend only: file attributes and program starts on the machine's drive C.
//
// Nothing is ever executed on the host. A started program is a journal line
// (Exec "C:\...\MSINFO32.EXE" 0x1) and a call-log entry, so a path that came out of
// the machine's registry can at most name a file inside the machine folder.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/standin/faults.h"
#include "platform/standin/hosttext.h"
#include "platform/standin/machine.h"

namespace {

using platform::DWORD;
using platform::LONG;

// Windows refuses these in any path it opens (wildcards, redirection characters,
// control characters). The stand-in's host file system would accept them, so they
// are refused here, before a name like "*" could match a host file of that name.
bool NameIsValid(const std::string& path) {
    for (unsigned char c : path) {
        if (c < 0x20 || c == '*' || c == '?' || c == '<' || c == '>' || c == '|' || c == '"') return false;
    }
    return true;
}

// What a Windows path names, as fstat tells it, and its name as found on the host;
// the Win32 status when it names nothing that may be reached.
bool Locate(const std::string& windowsPath, std::string& host, struct stat& st, LONG& status) {
    if (!NameIsValid(windowsPath)) {
        status = platform::ERROR_INVALID_NAME;
        return false;
    }
    standin::Fd fd;
    status = standin::OpenWindowsPath(windowsPath, O_PATH, fd, &host);
    if (status == platform::ERROR_SUCCESS && fstat(fd.Get(), &st) != 0) status = platform::ERROR_ACCESS_DENIED;
    return status == platform::ERROR_SUCCESS;
}

// Like Wine, the stand-in has no hidden flag on disk: a host name that begins with a
// dot counts as hidden.
bool HostNameIsHidden(const std::string& host) {
    const std::size_t slash = host.find_last_of('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    return start < host.size() && host[start] == '.';
}

DWORD AttributesOf(const std::string& host, const struct stat& st) {
    DWORD attributes;
    if (S_ISDIR(st.st_mode)) {
        attributes = platform::FILE_ATTRIBUTE_DIRECTORY;
    } else if (S_ISREG(st.st_mode)) {
        attributes = platform::FILE_ATTRIBUTE_ARCHIVE;
    } else {
        // A device, pipe or socket: nothing a Windows program would take for a file.
        attributes = platform::FILE_ATTRIBUTE_SYSTEM;
    }
    if ((st.st_mode & S_IWUSR) == 0) attributes |= platform::FILE_ATTRIBUTE_READONLY;
    if (HostNameIsHidden(host)) attributes |= platform::FILE_ATTRIBUTE_HIDDEN;
    return attributes;
}

// A Windows program file begins with the "MZ" header; anything else is refused the
// way Windows refuses it. Opened afresh beneath drive C, and only read when that is
// still a regular file.
bool LooksLikeProgram(const std::string& windowsPath) {
    standin::Fd fd;
    struct stat st {};
    if (standin::OpenWindowsPath(windowsPath, O_RDONLY | O_NONBLOCK | O_NOCTTY, fd) != platform::ERROR_SUCCESS ||
        fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    char magic[2] = {0, 0};
    ssize_t n;
    do {
        n = read(fd.Get(), magic, sizeof magic);
    } while (n < 0 && errno == EINTR);
    return n == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

DWORD& LastProcessId() {
    static DWORD id = 0x100;
    return id;
}

}  // namespace

namespace platform {

DWORD GetFileAttributesA(const char* lpFileName) {
    const std::string name = lpFileName ? lpFileName : "";
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    LONG status = standin::FaultFor("GetFileAttributesA");
    std::string host;
    struct stat st {};
    if (status == ERROR_SUCCESS && Locate(name, host, st, status)) attributes = AttributesOf(host, st);
    if (standin::CallLogging()) {
        standin::LogCall("GetFileAttributesA(\"" + standin::Utf8FromAnsi(name) + "\") = " + standin::Hex(attributes) +
                         (attributes == INVALID_FILE_ATTRIBUTES ? " (" + std::to_string(status) + ")" : std::string()));
    }
    return attributes;
}

LONG StartProcessA(const char* lpApplicationName, int nCmdShow, DWORD* lpdwProcessId) {
    const std::string name = lpApplicationName ? lpApplicationName : "";
    LONG status = standin::FaultFor("StartProcessA");
    std::string host;
    struct stat st {};
    if (status == ERROR_SUCCESS && Locate(name, host, st, status)) {
        if (!S_ISREG(st.st_mode))
            status = ERROR_ACCESS_DENIED;
        else if (!LooksLikeProgram(name))
            status = ERROR_BAD_EXE_FORMAT;
    }
    const std::string shown = standin::Utf8FromAnsi(name);
    if (standin::CallLogging()) {
        standin::LogCall("StartProcessA(\"" + standin::JournalQuote(shown) + "\", " + std::to_string(nCmdShow) +
                         ") = " + std::to_string(status));
    }
    if (status != ERROR_SUCCESS) return status;
    const DWORD id = ++LastProcessId();
    if (lpdwProcessId) *lpdwProcessId = id;
    standin::Journal("Exec \"" + standin::JournalQuote(shown) + "\" " + standin::Hex(static_cast<unsigned long>(nCmdShow)));
    std::printf("[Program started: %s]\n", shown.c_str());
    std::fflush(stdout);
    return ERROR_SUCCESS;
}

}  // namespace platform
