// The read side of cRegistry on the real Win32 registry (run under Wine): the same
// cases as the unit tests over the stand-in, against what the system's own
// RegEnumValueA and RegEnumKeyA report. Prints one line per check and exits 1 when
// any failed.
//
// Works in HKEY_CURRENT_USER\Software\IRPatchTest, which it removes before and after.
// Wine keeps a key's values and subkeys sorted by name while Windows 98 keeps them in
// the order they were written; the names below sort in the order they are written,
// so both give the same enumeration order.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "registry/cRegistry.h"

using namespace platform;

namespace {

int g_failures = 0;

// Wide text shown in ASCII: printable characters as they are, others as \uXXXX.
std::string Shown(const std::wstring& text) {
    std::string out;
    char hex[8];
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out.size() > 80 ? out.substr(0, 77) + "..." : out;
}

void Check(bool ok, const std::string& what, const std::string& detail = std::string()) {
    std::printf("%s - %s%s%s\n", ok ? "ok" : "FAIL", what.c_str(), ok || detail.empty() ? "" : ": ",
                ok ? "" : detail.c_str());
    if (!ok) ++g_failures;
}

void CheckText(const std::wstring& got, const std::wstring& want, const std::string& what) {
    Check(got == want, what, "got \"" + Shown(got) + "\" (" + std::to_string(got.size()) + " characters), want \"" +
                                 Shown(want) + "\" (" + std::to_string(want.size()) + ")");
}

void CheckCount(long got, long want, const std::string& what) {
    Check(got == want, what, "got " + std::to_string(got) + ", want " + std::to_string(want));
}

const std::int32_t kHkcu = static_cast<std::int32_t>(HKEY_CURRENT_USER);
const char kTestKey[] = "Software\\IRPatchTest";

// ---- Seeding through the bare API --------------------------------------------------

// Creates parent\name. Wine's ANSI entry points convert the whole subkey path into a
// buffer of MAX_PATH + 1 characters and refuse a longer one (ERROR_MORE_DATA), so a
// long name is created through a handle to its parent rather than as one full path.
bool MakeKey(const std::string& parent, const std::string& name) {
    HKEY hParent = 0;
    HKEY hKey = 0;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, parent.c_str(), 0, "", REG_OPTION_NON_VOLATILE, 0x3F, nullptr,
                                  &hParent, &disposition);
    if (status == ERROR_SUCCESS)
        status = RegCreateKeyExA(hParent, name.c_str(), 0, "", REG_OPTION_NON_VOLATILE, 0x3F, nullptr, &hKey,
                                 &disposition);
    RegCloseKey(hKey);
    RegCloseKey(hParent);
    return status == ERROR_SUCCESS;
}

bool SetValue(const std::string& path, const std::string& name, DWORD type, const std::string& data) {
    HKEY hKey = 0;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, "", REG_OPTION_NON_VOLATILE, 0x3F, nullptr,
                                  &hKey, &disposition);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(hKey, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                static_cast<DWORD>(data.size()));
    }
    RegCloseKey(hKey);
    return status == ERROR_SUCCESS;
}

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

cRegistry At(const std::string& section, const std::wstring& name = L"") {
    cRegistry reg;
    reg.ClassKey(kHkcu);
    reg.SectionKey(std::wstring(section.begin(), section.end()));
    reg.ValueKey(name);
    reg.Default(L"?WHERE?");
    return reg;
}

std::vector<cRegistryValueEntry> Values(cRegistry& reg, std::int16_t& count) {
    cRegistry::ValueListing list;
    count = -1;
    reg.EnumerateValues(list, count);
    return {list.begin(), list.end()};
}

std::vector<std::wstring> Sections(cRegistry& reg, std::int16_t& count) {
    cRegistry::SectionListing list;
    count = -1;
    reg.EnumerateSections(list, count);
    return {list.begin(), list.end()};
}

// ---- The cases -------------------------------------------------------------------------

void StringAndDword() {
    const std::string key = std::string(kTestKey) + "\\Typed";
    cRegistry reg = At(key, L"a_Port");
    reg.StringValue(L"COM1");
    reg.ValueKey(L"b_One");
    reg.DWordValue(1);
    reg.ValueKey(L"a_Port");
    CheckText(reg.Value(), L"COM1", "Value of a string written as COM1 has 4 characters");
    reg.ValueKey(L"b_One");
    CheckText(reg.Value(), std::wstring(L"\x01\0\0", 3), "Value of DWORD 1 is U+0001 U+0000 U+0000");
    reg.ValueKey(L"A_PORT");
    CheckText(reg.Value(), L"?WHERE?", "a name differing only in case reads as Default");

    std::int16_t count = 0;
    auto listed = Values(reg, count);
    CheckCount(count, 2, "EnumerateValues counts both values");
    if (listed.size() == 2) {
        CheckText(listed[0].Data, std::wstring(L"COM1\0", 5), "EnumerateValues lists COM1 with its NUL");
        CheckText(listed[1].Data, std::wstring(L"\x01\0\0\0", 4), "EnumerateValues lists all 4 DWORD bytes");
        CheckText(listed[0].Name, L"a_Port", "EnumerateValues lists the names");
    }

    reg.ValueKey(L"");
    reg.StringValue(L"unnamed");
    CheckText(reg.Value(), L"unnamed", "an empty ValueKey reads the unnamed value");
}

void BufferLimits() {
    const std::string key = std::string(kTestKey) + "\\Limits";
    const std::string name254 = "a" + std::string(253, 'n');
    const std::string name255 = "c" + std::string(254, 'N');
    const std::string data255 = std::string(254, 'A') + std::string(1, '\0');
    Check(SetValue(key, name254, REG_BINARY, data255) && SetValue(key, "b_before", REG_SZ, Sz("b")) &&
              SetValue(key, name255, REG_SZ, Sz("long name")) && SetValue(key, "d_after", REG_SZ, Sz("a")),
          "seed the name-limit key");
    cRegistry reg = At(key, std::wstring(name254.begin(), name254.end()));
    CheckText(reg.Value(), std::wstring(254, L'A'), "a 254-character name with 255 bytes of data fits");
    reg.ValueKey(L"b_before");
    CheckText(reg.Value(), L"b", "a value before the long name is found");
    reg.ValueKey(L"d_after");
    CheckText(reg.Value(), L"?WHERE?", "a 255-character name ends the walk: the value after it is not found");
    std::int16_t count = 0;
    Values(reg, count);
    CheckCount(count, 2, "the listing ends at the 255-character name");

    const std::string dataKey = std::string(kTestKey) + "\\BigData";
    Check(SetValue(dataKey, "a_before", REG_SZ, Sz("b")) && SetValue(dataKey, "b_big", REG_BINARY, std::string(256, 'x')) &&
              SetValue(dataKey, "c_after", REG_SZ, Sz("a")),
          "seed the data-limit key");
    reg.SectionKey(std::wstring(dataKey.begin(), dataKey.end()));
    reg.ValueKey(L"b_big");
    CheckText(reg.Value(), L"?WHERE?", "256 bytes of data hide the value itself");
    reg.ValueKey(L"c_after");
    CheckText(reg.Value(), L"?WHERE?", "256 bytes of data end the walk");
    Values(reg, count);
    CheckCount(count, 1, "the listing ends at 256 bytes of data");
}

void Subkeys() {
    const std::string key = std::string(kTestKey) + "\\Subkeys";
    const std::string name254 = "b" + std::string(253, 'k');
    Check(MakeKey(key, "a_first\\deep") && MakeKey(key, name254) && MakeKey(key, "c" + std::string(254, 'K')) &&
              MakeKey(key, "d_after"),
          "seed the subkeys");
    cRegistry reg = At(key);
    std::int16_t count = 0;
    auto names = Sections(reg, count);
    CheckCount(count, 2, "the subkey listing works through the read side's open and ends at a 255-character name");
    if (names.size() == 2) {
        CheckText(names[0], L"a_first", "subkeys are listed by name, immediate ones only");
        CheckText(names[1], std::wstring(name254.begin(), name254.end()), "a 254-character subkey name fits");
    }

    cRegistry root = At("");
    CheckCount(root.KeyExists(), 1, "an empty SectionKey is the root itself");
    bool software = false;
    for (const std::wstring& name : Sections(root, count)) software = software || name == L"Software";
    Check(software, "the root's listing holds Software");
}

void AbsentKeys() {
    const std::string key = std::string(kTestKey) + "\\Full";
    Check(SetValue(key, "v", REG_SZ, Sz("x")) && MakeKey(key, "Sub") && SetValue(std::string(kTestKey) + "\\A?B", "v", REG_SZ, Sz("x")),
          "seed the present keys");
    cRegistry full = At(key, L"v");
    CheckCount(full.KeyExists(), 1, "KeyExists is true for a present key");

    cRegistry unset;
    unset.Default(L"?WHERE?");
    struct Case {
        const char* what;
        cRegistry reg;
    } cases[] = {{"a missing key", At(std::string(kTestKey) + "\\Missing", L"v")},
                 {"root 0", unset},
                 {"a path the code page cannot hold", At("", L"v")}};
    cases[2].reg.SectionKey(L"Software\\IRPatchTest\\A\u4e00B");
    for (Case& c : cases) {
        cRegistry::ValueListing values;
        cRegistry::SectionListing sections;
        std::int16_t valueCount = 0;
        std::int16_t sectionCount = 0;
        full.EnumerateValues(values, valueCount);
        full.EnumerateSections(sections, sectionCount);
        const std::string what = c.what;
        CheckCount(c.reg.KeyExists(), 0, what + ": KeyExists is false");
        CheckText(c.reg.Value(), L"?WHERE?", what + ": Value is Default");
        c.reg.EnumerateValues(values, valueCount);
        c.reg.EnumerateSections(sections, sectionCount);
        Check(valueCount == 0 && values.Empty() && sectionCount == 0 && sections.Empty(),
              what + ": both listings come back empty after holding entries");
    }
}

void Overflow() {
    const std::string key = std::string(kTestKey) + "\\Many";
    HKEY hKey = 0;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, "", REG_OPTION_NON_VOLATILE, 0x3F, nullptr,
                                  &hKey, &disposition);
    char name[16];
    for (int i = 0; i < 32768 && status == ERROR_SUCCESS; ++i) {
        std::snprintf(name, sizeof name, "v%05d", i);
        status = RegSetValueExA(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 2);
    }
    RegCloseKey(hKey);
    Check(status == ERROR_SUCCESS, "seed 32,768 values");

    cRegistry reg = At(key);
    cRegistry::ValueListing values;
    std::int16_t count = 0;
    long raised = 0;
    try {
        reg.EnumerateValues(values, count);
    } catch (const RaisedError& e) {
        raised = e.Number;
    }
    CheckCount(raised, 6, "the 32,768th value raises the overflow error");
    CheckCount(count, 32767, "the count keeps the 32,767 values listed");
    Check(values.Size() == 32767 && values(32767).Name == L"v32766", "the list keeps the 32,767 values listed");
}

}  // namespace

int main() {
    RegDeleteKeyA(HKEY_CURRENT_USER, kTestKey);  // what an interrupted run left
    StringAndDword();
    BufferLimits();
    Subkeys();
    AbsentKeys();
    Overflow();
    CheckCount(RegDeleteKeyA(HKEY_CURRENT_USER, kTestKey), ERROR_SUCCESS, "remove the test keys");
    std::printf("%d check(s) failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
