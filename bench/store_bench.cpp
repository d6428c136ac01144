// Stand-in only: the registry store loading and saving a full-size Windows 98
// registry. A regression check: the stand-in is frozen and has no goals of its own;
// a figure that moves much against docs/performance.md says what a change cost.
//
// The registry is generated (same seed, same bytes every run): about 60,000 keys and
// 200,000 values in the proportions of a Windows 98 machine -- a large
// Software\Classes\CLSID branch of small keys, device and service trees with several
// values per key, strings, DWORDs and binary data of a few to a hundred bytes -- in
// REGEDIT4 form, about 16 MB.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_host.h"
#include "platform/standin/regstore/regfile.h"
#include "support/temp_machine.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
using standin::RegKey;
using standin::RegStore;
using standin::RootId;

double Seconds(const std::function<void()>& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double BestOf(int runs, const std::function<void()>& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) best = std::min(best, Seconds(f));
    return best;
}

// ---- The generated registry ---------------------------------------------------------

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint32_t Below(std::uint32_t n) {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>((state_ >> 33) % n);
    }

private:
    std::uint64_t state_;
};

const char* const kWords[] = {"Display", "Network", "System", "Ports", "Modem", "Media", "Keyboard", "Mouse",
                              "Printer", "Adapter", "Driver", "Config", "Control", "Setup", "Policies", "Shell",
                              "Explorer", "Fonts", "Infrared", "Power", "Monitor", "hdc", "Class", "Enum",
                              "ProviderName", "DevLoader", "Settings", "Connections", "Internet", "Winsock"};
constexpr std::uint32_t kWordCount = sizeof kWords / sizeof kWords[0];

std::string Guid(Random& r) {
    static const char hex[] = "0123456789ABCDEF";
    std::string g = "{";
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) g += '-';
        g += hex[r.Below(16)];
    }
    return g + "}";
}

std::string Text(Random& r, std::uint32_t minLength, std::uint32_t maxLength) {
    std::string t;
    const std::uint32_t length = minLength + r.Below(maxLength - minLength + 1);
    while (t.size() < length) {
        if (!t.empty()) t += r.Below(4) == 0 ? '\\' : ' ';
        t += kWords[r.Below(kWordCount)];
    }
    t.resize(length);
    return t;
}

std::vector<std::uint8_t> Sz(const std::string& text) {
    std::vector<std::uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

void AddRandomValue(RegKey& key, Random& r, int serial) {
    std::string name = std::string(kWords[r.Below(kWordCount)]) + std::to_string(serial);
    const std::uint32_t kind = r.Below(20);
    if (kind < 10) {
        key.AppendValue(name, platform::REG_SZ, Sz(Text(r, 4, 48)));
    } else if (kind < 15) {
        const std::uint32_t n = r.Below(1u << 16);
        key.AppendValue(name, platform::REG_DWORD,
                        {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), 0, 0});
    } else {
        std::vector<std::uint8_t> data(4 + r.Below(kind == 19 ? 120 : 28));
        for (auto& b : data) b = static_cast<std::uint8_t>(r.Below(256));
        key.AppendValue(name, platform::REG_BINARY, std::move(data));
    }
}

struct Generated {
    std::string text;
    int keys = 0;
    int values = 0;
};

Generated GenerateWin98Registry() {
    constexpr int kClsids = 12000;       // 2 keys and 3 values each
    constexpr int kExtensions = 3000;    // 1 key and 2 values each
    constexpr int kOtherKeys = 33000;    // device, service, software and user trees
    constexpr int kOtherValues = 158000;

    Random r(98);
    RegStore store;
    RegKey& hklm = store.Root(RootId::LocalMachine);
    RegKey& classes = hklm.AppendSubkey("Software").AppendSubkey("Classes");
    RegKey& clsid = classes.AppendSubkey("CLSID");
    for (int i = 0; i < kClsids; ++i) {
        RegKey& k = clsid.AppendSubkey(Guid(r));
        k.AppendValue("", platform::REG_SZ, Sz(Text(r, 8, 32)));
        RegKey& server = k.AppendSubkey("InprocServer32");
        server.AppendValue("", platform::REG_SZ, Sz("C:\\WINDOWS\\SYSTEM\\" + Text(r, 4, 8) + ".DLL"));
        server.AppendValue("ThreadingModel", platform::REG_SZ, Sz("Apartment"));
    }
    for (int i = 0; i < kExtensions; ++i) {
        RegKey& k = classes.AppendSubkey(".x" + std::to_string(i));
        k.AppendValue("", platform::REG_SZ, Sz(std::string(kWords[r.Below(kWordCount)]) + ".Document"));
        k.AppendValue("Content Type", platform::REG_SZ, Sz("application/x-" + Text(r, 4, 12)));
    }

    // The other trees grow by hanging each new key below a random earlier one, which
    // gives a few wide and many narrow keys, four to eight levels deep.
    std::vector<RegKey*> others = {&hklm.AppendSubkey("Enum"), &hklm.AppendSubkey("System"),
                                   &hklm.AppendSubkey("Config"),
                                   &store.Root(RootId::Users).AppendSubkey(".DEFAULT")};
    int made = 0;
    while (made < kOtherKeys) {
        RegKey* parent = others[r.Below(static_cast<std::uint32_t>(others.size()))];
        if (parent->Depth() > 7) continue;
        others.push_back(&parent->AppendSubkey(std::string(kWords[r.Below(kWordCount)]) + std::to_string(made)));
        ++made;
    }
    for (int i = 0; i < kOtherValues; ++i) AddRandomValue(*others[r.Below(static_cast<std::uint32_t>(others.size()))], r, i);

    Generated g;
    g.text = store.ToText();
    g.keys = 3 + 2 * kClsids + kExtensions + kOtherKeys + 4;
    g.values = 3 * kClsids + 2 * kExtensions + kOtherValues;
    return g;
}

// ---- Memory -------------------------------------------------------------------------

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"); -1 when it cannot be read.
long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

// Runs this program again as `--store-peak file` and passes its one line on.
void MeasurePeakInChild(const std::string& file) {
    std::fflush(stdout);
    const std::string command = "'/proc/" + std::to_string(::getpid()) + "/exe' --store-peak '" + file + "'";
    if (std::system(command.c_str()) != 0) std::printf("peak memory not measured: the child run failed\n");
}

}  // namespace

int StorePeakChild(const char* file) {
    struct stat st {};
    if (::stat(file, &st) != 0) return 1;
    const double fileKb = static_cast<double>(st.st_size) / 1024.0;
    const double base = static_cast<double>(StatusKb("VmHWM"));
    auto store = std::make_unique<RegStore>();
    std::string error;
    if (!standin::LoadRegFile(file, *store, error)) return 1;
    const double held = static_cast<double>(StatusKb("VmRSS")) - base;
    const double peakLoad = static_cast<double>(StatusKb("VmHWM")) - base;
    if (!standin::SaveRegFile(*store, file, error)) return 1;
    const double peakSave = static_cast<double>(StatusKb("VmHWM")) - base;
    std::printf("memory above the process's start: store held %.1f MB; peak of load %.1f MB (%.2fx the file), "
                "of load + save %.1f MB (%.2fx)\n",
                held / 1024.0, peakLoad / 1024.0, peakLoad / fileKb, peakSave / 1024.0, peakSave / fileKb);
    return 0;
}

namespace {

// Parsing alone, from text already in memory.
void TimeParse(const std::string& text, const std::string& file, double megabytes) {
    const double parse = BestOf(3, [&] {
        RegStore store;
        std::string error;
        if (!standin::ParseRegText(text.data(), text.size(), file, store, error))
            std::printf("parse failed: %s\n", error.c_str());
    });
    std::printf("parse (text in memory)        %8.1f ms  %8.1f MB/s\n", parse * 1e3,
                megabytes / parse);
}

// Load and save as the stand-in does them: read + parse; text + temporary file +
// fsync + rename + folder fsync.
void TimeLoadAndSave(const std::string& file, double megabytes) {
    std::unique_ptr<RegStore> store;
    const double load = BestOf(3, [&] {
        store = std::make_unique<RegStore>();
        std::string error;
        if (!standin::LoadRegFile(file, *store, error)) std::printf("load failed: %s\n", error.c_str());
    });
    const double text = BestOf(3, [&] { (void)store->ToText(); });
    const double save = BestOf(3, [&] {
        std::string error;
        if (!standin::SaveRegFile(*store, file, error)) std::printf("save failed: %s\n", error.c_str());
    });
    std::printf("load (read + parse)           %8.1f ms  %8.1f MB/s\n", load * 1e3, megabytes / load);
    std::printf("text form (ToText)            %8.1f ms  %8.1f MB/s\n", text * 1e3, megabytes / text);
    std::printf("save (text + write + fsync)   %8.1f ms  %8.1f MB/s\n", save * 1e3, megabytes / save);
    std::printf("load + save                   %8.1f ms\n", (load + save) * 1e3);
}

}  // namespace

void StoreBenchmark() {
    std::printf("\n== Stand-in registry store: a full-size Windows 98 registry ==\n");
    std::unique_ptr<TempFolder> folder;
    std::string file;
    double megabytes = 0;
    {
        const Generated g = GenerateWin98Registry();
        megabytes = static_cast<double>(g.text.size()) / 1e6;
        std::printf("generated: %d keys, %d values, %.2f MB of REGEDIT4\n", g.keys, g.values, megabytes);
        try {
            folder = std::make_unique<TempFolder>("bench-store");
            file = folder->Path() + "/registry.reg";
            WriteHostFile(file, g.text);
        } catch (const std::exception& e) {
            std::printf("%s; store part skipped\n", e.what());
            return;
        }
        TimeParse(g.text, file, megabytes);
    }
    TimeLoadAndSave(file, megabytes);
    MeasurePeakInChild(file);
    std::fflush(stdout);
}

}  // namespace bench
