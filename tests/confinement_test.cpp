// Confinement of the stand-in machine: no Windows path, wherever it comes from (a
// file, the registry), reaches a host file off drive C, neither through path
// resolution nor through the file-open call built on it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/standin/standin.h"
#include "support/machine_fixture.h"

using namespace platform;

namespace {

class Confinement : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        // Bait beside the drive and outside the machine.
        WriteHostFile(folder + "/secret.txt", "machine folder, not drive C");
        outside = folder + ".outside";
        ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
        WriteHostFile(outside + "/secret.txt", "outside");
    }
    void TearDown() override {
        unlink((outside + "/secret.txt").c_str());
        rmdir(outside.c_str());
        MachineTest::TearDown();
    }
    void Link(const std::string& target, const std::string& onDrive) {
        ASSERT_EQ(symlink(target.c_str(), (folder + "/drive_c/" + onDrive).c_str()), 0) << onDrive;
    }
    // The path is refused by resolution (both modes) and by the open call.
    void ExpectRefused(const std::string& path, LONG why) {
        SCOPED_TRACE(path);
        for (bool mustExist : {true, false}) {
            std::string host = "untouched";
            LONG status = ERROR_SUCCESS;
            EXPECT_FALSE(standin::ResolveWindowsPath(path, host, status, mustExist));
            EXPECT_EQ(status, why);
            EXPECT_EQ(host, "untouched");
        }
        HANDLE h = 0;
        EXPECT_NE(OpenFileForReadA(path.c_str(), &h), ERROR_SUCCESS);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    }
    std::string outside;
};

TEST_F(Confinement, OtherDrivesUncRelativeAndHostPathsLeadNowhere) {
    for (const char* path : {"D:\\secret.txt", "A:\\", "Z:/x", "\\\\server\\share\\secret.txt",
                             "\\\\?\\C:\\secret.txt", "\\\\.\\C:\\secret.txt", "//server/share/x", "\\secret.txt",
                             "/etc/passwd", "secret.txt", "C:secret.txt", "C:", "..\\secret.txt", ""})
        ExpectRefused(path, ERROR_PATH_NOT_FOUND);
    ExpectRefused("C:\\" + folder + "/secret.txt", ERROR_PATH_NOT_FOUND);  // a host path pasted after C:
}

TEST_F(Confinement, DotDotAndItsLookAlikesAreRefusedWhereverTheyStand) {
    for (const char* path :
         {"C:\\..\\secret.txt", "C:\\..", "C:/../secret.txt", "C:\\Windows\\..\\..\\secret.txt",
          "C:\\Windows\\System\\..\\OEMINFO.INI", "C:\\...\\secret.txt", "C:\\Windows\\....\\x",
          "C:\\.. \\secret.txt", "C:\\. .\\secret.txt", "C:\\ \\x", "C:\\Windows\\..."})
        ExpectRefused(path, ERROR_ACCESS_DENIED);
}

TEST_F(Confinement, NamesWithNulAreRefused) {
    std::string host;
    LONG status = ERROR_SUCCESS;
    const std::string nul("C:\\Windows\\System\\OEMINFO.INI\0..\\..\\secret.txt", 46);
    EXPECT_FALSE(standin::ResolveWindowsPath(nul, host, status));
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(standin::ResolveWindowsPath(std::string("C:\\Win\0dows\\x", 13), host, status, false));
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);
    // Through the C string of the open call a NUL ends the name: what is after it
    // never reaches the host.
    HANDLE h = INVALID_HANDLE_VALUE;
    ASSERT_EQ(OpenFileForReadA(nul.c_str(), &h), ERROR_SUCCESS);
    char buf[64];
    DWORD got = 0;
    ASSERT_EQ(ReadFile(h, buf, sizeof buf, &got), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, got).rfind("[General]", 0), 0u);
    CloseHandle(h);
}

TEST_F(Confinement, LinksThatLeaveTheDriveOrLeadNowhereAreRefused) {
    Link(outside, "out");                                     // a folder outside the machine
    Link(outside + "/secret.txt", "outfile");                 // a file outside
    Link("../secret.txt", "beside");                          // the machine folder, beside the drive
    Link("..", "up");                                         // the machine folder itself
    Link("../../registry.reg", "WINDOWS/reg");               // deeper, to the registry file
    Link(outside + "/missing", "dangling");                   // nowhere (yet): a write would create it outside
    Link("/", "root");
    ExpectRefused("C:\\out\\secret.txt", ERROR_ACCESS_DENIED);
    ExpectRefused("C:\\OUTFILE", ERROR_ACCESS_DENIED);
    ExpectRefused("C:\\beside", ERROR_ACCESS_DENIED);
    ExpectRefused("C:\\up\\secret.txt", ERROR_ACCESS_DENIED);
    ExpectRefused("C:\\up", ERROR_ACCESS_DENIED);
    ExpectRefused("C:\\Windows\\Reg", ERROR_ACCESS_DENIED);
    ExpectRefused("C:\\dangling", ERROR_ACCESS_DENIED);
    ExpectRefused("C:\\root\\etc\\passwd", ERROR_ACCESS_DENIED);

    // A name still to be made below a link that leaves is judged by where it would be.
    std::string host;
    LONG status = ERROR_SUCCESS;
    EXPECT_FALSE(standin::ResolveWindowsPath("C:\\out\\new.txt", host, status, false));
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(standin::ResolveWindowsPath("C:\\up\\new.txt", host, status, false));
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);
}

TEST_F(Confinement, LinksAndNewNamesThatStayOnTheDriveStillResolve) {
    Link("WINDOWS/SYSTEM", "sys");
    Link("SYSTEM/OEMINFO.INI", "WINDOWS/oem");
    std::string host;
    LONG status = ERROR_PATH_NOT_FOUND;
    EXPECT_TRUE(standin::ResolveWindowsPath("C:\\sys\\oeminfo.ini", host, status));
    EXPECT_TRUE(standin::ResolveWindowsPath("C:\\Windows\\OEM", host, status));
    EXPECT_TRUE(standin::ResolveWindowsPath("C:\\", host, status));
    EXPECT_EQ(host, folder + "/drive_c");
    EXPECT_TRUE(standin::ResolveWindowsPath("C:\\Windows\\New.txt", host, status, false));
    EXPECT_EQ(host, folder + "/drive_c/WINDOWS/New.txt");
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(OpenFileForReadA("C:\\sys\\OEMINFO.INI", &h), ERROR_SUCCESS);
    CloseHandle(h);
}

TEST_F(Confinement, ADriveFolderThatIsItselfALinkOutIsRefused) {
    std::string cmd = "rm -rf '" + folder + "/drive_c'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (folder + "/drive_c").c_str()), 0);
    std::string host;
    LONG status = ERROR_SUCCESS;
    EXPECT_FALSE(standin::ResolveWindowsPath("C:\\secret.txt", host, status));
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);
}

}  // namespace
