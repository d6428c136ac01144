// The registry key object's write side: what reaches the registry, byte for byte,
// and how each failure reaches the caller.
#include "registry/cRegistry.h"

#include "platform/app.h"
#include "platform/standin/faults.h"
#include "support/machine_fixture.h"

using namespace platform;

namespace {

const std::int32_t kHklm = static_cast<std::int32_t>(HKEY_LOCAL_MACHINE);

class RegistryWrite : public MachineTest {
protected:
    cRegistry Addressed(const std::wstring& section, const std::wstring& name) {
        cRegistry reg;
        reg.ClassKey(kHklm);
        reg.SectionKey(section);
        reg.ValueKey(name);
        return reg;
    }
};

TEST_F(RegistryWrite, EachSetterStoresItsTypeAndExactBytes) {
    cRegistry reg = Addressed(L"Software\\Test", L"s");
    reg.StringValue(L"COM1");
    reg.ValueKey(L"empty");
    reg.StringValue(L"");
    reg.ValueKey(L"accent");
    reg.StringValue(L"redémarer €");
    reg.ValueKey(L"minus");
    reg.DWordValue(-1);
    reg.ValueKey(L"one");
    reg.DWordValue(1);
    reg.ValueKey(L"min");
    reg.DWordValue(INT32_MIN);
    reg.ValueKey(L"flags");
    reg.BinaryValue(std::wstring(1, wchar_t(16)) + std::wstring(3, wchar_t(0)));
    reg.ValueKey(L"high");
    reg.BinaryValue(L"\u00e9\u20ac\u00ff");

    auto at = [](const char* name) { return ReadValue(HKEY_LOCAL_MACHINE, "Software\\Test", name); };
    EXPECT_EQ(at("s"), (RegValue{REG_SZ, Sz("COM1")}));
    EXPECT_EQ(at("empty"), (RegValue{REG_SZ, Bytes({0})}));
    EXPECT_EQ(at("accent"), (RegValue{REG_SZ, Sz("red\xE9marer \x80")}));
    EXPECT_EQ(at("minus"), (RegValue{REG_DWORD, Bytes({0xFF, 0xFF, 0xFF, 0xFF})}));
    EXPECT_EQ(at("one"), (RegValue{REG_DWORD, Bytes({1, 0, 0, 0})}));
    EXPECT_EQ(at("min"), (RegValue{REG_DWORD, Bytes({0, 0, 0, 0x80})}));
    EXPECT_EQ(at("flags"), (RegValue{REG_BINARY, Bytes({0x10, 0, 0, 0})}));
    EXPECT_EQ(at("high"), (RegValue{REG_BINARY, Bytes({0xE9, 0x80, 0xFF})}));
}

TEST_F(RegistryWrite, AddressingReachesUnnamedValueRootAndMissingPaths) {
    cRegistry reg = Addressed(L"", L"AtRoot");
    reg.StringValue(L"r");
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, "", "AtRoot"), (RegValue{REG_SZ, Sz("r")}));

    reg.SectionKey(L"A\\B\\C\\D");
    reg.ValueKey(L"");
    reg.StringValue(L"unnamed");
    EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, "A\\B"));
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, "A\\B\\C\\D", ""), (RegValue{REG_SZ, Sz("unnamed")}));

    // The addressing stays as set: writing twice writes twice, nothing is cached.
    standin::ClearCallLog();
    reg.DWordValue(5);
    reg.DWordValue(5);
    EXPECT_EQ(Calls("RegSetValueExA").size(), 2u);
    EXPECT_EQ(reg.SectionKey(), L"A\\B\\C\\D");
}

TEST_F(RegistryWrite, NewInstanceStartsEmptyAndFailsWithRootZero) {
    cRegistry reg;
    EXPECT_EQ(reg.ClassKey(), 0);
    EXPECT_EQ(reg.SectionKey(), L"");
    EXPECT_EQ(reg.ValueKey(), L"");
    EXPECT_EQ(reg.Default(), L"");
    std::string before = RegistryFileBytes();
    RaisedError e = Raised([&] { reg.StringValue(L"x"); });
    EXPECT_EQ(e.Number, 26001);
    EXPECT_EQ(e.Source, AppExeName() + L".cRegistry");
    EXPECT_EQ(e.Description, L"Failed to set registry value Key: '0',Section: '',Key: '' to value: 'x'");
    EXPECT_EQ(RegistryFileBytes(), before);
    EXPECT_TRUE(JournalLines().empty()) << "a refused write shows no box";
}

TEST_F(RegistryWrite, RefusedWritesRaiseTheDescriptionOfTheirValue) {
    standin::InjectFault({"RegSetValueExA", std::string("HKEY_LOCAL_MACHINE\\Software"), std::nullopt,
                          ERROR_ACCESS_DENIED, 0, -1});
    cRegistry reg = Addressed(L"Software\\Microsoft\\IrXfer\\Options", L"FullView");
    EXPECT_EQ(Raised([&] { reg.DWordValue(1); }).Description,
              L"Failed to set registry value Key: '-2147483646',Section: 'Software\\Microsoft\\IrXfer\\Options',"
              L"Key: 'FullView' to value: '1'");
    EXPECT_PRED2(EndsWith, Raised([&] { reg.DWordValue(-7); }).Description, L"to value: '-7'");
    RaisedError bin = Raised([&] { reg.BinaryValue(std::wstring(L"\x10") + wchar_t(0)); });
    EXPECT_EQ(bin.Number, 26001);
    EXPECT_PRED2(EndsWith, bin.Description, std::wstring(L"value: '\x10") + wchar_t(0) + L"'");
    RaisedError str = Raised([&] { reg.StringValue(L"é"); });
    EXPECT_PRED2(EndsWith, str.Description, L"value: 'é'");
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\IrXfer\\Options", "FullView"));
    // The key created on the way stays; the write itself is what was refused.
    EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\IrXfer\\Options"));
    EXPECT_TRUE(JournalLines().empty());
}

TEST_F(RegistryWrite, RunTimeFailureInStringWriteShowsErrorBoxThenRaises) {
    standin::InjectFault({"RegSetValueExA", std::nullopt, std::string("PortName"), 0, RuntimeErr::OutOfMemory, 1});
    cRegistry reg = Addressed(L"Enum\\INFRARED\\Framer", L"PortName");
    RaisedError e = Raised([&] { reg.StringValue(L"COM1"); });
    EXPECT_EQ(e.Number, 26001);
    EXPECT_PRED2(EndsWith, e.Description, L"to value: 'COM1'");
    ASSERT_EQ(JournalLines().size(), 1u);
    EXPECT_EQ(JournalLines()[0],
              "MessageBox style=0x0 title=\"IRPatch-K314-W98-FRN\" "
              "text=\"ERROR # 7 : Out of memory\\rPlease exit and try again.\"");

    // A negative number gets its sign and no blank; a text the ANSI code page cannot
    // hold is a failure of its own, not a '?' written to the registry.
    standin::InjectFault({"RegSetValueExA", std::nullopt, std::string("PortName"), 0, -3, 1});
    Raised([&] { reg.StringValue(L"COM1"); });
    Raised([&] { reg.StringValue(L"COM\u4e2d"); });
    auto lines = JournalLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find("text=\"ERROR #-3 : \\rPlease"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("text=\"ERROR # 5 : Invalid procedure call or argument\\r"), std::string::npos) << lines[2];
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, "Enum\\INFRARED\\Framer", "PortName"));

    // A failure raised inside the set, in the string writer or the others, leaves no key open.
    standin::InjectFault({"RegSetValueExA", std::nullopt, std::string("PortName"), 0, RuntimeErr::OutOfMemory, 2});
    standin::ClearCallLog();
    Raised([&] { reg.DWordValue(1); });
    Raised([&] { reg.StringValue(L"COM1"); });
    EXPECT_EQ(Calls("RegCreateKeyExA").size(), 2u);
    EXPECT_EQ(Calls("RegCloseKey").size(), 2u);
}

TEST_F(RegistryWrite, BinaryThatCannotBeBytesRaisesItsOwnErrorAfterTheKeyIsCreated) {
    cRegistry reg = Addressed(L"Software\\Bin", L"v");
    RaisedError empty = Raised([&] { reg.BinaryValue(L""); });
    EXPECT_EQ(empty.Number, RuntimeErr::SubscriptRange);
    EXPECT_EQ(empty.Description, L"Subscript out of range");
    reg.SectionKey(L"Software\\Bin2");
    RaisedError wide = Raised([&] { reg.BinaryValue(L"ok\u0100"); });
    EXPECT_EQ(wide.Number, RuntimeErr::Overflow);
    EXPECT_TRUE(Calls("RegSetValueExA").empty());
    // Neither refusal leaves the key handle open.
    EXPECT_EQ(Calls("RegCreateKeyExA").size(), 2u);
    EXPECT_EQ(Calls("RegCloseKey").size(), 2u);

    EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, "Software\\Bin"));
    EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, "Software\\Bin2"));
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, "Software\\Bin2", "v"));
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, "Software\\Bin", "v"));
    EXPECT_TRUE(JournalLines().empty());
}

TEST_F(RegistryWrite, DeleteKeyTakesTheSubtreeAndEmptiesSectionKey) {
    Snapshot before = Snap(HKEY_LOCAL_MACHINE);
    cRegistry reg = Addressed(L"Software\\Elsewhere", L"");
    reg.DeleteKey(L"Enum\\BIOS");
    EXPECT_EQ(reg.SectionKey(), L"");
    Snapshot after = Snap(HKEY_LOCAL_MACHINE);
    for (const auto& k : before.keys) {
        bool inBios = k.rfind("Enum\\BIOS", 0) == 0;
        EXPECT_EQ(after.keys.count(k), inBios ? 0u : 1u) << k;
    }
    EXPECT_EQ(after.values.size(), before.values.size() - 3);

    reg.SectionKey(L"Kept");
    RaisedError e = Raised([&] { reg.DeleteKey(L"Enum\\BIOS"); });
    EXPECT_EQ(e.Number, 26001);
    EXPECT_EQ(e.Source, AppExeName() + L".cRegistry");
    EXPECT_EQ(e.Description, L"Failed to delete registry Key: 'Enum\\BIOS'");
    EXPECT_EQ(reg.SectionKey(), L"Kept");
}

TEST_F(RegistryWrite, CreateKeyCreatesOrOpensAndNeverRaises) {
    cRegistry reg = Addressed(L"Enum\\Root", L"");
    std::string before = RegistryFileBytes();
    EXPECT_TRUE(reg.CreateKey());
    EXPECT_EQ(RegistryFileBytes(), before) << "opening an existing key changes nothing";
    reg.SectionKey(L"Enum\\Root\\New\\Deep");
    EXPECT_TRUE(reg.CreateKey());
    EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, "Enum\\Root\\New\\Deep"));
    reg.ClassKey(0);
    EXPECT_FALSE(reg.CreateKey());
    reg.ClassKey(kHklm);
    reg.SectionKey(L"Enum\\\u4e2d");
    EXPECT_FALSE(reg.CreateKey());
    EXPECT_EQ(Calls("RegCreateKeyExA").size(), 3u) << "no create for a name the code page cannot hold";
    EXPECT_TRUE(JournalLines().empty());
}

}  // namespace
