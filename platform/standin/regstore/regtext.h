// Stand-in backend only, inside the registry store: what the REGEDIT4 reader and
// writer share, and how the file functions (regfile.cpp) call them.
#pragma once

#include <cstddef>
#include <string>

#include "platform/standin/regstore/regfile.h"
#include "platform/standin/regstore/reglines.h"

namespace standin {

// Hex digits as regedit writes them, lower case; also how messages show a byte.
inline constexpr char kHexDigits[] = "0123456789abcdef";

// And as they are read, in either case: each byte's value as a digit, or -1.
namespace detail {
struct HexTable {
    signed char value[256];
};
constexpr HexTable MakeHexTable() {
    HexTable t{};
    for (int c = 0; c < 256; ++c) t.value[c] = -1;
    for (int c = '0'; c <= '9'; ++c) t.value[c] = static_cast<signed char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) t.value[c] = static_cast<signed char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) t.value[c] = static_cast<signed char>(c - 'A' + 10);
    return t;
}
inline constexpr HexTable kHexValues = MakeHexTable();
}  // namespace detail
inline int HexValue(char c) { return detail::kHexValues.value[static_cast<unsigned char>(c)]; }

// Parses the text `source` gives, `chunkSize` bytes at a time, as ParseRegText
// describes. `sizeHint`: the text's size where known. When a read fails, returns false
// with `readError` set to its errno (0 otherwise), and the message is the parser's,
// for the caller to replace.
bool ReadRegText(ByteSource& source, std::size_t sizeHint, std::size_t chunkSize, const std::string& fileName,
                 RegStore& store, std::string& error, int& readError);

// Writes the store's text to `fd` through a buffer of kSaveBufferSize bytes. With an
// observer, the text is counted first and the observer told when exactly half of it
// is written (SaveStage::TempPartlyWritten). Returns 0, or the errno of the first
// failed write (the fault point SaveWrite among them).
int WriteRegText(const RegStore& store, int fd, SaveObserver observer);

}  // namespace standin
