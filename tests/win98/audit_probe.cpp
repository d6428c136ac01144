// A program Windows 98 cannot load, for checking that the audit notices: it
// imports a Vista function, an MSVCRT function 98 SE lacks, a W function and an
// NT-only function that Windows 98 SE does not export (so the table cannot classify
// them), a SHELL32 function (a DLL with no export list here), and is linked for
// subsystem 5.1 (see CMakeLists.txt). It also imports one
// function Windows 98 only stubs and names another for GetProcAddress, which the
// audit must list.
#include <cstdio>
#include <sys/stat.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" __declspec(dllimport) ULONGLONG WINAPI GetTickCount64();
extern "C" __declspec(dllimport) int __cdecl _fstat64(int, struct _stat64*);
extern "C" __declspec(dllimport) BOOL WINAPI CryptAcquireContextW(ULONG_PTR*, LPCWSTR, LPCWSTR, DWORD, DWORD);
extern "C" __declspec(dllimport) BOOL WINAPI CheckTokenMembership(HANDLE, PSID, PBOOL);
extern "C" __declspec(dllimport) BOOL WINAPI OpenProcessToken(HANDLE, DWORD, PHANDLE);
extern "C" __declspec(dllimport) HRESULT WINAPI SHGetKnownFolderPath(const GUID*, DWORD, HANDLE, PWSTR*);

int main() {
    struct _stat64 st;
    ULONG_PTR provider = 0;
    BOOL member = FALSE;
    HANDLE token = nullptr;
    GUID folder = {};
    PWSTR path = nullptr;
    FARPROC adjust = GetProcAddress(GetModuleHandleA("advapi32.dll"), "AdjustTokenPrivileges");
    std::printf("%d %u %d %d %d %p %ld\n", _fstat64(0, &st), static_cast<unsigned>(GetTickCount64()),
                CryptAcquireContextW(&provider, nullptr, nullptr, 1, 0),
                CheckTokenMembership(nullptr, nullptr, &member),
                OpenProcessToken(GetCurrentProcess(), 0, &token), reinterpret_cast<void*>(adjust),
                SHGetKnownFolderPath(&folder, 0, nullptr, &path));
    return 0;
}
