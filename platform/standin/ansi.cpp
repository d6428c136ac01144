// Stand-in backend only: the ANSI code page of the simulated machine, Windows-1252,
// the code page of French Windows 98.
#include <cstdint>

#include "platform/platform.h"

namespace {

// 0x80-0x9F of Windows-1252. The five bytes Windows-1252 leaves undefined map to
// the C1 controls of the same value, as the system's own conversion does.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The code of `c` in Windows-1252, or -1.
int CodeOf(std::uint32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == c) return 0x80 + i;
    return -1;
}

}  // namespace

namespace platform {

bool ToAnsi(const std::wstring& text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    bool exact = true;
    for (wchar_t wc : text) {
        int code = CodeOf(static_cast<std::uint32_t>(wc));
        if (code < 0) {
            exact = false;
            code = '?';
        }
        out += static_cast<char>(code);
    }
    return exact;
}

std::wstring FromAnsi(const char* bytes, std::size_t length) {
    std::wstring out(length, L'\0');
    for (std::size_t i = 0; i < length; ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        out[i] = (b >= 0x80 && b < 0xA0) ? static_cast<wchar_t>(kHigh[b - 0x80]) : static_cast<wchar_t>(b);
    }
    return out;
}

}  // namespace platform
