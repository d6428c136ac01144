// Stand-in backend only: the machine's text as the host sees it (hosttext.h).
#include "platform/standin/hosttext.h"

#include <cstdio>

#include "platform/platform.h"
#include "platform/text.h"

namespace standin {

std::string Utf8FromAnsi(const std::string& ansi) { return ToUtf8(platform::FromAnsi(ansi)); }
std::string Utf8FromAnsi(const char* ansi) { return Utf8FromAnsi(std::string(ansi ? ansi : "")); }

std::string JournalQuote(const std::string& utf8) {
    std::string out;
    for (char c : utf8) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            default: out += c;
        }
    }
    return out;
}

std::vector<std::string> SplitAt(const std::string& text, const char* separators) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find_first_of(separators, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return pieces;
        start = end + 1;
    }
}

std::string Hex(std::uint64_t n) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(n));
    return text;
}

}  // namespace standin
