// Stand-in backend only: the hooks tests use at the system-call boundary -- the log of
// platform calls and the faults injected there (faults.cpp). The backend reports each
// call here and asks here whether it is to fail; tests (and the test switch
// IRPATCH_FAULTS) read the log and arm the faults.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace standin {

// ---- Call log -------------------------------------------------------------------------
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
const std::vector<std::string>& CallLog();
void ClearCallLog();

// ---- Fault injection ----------------------------------------------------------------------
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
// status of the form raise:N raising run-time failure N. Each fault comes with its
// entry. False, with a message naming the entry and why, for an entry that is not of
// that form, names a call no fault can reach, has a status of 0, or can never fire: a
// key path that does not start with a root's full name or has an empty component, a
// file path not written as the program writes its own (C:, then a backslash before
// each non-empty name: no forward slash), a key path, file or value name on a call
// that is never matched by one.
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

}  // namespace standin
