// What the registry benchmark needs from the machine it runs on. The stand-in host
// (Linux) seeds keys by loading a REGEDIT4 file into a throwaway machine folder; the
// Win32 host (Windows or Wine) writes them through the real API under
// HKEY_CURRENT_USER\Software\IRPatchTest and removes them afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A key the host filled with `count` REG_SZ values named v00000, v00001, ...
struct SeededKey {
    int count;
    std::wstring section;  // below Root()
};

// Makes one key per count in `counts`. False with a message when the host cannot.
bool SeedKeys(const std::vector<int>& counts, std::vector<SeededKey>& keys, std::string& error);
// Removes what SeedKeys made and anything else the host set up.
void CleanUp();
// The root the seeded keys hang below, as cRegistry's ClassKey takes it.
std::int32_t Root();
// Called between timed runs: the stand-in drops its call log here so that its growth
// is not part of the figures.
void BetweenRuns();
// "stand-in" or "Win32 (Wine ...)" for the report.
std::string HostName();

// The data every seeded value holds (a REG_SZ of 20 characters).
constexpr const char* kSeedText = "C:\\WINDOWS\\SYSTEM\\IR";

// The part of the benchmark that only the stand-in has: loading and saving a
// full-size registry in its store. The Win32 host prints a note instead.
void StoreBenchmark();
// The benchmark started again as `registry_bench --store-peak FILE` by StoreBenchmark:
// a fresh process, so that its peak memory is the load's and the save's alone.
// Prints one line of figures; returns the exit status.
int StorePeakChild(const char* file);

}  // namespace bench
