// Test helper run inside the Wine prefix for the machine's whole life: holds its
// desktop, so that Wine's desktop process (explorer) starts once, ready, and stays.
//
// Wine closes a desktop one second after its last program has gone and starts a new
// desktop process for the next one; that process must open the X display and load
// Wine's display driver, and a program whose desktop is not ready within Wine's
// 10 s wait gets no display driver at all: its message boxes return -1 unseen. A
// loaded machine running Wine through QEMU can be that slow, at any program start.
// Held by this program, the desktop never closes between the harness's runs.
//
// It makes no top-level window of its own once ready: the session end that Wine
// starts on a restart request closes the windows of every program but the desktop's,
// and must find none here.
//
//   desktop_keeper   prints "ready" once the desktop draws windows, then waits until
//                    it is killed; exits 1 with the reason when the desktop is not
//                    ready within 10 minutes.
#include <cstdio>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// Wine's desktop process names its display device on the desktop window once it has
// made it; a program's display driver is found through that name.
bool DesktopNamed() {
    return GetPropA(GetDesktopWindow(), "__wine_display_device_guid") != nullptr;
}

// A hidden top-level window can be made only through a working display driver.
bool DriverWorks() {
    HWND probe = CreateWindowExA(0, "STATIC", "desktop_keeper", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    if (probe == nullptr) return false;
    DestroyWindow(probe);
    return true;
}

}  // namespace

int main() {
    const DWORD kLimitMs = 10 * 60 * 1000;
    const DWORD start = GetTickCount();
    while (!DesktopNamed()) {
        if (GetTickCount() - start > kLimitMs) {
            std::printf("the desktop process made no desktop window within %lu s\n", kLimitMs / 1000);
            return 1;
        }
        Sleep(100);
    }
    if (!DriverWorks()) {
        std::printf("the desktop has no working display driver (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
