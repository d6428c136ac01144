// Only Win32-specific code here: the GUI entry point of the Windows program.
//
// The program takes no command line and opens no window of its own; message boxes
// are its whole interface, so the entry point only runs the patch and hands its
// status to Windows.
#include "main/program.h"

#include <cstdlib>

#include "platform/win32/windows_h.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return RunProgram(); }

// libstdc++'s default terminate handler prints the exception's demangled type to
// stderr, which a GUI program does not have, and links the demangler (about 45 KiB)
// to do it. RunProgram catches every error, so this is reached only on a broken
// invariant; defining the handler here keeps the library's version out.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
