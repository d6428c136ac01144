// Runtime service over the seam: numbers and UTF-8 (text.h).
#include "platform/text.h"

#include <cstdint>

std::wstring DecimalText(long long number) {
    // Digits of the magnitude, taken from the negative side so that the most
    // negative number needs no special case.
    long long n = number < 0 ? number : -number;
    wchar_t buf[24];
    wchar_t* end = buf + 24;
    wchar_t* p = end;
    do {
        *--p = static_cast<wchar_t>(L'0' - n % 10);
        n /= 10;
    } while (n != 0);
    if (number < 0) *--p = L'-';
    return std::wstring(p, end);
}

std::wstring StrWithSign(long number) {
    std::wstring digits = DecimalText(number);
    return number < 0 ? digits : L" " + digits;
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<std::uint32_t>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        std::uint32_t c = 0;
        std::size_t extra = 0;
        if (b < 0x80) { c = b; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
        else { out += L'\xFFFD'; ++i; continue; }
        if (i + extra >= text.size() && extra > 0) {
            out += L'\xFFFD';
            break;
        }
        bool ok = true;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto nb = static_cast<unsigned char>(text[i + k]);
            if ((nb & 0xC0) != 0x80) { ok = false; break; }
            c = (c << 6) | (nb & 0x3F);
        }
        if (!ok) { out += L'\xFFFD'; ++i; continue; }
        out += static_cast<wchar_t>(c);
        i += extra + 1;
    }
    return out;
}
