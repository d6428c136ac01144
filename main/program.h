// The program's top level, shared by both backends' entry points.
#pragma once

// Exit statuses of the program.
enum ExitStatus : int {
    kExitCompleted = 0,   // the patch ran to the end and the restart was requested
    kExitError = 1,       // an error ended the run; it was reported in a message box
    kExitRefused = 2,     // not the machine the patch is made for; nothing was changed
    kExitNoMachine = 3,   // stand-in only: the machine folder could not be opened
};

// Runs the patch (IR_Patch_Main::Main) and reports an error that leaves it: a
// message box with the critical icon and the application title that shows the
// error's number and description. Returns the exit status.
int RunProgram();
