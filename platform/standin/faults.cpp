// Stand-in backend only: the call log and fault injection, and the fault list of
// IRPATCH_FAULTS.
#include "platform/standin/faults.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/errors.h"
#include "platform/standin/hosttext.h"
#include "platform/standin/regstore/regnames.h"
#include "platform/text.h"

namespace standin {
namespace {

// A fault as armed: whether it failed a call yet.
struct Armed {
    Fault fault;
    std::string entry;  // empty for a fault a test makes
    bool fired = false;
};

struct Faults {
    std::vector<std::string> calls;
    std::vector<Armed> faults;
    bool logging = false;
};

Faults& F() {
    static Faults state;
    return state;
}

// `path` is `prefix` itself or lies below it, as registry key paths and Windows paths
// are compared: without regard to case, Windows-1252 letters included.
bool KeyPathWithin(const std::string& path, const std::string& prefix) {
    if (path.size() < prefix.size()) return false;
    if (!NamesEqual(std::string_view(path).substr(0, prefix.size()), prefix)) return false;
    return path.size() == prefix.size() || path[prefix.size()] == '\\';
}

// Every call a fault can name: the platform calls the stand-in answers, the registry
// save as a whole, and the file calls of that save; with what each hands FaultFor
// to match besides its name.
enum class PathField { None, KeyPath, WindowsPath };
struct FaultPoint {
    const char* call;
    PathField path;
    bool valueName;
};
const FaultPoint kFaultPoints[] = {
    {"RegCreateKeyExA", PathField::KeyPath, false},  {"RegOpenKeyExA", PathField::KeyPath, false},
    {"RegSetValueExA", PathField::KeyPath, true},    {"RegQueryValueExA", PathField::KeyPath, true},
    {"RegEnumValueA", PathField::KeyPath, false},    {"RegEnumKeyA", PathField::KeyPath, false},
    {"RegDeleteKeyA", PathField::KeyPath, false},    {"RegCloseKey", PathField::KeyPath, false},
    {"OpenFileForReadA", PathField::WindowsPath, false}, {"ReadFile", PathField::None, false},
    {"GetFileAttributesA", PathField::None, false},  {"StartProcessA", PathField::None, false},
    {"SaveRegistry", PathField::KeyPath, false},     {"SaveTempFile", PathField::None, false},
    {"SaveWrite", PathField::None, false},           {"SaveFlush", PathField::None, false},
    {"SaveRename", PathField::None, false},          {"SaveFlushFolder", PathField::None, false},
};

const FaultPoint* FindFaultPoint(const std::string& call) {
    for (const FaultPoint& point : kFaultPoints) {
        if (call == point.call) return &point;
    }
    return nullptr;
}

// Why no key path the registry functions match against can lie within `path`, ""
// when one can: those paths start with a root's full name and have no empty component.
std::string KeyPathFlaw(const std::string& path) {
    const std::size_t slash = path.find('\\');
    RootId root;
    if (!RootFromName(std::string_view(path).substr(0, slash), root)) {
        return "the key path does not start with a root key's full name (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, "
               "HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG or HKEY_DYN_DATA)";
    }
    if (slash == std::string::npos) return std::string();
    std::vector<std::string_view> parts;
    const std::string_view below = std::string_view(path).substr(slash + 1);
    const platform::LONG status = SplitKeyPath(below, parts);
    if (below.empty() || status == platform::ERROR_BAD_PATHNAME)
        return "the key path has an empty component (a doubled or trailing backslash)";
    if (status != platform::ERROR_SUCCESS)
        return "a key name in the path is longer than 255 characters or holds a line break";
    return std::string();
}

// Why no file path the program opens can lie within `path`, "" when one can. The
// program names its files as Windows writes them, on drive C with one backslash before
// each folder or file (C:\Windows\system\Oeminfo.ini), and the match compares
// those bytes: a forward slash, which Windows would take for a backslash, never matches.
std::string FilePathFlaw(const std::string& path) {
    if (path.size() < 2 || FoldByte(static_cast<unsigned char>(path[0])) != 'c' || path[1] != ':')
        return "the file path does not start with C:, the stand-in machine's only drive";
    if (path.find('/') != std::string::npos)
        return "the file path holds a forward slash, where the program writes a backslash";
    if (path.size() == 2) return std::string();  // every file on drive C
    if (path[2] != '\\') return "the file path does not go on from C: with a backslash";
    for (const std::string& part : SplitAt(path.substr(3), "\\")) {
        if (part.empty()) return "the file path has an empty component (a doubled or trailing backslash)";
        if (part.find_first_not_of(". ") == std::string::npos) return "the file path has a component '" + part + "'";
    }
    return std::string();
}

// Why the call of `point` can never match the entry's path and value name fields, ""
// when it can.
std::string FieldsFlaw(const FaultPoint& point, const Fault& fault) {
    const std::string call = point.call;
    if (fault.keyPath && point.path == PathField::None) return call + " is never matched by a key path or file";
    if (fault.valueName && !point.valueName) return call + " is never matched by a value name";
    if (fault.keyPath && point.path == PathField::KeyPath) return KeyPathFlaw(*fault.keyPath);
    if (fault.keyPath && point.path == PathField::WindowsPath) return FilePathFlaw(*fault.keyPath);
    return std::string();
}

// A whole decimal number that fits a LONG and is not 0 (a fault of status 0 would fail
// nothing; one raising 0 would raise nothing).
bool NonZeroNumber(const std::string& text, long& number) {
    if (text.empty() || text.size() > 11) return false;
    char* end = nullptr;
    errno = 0;
    number = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && number != 0 && number >= INT32_MIN && number <= INT32_MAX &&
           text.find_first_of(" \t+") == std::string::npos;
}

// The ANSI form of a field typed on the host (UTF-8), as the calls see their names.
bool AnsiField(const std::string& utf8, std::optional<std::string>& field) {
    if (utf8.empty()) return true;
    std::string ansi;
    if (!platform::ToAnsi(FromUtf8(utf8), ansi)) return false;
    field = ansi;
    return true;
}

// One entry call|keyPath|valueName|status; false with the reason it cannot be used.
bool ReadFaultEntry(const std::string& entry, Fault& fault, std::string& why) {
    const std::vector<std::string> f = SplitAt(entry, "|");
    if (f.size() != 4) {
        why = "it has " + std::to_string(f.size()) + " fields, not the four call|key path or file|value name|status";
        return false;
    }
    const FaultPoint* point = FindFaultPoint(f[0]);
    if (point == nullptr) {
        why = "'" + f[0] + "' is not a call the stand-in can fail";
        return false;
    }
    fault.call = f[0];
    if (!AnsiField(f[1], fault.keyPath) || !AnsiField(f[2], fault.valueName)) {
        why = "a name holds a character that Windows-1252 lacks (or is not UTF-8)";
        return false;
    }
    // An entry that can never fire would let the real patch run instead of the failure
    // the user meant to try.
    why = FieldsFlaw(*point, fault);
    if (!why.empty()) {
        why += ", so the entry could never fire";
        return false;
    }
    const bool raises = f[3].rfind("raise:", 0) == 0;
    long number = 0;
    if (!NonZeroNumber(raises ? f[3].substr(6) : f[3], number)) {
        why = "the status '" + f[3] + "' is not a number other than 0, nor raise:N";
        return false;
    }
    if (raises) fault.raiseNumber = number;
    else fault.status = static_cast<platform::LONG>(number);
    return true;
}

}  // namespace

bool ReadFaultList(const std::string& text, std::vector<std::pair<Fault, std::string>>& faults, std::string& error) {
    faults.clear();
    for (const std::string& entry : SplitAt(text, ";")) {
        if (entry.empty()) continue;
        Fault fault;
        std::string why;
        if (!ReadFaultEntry(entry, fault, why)) {
            error = "IRPATCH_FAULTS entry '" + entry + "' cannot be used: " + why +
                    ". Nothing was changed; correct the entry, or unset IRPATCH_FAULTS for the real patch.";
            return false;
        }
        faults.emplace_back(fault, entry);
    }
    return true;
}

void SetCallLogging(bool on) { F().logging = on; }
bool CallLogging() { return F().logging; }
void LogCall(std::string line) {
    if (F().logging) F().calls.push_back(std::move(line));
}
const std::vector<std::string>& CallLog() { return F().calls; }
void ClearCallLog() { F().calls.clear(); }

void InjectFault(const Fault& fault, const std::string& entry) { F().faults.push_back(Armed{fault, entry}); }
void ClearFaults() { F().faults.clear(); }

bool FaultsArmed(const char* call) {
    for (const Armed& armed : F().faults) {
        if (armed.fault.times != 0 && armed.fault.call == call) return true;
    }
    return false;
}

std::vector<std::string> FaultEntriesNotFired() {
    std::vector<std::string> entries;
    for (const Armed& armed : F().faults) {
        if (!armed.fired && !armed.entry.empty()) entries.push_back(armed.entry);
    }
    return entries;
}

int InjectedErrno(const char* call) { return FaultsArmed(call) ? static_cast<int>(FaultFor(call)) : 0; }

platform::LONG FaultFor(const char* call, const std::string& keyPath, const std::string& valueName) {
    for (Armed& armed : F().faults) {
        Fault& f = armed.fault;
        if (f.times == 0 || f.call != call) continue;
        if (f.keyPath && !KeyPathWithin(keyPath, *f.keyPath)) continue;
        if (f.valueName && !NamesEqual(valueName, *f.valueName)) continue;
        if (f.times > 0) --f.times;
        armed.fired = true;
        if (f.raiseNumber != 0) throw RuntimeError(f.raiseNumber);
        return f.status;
    }
    return platform::ERROR_SUCCESS;
}

}  // namespace standin
