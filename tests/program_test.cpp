// The real program, started as a user starts it, against a machine folder: its exit
// statuses, its report of an unhandled error, and its refusal to start on a machine
// it cannot read.
#include <cstdlib>

#include "platform/standin/machine.h"
#include "support/machine_fixture.h"

namespace {

class Program : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        standin::CloseMachine();  // the program opens the machine itself
    }
};

TEST_F(Program, CompletedRunExitsZeroAfterTheRestartRequest) {
    std::string out;
    EXPECT_EQ(RunExe(folder, &out), 0) << out;
    auto journal = JournalLines();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[1], "ExitWindowsEx 0x2 0xFFFFFFFF");
    EXPECT_NE(out.find("Pour terminer l'installation"), std::string::npos) << out;
    EXPECT_EQ(RegistryFileBytes().find("BIOS"), std::string::npos);
}

// The sample machine as the patch must leave it, written by hand from the fifteen rows
// (examples/k314-frn/expected-after-patch.reg): Enum\BIOS gone, each row's value in
// place, new values and keys after those the file had, Windows-1252 and CRLF.
TEST_F(Program, OnACopyOfTheSampleMachineTheRegistryEndsByteForByteAsTheGoldenFile) {
    const std::string sample = IRPATCH_SOURCE_DIR "/examples/k314-frn";
    const TempFolder machine("golden");
    CopyMachine(sample, machine.Path());
    std::string out;
    ASSERT_EQ(RunExe(machine.Path(), &out), 0) << out;
    const std::string golden = ReadHostFile(sample + "/expected-after-patch.reg");
    ASSERT_FALSE(golden.empty());
    EXPECT_TRUE(ReadHostFile(machine.Path() + "/registry.reg") == golden)
        << "registry.reg after the run:\n" << ReadHostFile(machine.Path() + "/registry.reg");
}

TEST_F(Program, RefusedMachineExitsTwo) {
    SetOem("Model=RDA-K314 ENG\r\n");
    std::string before = RegistryFileBytes();
    EXPECT_EQ(RunExe(folder), 2);
    EXPECT_EQ(RegistryFileBytes(), before);
}

TEST_F(Program, UnhandledErrorIsReportedWithNumberAndDescriptionAndExitsOne) {
    EXPECT_EQ(RunExe(folder, nullptr,
                     "IRPATCH_FAULTS='RegSetValueExA|HKEY_LOCAL_MACHINE\\Enum\\INFRARED|PortName|5'"),
              1);
    auto journal = JournalLines();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0],
              "MessageBox style=0x10 title=\"IRPatch-K314-W98-FRN\" text=\"Run-time error '26001':\\r\\n\\r\\n"
              "Failed to set registry value Key: '-2147483646',Section: 'Enum\\\\INFRARED\\\\Framer',"
              "Key: 'PortName' to value: 'COM1'\"");

    RemoveOem();
    EXPECT_EQ(RunExe(folder), 1);
    EXPECT_NE(JournalLines().back().find("Run-time error '53':\\r\\n\\r\\nFile not found"), std::string::npos);
}

TEST_F(Program, MachineThatCannotBeOpenedStopsBeforeAnyChange) {
    std::string out;
    EXPECT_EQ(std::system("env -u IRPATCH_MACHINE '" IRPATCH_EXE "' </dev/null >/dev/null 2>&1") >> 8, 3);
    EXPECT_EQ(RunExe(folder + "/nowhere", &out), 3);
    EXPECT_NE(out.find("does not exist"), std::string::npos) << out;

    const std::string corrupt = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS]\r\n\"x\"=dword:zz\r\n";
    WriteHostFile(folder + "/registry.reg", corrupt);
    EXPECT_EQ(RunExe(folder, &out), 3);
    EXPECT_NE(out.find("/registry.reg, line 4: bad dword: 'z' is not a hex digit"), std::string::npos) << out;
    EXPECT_EQ(RegistryFileBytes(), corrupt);
    EXPECT_TRUE(JournalLines().empty());
}

}  // namespace
