// Stand-in backend only: the machine folder, Windows paths inside it, the journal
// and the test switches read from the environment.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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
    std::string folder;  // absolute, canonical; empty when no machine is open
    Fd folderFd;         // the folder itself, held open while the machine is
    bool interactive = true;
    bool logging = false;
};

State& S() {
    static State state;
    return state;
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
    Fd folderFd(open(canonical.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    S().folder = canonical;
    S().folderFd = std::move(folderFd);
    if (!LoadRegistry(reg, error)) {
        S().folder.clear();
        S().folderFd.Reset();
        error = "the machine's registry cannot be loaded, nothing was changed: " + error;
        return false;
    }
    return true;
}

void CloseMachine() {
    UnloadRegistry();
    S().folder.clear();
    S().folderFd.Reset();
}

bool MachineIsOpen() { return !S().folder.empty(); }
const std::string& MachineFolder() { return S().folder; }
int MachineFolderDescriptor() { return S().folderFd.Get(); }

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
