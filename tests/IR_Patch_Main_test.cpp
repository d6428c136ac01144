// The patch driver against a simulated RDA-K314: what a full run, a refusal and each
// failing step leave in the registry, on screen and in the restart request.
#include "main/IR_Patch_Main.h"

#include <set>

#include "platform/errors.h"
#include "platform/standin/faults.h"
#include "support/machine_fixture.h"

using namespace platform;
using IR_Patch_Main::Script;
using IR_Patch_Main::ScriptRow;

namespace {

const char* const kClosingLine =
    "MessageBox style=0x40 title=\"Redémarage\" text=\"Pour terminer l'installation, votre ordinateur va "
    "redémarer.\"";
const char* const kRefusalLine =
    "MessageBox style=0x10 title=\"Patch arreté\" text=\"Se système n'est pas un RDA-K314(FR)!\"";

std::string Ansi(const std::wstring& text) {
    std::string out;
    ToAnsi(text, out);
    return out;
}

std::string Dword(std::uint32_t n) {
    return Bytes({int(n & 0xFF), int((n >> 8) & 0xFF), int((n >> 16) & 0xFF), int(n >> 24)});
}

// The fifteen rows as the registry must hold them, written out by hand: the key below
// HKEY_LOCAL_MACHINE, the value name, its type and bytes, and the value as an error
// description shows it.
struct Row {
    std::string section;
    std::string name;
    RegValue stored;
    std::wstring shown;
};

const std::string kDevice = "Enum\\ACPI\\*KMO7001\\0";
const std::string kIrXfer = "Software\\Microsoft\\IrXfer\\Options";
const Row kRows[15] = {
    {kDevice, "ClassGUID", {REG_SZ, Sz("{4d36e972-e325-11ce-bfc1-08002be10318}")},
     L"{4d36e972-e325-11ce-bfc1-08002be10318}"},
    {kDevice, "DeviceDesc", {REG_SZ, Sz("Kemo Fast Infrared Port")}, L"Kemo Fast Infrared Port"},
    {kDevice, "Driver", {REG_SZ, Sz("Net\\0001")}, L"Net\\0001"},
    {kDevice, "Mfg", {REG_SZ, Sz("KEMO")}, L"KEMO"},
    {kDevice, "CompatibleIDs", {REG_SZ, Sz("*NSC6001,*KMO7001")}, L"*NSC6001,*KMO7001"},
    {kDevice, "ConfigFlags", {REG_BINARY, Bytes({0x10, 0, 0, 0})}, std::wstring(L"\x10\0\0\0", 4)},
    {kDevice + "\\Bindings", "FASTIR\\0000", {REG_SZ, Bytes({0})}, L""},
    {"Enum\\INFRARED\\Framer", "PortName", {REG_SZ, Sz("COM1")}, L"COM1"},
    {kIrXfer, "FullView", {REG_DWORD, Dword(1)}, L"1"},
    {kIrXfer, "UseLargeIcons", {REG_DWORD, Dword(1)}, L"1"},
    {kIrXfer, "Unload", {REG_DWORD, Dword(0)}, L"0"},
    {kIrXfer, "XPos", {REG_DWORD, Dword(0)}, L"0"},
    {kIrXfer, "YPos", {REG_DWORD, Dword(0)}, L"0"},
    {"System\\CurrentControlSet\\Control\\SessionManager\\Known16DLLs", "enumfile.dll",
     {REG_SZ, Sz("enumfile.dll")}, L"enumfile.dll"},
    {"System\\CurrentControlSet\\Services\\VxD\\Winsock", "Ancillary Function Driver for Winsock",
     {REG_SZ, Sz("afvxd.vxd")}, L"afvxd.vxd"},
};

// `section` and the keys above it.
void AddKeys(std::set<std::string>& keys, const std::string& section) {
    for (std::size_t p = section.find('\\'); p != std::string::npos; p = section.find('\\', p + 1))
        keys.insert(section.substr(0, p));
    keys.insert(section);
}

// The machine as it must be after Enum\BIOS is deleted and the first `rows` rows
// are written, starting from `before`.
Snapshot Expected(Snapshot before, std::size_t rows) {
    for (auto it = before.keys.begin(); it != before.keys.end();)
        it = (*it == "Enum\\BIOS" || it->rfind("Enum\\BIOS\\", 0) == 0) ? before.keys.erase(it) : std::next(it);
    for (auto it = before.values.begin(); it != before.values.end();)
        it = it->first.rfind("Enum\\BIOS\\", 0) == 0 ? before.values.erase(it) : std::next(it);
    for (std::size_t i = 0; i < rows; ++i) {
        AddKeys(before.keys, kRows[i].section);
        before.values[kRows[i].section + "|" + kRows[i].name] = kRows[i].stored;
    }
    return before;
}

void ExpectSameMachine(const Snapshot& actual, const Snapshot& expected) {
    EXPECT_EQ(actual.keys, expected.keys);
    for (const auto& [name, value] : expected.values) {
        auto it = actual.values.find(name);
        if (it == actual.values.end()) ADD_FAILURE() << "missing value " << name;
        else EXPECT_EQ(it->second, value) << name;
    }
    for (const auto& [name, value] : actual.values)
        EXPECT_TRUE(expected.values.count(name)) << "unexpected value " << name;
}

class Patch : public MachineTest {};

TEST_F(Patch, TheScriptIsTheFifteenRowsInOrder) {
    ASSERT_EQ(Script().size(), 15u);
    auto type = [](ScriptRow::Setter setter) {
        return setter == ScriptRow::Setter::String ? REG_SZ : setter == ScriptRow::Setter::Binary ? REG_BINARY : REG_DWORD;
    };
    for (std::size_t i = 0; i < 15; ++i) {
        SCOPED_TRACE(kRows[i].name);
        EXPECT_EQ(Ansi(Script()[i].section), kRows[i].section);
        EXPECT_EQ(Ansi(Script()[i].valueName), kRows[i].name);
        EXPECT_EQ(type(Script()[i].setter), kRows[i].stored.type);
    }
}

TEST_F(Patch, FullRunDeletesBiosWritesTheScriptAndOnlyThenAsksForRestart) {
    Snapshot before = Snap(HKEY_LOCAL_MACHINE);
    Snapshot user = Snap(HKEY_CURRENT_USER);
    standin::ClearCallLog();

    EXPECT_EQ(IR_Patch_Main::Main(), IR_Patch_Main::Outcome::Completed);

    ExpectSameMachine(Snap(HKEY_LOCAL_MACHINE), Expected(before, 15));
    ExpectSameMachine(Snap(HKEY_CURRENT_USER), user);
    std::vector<std::string> journal = {kClosingLine, "ExitWindowsEx 0x2 0xFFFFFFFF"};
    EXPECT_EQ(JournalLines(), journal);
}

TEST_F(Patch, WritesFollowTheTableAndStepsStayInOrder) {
    Load(kSampleRegistry);
    IR_Patch_Main::Main();
    std::vector<std::string> order;
    for (const auto& call : standin::CallLog()) {
        if (call.rfind("RegDeleteKeyA", 0) == 0 || call.rfind("RegSetValueExA", 0) == 0 ||
            call.rfind("MessageBoxA", 0) == 0 || call.rfind("ExitWindowsEx", 0) == 0 ||
            call.rfind("OpenFileForReadA", 0) == 0)
            order.push_back(call.substr(0, call.find('(')));
    }
    std::vector<std::string> expected = {"OpenFileForReadA", "RegDeleteKeyA"};
    expected.insert(expected.end(), 15, "RegSetValueExA");
    expected.insert(expected.end(), {"MessageBoxA", "ExitWindowsEx"});
    EXPECT_EQ(order, expected);
    auto sets = Calls("RegSetValueExA");
    ASSERT_EQ(sets.size(), 15u);
    for (std::size_t i = 0; i < 15; ++i)
        EXPECT_NE(sets[i].find("\"" + kRows[i].name + "\""), std::string::npos) << sets[i];
}

struct Refusal {
    const char* what;
    const char* modelLine;
};

class Refused : public MachineTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Refused, ShowsTheBoxAndTouchesNothing) {
    SetOem(std::string("[General]\r\n") + GetParam().modelLine + "\r\n");
    std::string before = RegistryFileBytes();
    EXPECT_EQ(IR_Patch_Main::Main(), IR_Patch_Main::Outcome::Refused);
    EXPECT_EQ(RegistryFileBytes(), before);
    EXPECT_TRUE(Calls("Reg").empty()) << "a refused machine gets no registry object";
    EXPECT_EQ(JournalLines(), std::vector<std::string>{kRefusalLine});
}

INSTANTIATE_TEST_SUITE_P(OtherMachines, Refused,
                         ::testing::Values(Refusal{"wrong_model", "Model=RDA-K312 FRN W98 RCD"},
                                           Refusal{"wrong_language", "Model=RDA-K314 ENG W98 RCD"},
                                           Refusal{"lower_case_language", "Model=RDA-K314 frn"},
                                           Refusal{"lower_case_model", "Model=rda-k314 FRN"},
                                           Refusal{"two_blanks", "Model=RDA-K314  FRN"},
                                           Refusal{"blank_after_equals", "Model= RDA-K314 FRN"},
                                           Refusal{"tab_instead_of_blank", "Model=RDA-K314\tFRN"},
                                           Refusal{"model_only", "Model=RDA-K314"}),
                         [](const auto& tp) { return std::string(tp.param.what); });

TEST_F(Patch, TwoWordModelLineIsPatched) {
    SetOem("Model=RDA-K314 FRN\r\n");
    EXPECT_EQ(IR_Patch_Main::Main(), IR_Patch_Main::Outcome::Completed);
}

TEST_F(Patch, UnreadableIdentityEndsTheRunBeforeAnyChange) {
    std::string before = RegistryFileBytes();
    SetOem("[General]\r\nManufacturer=Kemo\r\n");
    EXPECT_EQ(Raised([] { IR_Patch_Main::Main(); }).Number, 62);
    RemoveOem();
    EXPECT_EQ(Raised([] { IR_Patch_Main::Main(); }).Number, 53);
    EXPECT_EQ(RegistryFileBytes(), before);
    EXPECT_TRUE(JournalLines().empty());
}

TEST_F(Patch, MissingBiosBranchStopsAtTheDeletion) {
    Load("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\Root]\r\n\"x\"=\"y\"\r\n\r\n");
    std::string before = RegistryFileBytes();
    RaisedError e = Raised([] { IR_Patch_Main::Main(); });
    EXPECT_EQ(e.Number, 26001);
    EXPECT_EQ(e.Description, L"Failed to delete registry Key: 'Enum\\BIOS'");
    EXPECT_EQ(RegistryFileBytes(), before);
    EXPECT_TRUE(Calls("RegSetValueExA").empty());
    EXPECT_TRUE(JournalLines().empty()) << "no closing box, no restart";
}

class RefusedRow : public MachineTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(RefusedRow, KeepsEarlierChangesAndStopsThere) {
    const std::size_t k = GetParam();
    const Row& row = kRows[k];
    Snapshot before = Snap(HKEY_LOCAL_MACHINE);
    standin::InjectFault({"RegSetValueExA", "HKEY_LOCAL_MACHINE\\" + row.section, row.name, ERROR_ACCESS_DENIED, 0, -1});

    RaisedError e = Raised([] { IR_Patch_Main::Main(); });

    EXPECT_EQ(e.Number, 26001);
    EXPECT_EQ(e.Description, L"Failed to set registry value Key: '-2147483646',Section: '" + FromAnsi(row.section) +
                                 L"',Key: '" + FromAnsi(row.name) + L"' to value: '" + row.shown + L"'");
    Snapshot expected = Expected(before, k);
    // The refused row's key was created on the way to the refused write.
    AddKeys(expected.keys, row.section);
    ExpectSameMachine(Snap(HKEY_LOCAL_MACHINE), expected);
    EXPECT_TRUE(JournalLines().empty()) << "no closing box, no restart";
}

INSTANTIATE_TEST_SUITE_P(EachOfTheFifteen, RefusedRow, ::testing::Range<std::size_t>(0, 15),
                         [](const auto& tp) { return "row" + std::to_string(tp.param + 1); });

TEST_F(Patch, RunTimeFailureInAStringRowShowsTheErrorBoxAndNoClosingBox) {
    standin::InjectFault({"RegSetValueExA", std::nullopt, std::string("PortName"), 0, RuntimeErr::OutOfMemory, -1});
    EXPECT_EQ(Raised([] { IR_Patch_Main::Main(); }).Number, 26001);
    auto journal = JournalLines();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].rfind("MessageBox style=0x0 title=\"IRPatch-K314-W98-FRN\" text=\"ERROR # 7 : ", 0), 0u);
    EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, "Enum\\ACPI\\*KMO7001\\0\\Bindings", "FASTIR\\0000"));
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\IrXfer\\Options", "FullView"));
}

}  // namespace
