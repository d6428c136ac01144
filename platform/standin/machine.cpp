// Stand-in backend only: the machine folder, Windows paths inside it, the journal
// and the test switches read from the environment.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/standin/regstore.h"
#include "platform/standin/standin.h"

namespace standin {
namespace {

struct State {
    std::string folder;      // absolute, canonical; empty when no machine is open
    bool interactive = true;
    bool logging = false;
};

State& S() {
    static State state;
    return state;
}

// Finds the entry of `dir` whose name equals `component` as Windows compares names
// (without regard to case, accented letters included), preferring an exact match.
// Host names are UTF-8 and Windows components ANSI: a host name holding a character
// Windows-1252 lacks can only match exactly.
bool FindEntry(const std::string& dir, const std::string& ansiComponent, std::string& found) {
    const std::string wantUtf8 = Utf8FromAnsi(ansiComponent);
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
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

std::string Canonical(const std::string& path) {
    char buf[PATH_MAX];
    if (!realpath(path.c_str(), buf)) return std::string();
    return buf;
}

}  // namespace

std::vector<std::string> SplitAt(const std::string& text, const char* separators) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find_first_of(separators, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return pieces;
        start = end + 1;
    }
}

namespace {

// IRPATCH_CRASH_AT_SAVE=N[:stage] kills the program (SIGKILL: no clean-up of any kind
// runs, as when power is cut or the process is killed) in the middle of its N-th
// registry save, counted from 1. Stages: "partial" (the default; half the temporary
// file written), "complete" (the temporary file flushed, not renamed), "replaced"
// (renamed, the folder not flushed). For the crash-safety checks only.
struct CrashPlan {
    unsigned long save = 0;  // 0: no crash planned
    SaveStage stage = SaveStage::TempPartlyWritten;
    unsigned long seen = 0;
};

CrashPlan& Crash() {
    static CrashPlan plan;
    return plan;
}

void CrashObserver(SaveStage stage) {
    CrashPlan& plan = Crash();
    if (stage == SaveStage::TempPartlyWritten) ++plan.seen;
    if (plan.seen == plan.save && stage == plan.stage) std::raise(SIGKILL);
}

bool LoadCrashPlanFromEnvironment(std::string& error) {
    const char* value = std::getenv("IRPATCH_CRASH_AT_SAVE");
    if (!value || !*value) return true;
    const std::string text = value;
    const std::size_t colon = text.find(':');
    const std::string number = text.substr(0, colon);
    const std::string stage = colon == std::string::npos ? "partial" : text.substr(colon + 1);
    CrashPlan plan;
    bool stageKnown = true;
    if (stage == "partial") plan.stage = SaveStage::TempPartlyWritten;
    else if (stage == "complete") plan.stage = SaveStage::TempComplete;
    else if (stage == "replaced") plan.stage = SaveStage::Replaced;
    else stageKnown = false;
    const bool digitsOnly = !number.empty() && number.size() <= 9 &&
                            number.find_first_not_of("0123456789") == std::string::npos;
    if (digitsOnly) plan.save = std::strtoul(number.c_str(), nullptr, 10);
    if (!stageKnown || plan.save == 0) {
        error = "IRPATCH_CRASH_AT_SAVE='" + text +
                "' is not N or N:partial, N:complete or N:replaced with N a save number from 1.";
        return false;
    }
    Crash() = plan;
    SetSaveObserver(CrashObserver);
    return true;
}

}  // namespace

bool OpenMachine(const std::string& folder, std::string& error) {
    CloseMachine();
    struct stat st {};
    if (folder.empty() || stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "machine folder '" + folder +
                "' does not exist. A machine folder holds drive_c/ (drive C) and registry.reg "
                "(its registry); copy one of the folders in examples/ to start from.";
        return false;
    }
    std::string canonical = Canonical(folder);
    std::string reg = canonical + "/registry.reg";
    if (stat(reg.c_str(), &st) != 0) {
        error = "'" + reg + "' is missing: a machine folder needs its registry as a REGEDIT4 file.";
        return false;
    }
    S().folder = canonical;
    if (!LoadRegistry(reg, error)) {
        S().folder.clear();
        error = "the machine's registry cannot be loaded, nothing was changed: " + error;
        return false;
    }
    return true;
}

void CloseMachine() {
    UnloadRegistry();
    S().folder.clear();
}

bool MachineIsOpen() { return !S().folder.empty(); }
const std::string& MachineFolder() { return S().folder; }

bool OpenMachineFromEnvironment(std::string& error) {
    const char* folder = std::getenv("IRPATCH_MACHINE");
    if (!folder || !*folder) {
        error = "IRPATCH_MACHINE is not set. Set it to a machine folder (one that holds drive_c/ and "
                "registry.reg), preferably a copy, for example:\n"
                "  cp -r examples/k314-frn /tmp/k314 && IRPATCH_MACHINE=/tmp/k314 "
                "'build/native/Patch_IR_K314(FR)'";
        return false;
    }
    if (!LoadCrashPlanFromEnvironment(error)) return false;
    // Read before the machine opens, so that a malformed entry changes nothing: a
    // user who meant to try a failure must not get the real patch instead.
    std::vector<Fault> faults;
    const char* faultList = std::getenv("IRPATCH_FAULTS");
    if (faultList != nullptr && !ReadFaultList(faultList, faults, error)) return false;
    if (!OpenMachine(folder, error)) return false;
    for (const Fault& fault : faults) InjectFault(fault);
    return true;
}

bool ResolveWindowsPath(const std::string& windowsPath, std::string& hostPath, platform::LONG& status,
                        bool mustExist) {
    status = platform::ERROR_PATH_NOT_FOUND;
    if (!MachineIsOpen()) return false;
    const std::string& p = windowsPath;
    // Only drive C exists on this machine; UNC paths, other drives and relative
    // paths lead nowhere.
    if (p.size() < 3 || (p[0] != 'C' && p[0] != 'c') || p[1] != ':' || (p[2] != '\\' && p[2] != '/'))
        return false;
    std::vector<std::string> parts;
    for (const std::string& part : SplitAt(p.substr(3), "\\/")) {
        if (part.empty() || part == ".") continue;
        // ".." and its look-alikes: Windows drops trailing dots and blanks from a name,
        // so ".. " is "..", and Windows 9x reads "..." as two levels up. A NUL would cut
        // the name short at the host's C string boundary.
        if (part.find_first_not_of(". ") == std::string::npos || part.find('\0') != std::string::npos) {
            status = platform::ERROR_ACCESS_DENIED;
            return false;
        }
        parts.push_back(part);
    }
    const std::string drive = S().folder + "/drive_c";
    std::string host = drive;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::string found;
        if (!FindEntry(host, parts[i], found)) {
            bool last = i + 1 == parts.size();
            if (last && !mustExist) {
                found = Utf8FromAnsi(parts[i]);
            } else {
                status = last ? platform::ERROR_FILE_NOT_FOUND : platform::ERROR_PATH_NOT_FOUND;
                return false;
            }
        }
        host += "/" + found;
    }
    // A link on drive C may still point elsewhere: what the path really names must be
    // drive C or lie below it (not even the machine's registry.reg beside it). A name
    // that does not exist yet is judged by its folder; a link that leads nowhere is
    // refused, since creating through it would write wherever it points.
    auto onDrive = [&](const std::string& real) {
        return real == drive || real.rfind(drive + "/", 0) == 0;
    };
    std::string real = Canonical(host);
    if (real.empty()) {
        struct stat st {};
        const bool isLink = lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        real = isLink ? std::string() : Canonical(host.substr(0, host.rfind('/')));
    }
    if (real.empty() || !onDrive(real)) {
        status = platform::ERROR_ACCESS_DENIED;
        return false;
    }
    hostPath = host;
    status = platform::ERROR_SUCCESS;
    return true;
}

void Journal(const std::string& line) {
    if (!MachineIsOpen()) return;
    std::string path = S().folder + "/journal.txt";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string out = line + "\n";
    const char* data = out.data();
    std::size_t left = out.size();
    while (left > 0) {
        ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    close(fd);
}

std::string Utf8FromAnsi(const std::string& ansi) { return ToUtf8(platform::FromAnsi(ansi)); }
std::string Utf8FromAnsi(const char* ansi) { return Utf8FromAnsi(std::string(ansi ? ansi : "")); }

std::string JournalQuote(const std::string& utf8) {
    std::string out;
    for (char c : utf8) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            default: out += c;
        }
    }
    return out;
}

void SetInteractive(bool interactive) { S().interactive = interactive; }
bool Interactive() { return S().interactive; }

}  // namespace standin
