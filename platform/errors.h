// Runtime service over the seam, the same on every backend: raised errors, how
// failures travel from the classes up to the program's top level.
//
// An error carries a number, a source and a description, like the run-time errors of
// the platform the program was first written for. The classes raise them with
// `throw`; only the top level (main/program.cpp) catches them to report.
#pragma once

#include <stdexcept>
#include <string>

struct RaisedError : std::runtime_error {
    RaisedError(long number, std::wstring source, std::wstring description);

    long Number;
    std::wstring Source;
    std::wstring Description;
};

// The run-time failures the program can meet, with their fixed numbers and texts.
namespace RuntimeErr {
constexpr long InvalidCall = 5;       // "Invalid procedure call or argument"
constexpr long Overflow = 6;          // "Overflow"
constexpr long OutOfMemory = 7;       // "Out of memory"
constexpr long SubscriptRange = 9;    // "Subscript out of range"
constexpr long FileNotFound = 53;     // "File not found"
constexpr long InputPastEnd = 62;     // "Input past end of file"
constexpr long PathFileAccess = 75;   // "Path/File access error"
}  // namespace RuntimeErr

// The fixed description of a run-time failure number ("" for an unknown number).
std::wstring RuntimeErrorText(long number);

// A run-time failure: its number, the program's executable name as source, and its text.
RaisedError RuntimeError(long number);
