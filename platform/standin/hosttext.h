// Stand-in backend only: the machine's text as the host sees it -- ANSI names as
// UTF-8, fields of the journal and the call log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace standin {

// ANSI (Windows-1252) bytes as UTF-8, the form of host file names, the journal and
// the terminal. A null pointer reads as the empty text.
std::string Utf8FromAnsi(const char* ansi);
std::string Utf8FromAnsi(const std::string& ansi);

// Escapes backslash, double quote, CR and LF for a quoted journal field.
std::string JournalQuote(const std::string& utf8);

// A number as the call log and the journal write it: "0x" and upper-case hex digits,
// without leading zeros ("0x80000002", "0xF003F", "0x0").
std::string Hex(std::uint64_t n);

// The pieces of `text` between any of `separators`, empty ones included.
std::vector<std::string> SplitAt(const std::string& text, const char* separators);

}  // namespace standin
