// Stand-in backend only: the simulated machine behind platform.h on Linux.
//
// A machine is a folder: drive_c/ is drive C, registry.reg the whole registry as a
// REGEDIT4 file, journal.txt a record of what the program showed and asked for.
// This header is also the tests' handle on the machine: they open one, read the
// log of platform calls, and inject faults at the system-call boundary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/standin/fd.h"

namespace standin {

// ---- The machine folder ----------------------------------------------------------
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
const std::string& MachineFolder();

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

// ---- The registry (registry.cpp, over the store of regtree.h and regfile.h) ---------------------------------------------
// Loads the file `name` of the folder open as `folder` as the current registry,
// replacing the one held; the registry keeps a descriptor of that folder of its own,
// and every save goes there (see SaveRegFile). `shown` names the file in messages. On
// a parse or read failure returns false with a message naming the file and the line;
// the registry held before is dropped and the file is not touched.
bool LoadRegistry(int folder, const std::string& name, const std::string& shown, std::string& error);
// The same for the file at `regFile`.
bool LoadRegistry(const std::string& regFile, std::string& error);
void UnloadRegistry();

// ---- The journal ------------------------------------------------------------------
// One UTF-8 line per platform event, appended to journal.txt of the open machine.
void Journal(const std::string& line);
// ANSI (Windows-1252) bytes as UTF-8, the form of host file names, the journal and
// the terminal. A null pointer reads as the empty text.
std::string Utf8FromAnsi(const char* ansi);
std::string Utf8FromAnsi(const std::string& ansi);

// Escapes backslash, double quote, CR and LF for a quoted journal field.
std::string JournalQuote(const std::string& utf8);

// The pieces of `text` between any of `separators`, empty ones included.
std::vector<std::string> SplitAt(const std::string& text, const char* separators);

// ---- Call log (for tests) -----------------------------------------------------------
// Every platform call the stand-in answers, with its arguments and result, e.g.
//   RegSetValueExA(0x80000002\Enum\INFRARED\Framer, "PortName", 0, 1, 5 bytes) = 0
// Off by default: the program never reads the log, and a line per call (kept for the
// whole run) slows long listings and grows without bound. While it is off, LogCall
// keeps nothing and the callers do not build their lines at all (they ask
// CallLogging() first). Tests that read the log turn it on; the machine fixture does.
// Turning it on or off leaves the lines already kept.
void SetCallLogging(bool on);
bool CallLogging();
void LogCall(std::string line);
// A number as the call log and the journal write it: "0x" and upper-case hex digits,
// without leading zeros ("0x80000002", "0xF003F", "0x0").
std::string Hex(std::uint64_t n);
const std::vector<std::string>& CallLog();
void ClearCallLog();

// ---- Fault injection (for tests) -------------------------------------------------
// Makes a chosen platform call fail. A fault matches a call by name; by key path
// when `keyPath` is set (the full path from the root's name, e.g.
// "HKEY_LOCAL_MACHINE\Enum\INFRARED", matching that key and every key below it,
// without regard to case); and by value name when `valueName` is set. It then either
// returns `status`, or raises the run-time failure `raiseNumber` when that is not 0.
// `times` < 0 fails every matching call; otherwise only the next `times` of them.
struct Fault {
    std::string call;
    std::optional<std::string> keyPath;
    std::optional<std::string> valueName;
    platform::LONG status = platform::ERROR_ACCESS_DENIED;
    long raiseNumber = 0;
    int times = -1;
};
// `entry`: the IRPATCH_FAULTS entry the fault was read from, for FaultEntriesNotFired.
void InjectFault(const Fault& fault, const std::string& entry = std::string());
void ClearFaults();
// Reads a fault list in the form of IRPATCH_FAULTS: entries call|keyPath|valueName|status
// separated by ';', an empty field matching anything, the names typed as UTF-8, a
// status of the form raise:N raising run-time failure N. False, with a message naming
// the entry and why, for an entry that is not of that form, names a call no fault can
// reach, has a status of 0, or can never fire: a key path that does not start with a
// root's full name or has an empty component, a key path, file or value name on a call
// that is never matched by one.
// Each fault comes with its entry.
bool ReadFaultList(const std::string& text, std::vector<std::pair<Fault, std::string>>& faults, std::string& error);
// The entries of IRPATCH_FAULTS that have not failed a call so far, in list order.
std::vector<std::string> FaultEntriesNotFired();
// Whether a fault for `call` may still fire: callers skip building the key path that
// FaultFor matches against when none can.
bool FaultsArmed(const char* call);

// Used by the backend at each call: the status to fail with (ERROR_SUCCESS when no
// fault matches). Throws the run-time failure of a raising fault.
platform::LONG FaultFor(const char* call, const std::string& keyPath = std::string(),
                        const std::string& valueName = std::string());
// For the host file calls of a registry save, whose faults carry an error number: the
// errno an armed fault for `call` fails it with, 0 when none does.
int InjectedErrno(const char* call);

// What the stand-in's message boxes answer: true (the default) makes a box wait for
// Enter when standard input is a terminal; tests turn it off.
void SetInteractive(bool interactive);
bool Interactive();

}  // namespace standin
