// Stands in for the System Information tool inside the Wine prefix: proves it was
// started by writing its command line to C:\msinfo-started.txt, then ends.
#include <cstdio>

#include "platform/win32/windows_h.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
    std::FILE* f = std::fopen("C:\\msinfo-started.txt", "w");
    if (!f) return 1;
    std::fprintf(f, "cmdline=%s\nshow=%d\n", ::GetCommandLineA(), show);
    std::fclose(f);
    return 0;
}
