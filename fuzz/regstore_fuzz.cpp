// Fuzz target: the REGEDIT4 parser of the stand-in's registry store.
//
// Any input either parses, or is refused with a message that names the file and a
// line inside it. An accepted input must survive what a save does to it: its text
// form (what SaveRegFile writes) parses again to the same tree, and writing that
// tree gives the same text, so a load-save-load cycle never changes a registry.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/standin/regstore/regfile.h"

using namespace standin;

namespace {

[[noreturn]] void Broken(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_regstore: %s\n%s\n", what, detail.c_str());
    std::abort();
}

void CheckSameKey(const RegKey& a, const RegKey& b) {
    if (a.Name() != b.Name()) Broken("key name changed on reload", a.FullPath());
    if (a.ValueCount() != b.ValueCount()) Broken("value count changed on reload", a.FullPath());
    for (std::size_t i = 0; i < a.ValueCount(); ++i) {
        const RegValue& x = a.ValueAt(i);
        const RegValue& y = b.ValueAt(i);
        if (x.name != y.name || x.type != y.type || x.data != y.data)
            Broken("value changed on reload", a.FullPath() + " | " + x.name);
    }
    if (a.SubkeyCount() != b.SubkeyCount()) Broken("subkey count changed on reload", a.FullPath());
    for (std::size_t i = 0; i < a.SubkeyCount(); ++i) CheckSameKey(a.SubkeyAt(i), b.SubkeyAt(i));
}

std::size_t LineCount(const char* text, std::size_t size) {
    std::size_t lines = 1;
    for (std::size_t i = 0; i < size; ++i)
        if (text[i] == '\n') ++lines;
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    RegStore store;
    std::string error;
    if (!ParseRegText(text, size, "fuzz.reg", store, error)) {
        const std::string prefix = "fuzz.reg, line ";
        if (error.compare(0, prefix.size(), prefix) != 0) Broken("error without file and line", error);
        const std::size_t line = std::strtoul(error.c_str() + prefix.size(), nullptr, 10);
        if (line == 0 || line > LineCount(text, size)) Broken("error names a line outside the file", error);
        return 0;
    }
    const std::string saved = store.ToText();
    RegStore back;
    if (!ParseRegText(saved.data(), saved.size(), "saved.reg", back, error))
        Broken("the saved form of an accepted file is refused", error + "\n--- saved:\n" + saved);
    for (int r = 0; r < kRootCount; ++r)
        CheckSameKey(store.Root(static_cast<RootId>(r)), back.Root(static_cast<RootId>(r)));
    if (back.ToText() != saved) Broken("saving the reloaded tree gives other text", saved);
    return 0;
}
