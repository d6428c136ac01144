// Hostile input on the stand-in machine: OEM files and registry files that are damaged,
// binary or huge, files that cannot be read, a disk that refuses the save. Each gives
// a clear error (or the refusal box) and leaves the machine as it was.
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "identity/cKORU.h"
#include "main/IR_Patch_Main.h"
#include "platform/errors.h"
#include "platform/standin/faults.h"
#include "platform/standin/machine.h"
#include "platform/standin/regstore/regfile.h"
#include "support/machine_fixture.h"

using namespace platform;

namespace {

const char* const kRefusalLine =
    "MessageBox style=0x10 title=\"Patch arreté\" text=\"Se système n'est pas un RDA-K314(FR)!\"";
const char* const kClosingLine =
    "MessageBox style=0x40 title=\"Redémarage\" text=\"Pour terminer l'installation, votre ordinateur va redémarer.\"";

// ---- OEM files --------------------------------------------------------------------------------

// What a run of the patch must end with for one OEM file: the refusal box, or error
// 62 for a file without a Model= line.
enum class Ends { Refused, Raises62 };

// The file is made by the test that uses it, not when the cases are registered: some
// are 10 MB, and every test of this program runs in its own process, listing included.
struct OemInput {
    const char* what;
    std::string (*file)();
    Ends ends;
};

void PrintTo(const OemInput& input, std::ostream* os) { *os << input.what; }

class HostileOem : public MachineTest, public ::testing::WithParamInterface<OemInput> {};

TEST_P(HostileOem, RunEndsClearlyAndChangesNothing) {
    SetOem(GetParam().file());
    const std::string before = RegistryFileBytes();
    long raised = 0;
    IR_Patch_Main::Outcome outcome = IR_Patch_Main::Outcome::Completed;
    try {
        outcome = IR_Patch_Main::Main();
    } catch (const RaisedError& e) {
        raised = e.Number;
    }
    switch (GetParam().ends) {
        case Ends::Refused:
            EXPECT_EQ(raised, 0);
            EXPECT_EQ(outcome, IR_Patch_Main::Outcome::Refused);
            EXPECT_EQ(JournalLines(), std::vector<std::string>{kRefusalLine});
            break;
        case Ends::Raises62: EXPECT_EQ(raised, 62); break;
    }
    EXPECT_EQ(RegistryFileBytes(), before);
    EXPECT_TRUE(Calls("Reg").empty()) << "no registry call before the identity is known";
    EXPECT_EQ(Calls("OpenFileForReadA").size(), Calls("CloseHandle").size()) << "the file is closed";
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(n, '\0');
    for (char& c : out) {
        c = static_cast<char>(random() & 0xFF);
        if (c == 'M') c = 'm';  // no accidental Model= line
    }
    return out;
}

std::string TenMegabytes() { return std::string(10u << 20, 'A'); }

INSTANTIATE_TEST_SUITE_P(
    Files, HostileOem,
    ::testing::Values(
        OemInput{"binary", [] { return RandomBytes(64 * 1024, 7); }, Ends::Raises62},
        OemInput{"zero_filled", [] { return std::string(8192, '\0'); }, Ends::Raises62},
        OemInput{"binary_before_the_line", [] { return RandomBytes(5000, 9) + "\r\nModel=RDA-K312 FRN\r\n"; },
                 Ends::Refused},
        OemInput{"nul_inside_the_model", [] { return std::string("Model=RDA-K314\0 FRN\r\n", 21); }, Ends::Refused},
        OemInput{"nul_after_the_language", [] { return std::string("Model=RDA-K314 FRN\0\r\n", 21); },
                 Ends::Refused},
        OemInput{"nul_before_Model", [] { return std::string("\0Model=RDA-K314 FRN\r\n", 21); }, Ends::Raises62},
        OemInput{"ten_megabyte_line_without_Model", [] { return TenMegabytes() + "\r\n"; }, Ends::Raises62},
        OemInput{"ten_megabyte_model_line", [] { return "Model=" + TenMegabytes() + " FRN\r\n"; }, Ends::Refused},
        OemInput{"ten_megabyte_language", [] { return "Model=RDA-K314 " + TenMegabytes(); }, Ends::Refused},
        OemInput{"cr_alone_other_model", [] { return std::string("[General]\rModel=RDA-K312 FRN\rX=1\r"); },
                 Ends::Refused},
        OemInput{"lf_alone_other_language", [] { return std::string("[General]\nModel=RDA-K314 ENG\nX=1\n"); },
                 Ends::Refused},
        OemInput{"no_final_line_end_other_model", [] { return std::string("[General]\r\nModel=RDA-K315 FRN"); },
                 Ends::Refused},
        OemInput{"cr_alone_without_Model", [] { return std::string("[General]\rmodel=RDA-K314 FRN\r"); },
                 Ends::Raises62},
        OemInput{"empty", [] { return std::string(); }, Ends::Raises62}),
    [](const auto& tp) { return std::string(tp.param.what); });

class OemFile : public MachineTest {};

TEST_F(OemFile, LineEndsOfEveryKindAndHugeLinesStillFindTheRealModel) {
    // The same identity whatever ends its lines, after a 10 MB line, without a final
    // line end: the reader neither cuts nor joins lines.
    for (const std::string& file :
         {std::string("[General]\rModel=RDA-K314 FRN W98 RCD\rX=1\r"),
          std::string("[General]\nModel=RDA-K314 FRN W98 RCD\nX=1\n"),
          std::string("[General]\r\nModel=RDA-K314 FRN W98 RCD"),
          TenMegabytes() + "\r\nModel=RDA-K314 FRN W98 RCD\r\n",
          TenMegabytes() + "\rModel=RDA-K314 FRN W98 RCD\r"}) {
        SetOem(file);
        cKORU koru;
        koru.Collect(true);
        EXPECT_EQ(koru.ModelName(), L"RDA-K314");
        EXPECT_EQ(koru.Language(), L"FRN");
        EXPECT_EQ(koru.RecoveryCD(), L"RCD");
    }
}

TEST_F(OemFile, AFolderOrAFileThatCannotBeOpenedOrReadRaisesAndChangesNothing) {
    const std::string before = RegistryFileBytes();
    auto expectRaises = [&](long number, std::size_t closes, const char* what) {
        SCOPED_TRACE(what);
        EXPECT_EQ(Raised([] { IR_Patch_Main::Main(); }).Number, number);
        EXPECT_EQ(RegistryFileBytes(), before);
        EXPECT_TRUE(Calls("Reg").empty());
        EXPECT_EQ(Calls("CloseHandle").size(), closes) << "an opened file is closed on the error path";
        standin::ClearFaults();
        standin::ClearCallLog();
    };

    // Permissions do not stop root, who runs CI: the failures are injected at the
    // system-call boundary instead.
    standin::Fault denied;
    denied.call = "OpenFileForReadA";
    denied.keyPath = "C:\\Windows\\System\\OEMINFO.INI";
    denied.status = ERROR_ACCESS_DENIED;
    standin::InjectFault(denied);
    expectRaises(75, 0, "open refused");

    standin::Fault badSector;
    badSector.call = "ReadFile";
    badSector.status = ERROR_READ_FAULT;
    standin::InjectFault(badSector);
    expectRaises(75, 1, "read fails");

    RemoveOem();
    ASSERT_EQ(mkdir((folder + "/drive_c/WINDOWS/SYSTEM/OEMINFO.INI").c_str(), 0755), 0);
    expectRaises(75, 0, "a folder in the file's place");
    rmdir((folder + "/drive_c/WINDOWS/SYSTEM/OEMINFO.INI").c_str());
    expectRaises(53, 0, "no file");
}

// ---- Registry files ---------------------------------------------------------------------------

class HostileRegistry : public MachineTest {
protected:
    // Puts `text` in registry.reg and opens the machine as the program's start does;
    // returns the error, or "" when it opened.
    std::string Open(const std::string& text) {
        standin::CloseMachine();
        WriteHostFile(folder + "/registry.reg", text);
        std::string error;
        return standin::OpenMachine(folder, error) ? std::string() : error;
    }
    void ExpectRefused(const std::string& text, const std::string& line, const std::string& says) {
        const std::string error = Open(text);
        EXPECT_NE(error.find(folder + "/registry.reg, line " + line + ": "), std::string::npos) << error;
        EXPECT_NE(error.find(says), std::string::npos) << error;
        EXPECT_NE(error.find("nothing was changed"), std::string::npos) << error;
        EXPECT_FALSE(standin::MachineIsOpen());
        EXPECT_EQ(RegistryFileBytes(), text);
        std::vector<std::string> entries = FolderEntries(folder);
        std::sort(entries.begin(), entries.end());
        // The journal is the one the fixture's earlier open made; no temporary file.
        EXPECT_EQ(entries, (std::vector<std::string>{"drive_c", "journal.txt", "registry.reg"}));
    }
};

TEST_F(HostileRegistry, AFileCutInsideAnyValueIsRefusedAtThatLine) {
    const std::string whole = std::string(kSampleRegistry) +
                              "[HKEY_USERS\\Wrapped]\r\n\"w\"=hex:00,11,22,33,44,55,66,77,88,99,aa,bb,\\\r\n"
                              "  cc,dd,\\\r\n  01,02\r\n";
    // Every cut that ends the file inside a value line, its continuation lines
    // included, however whole the rest of the line looks ("dword:0000", "hex:00,0").
    std::size_t lineStart = 0, line = 1, cuts = 0;
    bool continued = false;
    for (std::size_t lf = whole.find('\n'); lf != std::string::npos; lf = whole.find('\n', lineStart)) {
        const bool value = continued || whole[lineStart] == '"' || whole[lineStart] == '@';
        continued = value && lf >= 2 && whole[lf - 2] == '\\';
        if (value) {
            for (std::size_t cut = lineStart + 1; cut <= lf; ++cut) {
                standin::RegStore store;
                std::string error;
                SCOPED_TRACE(whole.substr(lineStart, cut - lineStart));
                ASSERT_FALSE(standin::ParseRegText(whole.data(), cut, "r.reg", store, error));
                EXPECT_EQ(error.rfind("r.reg, line " + std::to_string(line) + ": ", 0), 0u) << error;
                ++cuts;
            }
        }
        lineStart = lf + 1;
        ++line;
    }
    EXPECT_GT(cuts, 250u);
    // And as the program's start meets it.
    ExpectRefused(std::string(kSampleRegistry).substr(0, std::string(kSampleRegistry).find("hex:00,00") + 8),
                  "11", "value line truncated");
}

TEST_F(HostileRegistry, BytesThatAreNotTextAreRefused) {
    const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n";
    ExpectRefused(head + std::string("\"a\"=\"x\0y\"\r\n", 11), "4", "NUL");
    ExpectRefused(head + "\"a\"=dword:00000001\r\n" + std::string(4096, '\0'), "5", "binary, damaged");
    // regedit's later Unicode export: UTF-16 with a byte order mark.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("Windows Registry Editor Version 5.00\r\n")) utf16 += std::string{c, '\0'};
    ExpectRefused(utf16, "1", "UTF-16");
    std::string noise = RandomBytes(4096, 3);
    for (char& c : noise)
        if (c == '\0') c = '\1';
    ExpectRefused(noise, "1", "missing REGEDIT4 header");
}

TEST_F(HostileRegistry, KeysOutsideTheSixRootsAndDuplicatedValuesAreRefused) {
    const std::string h = "REGEDIT4\r\n\r\n";
    ExpectRefused(h + "[HKEY_LOCAL_MACHINE\\A]\r\n\r\n[HKEY_LOCAL_MACHINES\\B]\r\n", "5", "unknown root key");
    ExpectRefused(h + "[HKLM\\Enum]\r\n", "3", "unknown root key");
    ExpectRefused(h + "[..\\HKEY_LOCAL_MACHINE]\r\n", "3", "unknown root key");
    ExpectRefused(h + "[\\HKEY_LOCAL_MACHINE\\A]\r\n", "3", "starts with a backslash");
    ExpectRefused(h + "[HKEY_USERS\\A]\r\n\"v\"=\"1\"\r\n\"V\"=dword:2\r\n", "5", "given twice");
    ExpectRefused(h + "[HKEY_USERS\\A]\r\n@=\"1\"\r\n\r\n[hkey_users\\a]\r\n@=\"2\"\r\n", "7", "given twice");
}

TEST_F(HostileRegistry, ANamedPipeIsRefusedWithoutWaitingForAWriter) {
    standin::CloseMachine();
    const std::string reg = folder + "/registry.reg";
    ASSERT_EQ(unlink(reg.c_str()), 0);
    ASSERT_EQ(mkfifo(reg.c_str(), 0644), 0);
    std::string error;
    alarm(600);  // a hang kills the test program instead of stalling the suite; far above
                 // what the open takes even on a loaded machine
    EXPECT_FALSE(standin::OpenMachine(folder, error));
    alarm(0);
    EXPECT_NE(error.find(reg), std::string::npos) << error;
    EXPECT_NE(error.find("nothing was changed"), std::string::npos) << error;
}

TEST_F(HostileRegistry, ADuplicatedKeyMergesAndLosesNothing) {
    // regedit merges a key given twice on import; so does the store, in file order.
    ASSERT_EQ(Open("REGEDIT4\r\n\r\n[HKEY_USERS\\A]\r\n\"x\"=\"1\"\r\n\r\n[HKEY_USERS\\B]\r\n\r\n"
                   "[hkey_users\\a]\r\n\"y\"=\"2\"\r\n\r\n"),
              "");
    EXPECT_EQ(ReadValue(HKEY_USERS, "A", "x"), (RegValue{REG_SZ, Sz("1")}));
    EXPECT_EQ(ReadValue(HKEY_USERS, "A", "y"), (RegValue{REG_SZ, Sz("2")}));
    char name[8];
    ASSERT_EQ(RegEnumKeyA(HKEY_USERS, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "A");
}

TEST_F(HostileRegistry, AHundredMegabyteFileIsReadWholeAndAFaultAtItsEndIsFound) {
    // 100 MB of ordinary keys with a bad last line: the error names that line, so the
    // whole file was read, and nothing is written.
    std::string text = "REGEDIT4\r\n\r\n";
    text.reserve(101u << 20);
    std::string data;
    for (int i = 0; i < 300; ++i) data += "ab,";
    std::size_t lines = 2, n = 0;
    while (text.size() < (100u << 20)) {
        const std::string key = std::to_string(n++);
        text += "[HKEY_LOCAL_MACHINE\\Big\\K" + key + "]\r\n\"Data\"=hex:" + data + "\\\r\n  01,02\r\n" +
                "\"Name\"=\"value " + key + "\"\r\n\r\n";
        lines += 5;
    }
    text += "\"Last\"=dword:0000000g\r\n";
    ExpectRefused(text, std::to_string(lines + 1), "bad dword");
}

// ---- Saving ---------------------------------------------------------------------------------

class RefusedSave : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        // A registry larger than the file size limit below, so the first save fails.
        std::string pad = "00";
        for (int i = 0; i < 20000; ++i) pad += ",00";
        Load(std::string(kSampleRegistry) + "[HKEY_USERS\\Pad]\r\n\"Pad\"=hex:" + pad + "\r\n\r\n");
        standin::CloseMachine();  // the program opens it
    }
};

TEST_F(RefusedSave, ADiskThatRefusesTheWriteEndsTheRunWith26001AndKeepsTheFile) {
    const std::string before = RegistryFileBytes();
    ASSERT_GT(before.size(), 40000u);
    // A real failed write, which root cannot be stopped from any other way here: the
    // program inherits a 32 KB file size limit, and SIGXFSZ ignored turns the write
    // past it into an error (EFBIG) instead of killing the process.
    std::string out;
    int status;
    {
        ScopedFileSizeLimit limit(32 * 1024);
        status = RunExe(folder, &out);
    }

    EXPECT_EQ(status, 1) << out;
    const auto journal = JournalLines();
    ASSERT_EQ(journal.size(), 1u) << out;
    EXPECT_NE(journal[0].find("Run-time error '26001'"), std::string::npos) << journal[0];
    EXPECT_EQ(RegistryFileBytes(), before);
    EXPECT_EQ(FolderEntries(folder).size(), 3u) << "drive_c, registry.reg, journal.txt: no temporary file";
}

TEST_F(RefusedSave, ASaveRefusedLaterInTheRunKeepsTheSavesBeforeIt) {
    // The save after the infrared key's value is refused: the file holds everything up
    // to the row before, whole, and the run ends with the error box.
    std::string out;
    EXPECT_EQ(RunExe(folder, &out,
                     "IRPATCH_FAULTS='SaveRegistry|HKEY_LOCAL_MACHINE\\Enum\\INFRARED\\Framer||29;"
                     "RegSetValueExA||NotInTheScript|5'"),
              1)
        << out;
    // The entry that never fired is named; the one that did is not.
    EXPECT_NE(out.find("never fired during the run: 'RegSetValueExA||NotInTheScript|5'\n"), std::string::npos) << out;
    ASSERT_EQ(JournalLines().size(), 1u);
    EXPECT_NE(JournalLines()[0].find("Run-time error '26001'"), std::string::npos);
    const std::string after = RegistryFileBytes();
    standin::RegStore store;
    std::string error;
    ASSERT_TRUE(standin::ParseRegText(after.data(), after.size(), "registry.reg", store, error)) << error;
    EXPECT_EQ(after.find("BIOS"), std::string::npos);
    EXPECT_NE(after.find("\"Mfg\"=\"KEMO\""), std::string::npos);
    EXPECT_EQ(after.find("INFRARED"), std::string::npos);
    EXPECT_EQ(after.find("IrXfer"), std::string::npos);
}

// ---- Hostile machine folders ---------------------------------------------------------------

// A machine folder as a hostile user, a second run or a broken terminal leaves it, how
// the real program must end on it (exit status, a phrase of its output), and whether
// the machine is then patched, or its registry.reg byte for byte as before.
enum class Prepared {
    JournalLinksToTheRegistry, JournalLinksOut, JournalIsANamedPipe, JournalIsASecondNameOfTheRegistry,
    JournalIsAFolder, AnotherRunHoldsTheFolder, RegistryLinksOut, OemFileLinksOut, OemFileIsANamedPipe,
    FolderDeeperThanPathMax, OutputToABrokenPipe, StandardStreamsClosed, RegistryOfAnotherUserMode0640,
};
struct FolderCase {
    const char* what;
    Prepared setup;
    int exit;
    const char* says;  // a phrase of the terminal output; "" where the output is closed or broken
    bool patched;
};
void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.what; }

class HostileFolder : public MachineTest, public ::testing::WithParamInterface<FolderCase> {
protected:
    void TearDown() override {
        if (pipeEnd_ >= 0) close(pipeEnd_);
        EXPECT_EQ(fchdir(home_), 0);
        close(home_);
        unlink((folder + ".bait").c_str());
        unlink((folder + ".outside").c_str());
        MachineTest::TearDown();
    }
    // Readies the folder; `machine` and `redirect` are what the program is then given.
    int Prepare(Prepared setup, std::string& machine, std::string& redirect);
    int home_ = open(".", O_RDONLY | O_DIRECTORY);
    int pipeEnd_ = -1;
};

int HostileFolder::Prepare(Prepared setup, std::string& machine, std::string& redirect) {
    const std::string journal = folder + "/journal.txt", reg = folder + "/registry.reg", out = folder + ".outside";
    const std::string oem = folder + "/drive_c/WINDOWS/SYSTEM/OEMINFO.INI", bait = folder + ".bait", step(250, 'd');
    unlink(journal.c_str());
    std::string error;
    int ends[2] = {-1, -1}, failed = 0;
    switch (setup) {
        case Prepared::JournalLinksToTheRegistry: return symlink("registry.reg", journal.c_str());
        case Prepared::JournalLinksOut: return symlink(bait.c_str(), journal.c_str());
        case Prepared::JournalIsANamedPipe: return mkfifo(journal.c_str(), 0644);
        case Prepared::JournalIsASecondNameOfTheRegistry: return link(reg.c_str(), journal.c_str());
        case Prepared::JournalIsAFolder: return mkdir(journal.c_str(), 0755);
        case Prepared::AnotherRunHoldsTheFolder: return !standin::OpenMachine(folder, error);
        case Prepared::RegistryLinksOut: return rename(reg.c_str(), out.c_str()) | symlink(out.c_str(), reg.c_str());
        case Prepared::OemFileLinksOut:  // the file outside would pass for the right machine
            return rename(oem.c_str(), out.c_str()) | symlink(out.c_str(), oem.c_str());
        case Prepared::OemFileIsANamedPipe: return unlink(oem.c_str()) | mkfifo(oem.c_str(), 0644);
        case Prepared::FolderDeeperThanPathMax:  // moved below a working folder deeper than PATH_MAX
            failed = chdir(folder.c_str());
            for (std::size_t depth = 0; depth * step.size() <= PATH_MAX; ++depth)
                failed |= mkdir(step.c_str(), 0755) | chdir(step.c_str());
            machine = "m";
            return failed | mkdir("m", 0755) | rename(reg.c_str(), "m/registry.reg") |
                   rename((folder + "/drive_c").c_str(), "m/drive_c");
        case Prepared::OutputToABrokenPipe:  // no reader: a write gets EPIPE and SIGPIPE
            failed = pipe(ends), close(ends[0]), pipeEnd_ = ends[1], redirect = ">&" + std::to_string(ends[1]);
            return failed;
        case Prepared::StandardStreamsClosed: return redirect = "<&- >&- 2>&-", 0;
        case Prepared::RegistryOfAnotherUserMode0640:  // another user's when the tests may make one (as root)
            return chmod(reg.c_str(), 0640) | (geteuid() == 0 ? chown(reg.c_str(), 1234, 1234) : 0);
    }
    return -1;
}

TEST_P(HostileFolder, RunEndsAsItMustAndNothingLeavesTheMachine) {
    standin::CloseMachine();  // the program opens it
    WriteHostFile(folder + ".bait", "bait");
    std::string machine = folder, redirect, out;
    ASSERT_EQ(Prepare(GetParam().setup, machine, redirect), 0) << std::strerror(errno);
    const std::string reg = machine + "/registry.reg", before = ReadHostFile(reg);
    struct stat was {}, is {};
    ASSERT_EQ(stat(reg.c_str(), &was), 0);
    alarm(600);  // a run that hangs kills the test program instead of stalling the suite;
                 // far above what a run takes even on a loaded machine
    EXPECT_EQ(RunExe(machine, &out, "", redirect), GetParam().exit) << out;
    alarm(0);
    standin::CloseMachine();
    if (*GetParam().says != '\0') {
        EXPECT_NE(out.find(GetParam().says), std::string::npos) << out;
    }
    EXPECT_EQ(ReadHostFile(folder + ".bait"), "bait");
    // A save keeps the owner, group and mode of the file it replaces.
    ASSERT_EQ(stat(reg.c_str(), &is), 0);
    EXPECT_EQ(std::tie(is.st_uid, is.st_gid, is.st_mode), std::tie(was.st_uid, was.st_gid, was.st_mode));
    if (!GetParam().patched) {
        EXPECT_EQ(ReadHostFile(reg), before);
    } else {
        EXPECT_EQ(ReadHostFile(reg).find("Enum\\BIOS"), std::string::npos);
        EXPECT_EQ(JournalLines(), (std::vector<std::string>{kClosingLine, "ExitWindowsEx 0x2 0xFFFFFFFF"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, HostileFolder,
    ::testing::Values(
        FolderCase{"journal_links_to_the_registry", Prepared::JournalLinksToTheRegistry, 3, "journal.txt", false},
        FolderCase{"journal_links_out", Prepared::JournalLinksOut, 3, "journal.txt", false},
        FolderCase{"journal_is_a_named_pipe", Prepared::JournalIsANamedPipe, 3, "journal.txt", false},
        FolderCase{"journal_is_a_second_name_of_the_registry", Prepared::JournalIsASecondNameOfTheRegistry, 3,
                   "journal.txt", false},
        FolderCase{"journal_is_a_folder", Prepared::JournalIsAFolder, 3, "journal.txt", false},
        FolderCase{"another_run_holds_the_folder", Prepared::AnotherRunHoldsTheFolder, 3, "another run", false},
        FolderCase{"registry_links_out", Prepared::RegistryLinksOut, 3, "it is a link", false},
        FolderCase{"oem_file_links_out", Prepared::OemFileLinksOut, 1, "Run-time error '75'", false},
        FolderCase{"oem_file_is_a_named_pipe", Prepared::OemFileIsANamedPipe, 1, "Run-time error '75'", false},
        FolderCase{"folder_deeper_than_PATH_MAX", Prepared::FolderDeeperThanPathMax, 3, "cannot be resolved", false},
        FolderCase{"output_to_a_broken_pipe", Prepared::OutputToABrokenPipe, 0, "", true},
        FolderCase{"standard_streams_closed", Prepared::StandardStreamsClosed, 0, "", true},
        FolderCase{"registry_of_another_user_mode_0640", Prepared::RegistryOfAnotherUserMode0640, 0,
                   "Pour terminer l'installation", true}),
    [](const auto& tp) { return std::string(tp.param.what); });

}  // namespace
