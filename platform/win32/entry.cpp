// Only Win32-specific code here: the GUI entry point of the Windows program.
//
// The program takes no command line and opens no window of its own; message boxes
// are its whole interface, so the entry point only runs the patch and hands its
// status to Windows.
#include "main/program.h"

#include "platform/win32/windows_h.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return RunProgram(); }
