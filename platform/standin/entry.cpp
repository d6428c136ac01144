// Stand-in backend only: the program's start on Linux. Opens the machine named by
// IRPATCH_MACHINE before anything runs, so a missing folder or a registry file that
// cannot be read stops the run before any change.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>

#include "main/program.h"
#include "platform/standin/faults.h"
#include "platform/standin/machine.h"
#include "resources/version.h"

namespace {

// The terminal is a courtesy; the journal and the registry are the record. Output to
// a closed or broken terminal is dropped (SIGPIPE ignored, write errors not looked
// at) and never stops or changes a run. A standard stream the program was started
// without is opened on /dev/null: the next file the program opens would otherwise
// take its number and receive what is meant for the terminal.
void KeepTheTerminalFromTheRun() {
    std::signal(SIGPIPE, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        // open() takes the lowest free number, which is `fd` here.
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
}

}  // namespace

int main() {
    KeepTheTerminalFromTheRun();
    std::string error;
    if (!standin::OpenMachineFromEnvironment(error)) {
        std::fprintf(stderr, IRPATCH_INTERNAL_NAME ": %s\n", error.c_str());
        return kExitNoMachine;
    }
    int status = RunProgram();
    // A fault that never fired tried nothing: the user hears of it, or would take the
    // run for the failure they meant to try.
    const std::vector<std::string> idle = standin::FaultEntriesNotFired();
    if (!idle.empty()) {
        std::string entries;
        for (const std::string& entry : idle) entries += (entries.empty() ? "'" : ", '") + entry + "'";
        std::fprintf(stderr, IRPATCH_INTERNAL_NAME ": IRPATCH_FAULTS entries that never fired during the run: %s\n",
                     entries.c_str());
    }
    standin::CloseMachine();
    return status;
}
