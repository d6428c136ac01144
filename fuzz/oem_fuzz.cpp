// Fuzz target: the OEM information file, read the way the program reads it.
//
// The input becomes drive C's Windows\System\OEMINFO.INI of a throwaway stand-in
// machine, and cKORU::Collect reads it through the platform seam (path resolution,
// the buffered line reader, the word splitter). The result is checked against an
// independent reading of the same bytes: lines end at CR LF, CR or LF; the first
// line that starts with "Model=" counts; its rest splits at every blank into words
// 1, 2 and 4. No such line must raise 62 and leave the codes empty; nothing else may
// be raised.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "identity/cKORU.h"
#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/standin/faults.h"
#include "platform/standin/machine.h"
#include "platform/standin/terminal.h"
#include "support/temp_machine.h"

namespace {

TempFolder* g_machine = nullptr;
std::string g_oemPath;

void Fatal(const std::string& what) {
    std::fprintf(stderr, "fuzz_oem: %s\n", what.c_str());
    std::abort();
}

void RemoveMachine() {
    standin::CloseMachine();
    delete g_machine;
}

// A machine folder in memory-backed storage when there is one: every input is a
// file write and a read.
void MakeMachineOnce() {
    g_machine = new TempFolder("fuzz-oem", true);
    MakeMachine(g_machine->Path(), "REGEDIT4\r\n\r\n");
    g_oemPath = OemFile(g_machine->Path());
    std::string error;
    if (!standin::OpenMachine(g_machine->Path(), error)) Fatal(error);
    standin::SetInteractive(false);
    standin::SetCallLogging(true);  // the open-and-close-once check reads the call log
    std::atexit(RemoveMachine);
}

struct Expected {
    bool found = false;
    std::string words[3];
};

// Reads the bytes independently of the program's line reader and splitter.
Expected Reference(const std::string& file) {
    Expected e;
    std::size_t start = 0;
    while (start < file.size()) {
        const std::size_t stop = file.find_first_of("\r\n", start);
        const std::size_t end = stop == std::string::npos ? file.size() : stop;
        const std::string line = file.substr(start, end - start);
        if (line.size() >= 6 && line.compare(0, 6, "Model=") == 0) {
            e.found = true;
            std::size_t word = 0;
            std::size_t from = 6;
            for (;;) {
                const std::size_t blank = line.find(' ', from);
                const std::string w = line.substr(from, blank == std::string::npos ? std::string::npos : blank - from);
                if (word == 0) e.words[0] = w;
                else if (word == 1) e.words[1] = w;
                else if (word == 3) e.words[2] = w;
                if (blank == std::string::npos) break;
                from = blank + 1;
                ++word;
            }
            return e;
        }
        if (stop == std::string::npos) break;
        start = stop + 1;
        if (file[stop] == '\r' && start < file.size() && file[start] == '\n') ++start;
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (g_machine == nullptr) MakeMachineOnce();
    const std::string file(reinterpret_cast<const char*>(data), size);
    WriteHostFile(g_oemPath, file);
    standin::ClearCallLog();  // the log grows with every call otherwise

    const Expected want = Reference(file);
    cKORU koru;
    bool raised = false;
    try {
        koru.Collect(true);
    } catch (const RaisedError& e) {
        raised = true;
        if (e.Number != RuntimeErr::InputPastEnd) Fatal("unexpected error " + std::to_string(e.Number));
        if (want.found) Fatal("a Model= line was there but the read ran past the end");
        if (!koru.ModelName().empty() || !koru.Language().empty() || !koru.RecoveryCD().empty())
            Fatal("a failed read changed the codes");
    }
    if (!raised && !want.found) Fatal("no Model= line, yet the read succeeded");
    if (want.found) {
        if (koru.ModelName() != platform::FromAnsi(want.words[0])) Fatal("model differs");
        if (koru.Language() != platform::FromAnsi(want.words[1])) Fatal("language differs");
        if (koru.RecoveryCD() != platform::FromAnsi(want.words[2])) Fatal("recovery CD code differs");
    }
    // The file is closed on every path.
    std::size_t opens = 0, closes = 0;
    for (const std::string& call : standin::CallLog()) {
        if (call.rfind("OpenFileForReadA", 0) == 0) ++opens;
        if (call.rfind("CloseHandle", 0) == 0) ++closes;
    }
    if (opens != 1 || closes != 1) Fatal("the OEM file was not opened and closed exactly once");
    return 0;
}
