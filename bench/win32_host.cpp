// The benchmark's host on Windows (or Wine): keys written through the real API under
// HKEY_CURRENT_USER\Software\IRPatchTest, removed again by CleanUp.
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_host.h"
#include "platform/platform.h"

using namespace platform;

namespace bench {
namespace {
const char kTestKey[] = "Software\\IRPatchTest";
}

bool SeedKeys(const std::vector<int>& counts, std::vector<SeededKey>& keys, std::string& error) {
    RegDeleteKeyA(HKEY_CURRENT_USER, kTestKey);  // what an interrupted run left
    for (int count : counts) {
        const std::string section = std::string(kTestKey) + "\\Bench" + std::to_string(count);
        HKEY hKey = 0;
        DWORD disposition = 0;
        LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, section.c_str(), 0, "", REG_OPTION_NON_VOLATILE,
                                      KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &hKey, &disposition);
        char name[16];
        const auto* data = reinterpret_cast<const BYTE*>(kSeedText);
        const auto size = static_cast<DWORD>(std::strlen(kSeedText) + 1);
        for (int i = 0; i < count && status == ERROR_SUCCESS; ++i) {
            std::snprintf(name, sizeof name, "v%05d", i);
            status = RegSetValueExA(hKey, name, 0, REG_SZ, data, size);
        }
        RegCloseKey(hKey);
        if (status != ERROR_SUCCESS) {
            error = "writing HKEY_CURRENT_USER\\" + section + " failed with status " + std::to_string(status);
            return false;
        }
        keys.push_back(SeededKey{count, std::wstring(section.begin(), section.end())});
    }
    return true;
}

void CleanUp() { RegDeleteKeyA(HKEY_CURRENT_USER, kTestKey); }

std::int32_t Root() { return static_cast<std::int32_t>(HKEY_CURRENT_USER); }

void BetweenRuns() {}

std::string HostName() { return "the Win32 API (run under Wine: Wine's registry)"; }

void StoreBenchmark() {
    std::printf("\n(the store part runs only in the native build: this host has no stand-in store)\n");
}

int StorePeakChild(const char*) { return 2; }

}  // namespace bench
