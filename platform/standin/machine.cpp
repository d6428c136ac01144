// Stand-in backend only: the machine folder (opened once and locked for the run), the
// journal, and the test switches read from the environment.
#include "platform/standin/machine.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/standin/faults.h"
#include "platform/standin/regstore/regfile.h"
#include "platform/standin/regstore/registry.h"
#include "resources/version.h"

namespace standin {
namespace {

struct State {
    std::string folder;  // absolute, canonical; empty when no machine is open
    Fd folderFd;         // the folder itself, held open (and locked) while the machine is
    Fd journal;          // journal.txt, opened once when the machine opens
    bool journalFailed = false;
};

State& S() {
    static State state;
    return state;
}

// The folder named `folder`, opened: the one open of it by name. Everything in it is
// then reached from this descriptor.
bool OpenFolder(const std::string& folder, Fd& dir, std::string& canonical, std::string& error) {
    dir.Reset(folder.empty() ? -1 : open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir && (folder.empty() || errno == ENOENT || errno == ENOTDIR)) {
        error = "machine folder '" + folder +
                "' does not exist. A machine folder holds drive_c/ (drive C) and registry.reg "
                "(its registry); copy one of the folders in examples/ to start from.";
        return false;
    }
    if (!dir) {
        error = "machine folder '" + folder + "' cannot be opened (" + std::strerror(errno) + ").";
        return false;
    }
    // Its full name, for messages. A folder whose full name cannot be known (it lies
    // deeper than PATH_MAX) is refused rather than guessed at.
    char buf[PATH_MAX];
    if (!realpath(folder.c_str(), buf)) {
        error = "machine folder '" + folder + "' cannot be resolved to its full name (" + std::strerror(errno) +
                "), nothing was changed. Give the folder by a shorter path.";
        return false;
    }
    canonical = buf;
    return true;
}

// One run at a time on a machine folder: the registry is one shared store, and a
// second run saving what it loaded earlier would undo the first one's changes. The
// lock is taken before the registry is read and goes with the folder's descriptor,
// so the system drops it when the run ends, however it ends (kill -9 included).
bool LockFolder(const Fd& dir, const std::string& canonical, std::string& error) {
    if (flock(dir.Get(), LOCK_EX | LOCK_NB) == 0) return true;
    error = errno == EWOULDBLOCK
                ? "another run of the program is using the machine folder '" + canonical +
                      "', nothing was changed. Start again once it has ended."
                : "cannot lock the machine folder '" + canonical + "' (" + std::strerror(errno) +
                      "), nothing was changed.";
    return false;
}

// journal.txt is opened once, before any change (created when missing), and every
// line goes through that descriptor: never through a link, never into a second name
// of another file (registry.reg, say), never waiting for a named pipe's reader. A
// journal.txt that is anything but a regular file of its own is refused.
bool OpenJournal(const Fd& dir, const std::string& canonical, Fd& journal, std::string& error) {
    journal.Reset(openat(dir.Get(), "journal.txt",
                         O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
    struct stat st {};
    const int err = journal ? 0 : errno;
    if (journal && fstat(journal.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) return true;
    journal.Reset();
    error = "'" + canonical + "/journal.txt' cannot be the run's journal (" +
            (err != 0 ? std::string(std::strerror(err)) : std::string("not a regular file of its own")) +
            "), nothing was changed. The journal must be a regular file in the machine folder, not a link, a "
            "folder, a named pipe or a second name of another file; move it away and start again.";
    return false;
}

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
    Fd dir;
    std::string canonical;
    if (!OpenFolder(folder, dir, canonical, error) || !LockFolder(dir, canonical, error)) return false;
    const std::string reg = canonical + "/registry.reg";
    struct stat st {};
    if (fstatat(dir.Get(), "registry.reg", &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        error = "'" + reg + "' is missing: a machine folder needs its registry as a REGEDIT4 file.";
        return false;
    }
    if (!LoadRegistry(dir.Get(), "registry.reg", reg, error)) {
        error = "the machine's registry cannot be loaded, nothing was changed: " + error;
        return false;
    }
    Fd journal;
    if (!OpenJournal(dir, canonical, journal, error)) {
        UnloadRegistry();
        return false;
    }
    State& state = S();
    state.folder = canonical;
    state.folderFd = std::move(dir);
    state.journal = std::move(journal);
    state.journalFailed = false;
    return true;
}

void CloseMachine() {
    UnloadRegistry();
    S().folder.clear();
    S().journal.Reset();
    S().folderFd.Reset();
}

bool MachineIsOpen() { return !S().folder.empty(); }
int MachineFolderDescriptor() { return S().folderFd.Get(); }

bool OpenMachineFromEnvironment(std::string& error) {
    const char* folder = std::getenv("IRPATCH_MACHINE");
    if (!folder || !*folder) {
        error = "IRPATCH_MACHINE is not set. Set it to a machine folder (one that holds drive_c/ and "
                "registry.reg), preferably a copy, for example:\n"
                "  cp -r examples/k314-frn /tmp/k314 && IRPATCH_MACHINE=/tmp/k314 "
                "'build/native/" IRPATCH_INTERNAL_NAME "'";
        return false;
    }
    if (!LoadCrashPlanFromEnvironment(error)) return false;
    // Read before the machine opens, so that a malformed entry changes nothing: a
    // user who meant to try a failure must not get the real patch instead.
    std::vector<std::pair<Fault, std::string>> faults;
    const char* faultList = std::getenv("IRPATCH_FAULTS");
    if (faultList != nullptr && !ReadFaultList(faultList, faults, error)) return false;
    if (!OpenMachine(folder, error)) return false;
    for (const auto& [fault, entry] : faults) InjectFault(fault, entry);
    return true;
}

void Journal(const std::string& line) {
    State& state = S();
    if (!state.journal) return;
    const std::string out = line + "\n";
    const char* data = out.data();
    std::size_t left = out.size();
    while (left > 0) {
        const ssize_t n = write(state.journal.Get(), data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A disk that fills up during the run: the run goes on (stopping halfway
            // through the patch would be worse), the line is lost, and the user hears
            // of it once on the terminal.
            if (!state.journalFailed) {
                std::fprintf(stderr, IRPATCH_INTERNAL_NAME ": cannot write to %s/journal.txt (%s); the run goes on\n",
                             state.folder.c_str(), n < 0 ? std::strerror(errno) : "nothing written");
            }
            state.journalFailed = true;
            return;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace standin
