// The stand-in machine outside the registry: Windows paths on drive C, the journal,
// the program's name, the code page.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/app.h"
#include "platform/standin/faults.h"
#include "platform/standin/machine.h"
#include "support/machine_fixture.h"

using namespace platform;

namespace {

class StandinMachine : public MachineTest {};

// What a Windows path opens: the host path found below drive_c/, or its status.
std::string Opened(const std::string& path, LONG& status) {
    standin::Fd fd;
    std::string found;
    status = standin::OpenWindowsPath(path, O_PATH, fd, &found);
    return found;
}

TEST_F(StandinMachine, WindowsPathsResolveWithoutRegardToCaseAndStayInside) {
    LONG status = 0;
    EXPECT_EQ(Opened("C:\\Windows\\system\\Oeminfo.ini", status), "WINDOWS/SYSTEM/OEMINFO.INI");
    EXPECT_EQ(Opened("c:/WINDOWS//System/./oeminfo.INI", status), "WINDOWS/SYSTEM/OEMINFO.INI");

    Opened("C:\\Windows\\system\\Missing.ini", status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    Opened("C:\\Nowhere\\x.ini", status);
    EXPECT_EQ(status, ERROR_PATH_NOT_FOUND);

    for (const char* outside : {"C:\\..\\registry.reg", "C:\\Windows\\..\\..\\registry.reg", "D:\\x.ini",
                                "\\\\server\\share\\x.ini", "registry.reg", "/etc/passwd", ""}) {
        EXPECT_EQ(Opened(outside, status), "") << outside;
        EXPECT_NE(status, ERROR_SUCCESS) << outside;
    }

    // A link inside drive C that points outside the machine folder is not followed.
    ASSERT_EQ(symlink("/etc", (folder + "/drive_c/out").c_str()), 0);
    Opened("C:\\out\\passwd", status);
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);

    // Host names are UTF-8, Windows paths Windows-1252: É/é (0xC9/0xE9), Œ/œ (0x8C/0x9C)
    // and Ÿ/ÿ (0x9F/0xFF) are case pairs, in paths and in faults; × and ÷ are no letters.
    WriteHostFile(folder + "/drive_c/WINDOWS/R\xC3\xA9seau \xC5\x93uvre \xC3\xBF.ini", "x");
    WriteHostFile(folder + "/drive_c/WINDOWS/a\xC3\xB7", "x");
    EXPECT_EQ(Opened("C:\\Windows\\R\xC9SEAU \x8CUVRE \x9F.INI", status), "WINDOWS/R\xC3\xA9seau \xC5\x93uvre \xC3\xBF.ini");
    EXPECT_EQ(Opened("C:\\Windows\\A\xD7", status), "");
    standin::InjectFault({"OpenFileForReadA", std::string("C:\\WINDOWS\\r\xE9seau \x9Cuvre \xFF.ini"), std::nullopt,
                          ERROR_ACCESS_DENIED, 0, -1});
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(OpenFileForReadA("c:\\windows\\R\xC9SEAU \x8CUVRE \x9F.INI", &h), ERROR_ACCESS_DENIED);
}

TEST_F(StandinMachine, FileCallsRefuseHandlesTheyDidNotOpen) {
    // Handle 0 is no file on Windows; here it would be standard input.
    char buf[4];
    DWORD got = 7;
    EXPECT_EQ(ReadFile(0, buf, sizeof buf, &got), ERROR_INVALID_HANDLE);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(CloseHandle(0), ERROR_INVALID_HANDLE);
    EXPECT_NE(fcntl(0, F_GETFD), -1) << "standard input stays open";
    HANDLE h = INVALID_HANDLE_VALUE;
    ASSERT_EQ(OpenFileForReadA("C:\\Windows\\System\\OEMINFO.INI", &h), ERROR_SUCCESS);
    EXPECT_EQ(CloseHandle(h), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(h, buf, sizeof buf, &got), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CloseHandle(h), ERROR_INVALID_HANDLE);
}

TEST_F(StandinMachine, JournalEscapesEveryFieldOnOneLine) {
    app::MsgBox(L"a\"b\\c\rd\ne", MB_OK, L"T\u00e9");
    EXPECT_EQ(JournalLines(), std::vector<std::string>{"MessageBox style=0x0 title=\"Té\" text=\"a\\\"b\\\\c\\rd\\ne\""});
}

TEST_F(StandinMachine, CodePageIsWindows1252BothWays) {
    std::string ansi;
    EXPECT_TRUE(ToAnsi(L"\u20ac\u0153\u00e9\u00ff\u0178", ansi));
    EXPECT_EQ(ansi, "\x80\x9C\xE9\xFF\x9F");
    EXPECT_FALSE(ToAnsi(L"a\u0100b", ansi));
    EXPECT_EQ(ansi, "a?b");
    EXPECT_EQ(FromAnsi("\x80\x81\xE9"), L"\u20ac\u0081\u00e9");
    for (int b = 0; b < 256; ++b) {
        std::string one(1, static_cast<char>(b)), back;
        ASSERT_TRUE(ToAnsi(FromAnsi(one), back));
        EXPECT_EQ(back, one) << b;
    }
}

TEST_F(StandinMachine, ProgramNameIsTheExecutableWithoutFolder) {
    EXPECT_EQ(AppExeName(), L"standin_tests");
    EXPECT_EQ(app::Title(), L"IRPatch-K314-W98-FRN");
}

TEST_F(StandinMachine, MissingRegistryFileIsAClearError) {
    standin::CloseMachine();
    unlink((folder + "/registry.reg").c_str());
    std::string error;
    EXPECT_FALSE(standin::OpenMachine(folder, error));
    EXPECT_NE(error.find("/registry.reg' is missing"), std::string::npos) << error;
    EXPECT_FALSE(standin::MachineIsOpen());
}

}  // namespace
