#include "about/frmAbout.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/app.h"
#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/standin/faults.h"
#include "platform/standin/machine.h"
#include "support/machine_fixture.h"

using namespace platform;

namespace {

const char kInfoKey[] = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
const char kLocationKey[] = "SOFTWARE\\Microsoft\\Shared Tools Location";
const std::int32_t kMachine = static_cast<std::int32_t>(HKEY_LOCAL_MACHINE);
const char kUnavailableBox[] =
    "MessageBox style=0x0 title=\"IRPatch-K314-W98-FRN\" text=\"System Information Is Unavailable At This Time\"";
// The smallest file the stand-in accepts as a program.
const char kProgram[] = "MZ stand-in program";

class AboutTest : public MachineTest {
protected:
    void Put(const std::string& key, const std::string& name, DWORD type, const std::string& data) {
        HKEY h = 0;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(h);
        standin::ClearCallLog();
    }

    // Creates folders and a file below drive_c ("Tools/Info/MSINFO32.EXE").
    void MakeFile(const std::string& relative, const std::string& content) {
        std::string path = folder + "/drive_c";
        std::size_t start = 0;
        for (std::size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
            path += "/" + relative.substr(start, slash - start);
            mkdir(path.c_str(), 0755);
        }
        WriteHostFile(path + "/" + relative.substr(start), content);
    }

    bool Lookup(const std::string& key, const std::string& name, std::wstring& val) {
        return form.GetKeyValue(kMachine, FromAnsi(key), FromAnsi(name), val);
    }

    std::wstring LookupValue(const std::string& key, const std::string& name) {
        std::wstring val = L"before";
        EXPECT_TRUE(Lookup(key, name, val));
        return val;
    }

    // Journal lines that begin with `prefix`.
    std::vector<std::string> Journaled(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& line : JournalLines())
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }

    bool LocationKeyRead() const {
        for (const auto& call : Calls("RegOpenKeyExA"))
            if (call.find("Shared Tools Location") != std::string::npos) return true;
        return false;
    }

    frmAbout form;
};

// ---- GetKeyValue ----------------------------------------------------------------

TEST_F(AboutTest, StringDropsOnlyTheLastTerminator) {
    Put("Soft\\A", "none", REG_SZ, "abc");
    Put("Soft\\A", "one", REG_SZ, Bytes({'a', 'b', 'c', 0}));
    Put("Soft\\A", "two", REG_SZ, Bytes({'a', 'b', 'c', 0, 0}));
    Put("Soft\\A", "inner", REG_SZ, Bytes({'a', 0, 'c'}));
    EXPECT_EQ(LookupValue("Soft\\A", "none"), L"abc");
    EXPECT_EQ(LookupValue("Soft\\A", "one"), L"abc");
    EXPECT_EQ(LookupValue("Soft\\A", "two"), std::wstring(L"abc\0", 4));
    EXPECT_EQ(LookupValue("Soft\\A", "inner"), std::wstring(L"a\0c", 3));
}

TEST_F(AboutTest, StringIsReadThroughTheCodePage) {
    Put("Soft\\A", "v", REG_SZ, Sz("C:\\Programmes\\R\xE9seau"));
    EXPECT_EQ(LookupValue("Soft\\A", "v"), L"C:\\Programmes\\R\u00E9seau");
}

TEST_F(AboutTest, DwordReadsAsUnsignedDecimal) {
    Put("Soft\\D", "256", REG_DWORD, Bytes({0x00, 0x01, 0x00, 0x00}));
    Put("Soft\\D", "zero", REG_DWORD, Bytes({0, 0, 0, 0}));
    Put("Soft\\D", "top", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12}));
    Put("Soft\\D", "max", REG_DWORD, Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    Put("Soft\\D", "sign", REG_DWORD, Bytes({0x00, 0x00, 0x00, 0x80}));
    Put("Soft\\D", "short", REG_DWORD, Bytes({0x2A}));
    // Five bytes whose last is 0: the terminator rule drops it, the number stands.
    Put("Soft\\D", "padded", REG_DWORD, Bytes({0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(LookupValue("Soft\\D", "256"), L"256");
    EXPECT_EQ(LookupValue("Soft\\D", "zero"), L"0");
    EXPECT_EQ(LookupValue("Soft\\D", "top"), L"305419896");
    EXPECT_EQ(LookupValue("Soft\\D", "max"), L"4294967295");
    EXPECT_EQ(LookupValue("Soft\\D", "sign"), L"2147483648");
    EXPECT_EQ(LookupValue("Soft\\D", "short"), L"42");
    EXPECT_EQ(LookupValue("Soft\\D", "padded"), L"1");
}

TEST_F(AboutTest, DwordWiderThan32BitsRaisesOverflowAndClosesTheKey) {
    Put("Soft\\D", "wide", REG_DWORD, Bytes({0, 0, 0, 0, 1}));
    std::wstring val = L"before";
    EXPECT_EQ(Raised([&] { Lookup("Soft\\D", "wide", val); }).Number, RuntimeErr::Overflow);
    EXPECT_EQ(val, L"before");
    EXPECT_EQ(Calls("RegCloseKey"), std::vector<std::string>{"RegCloseKey(0x80000002\\Soft\\D) = 0"});
}

TEST_F(AboutTest, ReadsUpTo1024BytesAndRefusesMore) {
    Put("Soft\\L", "fits", REG_SZ, std::string(1024, 'x'));
    Put("Soft\\L", "long", REG_SZ, std::string(1025, 'x'));
    EXPECT_EQ(LookupValue("Soft\\L", "fits"), std::wstring(1024, L'x'));
    std::wstring val = L"before";
    EXPECT_FALSE(Lookup("Soft\\L", "long", val));
    EXPECT_EQ(val, L"");
}

TEST_F(AboutTest, OtherTypesLeaveTheTextAsPassed) {
    Put("Soft\\T", "expand", REG_EXPAND_SZ, Sz("%windir%"));
    Put("Soft\\T", "multi", REG_MULTI_SZ, Bytes({'a', 0, 'b', 0, 0}));
    Put("Soft\\T", "binary", REG_BINARY, Bytes({1, 2, 3}));
    for (const char* name : {"expand", "multi", "binary"}) {
        std::wstring val = L"as passed";
        EXPECT_TRUE(Lookup("Soft\\T", name, val)) << name;
        EXPECT_EQ(val, L"as passed") << name;
    }
}

TEST_F(AboutTest, ValueWithNoDataRaisesInvalidCallAfterClosingTheKey) {
    Put("Soft\\E", "empty", REG_SZ, "");
    std::wstring val = L"before";
    EXPECT_EQ(Raised([&] { Lookup("Soft\\E", "empty", val); }).Number, RuntimeErr::InvalidCall);
    EXPECT_EQ(val, L"before");
    EXPECT_EQ(Calls("RegCloseKey"), std::vector<std::string>{"RegCloseKey(0x80000002\\Soft\\E) = 0"});
}

TEST_F(AboutTest, MissingKeyOrValueGivesFalseAndEmptyText) {
    Put("Soft\\M", "present", REG_SZ, Sz("x"));
    std::wstring val = L"before";
    EXPECT_FALSE(Lookup("Soft\\Nowhere", "present", val));
    EXPECT_EQ(val, L"");
    // The failed open is followed by a close of the null handle, which is refused.
    ASSERT_EQ(Calls("RegCloseKey").size(), 1u);
    EXPECT_EQ(Calls("RegCloseKey")[0], "RegCloseKey(0x0) = 6");

    standin::ClearCallLog();
    val = L"before";
    EXPECT_FALSE(Lookup("Soft\\M", "absent", val));
    EXPECT_EQ(val, L"");
    EXPECT_EQ(Calls("RegCloseKey"), std::vector<std::string>{"RegCloseKey(0x80000002\\Soft\\M) = 0"});

    // A name Windows-1252 cannot hold is not read as its '?' form, which exists here.
    Put("Soft\\M?", "?", REG_SZ, Sz("wrong"));
    standin::ClearCallLog();
    val = L"before";
    EXPECT_FALSE(form.GetKeyValue(kMachine, L"Soft\\M\u4E2D", L"?", val));
    EXPECT_FALSE(form.GetKeyValue(kMachine, L"Soft\\M?", L"\u4E2D", val));
    EXPECT_EQ(val, L"");
    EXPECT_TRUE(Calls("Reg").empty());
}

TEST_F(AboutTest, OpensWithTheFullKeyMaskAndFailsWhenAQueryIsRefused) {
    Put("Soft\\F", "v", REG_SZ, Sz("x"));
    standin::InjectFault({"RegQueryValueExA", std::nullopt, std::nullopt, ERROR_ACCESS_DENIED, 0, 1});
    std::wstring val = L"before";
    EXPECT_FALSE(Lookup("Soft\\F", "v", val));
    EXPECT_EQ(val, L"");
    ASSERT_EQ(Calls("RegOpenKeyExA").size(), 1u);
    EXPECT_EQ(Calls("RegOpenKeyExA")[0], "RegOpenKeyExA(0x80000002, \"Soft\\F\", 0x0, 0x2003F) = 0");
    EXPECT_EQ(Calls("RegCloseKey").size(), 1u);
}

// ---- StartSysInfo -----------------------------------------------------------------

TEST_F(AboutTest, PathValueIsStartedAsItIs) {
    MakeFile("Info/MSINFO32.EXE", kProgram);
    Put(kInfoKey, "PATH", REG_SZ, Sz("C:\\Info\\MSINFO32.EXE"));
    form.StartSysInfo();
    EXPECT_EQ(Journaled("Exec "), std::vector<std::string>{"Exec \"C:\\\\Info\\\\MSINFO32.EXE\" 0x1"});
    EXPECT_TRUE(Journaled("MessageBox").empty());
    EXPECT_FALSE(LocationKeyRead());
}

TEST_F(AboutTest, PathToAMissingFileEndsInTheMessageWithoutTheSecondLocation) {
    MakeFile("Tools/MSINFO32.EXE", kProgram);
    Put(kInfoKey, "PATH", REG_SZ, Sz("C:\\Info\\MSINFO32.EXE"));
    Put(kLocationKey, "MSINFO", REG_SZ, Sz("C:\\Tools"));
    form.StartSysInfo();
    EXPECT_EQ(Journaled("MessageBox"), std::vector<std::string>{kUnavailableBox});
    EXPECT_TRUE(Journaled("Exec ").empty());
    EXPECT_FALSE(LocationKeyRead());
}

TEST_F(AboutTest, FolderFromTheSecondLocationIsUsedWhenItHoldsTheTool) {
    MakeFile("Program Files/Info/msinfo32.exe", kProgram);
    Put(kLocationKey, "MSINFO", REG_SZ, Sz("C:\\Program Files\\Info"));
    form.StartSysInfo();
    EXPECT_EQ(Journaled("Exec "),
              std::vector<std::string>{"Exec \"C:\\\\Program Files\\\\Info\\\\MSINFO32.EXE\" 0x1"});
    EXPECT_TRUE(Journaled("MessageBox").empty());
    EXPECT_EQ(Calls("GetFileAttributesA"),
              std::vector<std::string>{"GetFileAttributesA(\"C:\\Program Files\\Info\\MSINFO32.EXE\") = 0x20"});
}

TEST_F(AboutTest, EveryMissingPieceEndsInTheOneMessage) {
    struct Case {
        const char* what;
        std::function<void()> setUp;
    };
    const std::vector<Case> cases = {
        {"both values absent", [] {}},
        {"folder without the tool",
         [&] {
             MakeFile("Info/readme.txt", "x");
             Put(kLocationKey, "MSINFO", REG_SZ, Sz("C:\\Info"));
         }},
        {"the tool is a folder",
         [&] {
             MakeFile("Info/MSINFO32.EXE/inner.txt", "x");
             Put(kLocationKey, "MSINFO", REG_SZ, Sz("C:\\Info"));
         }},
        {"the tool is no program",
         [&] {
             MakeFile("Info/MSINFO32.EXE", "not a program");
             Put(kLocationKey, "MSINFO", REG_SZ, Sz("C:\\Info"));
         }},
        {"a wildcard folder",
         [&] {
             MakeFile("Info/MSINFO32.EXE", kProgram);
             Put(kLocationKey, "MSINFO", REG_SZ, Sz("C:\\In*"));
         }},
        {"PATH as REG_EXPAND_SZ reads true and starts the empty path",
         [&] {
             MakeFile("Info/MSINFO32.EXE", kProgram);
             Put(kInfoKey, "PATH", REG_EXPAND_SZ, Sz("C:\\Info\\MSINFO32.EXE"));
             Put(kLocationKey, "MSINFO", REG_SZ, Sz("C:\\Info"));
         }},
        {"PATH with no data raises",
         [&] {
             MakeFile("Info/MSINFO32.EXE", kProgram);
             Put(kInfoKey, "PATH", REG_SZ, "");
             Put(kLocationKey, "MSINFO", REG_SZ, Sz("C:\\Info"));
         }},
        {"the start is refused",
         [&] {
             MakeFile("Info/MSINFO32.EXE", kProgram);
             Put(kInfoKey, "PATH", REG_SZ, Sz("C:\\Info\\MSINFO32.EXE"));
             standin::InjectFault({"StartProcessA", std::nullopt, std::nullopt, ERROR_ACCESS_DENIED, 0, 1});
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        c.setUp();
        form.StartSysInfo();
        EXPECT_EQ(Journaled("MessageBox"), std::vector<std::string>{kUnavailableBox});
        EXPECT_TRUE(Journaled("Exec ").empty());
        if (std::string(c.what).rfind("PATH", 0) == 0) {
            EXPECT_FALSE(LocationKeyRead());
        }
    }
}

// A path from the registry is data from the machine; it must never start or even
// test a file outside the machine folder.
TEST_F(AboutTest, PathsLeavingTheMachineAreRefused) {
    const std::string outside = folder + "-outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    WriteHostFile(outside + "/MSINFO32.EXE", kProgram);
    ASSERT_EQ(symlink(outside.c_str(), (folder + "/drive_c/Link").c_str()), 0);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"PATH", "C:\\..\\..\\" + outside.substr(1) + "\\MSINFO32.EXE"},
        {"PATH", outside + "/MSINFO32.EXE"},
        {"PATH", "C:\\Link\\MSINFO32.EXE"},
        {"PATH", "\\\\server\\share\\MSINFO32.EXE"},
        {"MSINFO", "C:\\Link"},
        {"MSINFO", "C:\\..\\..\\" + outside.substr(1)},
    };
    for (const auto& [name, path] : cases) {
        SCOPED_TRACE(path);
        standin::CloseMachine();
        unlink((folder + "/journal.txt").c_str());
        Load(kSampleRegistry);
        Put(std::string(name) == "PATH" ? kInfoKey : kLocationKey, name, REG_SZ, Sz(path));
        form.StartSysInfo();
        EXPECT_EQ(Journaled("MessageBox"), std::vector<std::string>{kUnavailableBox});
        EXPECT_TRUE(Journaled("Exec ").empty());
    }
    unlink((folder + "/drive_c/Link").c_str());
    unlink((outside + "/MSINFO32.EXE").c_str());
    rmdir(outside.c_str());
}

// ---- The stand-in's file and process calls ----------------------------------------

TEST_F(AboutTest, StandInAttributesFollowWindows) {
    MakeFile("Dir/file.txt", "x");
    MakeFile("Dir/.hidden", "x");
    MakeFile("Dir/locked.txt", "x");
    chmod((folder + "/drive_c/Dir/locked.txt").c_str(), 0444);
    EXPECT_EQ(GetFileAttributesA("C:\\dir"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA("C:\\DIR\\FILE.TXT"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesA("C:\\Dir\\.hidden"), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(GetFileAttributesA("C:\\Dir\\locked.txt") & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributesA("C:\\Dir\\none.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA("C:\\Dir\\*.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA(""), INVALID_FILE_ATTRIBUTES);
}

TEST_F(AboutTest, StandInStartFailsLikeWindows) {
    MakeFile("Dir/prog.exe", kProgram);
    MakeFile("Dir/text.exe", "hello");
    DWORD id = 0;
    EXPECT_EQ(StartProcessA("C:\\Dir\\none.exe", SW_SHOWNORMAL, &id), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(StartProcessA("C:\\None\\none.exe", SW_SHOWNORMAL, &id), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(StartProcessA("C:\\Dir", SW_SHOWNORMAL, &id), ERROR_ACCESS_DENIED);
    EXPECT_EQ(StartProcessA("C:\\Dir\\text.exe", SW_SHOWNORMAL, &id), ERROR_BAD_EXE_FORMAT);
    EXPECT_EQ(StartProcessA("C:\\Dir\\p*.exe", SW_SHOWNORMAL, &id), ERROR_INVALID_NAME);
    EXPECT_EQ(StartProcessA("", SW_SHOWNORMAL, &id), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(id, 0u);
    EXPECT_TRUE(Journaled("Exec ").empty());
    EXPECT_EQ(StartProcessA("C:\\Dir\\PROG.EXE", SW_SHOWNORMAL, &id), ERROR_SUCCESS);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(Journaled("Exec "), std::vector<std::string>{"Exec \"C:\\\\Dir\\\\PROG.EXE\" 0x1"});
}

// ---- The form ---------------------------------------------------------------------

TEST_F(AboutTest, LoadSetsCaptionVersionAndTitleAndKeepsTheRest) {
    EXPECT_FALSE(form.Loaded());
    EXPECT_EQ(form.Text(AboutPart::Caption), L"");
    ASSERT_TRUE(form.Load());
    EXPECT_EQ(form.Text(AboutPart::Caption), L"About IRPatch-K314-W98-FRN");
    EXPECT_EQ(form.Text(AboutPart::lblVersion), L"Version 1.0.0");
    EXPECT_EQ(form.Text(AboutPart::lblTitle), L"IRPatch-K314-W98-FRN");
    EXPECT_EQ(form.Text(AboutPart::lblDescription), L"App Description");
    EXPECT_EQ(form.Text(AboutPart::lblDisclaimer), L"Warning: ...");
    EXPECT_EQ(form.Text(AboutPart::cmdOK), L"OK");
}

TEST_F(AboutTest, OkUnloadsAndTheNextLoadStartsAfresh) {
    ASSERT_TRUE(form.Load());
    form.cmdOK_Click();
    EXPECT_FALSE(form.Loaded());
    EXPECT_EQ(form.Text(AboutPart::lblTitle), L"");
    ASSERT_TRUE(form.Load());
    EXPECT_EQ(form.Text(AboutPart::lblTitle), L"IRPatch-K314-W98-FRN");
    EXPECT_EQ(form.Text(AboutPart::lblDescription), L"App Description");
}

TEST_F(AboutTest, ShowDrawsTheBoxAndEnterClosesIt) {
    form.Show();
    EXPECT_FALSE(form.Loaded());
    EXPECT_EQ(Journaled("Dialog"),
              (std::vector<std::string>{
                  "Dialog frmAbout caption=\"About IRPatch-K314-W98-FRN\" cmdOK=\"OK\" "
                  "lblDescription=\"App Description\" lblDisclaimer=\"Warning: ...\" "
                  "lblTitle=\"IRPatch-K314-W98-FRN\" lblVersion=\"Version 1.0.0\"",
                  "Dialog frmAbout key=Enter", "Dialog frmAbout closed"}));
    form.Show();
    EXPECT_EQ(Journaled("Dialog frmAbout closed").size(), 2u);
}

}  // namespace
