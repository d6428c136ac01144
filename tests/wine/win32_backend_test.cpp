// The Win32 backend against the real system, run under Wine by the driver: the
// behaviour the seam promises beyond a plain pass-through (subtree delete, status
// mapping, ANSI conversion that reports characters it cannot carry).
//
// Works in HKCU\Software\IRPatchBackendTest and in the folder given as argument 1
// (a Windows path with a trailing backslash); both are the driver's to clean.
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what, int line) {
    if (!ok) {
        ++g_failures;
        std::printf("FAIL line %d: %s\n", line, what);
    }
}
#define CHECK(cond) Check((cond), #cond, __LINE__)

using namespace platform;

const char kTestRoot[] = "Software\\IRPatchBackendTest";

HKEY Create(HKEY parent, const std::string& path) {
    SECURITY_ATTRIBUTES sa{0, nullptr, 0};
    HKEY key = 0;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(parent, path.c_str(), 0, "", REG_OPTION_NON_VOLATILE, 0x3F, &sa, &key,
                                  &disposition);
    Check(status == ERROR_SUCCESS, ("create " + path).c_str(), __LINE__);
    return key;
}

bool Exists(HKEY parent, const std::string& path) {
    HKEY key = 0;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Three levels, three keys wide, each with a value: the NT family refuses every
// one of the inner deletes, and enumeration indices shift as children go.
void TestDeleteWholeSubtree() {
    const std::string top = std::string(kTestRoot) + "\\Tree";
    for (const char* a : {"a", "b", "c"}) {
        for (const char* b : {"x", "y", "z"}) {
            HKEY key = Create(HKEY_CURRENT_USER, top + "\\" + a + "\\" + b + "\\leaf");
            const BYTE data[] = {1, 2, 3, 4};
            CHECK(RegSetValueExA(key, "v", 0, REG_BINARY, data, 4) == ERROR_SUCCESS);
            RegCloseKey(key);
        }
    }
    HKEY sibling = Create(HKEY_CURRENT_USER, std::string(kTestRoot) + "\\TreeSibling\\kept");
    RegCloseKey(sibling);

    CHECK(RegDeleteKeyA(HKEY_CURRENT_USER, top.c_str()) == ERROR_SUCCESS);
    CHECK(!Exists(HKEY_CURRENT_USER, top));
    CHECK(Exists(HKEY_CURRENT_USER, std::string(kTestRoot) + "\\TreeSibling\\kept"));
}

void TestDeleteMissingKey() {
    const std::string missing = std::string(kTestRoot) + "\\NoSuchKey";
    CHECK(RegDeleteKeyA(HKEY_CURRENT_USER, missing.c_str()) == ERROR_FILE_NOT_FOUND);
    const std::string missingParent = std::string(kTestRoot) + "\\NoSuchParent\\child";
    CHECK(RegDeleteKeyA(HKEY_CURRENT_USER, missingParent.c_str()) != ERROR_SUCCESS);
}

// An empty path names the open key itself: it must never be emptied by the walk.
void TestDeleteEmptyPathNeverWalks() {
    const std::string parent = std::string(kTestRoot) + "\\Guard";
    RegCloseKey(Create(HKEY_CURRENT_USER, parent + "\\child"));
    HKEY key = 0;
    CHECK(RegOpenKeyExA(HKEY_CURRENT_USER, parent.c_str(), 0, 0x3F, &key) == ERROR_SUCCESS);
    CHECK(RegDeleteKeyA(key, "") != ERROR_SUCCESS);
    RegCloseKey(key);
    CHECK(Exists(HKEY_CURRENT_USER, parent + "\\child"));
}

void TestCloseNullKey() { CHECK(RegCloseKey(0) == ERROR_INVALID_HANDLE); }

void TestToAnsi() {
    std::string out;
    CHECK(ToAnsi(L"Red\u00e9marage", out) && out == "Red\xe9marage");
    CHECK(ToAnsi(L"Patch arret\u00e9", out) && out == "Patch arret\xe9");
    // Embedded zero characters are data, not terminators.
    CHECK(ToAnsi(std::wstring(L"\x10\0\0\0", 4), out) && out == std::string("\x10\0\0\0", 4));
    CHECK(ToAnsi(L"", out) && out.empty());
    // A-macron has no Windows-1252 code; the system's best fit would say 'A'.
    CHECK(!ToAnsi(L"x\u0100y", out) && out == "x?y");
    // A character outside the BMP is one character: one '?'.
    CHECK(!ToAnsi(L"a\U0001F600b", out) && out == "a?b");
    // The euro sign is in Windows-1252 at 0x80.
    CHECK(ToAnsi(L"\u20ac", out) && out == "\x80");
}

void TestFromAnsi() {
    CHECK(FromAnsi("Red\xe9marage") == L"Red\u00e9marage");
    CHECK(FromAnsi(std::string("a\0b", 3)) == std::wstring(L"a\0b", 3));
    CHECK(FromAnsi("").empty());
}

void TestFileInput(const std::string& folder) {
    HANDLE file = 0;
    CHECK(OpenFileForReadA((folder + "missing.ini").c_str(), &file) == ERROR_FILE_NOT_FOUND);
    CHECK(file == -1);
    CHECK(OpenFileForReadA((folder + "nofolder\\x.ini").c_str(), &file) == ERROR_PATH_NOT_FOUND);
    CHECK(file == -1);
    CHECK(OpenFileForReadA((folder + "adir").c_str(), &file) == ERROR_ACCESS_DENIED);
    CHECK(file == -1);

    CHECK(OpenFileForReadA((folder + "data.txt").c_str(), &file) == ERROR_SUCCESS);
    char buffer[64];
    DWORD got = 0;
    CHECK(ReadFile(file, buffer, sizeof buffer, &got) == ERROR_SUCCESS);
    CHECK(std::string(buffer, got) == "line1\r\nline2");
    CHECK(ReadFile(file, buffer, sizeof buffer, &got) == ERROR_SUCCESS && got == 0);
    CHECK(CloseHandle(file) == ERROR_SUCCESS);
    // A file that never opened must not report a successful close.
    CHECK(CloseHandle(-1) == ERROR_INVALID_HANDLE);
    CHECK(CloseHandle(0) == ERROR_INVALID_HANDLE);
}

void TestAppExeName() { CHECK(AppExeName() == L"win32_backend_test"); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: win32_backend_test FOLDER\\\n");
        return 2;
    }
    TestDeleteWholeSubtree();
    TestDeleteMissingKey();
    TestDeleteEmptyPathNeverWalks();
    TestCloseNullKey();
    TestToAnsi();
    TestFromAnsi();
    TestFileInput(argv[1]);
    TestAppExeName();
    RegDeleteKeyA(HKEY_CURRENT_USER, kTestRoot);
    std::printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "PASSED", g_failures);
    std::fflush(stdout);
    return g_failures ? 1 : 0;
}
