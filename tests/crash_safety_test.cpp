// Crash safety of the registry file: the program is killed (SIGKILL, through
// IRPATCH_CRASH_AT_SAVE) inside each successive save of a full run, at each stage of
// the save, and registry.reg must then be exactly the registry before that save or
// exactly the one after it, never a mix; the next run must still start.
#include <dirent.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "main/IR_Patch_Main.h"
#include "platform/standin/machine.h"
#include "platform/standin/regstore/regfile.h"
#include "support/machine_fixture.h"

namespace {

std::string g_regFile;
std::vector<std::string>* g_states = nullptr;

// Records the file as each save leaves it.
void Record(standin::SaveStage stage) {
    if (stage == standin::SaveStage::Replaced && g_states != nullptr) g_states->push_back(ReadHostFile(g_regFile));
}

std::vector<std::string> Leftovers(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.rfind(".registry.reg.", 0) == 0) names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

bool Parses(const std::string& text) {
    standin::RegStore store;
    std::string error;
    return standin::ParseRegText(text.data(), text.size(), "registry.reg", store, error);
}

class CrashSafety : public MachineTest {
protected:
    // The file before the run, then after each of its saves, from an uninterrupted
    // run in this process.
    std::vector<std::string> States() {
        std::vector<std::string> states{RegistryFileBytes()};
        g_regFile = folder + "/registry.reg";
        g_states = &states;
        standin::SetSaveObserver(Record);
        const auto outcome = IR_Patch_Main::Main();
        standin::SetSaveObserver(nullptr);
        g_states = nullptr;
        EXPECT_EQ(outcome, IR_Patch_Main::Outcome::Completed);
        standin::CloseMachine();
        return states;
    }
};

TEST_F(CrashSafety, AKillInsideAnySaveLeavesTheOldOrTheNewFileWholeAndTheNextRunStarts) {
    const std::vector<std::string> states = States();
    const std::size_t saves = states.size() - 1;
    ASSERT_GE(saves, 15u) << "the deletion and the fifteen rows each save at least once";
    for (std::size_t i = 1; i < states.size(); ++i) ASSERT_NE(states[i], states[i - 1]) << "save " << i;

    const std::string journal = folder + "/journal.txt";
    for (std::size_t n = 1; n <= saves; ++n) {
        for (const char* stage : {"partial", "complete", "replaced"}) {
            SCOPED_TRACE("save " + std::to_string(n) + " of " + std::to_string(saves) + ", " + stage);
            WriteHostFile(folder + "/registry.reg", states[0]);
            unlink(journal.c_str());

            std::string out;
            const int status =
                RunExe(folder, &out, "IRPATCH_CRASH_AT_SAVE=" + std::to_string(n) + ":" + stage);
            // Killed: the shell reports the signal as 128 + 9, or the wait as a signal.
            ASSERT_TRUE(status == -1 || status == 137) << status << "\n" << out;

            const std::string& expected = std::string(stage) == "replaced" ? states[n] : states[n - 1];
            const std::string left = RegistryFileBytes();
            ASSERT_EQ(left, expected) << "registry.reg is not the whole file of one side of the save";
            ASSERT_TRUE(Parses(left));
            // Only the save in flight can leave a temporary file, and only before its rename.
            EXPECT_EQ(Leftovers(folder).size(), std::string(stage) == "replaced" ? 0u : 1u);

            // The next run opens the machine despite the leftover, and what it leaves
            // parses: it completes when the interrupted run had not yet deleted
            // Enum\BIOS, and otherwise stops at that deletion with the error box.
            const bool biosGone = expected.find("Enum\\BIOS") == std::string::npos;
            const int next = RunExe(folder, &out);
            EXPECT_EQ(next, biosGone ? 1 : 0) << out;
            EXPECT_EQ(RegistryFileBytes(), biosGone ? expected : states[saves]);
            for (const std::string& name : Leftovers(folder)) unlink((folder + "/" + name).c_str());
        }
    }

    // One save past the last: no crash, the run completes to the same file.
    WriteHostFile(folder + "/registry.reg", states[0]);
    EXPECT_EQ(RunExe(folder, nullptr, "IRPATCH_CRASH_AT_SAVE=" + std::to_string(saves + 1)), 0);
    EXPECT_EQ(RegistryFileBytes(), states[saves]);
}

// A test switch given wrongly must not let the real patch run instead of the failure
// the user meant to try.
TEST_F(CrashSafety, AMalformedTestSwitchStopsTheProgramBeforeAnyChange) {
    standin::CloseMachine();
    const std::string before = RegistryFileBytes();
    const std::string crash = "IRPATCH_CRASH_AT_SAVE", faults = "IRPATCH_FAULTS";
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{
             {crash, "0"}, {crash, "x"}, {crash, "3:later"}, {crash, "-1"}, {crash, "1:"}, {crash, "99999999999"},
             // No such call, three fields, no status, a status that fails nothing, no numbers, not Windows-1252.
             {faults, "ReadFlie|||30"}, {faults, "ReadFile||30"}, {faults, "ReadFile|||"}, {faults, "ReadFile|||0"},
             {faults, "ReadFile|||raise:x"}, {faults, "ReadFile|||30x"}, {faults, "RegOpenKeyExA|\xE4\xB8\xAD||5"},
             // Entries that can never fire: a short root name, an empty component (trailing,
             // doubled), a path or a value name on a call never matched by one.
             {faults, "RegSetValueExA|HKLM\\Enum\\INFRARED||5"},
             {faults, "RegSetValueExA|HKEY_LOCAL_MACHINE\\Enum\\INFRARED\\||5"},
             {faults, "RegDeleteKeyA|HKEY_LOCAL_MACHINE\\Enum\\\\BIOS||5"},
             {faults, "ReadFile|C:\\Windows\\System\\OEMINFO.INI||30"}, {faults, "SaveWrite||registry.reg|28"},
             {faults, "RegCloseKey|HKEY_LOCAL_MACHINE|Class|6"},
             // File paths the program never writes: forward slashes (which drive C takes),
             // no drive, a trailing backslash.
             {faults, "OpenFileForReadA|C:/Windows/system/Oeminfo.ini||5"},
             {faults, "OpenFileForReadA|Windows\\system\\Oeminfo.ini||5"},
             {faults, "OpenFileForReadA|C:\\Windows\\||5"}}) {
        // A good entry beside the bad one does not make the list usable.
        const std::string list = name == faults ? "ReadFile|||30;" + value : value;
        std::string out;
        EXPECT_EQ(RunExe(folder, &out, name + "='" + list + "'"), 3) << list;
        EXPECT_NE(out.find(name + (name == faults ? " entry '" : "='") + value + "'"), std::string::npos) << out;
        EXPECT_EQ(RegistryFileBytes(), before);
        EXPECT_TRUE(JournalLines().empty());
    }
}

}  // namespace
