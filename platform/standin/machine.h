// Stand-in backend only: the simulated machine behind platform.h on Linux.
//
// A machine is a folder: drive_c/ is drive C, registry.reg the whole registry as a
// REGEDIT4 file, journal.txt a record of what the program showed and asked for. The
// program's start opens one; tests, fuzz targets and benchmarks open their own.
#pragma once

#include <string>

#include "platform/platform.h"
#include "platform/standin/fd.h"

namespace standin {

// Opens the machine in `folder`: opens the folder once, locks it for this run, loads
// its registry.reg and opens its journal.txt (creating it when missing). On failure
// returns false and a message for the user that says what is wrong and what to do;
// nothing on disk has changed. Refused: a folder that is missing or whose full name
// cannot be known, a folder another run holds, a registry.reg that is missing, a link
// or cannot be parsed, a journal.txt that is not a regular file of its own. Closes
// any machine opened before; CloseMachine (or the end of the process) drops the lock.
bool OpenMachine(const std::string& folder, std::string& error);
void CloseMachine();
bool MachineIsOpen();

// The machine named by the environment variable IRPATCH_MACHINE, for the program's
// own start, with the test switches IRPATCH_FAULTS and IRPATCH_CRASH_AT_SAVE; a
// malformed switch refuses the start like a machine that cannot be opened.
bool OpenMachineFromEnvironment(std::string& error);

// The machine folder, held open while the machine is open (-1 when none is): every
// file of the machine is opened from it, never by its path again.
int MachineFolderDescriptor();

// Opens what a Windows path ("C:\Windows\system\Oeminfo.ini") names on drive C, the
// machine folder's drive_c/. Each component is matched without regard to case as
// Windows does, and the host path found is resolved and opened in one step beneath
// drive C (OpenBeneath), so nothing outside it is ever opened, also when the folder
// changes while the path is resolved. `flags`: open(2) flags, O_PATH to learn what the
// path names and no more. Returns ERROR_SUCCESS with `fd` holding the descriptor and
// `found` (when given) the host path below drive_c/ as matched ("WINDOWS/SYSTEM/
// OEMINFO.INI"; "" for C:\). Otherwise a Win32 status and `fd` holds none:
//  - ERROR_PATH_NOT_FOUND: other drives, UNC, relative and drive-relative paths, host
//    paths; a folder on the way that is missing or no folder;
//  - ERROR_FILE_NOT_FOUND: a last component that is missing (or a link to nothing);
//  - ERROR_ACCESS_DENIED: "..", "...", ".. " and other names of only dots and blanks,
//    names holding NUL; links that leave drive C (an absolute target, or ".." above
//    drive C: the machine folder and its registry.reg are off the drive too) or loop;
//    a drive_c that is itself a link; what the host refuses to open.
platform::LONG OpenWindowsPath(const std::string& windowsPath, int flags, Fd& fd, std::string* found = nullptr);

// One UTF-8 line per platform event, appended to journal.txt of the open machine.
void Journal(const std::string& line);

}  // namespace standin
