// The registry key object's read side: what the walk finds and lists, where it
// stops, what a missing key reads as, and which platform calls it makes.
#include <functional>
#include <string>
#include <vector>

#include "platform/standin/faults.h"
#include "registry/cRegistry.h"
#include "support/machine_fixture.h"

using namespace platform;

namespace {

const std::int32_t kHklm = static_cast<std::int32_t>(HKEY_LOCAL_MACHINE);

using Entry = cRegistryValueEntry;

std::vector<Entry> ValuesOf(const cRegistry::ValueListing& list) { return {list.begin(), list.end()}; }
std::vector<std::wstring> NamesOf(const cRegistry::SectionListing& list) { return {list.begin(), list.end()}; }

// A REGEDIT4 file holding `body` after the header.
std::string RegFile(const std::string& body) { return "REGEDIT4\r\n\r\n" + body; }

class RegistryRead : public MachineTest {
protected:
    cRegistry At(const std::wstring& section, const std::wstring& name = L"") {
        cRegistry reg;
        reg.ClassKey(kHklm);
        reg.SectionKey(section);
        reg.ValueKey(name);
        reg.Default(L"?WHERE?");
        return reg;
    }
    std::vector<Entry> ListValues(cRegistry& reg) {
        cRegistry::ValueListing list;
        std::int16_t count = -1;
        reg.EnumerateValues(list, count);
        EXPECT_EQ(static_cast<std::size_t>(count), list.Size());
        return ValuesOf(list);
    }
    std::vector<std::wstring> ListSections(cRegistry& reg) {
        cRegistry::SectionListing list;
        std::int16_t count = -1;
        reg.EnumerateSections(list, count);
        EXPECT_EQ(static_cast<std::size_t>(count), list.Size());
        return NamesOf(list);
    }
};

TEST_F(RegistryRead, ValueDropsTheLastByteWhileTheListingKeepsEveryByte) {
    cRegistry reg = At(L"Software\\Read", L"Port");
    reg.StringValue(L"COM1");
    reg.ValueKey(L"One");
    reg.DWordValue(1);
    reg.ValueKey(L"Port");
    EXPECT_EQ(reg.Value(), L"COM1");
    reg.ValueKey(L"One");
    EXPECT_EQ(reg.Value(), std::wstring(L"\x01\0\0", 3));

    EXPECT_EQ(ListValues(reg), (std::vector<Entry>{{L"Port", std::wstring(L"COM1\0", 5)},
                                                   {L"One", std::wstring(L"\x01\0\0\0", 4)}}));
}

TEST_F(RegistryRead, DataOfEveryTypeReadsAsItsBytesThroughTheCodePage) {
    Load(RegFile("[HKEY_LOCAL_MACHINE\\Software\\Read]\r\n"
                 "\"Text\"=\"R\xE9seau \x80\"\r\n"
                 "\"Bin\"=hex:00,41,00,ff\r\n"
                 "\"Multi\"=hex(7):61,00,62,00,00\r\n"
                 "\"NoBytes\"=hex:\r\n"
                 "\"NoTerminator\"=hex(1):41,42\r\n\r\n"));
    cRegistry reg = At(L"Software\\Read");
    auto value = [&](const wchar_t* name) {
        reg.ValueKey(name);
        return reg.Value();
    };
    EXPECT_EQ(value(L"Text"), L"R\u00e9seau \u20ac");
    EXPECT_EQ(value(L"Bin"), std::wstring(L"\0A\0", 3));
    EXPECT_EQ(value(L"Multi"), std::wstring(L"a\0b\0", 4));
    // A value that exists with no data is empty text, not the Default of "not found".
    EXPECT_EQ(value(L"NoBytes"), L"");
    // The last byte goes whatever it is: a string stored without a terminator loses a letter.
    EXPECT_EQ(value(L"NoTerminator"), L"A");

    auto listed = ListValues(reg);
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(listed[0].Data, std::wstring(L"R\u00e9seau \u20ac\0", 9));
    EXPECT_EQ(listed[1].Data, std::wstring(L"\0A\0\u00ff", 4));
    EXPECT_EQ(listed[3], (Entry{L"NoBytes", L""}));
    EXPECT_EQ(listed[4].Data, L"AB");
}

TEST_F(RegistryRead, NamesMatchExactlyAndTheEmptyNameIsTheUnnamedValue) {
    Load(RegFile("[HKEY_LOCAL_MACHINE\\Software\\Read]\r\n"
                 "@=\"unnamed\"\r\n"
                 "\"PortName\"=\"COM1\"\r\n"
                 "\"Caf\xE9\"=\"ok\"\r\n"
                 "\"A?B\"=\"question mark\"\r\n\r\n"));
    cRegistry reg = At(L"Software\\Read");
    EXPECT_EQ(reg.Value(), L"unnamed");
    reg.ValueKey(L"portname");
    EXPECT_EQ(reg.Value(), L"?WHERE?");  // the registry would match it; the read side does not
    reg.ValueKey(L"PortName");
    EXPECT_EQ(reg.Value(), L"COM1");
    reg.ValueKey(L"Caf\u00e9");
    EXPECT_EQ(reg.Value(), L"ok");
    reg.ValueKey(L"CAF\u00c9");
    EXPECT_EQ(reg.Value(), L"?WHERE?");
    // A name the code page cannot hold cannot exist; it must not turn into "A?B".
    reg.ValueKey(L"A\u4e00B");
    EXPECT_EQ(reg.Value(), L"?WHERE?");

    // Default is read when the value is missed, not when the address was set.
    reg.Default(L"later");
    EXPECT_EQ(reg.Value(), L"later");
}

TEST_F(RegistryRead, AnEntryThatDoesNotFitTheBuffersEndsTheWalk) {
    const std::string name254(254, 'n');
    const std::string name255(255, 'N');
    const std::string hex255 = [] {
        std::string s = "00";
        for (int i = 1; i < 255; ++i) s += ",41";
        return s;
    }();
    Load(RegFile("[HKEY_LOCAL_MACHINE\\Software\\LongName]\r\n"
                 "\"" + name254 + "\"=hex:" + hex255 + "\r\n"
                 "\"before\"=\"b\"\r\n"
                 "\"" + name255 + "\"=\"long name\"\r\n"
                 "\"after\"=\"a\"\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\LongData]\r\n"
                 "\"before\"=\"b\"\r\n"
                 "\"big\"=hex:" + hex255 + ",42\r\n"
                 "\"after\"=\"a\"\r\n\r\n"));

    cRegistry reg = At(L"Software\\LongName", std::wstring(name254.begin(), name254.end()));
    EXPECT_EQ(reg.Value(), std::wstring(1, L'\0') + std::wstring(253, L'A'));  // 255 bytes fit
    reg.ValueKey(L"before");
    EXPECT_EQ(reg.Value(), L"b");
    reg.ValueKey(std::wstring(name255.begin(), name255.end()));
    EXPECT_EQ(reg.Value(), L"?WHERE?");
    reg.ValueKey(L"after");
    EXPECT_EQ(reg.Value(), L"?WHERE?");
    auto listed = ListValues(reg);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].Data.size(), 255u);
    EXPECT_EQ(listed[1], (Entry{L"before", std::wstring(L"b\0", 2)}));

    reg.SectionKey(L"Software\\LongData");
    reg.ValueKey(L"big");  // its own 256 bytes hide it too
    EXPECT_EQ(reg.Value(), L"?WHERE?");
    reg.ValueKey(L"after");
    EXPECT_EQ(reg.Value(), L"?WHERE?");
    EXPECT_EQ(ListValues(reg), (std::vector<Entry>{{L"before", std::wstring(L"b\0", 2)}}));
}

TEST_F(RegistryRead, SubkeyListingIsImmediateOrderedAndEndsAtALongName) {
    Load(RegFile("[HKEY_LOCAL_MACHINE\\Enum\\Zeta\\Deep]\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Enum\\P\xE9riph\xE9rique]\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Enum\\" + std::string(254, 'k') + "]\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Enum\\" + std::string(255, 'K') + "]\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Enum\\Alpha]\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\System]\r\n\r\n"));
    cRegistry reg = At(L"Enum");
    EXPECT_EQ(ListSections(reg),
              (std::vector<std::wstring>{L"Zeta", L"P\u00e9riph\u00e9rique", std::wstring(254, L'k')}));

    // An empty SectionKey is the root itself.
    reg.SectionKey(L"");
    EXPECT_TRUE(reg.KeyExists());
    EXPECT_EQ(ListSections(reg), (std::vector<std::wstring>{L"Enum", L"System"}));
    reg.ValueKey(L"AtRoot");
    reg.StringValue(L"r");
    EXPECT_EQ(ListValues(reg), (std::vector<Entry>{{L"AtRoot", std::wstring(L"r\0", 2)}}));
}

TEST_F(RegistryRead, MissingKeyUnsetRootAndUnrepresentablePathReadAsAbsentAndEmpty) {
    Load(RegFile("[HKEY_LOCAL_MACHINE\\Software\\A?B]\r\n\"v\"=\"x\"\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\A?B\\Sub]\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Full]\r\n\"v\"=\"x\"\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Full\\Sub]\r\n\r\n"));
    cRegistry full = At(L"Software\\Full", L"v");
    cRegistry::ValueListing values;
    cRegistry::SectionListing sections;
    std::int16_t valueCount = 0, sectionCount = 0;

    cRegistry unset;
    unset.Default(L"?WHERE?");
    cRegistry cases[] = {At(L"Software\\Missing", L"v"), At(L"Software\\Full\\Missing\\Deeper", L"v"),
                         At(L"Software\\A\u4e00B", L"v"), unset};
    for (cRegistry& reg : cases) {
        SCOPED_TRACE(U8(reg.SectionKey()) + " under " + std::to_string(reg.ClassKey()));
        full.EnumerateValues(values, valueCount);
        full.EnumerateSections(sections, sectionCount);
        ASSERT_EQ(valueCount, 1);
        ASSERT_EQ(sectionCount, 1);

        EXPECT_FALSE(reg.KeyExists());
        EXPECT_EQ(reg.Value(), L"?WHERE?");
        reg.EnumerateValues(values, valueCount);
        reg.EnumerateSections(sections, sectionCount);
        EXPECT_EQ(valueCount, 0);
        EXPECT_TRUE(values.Empty());
        EXPECT_EQ(sectionCount, 0);
        EXPECT_TRUE(sections.Empty());
    }
    EXPECT_TRUE(full.KeyExists());
    EXPECT_EQ(full.Value(), L"x");
}

TEST_F(RegistryRead, EachListingStartsAfresh) {
    Load(RegFile("[HKEY_LOCAL_MACHINE\\A]\r\n\"1\"=\"a\"\r\n\"2\"=\"b\"\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\A\\X]\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\Y]\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\B]\r\n\"3\"=\"c\"\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\B\\Z]\r\n\r\n"));
    cRegistry reg = At(L"A");
    cRegistry::ValueListing values;
    cRegistry::SectionListing sections;
    std::int16_t valueCount = 0, sectionCount = 0;
    reg.EnumerateValues(values, valueCount);
    reg.EnumerateSections(sections, sectionCount);
    reg.EnumerateValues(values, valueCount);
    reg.EnumerateSections(sections, sectionCount);
    EXPECT_EQ(valueCount, 2);
    EXPECT_EQ(ValuesOf(values), (std::vector<Entry>{{L"1", std::wstring(L"a\0", 2)}, {L"2", std::wstring(L"b\0", 2)}}));
    EXPECT_EQ(sectionCount, 2);

    reg.SectionKey(L"B");
    reg.EnumerateValues(values, valueCount);
    reg.EnumerateSections(sections, sectionCount);
    EXPECT_EQ(valueCount, 1);
    EXPECT_EQ(ValuesOf(values), (std::vector<Entry>{{L"3", std::wstring(L"c\0", 2)}}));
    EXPECT_EQ(sectionCount, 1);
    EXPECT_EQ(NamesOf(sections), (std::vector<std::wstring>{L"Z"}));

    // Entries count from 1; anything else is the subscript error.
    EXPECT_EQ(values(1).Name, L"3");
    EXPECT_EQ(sections(1), L"Z");
    EXPECT_EQ(Raised([&] { values(0); }).Number, 9);
    EXPECT_EQ(Raised([&] { sections(2); }).Number, 9);
}

// 32,768 entries in one key, as REGEDIT4 text: loading it is far quicker than as many writes.
std::string ManyValues(int count) {
    std::string body = "[HKEY_LOCAL_MACHINE\\Many]\r\n";
    for (int i = 0; i < count; ++i) body += "\"v" + std::to_string(i) + "\"=\"d\"\r\n";
    return RegFile(body + "\r\n");
}
std::string ManySubkeys(int count) {
    std::string body = "[HKEY_LOCAL_MACHINE\\Many]\r\n\r\n";
    for (int i = 0; i < count; ++i) body += "[HKEY_LOCAL_MACHINE\\Many\\k" + std::to_string(i) + "]\r\n\r\n";
    return RegFile(body);
}

TEST_F(RegistryRead, The32768thEntryOverflowsAndKeepsTheFirst32767) {
    cRegistry reg = At(L"Many");
    Load(ManyValues(32768));
    cRegistry::ValueListing values;
    std::int16_t valueCount = 0;
    EXPECT_EQ(Raised([&] { reg.EnumerateValues(values, valueCount); }).Number, 6);
    EXPECT_EQ(valueCount, 32767);
    ASSERT_EQ(values.Size(), 32767u);
    EXPECT_EQ(values(32767), (Entry{L"v32766", std::wstring(L"d\0", 2)}));
    // The value the overflow hit is still found by a read: Value has no count.
    reg.ValueKey(L"v32767");
    EXPECT_EQ(reg.Value(), L"d");

    Load(ManySubkeys(32768));
    cRegistry::SectionListing sections;
    std::int16_t sectionCount = 0;
    EXPECT_EQ(Raised([&] { reg.EnumerateSections(sections, sectionCount); }).Number, 6);
    EXPECT_EQ(sectionCount, 32767);
    ASSERT_EQ(sections.Size(), 32767u);
    EXPECT_EQ(sections(32767), L"k32766");
    // The overflow closed the key before raising.
    EXPECT_EQ(Calls("RegOpenKeyExA").size(), 1u);
    EXPECT_EQ(Calls("RegCloseKey"), (std::vector<std::string>{"RegCloseKey(0x80000002\\Many) = 0"}));

    Load(ManyValues(32767));
    reg.EnumerateValues(values, valueCount);
    EXPECT_EQ(valueCount, 32767);
}

// The calls of the log in the terms of the read side's contract: each call's name, the
// index an enumeration asks for, and whether a close is of the null handle. Buffer
// sizes and access masks are left out: they are not the contract.
std::vector<std::string> Shape(const std::vector<std::string>& log) {
    std::vector<std::string> shape;
    for (const std::string& line : log) {
        const std::string name = line.substr(0, line.find('('));
        const std::size_t comma = line.find(", ");
        if (name.rfind("RegEnum", 0) == 0)
            shape.push_back(name + " " + line.substr(comma + 2, line.find(',', comma + 2) - comma - 2));
        else if (name == "RegCloseKey" && line.rfind("RegCloseKey(0x0)", 0) == 0)
            shape.push_back(name + " null");
        else
            shape.push_back(name);
    }
    return shape;
}

TEST_F(RegistryRead, EveryCallOpensOnceWalksFromZeroAndClosesOnce) {
    Load(RegFile("[HKEY_LOCAL_MACHINE\\K]\r\n\"a\"=\"1\"\r\n\"b\"=\"2\"\r\n\"c\"=\"3\"\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\K\\S]\r\n\r\n"));
    cRegistry reg = At(L"K", L"b");
    struct Step {
        const char* what;
        std::function<void()> call;
        std::vector<std::string> shape;
    };
    cRegistry::ValueListing values;
    cRegistry::SectionListing sections;
    std::int16_t count = 0;
    const std::string open = "RegOpenKeyExA", close = "RegCloseKey", value = "RegEnumValueA ", key = "RegEnumKeyA ";
    std::vector<Step> steps = {
        {"KeyExists", [&] { reg.KeyExists(); }, {open, close}},
        // The walk stops at the match: "c" is never asked for.
        {"Value", [&] { reg.Value(); }, {open, value + "0", value + "1", close}},
        {"EnumerateValues", [&] { reg.EnumerateValues(values, count); },
         {open, value + "0", value + "1", value + "2", value + "3", close}},
        {"EnumerateSections", [&] { reg.EnumerateSections(sections, count); }, {open, key + "0", key + "1", close}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        standin::ClearCallLog();
        step.call();
        EXPECT_EQ(Shape(standin::CallLog()), step.shape);
    }

    // A failed open: nothing to close for KeyExists; the others close the null handle once.
    reg.SectionKey(L"Gone");
    std::vector<Step> missing = {
        {"KeyExists", [&] { reg.KeyExists(); }, {open}},
        {"Value", [&] { reg.Value(); }, {open, close + " null"}},
        {"EnumerateValues", [&] { reg.EnumerateValues(values, count); }, {open, close + " null"}},
        {"EnumerateSections", [&] { reg.EnumerateSections(sections, count); }, {open, close + " null"}},
    };
    for (const Step& step : missing) {
        SCOPED_TRACE(std::string(step.what) + " on a missing key");
        standin::ClearCallLog();
        step.call();
        EXPECT_EQ(Shape(standin::CallLog()), step.shape);
    }
}

TEST_F(RegistryRead, AFailingEnumerationCallEndsTheWalkSilently) {
    Load(RegFile("[HKEY_LOCAL_MACHINE\\K]\r\n\"a\"=\"1\"\r\n\"b\"=\"2\"\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\K\\S]\r\n\r\n[HKEY_LOCAL_MACHINE\\K\\T]\r\n\r\n"));
    cRegistry reg = At(L"K", L"b");
    standin::InjectFault({"RegEnumValueA", std::nullopt, std::nullopt, ERROR_ACCESS_DENIED, 0, 1});
    EXPECT_EQ(reg.Value(), L"?WHERE?");
    standin::InjectFault({"RegEnumKeyA", std::nullopt, std::nullopt, ERROR_NOT_ENOUGH_MEMORY, 0, 1});
    EXPECT_EQ(ListSections(reg), std::vector<std::wstring>{});
    EXPECT_EQ(Calls("RegCloseKey").size(), 2u);
    // Faults spent: everything reads again.
    EXPECT_EQ(reg.Value(), L"2");
    EXPECT_EQ(ListSections(reg).size(), 2u);
}

}  // namespace
