// The benchmark's host on Linux: a throwaway stand-in machine folder in /tmp.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_host.h"
#include "platform/standin/standin.h"

namespace bench {
namespace {
std::string g_folder;
}

bool SeedKeys(const std::vector<int>& counts, std::vector<SeededKey>& keys, std::string& error) {
    char folder[] = "/tmp/irpatch-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        error = "cannot make a folder in /tmp";
        return false;
    }
    g_folder = folder;
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
    const std::string file = g_folder + "/registry.reg";
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
        error = "cannot write " + file;
        return false;
    }
    return standin::OpenMachine(g_folder, error);
}

void CleanUp() {
    standin::CloseMachine();
    standin::ClearCallLog();
    if (!g_folder.empty()) std::system(("rm -rf '" + g_folder + "'").c_str());
    g_folder.clear();
}

std::int32_t Root() { return static_cast<std::int32_t>(platform::HKEY_LOCAL_MACHINE); }

void BetweenRuns() { standin::ClearCallLog(); }

std::string HostName() { return "the stand-in (Linux)"; }

}  // namespace bench
