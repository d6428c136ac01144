// Runtime service over the seam, the same on every backend: numbers as the program
// writes them, and the UTF-8 form of its text for the host side (terminals, logs,
// exception messages, file names on Linux).
#pragma once

#include <string>

// Plain decimal text of a number, a minus sign for negative ones. Written by hand
// rather than with std::to_wstring, which would link the runtime's whole wide printf
// into the Windows program.
std::wstring DecimalText(long long number);

// Decimal text of a number the way the old platform's Str() gives it: one leading
// blank for zero and positive numbers, a minus sign and no blank for negative ones.
std::wstring StrWithSign(long number);

// UTF-8 form of a wide text, and back; a malformed sequence reads as U+FFFD.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
