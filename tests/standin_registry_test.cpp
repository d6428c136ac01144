// The stand-in's registry functions: Win32 results, handles, subtree deletion, and
// the promise that registry.reg always matches what the calls reported.
#include <gtest/gtest.h>

#include "support/machine_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/standin/faults.h"
#include "platform/standin/regstore/registry.h"

using namespace platform;

namespace {

const char kInitial[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\INFRARED]\r\n"
    "\"Class\"=\"Infrared\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\INFRARED\\Framer]\r\n"
    "\"PortName\"=\"COM2\"\r\n"
    "\"Flags\"=dword:00000003\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\INFRARED\\Framer\\0000]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\Root]\r\n\r\n";

// What shows that a file was rewritten: the atomic save puts a new inode in place.
struct FileState {
    ino_t inode = 0;
    timespec mtime{};
    std::string bytes;
    bool operator==(const FileState& o) const {
        return inode == o.inode && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && bytes == o.bytes;
    }
    bool operator!=(const FileState& o) const { return !(*this == o); }
};

class StandinRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = dir_ + "/registry.reg";
        WriteHostFile(file_, kInitial);
        std::string error;
        ASSERT_TRUE(standin::LoadRegistry(file_, error)) << error;
        standin::ClearFaults();
        standin::ClearCallLog();
        standin::SetCallLogging(true);
    }
    void TearDown() override {
        standin::UnloadRegistry();
        standin::ClearFaults();
        standin::ClearCallLog();
        standin::SetCallLogging(false);
    }
    FileState State() const {
        FileState s;
        struct stat st {};
        if (stat(file_.c_str(), &st) == 0) {
            s.inode = st.st_ino;
            s.mtime = st.st_mtim;
        }
        s.bytes = ReadHostFile(file_);
        return s;
    }
    // The registry as a fresh load of the file sees it.
    std::string Reloaded(const char* key, const char* value) {
        std::string error;
        EXPECT_TRUE(standin::LoadRegistry(file_, error)) << error;
        HKEY h = 0;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) {
            return "<no key>";
        }
        char buf[256] = {};
        DWORD size = sizeof buf;
        const LONG rc =
            RegQueryValueExA(h, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
        RegCloseKey(h);
        return rc == ERROR_SUCCESS ? std::string(buf, size) : "<no value>";
    }
    HKEY Open(const char* path) {
        HKEY h = 0;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &h), ERROR_SUCCESS)
            << path;
        return h;
    }
    TempFolder temp_{"registry"};
    const std::string& dir_ = temp_.Path();
    std::string file_;
};

LONG SetString(HKEY h, const char* name, const std::string& text) {
    return RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

}  // namespace

// ---- Handles --------------------------------------------------------------------------------

TEST_F(StandinRegistry, BadHandlesAreRefusedByEveryCall) {
    EXPECT_EQ(RegCloseKey(0), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // roots stay usable

    HKEY h = Open("Enum");
    EXPECT_NE(h, 0);
    EXPECT_NE(h, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);  // a closed handle is not reused

    char name[64];
    DWORD cch = sizeof name;
    DWORD size = 0;
    HKEY out = 12345;
    // 0x80000004, HKEY_PERFORMANCE_DATA, is a predefined root the stand-in lacks; as a
    // handle it is sign-extended like the roots it has.
    const HKEY missingRoot = RootFromLong(static_cast<std::int32_t>(0x80000004u));
    for (HKEY bad : {HKEY{0}, h, HKEY{777}, missingRoot}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(RegOpenKeyExA(bad, "", 0, 0, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCreateKeyExA(bad, "x", 0, nullptr, 0, 0, nullptr, &out, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(SetString(bad, "v", "x"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueExA(bad, "v", nullptr, nullptr, nullptr, &size),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumValueA(bad, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumKeyA(bad, 0, name, sizeof name), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteKeyA(bad, "x"), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(out, 12345);
}

TEST_F(StandinRegistry, UnloadingTheRegistryInvalidatesItsHandles) {
    HKEY h = Open("Enum");
    standin::UnloadRegistry();
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(HKEY_LOCAL_MACHINE, "", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
}

// ---- Create and open ----------------------------------------------------------------------

TEST_F(StandinRegistry, CreateMakesEveryMissingKeyOfADeepPathThenOpensIt) {
    HKEY h = 0;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Enum\\INFRARED\\New\\A\\B", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &h, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, 1u);
    EXPECT_EQ(SetString(h, "Deep", "yes"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(Reloaded("ENUM\\infrared\\new\\a\\b", "deep"), std::string("yes\0", 4));

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "enum\\INFRARED\\NEW", 0, nullptr, 0, 0, nullptr,
                              &h, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, 2u);
    // An empty path gives a new handle to the key itself.
    HKEY self = 0;
    ASSERT_EQ(RegCreateKeyExA(h, "", 0, nullptr, 0, 0, nullptr, &self, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, 2u);
    EXPECT_NE(self, h);
    char name[8];
    EXPECT_EQ(RegEnumKeyA(self, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "A");
}

TEST_F(StandinRegistry, BadPathsAreRefusedAndTheResultHandleIsLeftAlone) {
    const FileState before = State();
    HKEY h = 4242;
    auto create = [&](const char* path) {
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &h, nullptr);
    };
    EXPECT_EQ(create("\\Enum\\X"), ERROR_BAD_PATHNAME);
    EXPECT_EQ(create("Enum\\\\X"), ERROR_BAD_PATHNAME);
    EXPECT_EQ(create(("Enum\\" + std::string(256, 'x')).c_str()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(create("Enum\\Line\nBreak"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(create(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\Missing", 0, 0, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\INFRARED\\Framer\\Missing\\More", 0, 0, &h),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(h, 4242);
    EXPECT_EQ(create(("Enum\\" + std::string(255, 'x')).c_str()), ERROR_SUCCESS);
    EXPECT_NE(State(), before);
}

// ---- Values ---------------------------------------------------------------------------------

TEST_F(StandinRegistry, SetStoresExactBytesAndQueryReportsSizesLikeWin32) {
    HKEY h = Open("Enum\\INFRARED\\Framer");
    const BYTE raw[] = {'a', 'b', 0, 0, 'c'};
    ASSERT_EQ(RegSetValueExA(h, "Raw", 0, REG_SZ, raw, sizeof raw), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(h, nullptr, 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(h, "Bad", 0, REG_BINARY, nullptr, 3), ERROR_INVALID_PARAMETER);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(h, "raw", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 5u);
    BYTE small[4] = {9, 9, 9, 9};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(h, "Raw", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    BYTE buf[8] = {};
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(h, "Raw", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::memcmp(buf, raw, 5), 0);
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(h, "", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(RegQueryValueExA(h, "Bad", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(h, "Raw", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Reloaded("Enum\\INFRARED\\Framer", "Raw"),
              std::string(reinterpret_cast<const char*>(raw), 5));
}

TEST_F(StandinRegistry, EnumValueChecksNameAndDataRoomToTheByte) {
    HKEY h = Open("Enum\\INFRARED\\Framer");
    char name[16];
    DWORD cch = 8;  // "PortName" needs 9 with its terminator
    DWORD type = 0;
    BYTE data[16];
    DWORD cb = sizeof data;
    EXPECT_EQ(RegEnumValueA(h, 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
    cch = 9;
    cb = 4;  // "COM2" needs 5
    EXPECT_EQ(RegEnumValueA(h, 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 5u);
    cch = 9;
    EXPECT_EQ(RegEnumValueA(h, 0, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
    EXPECT_STREQ(name, "PortName");
    EXPECT_EQ(cch, 8u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), cb), std::string("COM2\0", 5));
    // No data buffer: the size alone is reported.
    cch = sizeof name;
    cb = 0;
    EXPECT_EQ(RegEnumValueA(h, 1, name, &cch, nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Flags");
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(cb, 4u);
    cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(h, 2, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(StandinRegistry, EnumKeyFollowsCreationOrderAndNeedsRoomForTheTerminator) {
    HKEY h = Open("Enum");
    HKEY made = 0;
    ASSERT_EQ(RegCreateKeyExA(h, "Added", 0, nullptr, 0, 0, nullptr, &made, nullptr),
              ERROR_SUCCESS);
    char name[16];
    std::vector<std::string> names;
    for (DWORD i = 0; RegEnumKeyA(h, i, name, sizeof name) == ERROR_SUCCESS; ++i)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"INFRARED", "Root", "Added"}));
    EXPECT_EQ(RegEnumKeyA(h, 0, name, 8), ERROR_MORE_DATA);  // "INFRARED" + NUL = 9
    EXPECT_EQ(RegEnumKeyA(h, 0, name, 9), ERROR_SUCCESS);
    EXPECT_EQ(RegEnumKeyA(h, 3, name, sizeof name), ERROR_NO_MORE_ITEMS);
}

// ---- Delete --------------------------------------------------------------------------------

TEST_F(StandinRegistry, DeleteRemovesTheWholeSubtreeAndItsHandlesSeeADeletedKey) {
    HKEY framer = Open("Enum\\INFRARED\\Framer");
    HKEY child = Open("Enum\\INFRARED\\Framer\\0000");
    HKEY sibling = Open("Enum\\Root");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\INFRARED"), ERROR_SUCCESS);

    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(framer, "PortName", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(child, "v", "x"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(framer), ERROR_SUCCESS);
    EXPECT_EQ(SetString(sibling, "v", "x"), ERROR_SUCCESS);
    EXPECT_EQ(Reloaded("Enum\\INFRARED\\Framer", "PortName"), "<no key>");
    EXPECT_EQ(ReadHostFile(file_).find("INFRARED"), std::string::npos);

    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\INFRARED"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

// ---- Persistence --------------------------------------------------------------------------

TEST_F(StandinRegistry, OnlyCallsThatChangeSomethingRewriteTheFile) {
    const FileState before = State();
    HKEY h = 0;
    DWORD disposition = 0;
    char name[32];
    DWORD cch = sizeof name, size = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Enum\\INFRARED\\Framer", 0, nullptr, 0, 0,
                              nullptr, &h, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, 2u);
    EXPECT_EQ(SetString(h, "PortName", "COM2"), ERROR_SUCCESS);  // same value again
    EXPECT_EQ(RegQueryValueExA(h, "PortName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegEnumValueA(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(h, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(h, "Bad", 0, REG_BINARY, nullptr, 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(State(), before);

    h = Open("Enum\\INFRARED\\Framer");
    ASSERT_EQ(SetString(h, "PortName", "COM4"), ERROR_SUCCESS);
    EXPECT_NE(ReadHostFile(file_).find("\"PortName\"=\"COM4\"\r\n"), std::string::npos);
}

TEST_F(StandinRegistry, AFailedSaveUndoesEachKindOfChangeAndKeepsTheFile) {
    HKEY framer = Open("Enum\\INFRARED\\Framer");
    const FileState before = State();
    standin::Fault fault;
    fault.call = "SaveRegistry";
    standin::InjectFault(fault);

    EXPECT_EQ(SetString(framer, "PortName", "COM9"), ERROR_WRITE_FAULT);
    EXPECT_EQ(SetString(framer, "Fresh", "x"), ERROR_WRITE_FAULT);
    HKEY h = 99;
    EXPECT_EQ(RegCreateKeyExA(framer, "N1\\N2", 0, nullptr, 0, 0, nullptr, &h, nullptr),
              ERROR_WRITE_FAULT);
    EXPECT_EQ(h, 99);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\INFRARED"), ERROR_WRITE_FAULT);
    EXPECT_EQ(State(), before);

    // Memory holds what the file holds: old value, no new value or key, the deleted
    // subtree back in its place and its handles still working.
    char buf[16];
    DWORD size = sizeof buf;
    EXPECT_EQ(
        RegQueryValueExA(framer, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(buf, "COM2");
    EXPECT_EQ(RegQueryValueExA(framer, "Fresh", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(framer, "N1", 0, 0, &h), ERROR_FILE_NOT_FOUND);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(HKEY_LOCAL_MACHINE, 0, name, sizeof name), ERROR_SUCCESS);
    HKEY enumKey = Open("Enum");
    EXPECT_EQ(RegEnumKeyA(enumKey, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "INFRARED");
    standin::ClearFaults();
    EXPECT_EQ(SetString(framer, "PortName", "COM3"), ERROR_SUCCESS);
    EXPECT_EQ(Reloaded("Enum\\INFRARED\\Framer", "PortName"), std::string("COM3\0", 5));
}

TEST_F(StandinRegistry, ADiskWriteFailureIsReportedAndUndone) {
    HKEY framer = Open("Enum\\INFRARED\\Framer");
    const FileState before = State();
    std::vector<BYTE> big(100000, 1);
    LONG rc;
    {
        ScopedFileSizeLimit limit(4096);
        rc = RegSetValueExA(framer, "Big", 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size()));
    }
    EXPECT_EQ(rc, ERROR_WRITE_FAULT);
    EXPECT_EQ(State(), before);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(framer, "Big", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
}

// Each file call of a save failed once: memory, file and folder stay as before. The
// folder's flush fails after the rename, so the restored tree is written once more.
TEST_F(StandinRegistry, EachFileCallOfASaveThatFailsLeavesMemoryAndFileAsBefore) {
    HKEY framer = Open("Enum\\INFRARED\\Framer");
    const FileState before = State();
    for (const char* call : {"SaveTempFile", "SaveWrite", "SaveFlush", "SaveRename", "SaveFlushFolder"}) {
        SCOPED_TRACE(call);
        standin::InjectFault({call, std::nullopt, std::nullopt, ENOSPC, 0, 1});
        EXPECT_EQ(SetString(framer, "PortName", "COM9"), ERROR_WRITE_FAULT);
        EXPECT_FALSE(standin::FaultsArmed(call)) << "the save went as far as this call";
        EXPECT_NE(standin::CallLog().back().find("No space left on device"), std::string::npos);
        char buf[16];
        DWORD size = sizeof buf;
        RegQueryValueExA(framer, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
        EXPECT_STREQ(buf, "COM2");
        const bool rewritten = std::string(call) == "SaveFlushFolder";
        EXPECT_TRUE(rewritten ? State().bytes.find("\"PortName\"=\"COM2\"") != std::string::npos : State() == before);
        EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"registry.reg"}) << "no temporary file left";
    }
    EXPECT_EQ(SetString(framer, "PortName", "COM3"), ERROR_SUCCESS);
    EXPECT_EQ(Reloaded("Enum\\INFRARED\\Framer", "PortName"), std::string("COM3\0", 5));
}

TEST_F(StandinRegistry, LoadFailureReportsTheLineDropsTheRegistryAndKeepsTheFile) {
    HKEY h = Open("Enum");
    WriteHostFile(file_, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=dword:1z\r\n");
    const FileState before = State();
    std::string error;
    EXPECT_FALSE(standin::LoadRegistry(file_, error));
    EXPECT_EQ(error.rfind(file_ + ", line 4: bad dword", 0), 0u) << error;
    EXPECT_EQ(State(), before);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    HKEY out = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, 0, &out), ERROR_INVALID_HANDLE);
}

// ---- Faults and the call log -------------------------------------------------------------------

TEST_F(StandinRegistry, AnInjectedFaultFailsTheMatchingCallWithoutChangingAnything) {
    HKEY framer = Open("Enum\\INFRARED\\Framer");
    const FileState before = State();
    standin::Fault fault;
    fault.call = "RegSetValueExA";
    fault.keyPath = "HKEY_LOCAL_MACHINE\\Enum\\INFRARED";
    fault.valueName = "PortName";
    fault.status = ERROR_ACCESS_DENIED;
    standin::InjectFault(fault);
    fault.call = "RegCreateKeyExA";
    fault.valueName.reset();
    fault.keyPath = "HKEY_LOCAL_MACHINE\\Enum\\INFRARED\\Framer\\Sub";
    fault.raiseNumber = RuntimeErr::PathFileAccess;
    standin::InjectFault(fault);
    standin::ClearCallLog();

    EXPECT_EQ(SetString(framer, "PortName", "COM7"), ERROR_ACCESS_DENIED);
    HKEY h = 0;
    EXPECT_THROW(RegCreateKeyExA(framer, "Sub\\Deeper", 0, nullptr, 0, 0, nullptr, &h, nullptr),
                 RaisedError);
    EXPECT_EQ(State(), before);
    EXPECT_EQ(SetString(framer, "Other", "x"), ERROR_SUCCESS);

    const auto& log = standin::CallLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(
        log[0],
        "RegSetValueExA(0x80000002\\Enum\\INFRARED\\Framer, \"PortName\", 0, 1, 5 bytes) = 5");
    EXPECT_NE(log[1].find("RegCreateKeyExA(0x80000002\\Enum\\INFRARED\\Framer, \"Sub\\Deeper\""),
              std::string::npos)
        << log[1];
    EXPECT_EQ(log[2],
              "RegSetValueExA(0x80000002\\Enum\\INFRARED\\Framer, \"Other\", 0, 1, 2 bytes) = 0");
}

// With the call log off (the program's default) every call answers as before, faults
// still fire on the key path they name, and no line is kept; turning it back on logs
// in the same form as always.
TEST_F(StandinRegistry, WithTheCallLogOffCallsAndFaultsWorkAndNothingIsKept) {
    standin::SetCallLogging(false);
    EXPECT_FALSE(standin::CallLogging());
    HKEY framer = Open("Enum\\INFRARED\\Framer");
    char name[16];
    DWORD cch = sizeof name;
    BYTE data[16];
    DWORD cb = sizeof data;
    DWORD type = 0;
    ASSERT_EQ(RegEnumValueA(framer, 0, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, cch), "PortName");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), cb), std::string("COM2", 5));
    char sub[16];
    EXPECT_EQ(RegEnumKeyA(framer, 0, sub, sizeof sub), ERROR_SUCCESS);
    EXPECT_STREQ(sub, "0000");
    EXPECT_EQ(RegEnumKeyA(framer, 1, sub, sizeof sub), ERROR_NO_MORE_ITEMS);

    standin::Fault fault;
    fault.call = "RegQueryValueExA";
    fault.keyPath = "HKEY_LOCAL_MACHINE\\Enum\\INFRARED\\Framer";
    fault.status = ERROR_ACCESS_DENIED;
    fault.times = 1;
    standin::InjectFault(fault);
    cb = sizeof data;
    EXPECT_EQ(RegQueryValueExA(framer, "Flags", nullptr, &type, data, &cb), ERROR_ACCESS_DENIED);
    cb = sizeof data;
    EXPECT_EQ(RegQueryValueExA(framer, "Flags", nullptr, &type, data, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(SetString(framer, "Other", "x"), ERROR_SUCCESS);
    EXPECT_EQ(Reloaded("Enum\\INFRARED\\Framer", "Other"), std::string("x", 2));
    EXPECT_TRUE(standin::CallLog().empty());

    standin::SetCallLogging(true);
    framer = Open("Enum\\INFRARED\\Framer");
    cch = sizeof name;
    cb = sizeof data;
    EXPECT_EQ(RegEnumValueA(framer, 1, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
    ASSERT_EQ(standin::CallLog().size(), 2u);
    EXPECT_EQ(standin::CallLog()[1],
              "RegEnumValueA(0x80000002\\Enum\\INFRARED\\Framer, 1, 16, 16 bytes) = 0 "
              "(\"Flags\", type 4, 4 bytes)");
}
