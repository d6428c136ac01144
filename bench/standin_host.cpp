// The benchmark's host on Linux: a throwaway stand-in machine.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "bench/bench_host.h"
#include "platform/standin/faults.h"
#include "platform/standin/machine.h"
#include "support/temp_machine.h"

namespace bench {
namespace {
std::unique_ptr<TempFolder> g_machine;
}

bool SeedKeys(const std::vector<int>& counts, std::vector<SeededKey>& keys, std::string& error) {
    std::string text = "REGEDIT4\r\n\r\n";
    for (int count : counts) {
        const std::string section = "Software\\IRPatchTest\\Bench" + std::to_string(count);
        text += "[HKEY_LOCAL_MACHINE\\" + section + "]\r\n";
        char line[64];
        for (int i = 0; i < count; ++i) {
            std::snprintf(line, sizeof line, "\"v%05d\"=\"%s\"\r\n", i, "C:\\\\WINDOWS\\\\SYSTEM\\\\IR");
            text += line;
        }
        text += "\r\n";
        keys.push_back(SeededKey{count, std::wstring(section.begin(), section.end())});
    }
    try {
        g_machine = std::make_unique<TempFolder>("bench");
        MakeMachine(g_machine->Path(), text);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return standin::OpenMachine(g_machine->Path(), error);
}

void CleanUp() {
    standin::CloseMachine();
    standin::ClearCallLog();
    g_machine.reset();
}

std::int32_t Root() { return static_cast<std::int32_t>(platform::HKEY_LOCAL_MACHINE); }

void BetweenRuns() { standin::ClearCallLog(); }

std::string HostName() { return "the stand-in (Linux)"; }

}  // namespace bench
