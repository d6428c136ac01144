// Stand-in backend only: the call log and fault injection, and the fault list of
// IRPATCH_FAULTS.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "platform/errors.h"
#include "platform/standin/regnames.h"
#include "platform/standin/standin.h"

namespace standin {
namespace {

struct Faults {
    std::vector<std::string> calls;
    std::vector<Fault> faults;
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
// save as a whole, and the file calls of that save.
const char* const kFaultPoints[] = {
    "RegCreateKeyExA", "RegOpenKeyExA",  "RegSetValueExA",     "RegQueryValueExA", "RegEnumValueA",
    "RegEnumKeyA",     "RegDeleteKeyA",  "RegCloseKey",        "OpenFileForReadA", "ReadFile",
    "GetFileAttributesA", "StartProcessA", "SaveRegistry", "SaveTempFile", "SaveWrite",
    "SaveFlush",       "SaveRename",     "SaveFlushFolder",
};

bool IsFaultPoint(const std::string& call) {
    return std::any_of(std::begin(kFaultPoints), std::end(kFaultPoints),
                       [&](const char* point) { return call == point; });
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
    if (!IsFaultPoint(f[0])) {
        why = "'" + f[0] + "' is not a call the stand-in can fail";
        return false;
    }
    fault.call = f[0];
    if (!AnsiField(f[1], fault.keyPath) || !AnsiField(f[2], fault.valueName)) {
        why = "a name holds a character that Windows-1252 lacks (or is not UTF-8)";
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

bool ReadFaultList(const std::string& text, std::vector<Fault>& faults, std::string& error) {
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
        faults.push_back(fault);
    }
    return true;
}

void SetCallLogging(bool on) { F().logging = on; }
bool CallLogging() { return F().logging; }
void LogCall(std::string line) {
    if (F().logging) F().calls.push_back(std::move(line));
}
std::string Hex(std::uint64_t n) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(n));
    return text;
}
const std::vector<std::string>& CallLog() { return F().calls; }
void ClearCallLog() { F().calls.clear(); }

void InjectFault(const Fault& fault) { F().faults.push_back(fault); }
void ClearFaults() { F().faults.clear(); }

bool FaultsArmed(const char* call) {
    for (const Fault& f : F().faults) {
        if (f.times != 0 && f.call == call) return true;
    }
    return false;
}

int InjectedErrno(const char* call) { return FaultsArmed(call) ? static_cast<int>(FaultFor(call)) : 0; }

platform::LONG FaultFor(const char* call, const std::string& keyPath, const std::string& valueName) {
    for (Fault& f : F().faults) {
        if (f.times == 0 || f.call != call) continue;
        if (f.keyPath && !KeyPathWithin(keyPath, *f.keyPath)) continue;
        if (f.valueName && !NamesEqual(valueName, *f.valueName)) continue;
        if (f.times > 0) --f.times;
        if (f.raiseNumber != 0) throw RuntimeError(f.raiseNumber);
        return f.status;
    }
    return platform::ERROR_SUCCESS;
}

}  // namespace standin
