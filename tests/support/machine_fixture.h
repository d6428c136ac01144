// A throwaway stand-in machine for each test, and helpers that look at it only
// through the platform seam, the way the program sees it.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/host_files.h"

struct RegValue {
    platform::DWORD type;
    std::string data;
    bool operator==(const RegValue& o) const { return type == o.type && data == o.data; }
    bool operator!=(const RegValue& o) const { return !(*this == o); }
};

// Every key and value below one root: keys as "Path\To\Key", values as
// "Path\To\Key|name".
struct Snapshot {
    std::set<std::string> keys;
    std::map<std::string, RegValue> values;
};

Snapshot Snap(platform::HKEY root);
std::optional<RegValue> ReadValue(platform::HKEY root, const std::string& path, const std::string& name);
bool KeyPresent(platform::HKEY root, const std::string& path);


// Bytes of a REG_SZ as the string writer stores it: the text and one zero byte.
std::string Sz(const std::string& text);
std::string Bytes(std::initializer_list<int> bytes);

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces registry.reg and drive C's OEM file and opens the machine again.
    void Load(const std::string& registryText);
    void SetOem(const std::string& content);
    void RemoveOem();

    std::vector<std::string> JournalLines() const;
    std::string RegistryFileBytes() const;
    // The calls the stand-in answered since the last ClearCallLog, filtered by prefix.
    std::vector<std::string> Calls(const std::string& prefix) const;

    std::string folder;

private:
    std::unique_ptr<TempFolder> temp_;
};

// A small machine: Enum\BIOS with nested subkeys, sibling branches, the keys the
// patch writes to in part present.
extern const char* const kSampleRegistry;
extern const char* const kK314Oem;

// Runs the program's executable against `machineFolder`; returns its exit status and
// its terminal output. `redirect` (shell syntax, e.g. ">&-") comes after the output's
// own redirections and overrides them.
int RunExe(const std::string& machineFolder, std::string* output = nullptr, const std::string& extraEnv = "",
           const std::string& redirect = "");

#include <functional>

#include "platform/errors.h"

// The error `f` raises; a test failure when it raises none.
RaisedError Raised(const std::function<void()>& f);

// The key paths in Snapshot form, as UTF-8 for readable failure messages.
std::string U8(const std::wstring& text);

inline bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
