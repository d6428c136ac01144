// Stands in for the System Information tool inside the Wine prefix: proves it was
// started by writing its command line to C:\msinfo-started.txt, then ends. The file
// is written under another name and renamed whole: the test, which waits for the
// name to appear, never reads it half written.
#include <cstdio>

#include "platform/win32/windows_h.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
    std::FILE* f = std::fopen("C:\\msinfo-started.tmp", "w");
    if (!f) return 1;
    std::fprintf(f, "cmdline=%s\nshow=%d\n", ::GetCommandLineA(), show);
    if (std::fclose(f) != 0) return 1;
    return ::MoveFileA("C:\\msinfo-started.tmp", "C:\\msinfo-started.txt") ? 0 : 1;
}
