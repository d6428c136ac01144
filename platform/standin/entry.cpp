// Stand-in backend only: the program's start on Linux. Opens the machine named by
// IRPATCH_MACHINE before anything runs, so a missing folder or a registry file that
// cannot be read stops the run before any change.
#include <cstdio>

#include "main/program.h"
#include "platform/standin/standin.h"

int main() {
    std::string error;
    if (!standin::OpenMachineFromEnvironment(error)) {
        std::fprintf(stderr, "Patch_IR_K314(FR): %s\n", error.c_str());
        return kExitNoMachine;
    }
    int status = RunProgram();
    standin::CloseMachine();
    return status;
}
