// A program Windows 98 cannot load, for checking that the audit notices: it
// imports a Vista function, an MSVCRT function 98 SE lacks, and is linked for
// subsystem 5.1 (see CMakeLists.txt).
#include <cstdio>
#include <sys/stat.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" __declspec(dllimport) ULONGLONG WINAPI GetTickCount64();
extern "C" __declspec(dllimport) int __cdecl _fstat64(int, struct _stat64*);

int main() {
    struct _stat64 st;
    std::printf("%d %u\n", _fstat64(0, &st), static_cast<unsigned>(GetTickCount64()));
    return 0;
}
