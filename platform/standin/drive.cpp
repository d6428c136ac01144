// Stand-in backend only: Windows paths on drive C, the machine folder's drive_c/.
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/standin/beneath.h"
#include "platform/standin/hosttext.h"
#include "platform/standin/machine.h"
#include "platform/standin/regstore/regnames.h"
#include "platform/text.h"

namespace standin {
namespace {

using platform::LONG;

// The components of a path on drive C, or the status that refuses it. Only drive C
// exists: UNC paths, other drives and relative paths lead nowhere. ".." and its
// look-alikes are refused where they stand: Windows drops trailing dots and blanks
// from a name, so ".. " is "..", and Windows 9x reads "..." as two levels up. A NUL
// would cut the name short at the host's C string boundary.
LONG SplitDrivePath(const std::string& p, std::vector<std::string>& parts) {
    if (p.size() < 3 || FoldByte(static_cast<unsigned char>(p[0])) != 'c' || p[1] != ':' || (p[2] != '\\' && p[2] != '/'))
        return platform::ERROR_PATH_NOT_FOUND;
    for (const std::string& part : SplitAt(p.substr(3), "\\/")) {
        if (part.empty() || part == ".") continue;
        if (part.find_first_not_of(". ") == std::string::npos || part.find('\0') != std::string::npos)
            return platform::ERROR_ACCESS_DENIED;
        parts.push_back(part);
    }
    return platform::ERROR_SUCCESS;
}

// Finds the entry of the folder `dir` (taken over and closed) whose name equals
// `component` as Windows compares names (without regard to case, accented letters
// included), preferring an exact match. Host names are UTF-8 and Windows components
// ANSI: a host name holding a character Windows-1252 lacks can only match exactly.
bool FindEntry(Fd dir, const std::string& ansiComponent, std::string& found) {
    const std::string wantUtf8 = Utf8FromAnsi(ansiComponent);
    DIR* d = fdopendir(dir.Get());
    if (!d) return false;
    dir.Release();
    bool any = false;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name == wantUtf8) {
            found = name;
            any = true;
            break;
        }
        std::string ansiName;
        if (!any && platform::ToAnsi(FromUtf8(name), ansiName) && NamesEqual(ansiName, ansiComponent)) {
            found = name;
            any = true;
        }
    }
    closedir(d);
    return any;
}

// The Win32 status of a failed OpenBeneath.
LONG StatusOf(int err, bool last) {
    switch (err) {
        case ENOENT: return last ? platform::ERROR_FILE_NOT_FOUND : platform::ERROR_PATH_NOT_FOUND;
        case ENOTDIR: return platform::ERROR_PATH_NOT_FOUND;
        default: return platform::ERROR_ACCESS_DENIED;  // EXDEV, ELOOP: a link that leaves or loops
    }
}

}  // namespace

LONG OpenWindowsPath(const std::string& windowsPath, int flags, Fd& fd, std::string* found) {
    fd.Reset();
    if (!MachineIsOpen()) return platform::ERROR_PATH_NOT_FOUND;
    std::vector<std::string> parts;
    const LONG syntax = SplitDrivePath(windowsPath, parts);
    if (syntax != platform::ERROR_SUCCESS) return syntax;
    // drive_c itself may not be a link: anything it could point at is off the drive.
    Fd drive(openat(MachineFolderDescriptor(), "drive_c", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!drive) return errno == ENOENT ? platform::ERROR_PATH_NOT_FOUND : platform::ERROR_ACCESS_DENIED;
    // Each component is looked up in the folder the host names found so far lead to,
    // opened beneath drive C; the whole path is then opened beneath it once more. A
    // swap between two steps can change what is found, never where it is.
    std::string host;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        Fd dir(OpenBeneath(drive.Get(), host.empty() ? "." : host, O_RDONLY | O_DIRECTORY));
        if (!dir) return StatusOf(errno, false);
        std::string name;
        if (!FindEntry(std::move(dir), parts[i], name))
            return last ? platform::ERROR_FILE_NOT_FOUND : platform::ERROR_PATH_NOT_FOUND;
        host += (host.empty() ? "" : "/") + name;
    }
    fd.Reset(OpenBeneath(drive.Get(), host.empty() ? "." : host, flags));
    if (!fd) return StatusOf(errno, true);
    if (found != nullptr) *found = host;
    return platform::ERROR_SUCCESS;
}

}  // namespace standin
