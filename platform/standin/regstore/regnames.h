// Stand-in backend only: the names of the stand-in's registry -- key and value names,
// their one case fold, the six roots, key paths.
//
// Names of keys and values are byte strings in Windows-1252. They are compared
// without regard to case (ASCII letters and the Windows-1252 letters with a case
// pair) and keep the case they were first written with. This fold is the stand-in's
// only one: Windows paths on drive C and fault entries are matched with it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace standin {

// ---- Names ----------------------------------------------------------------------------
// These run for every byte of every name looked up or read, so they are inline.

namespace detail {
struct FoldTable {
    unsigned char map[256];
};
// Built at compile time: a function-local static would cost a guard check on every
// byte compared.
constexpr FoldTable MakeFolds() {
    FoldTable t{};
    for (int c = 0; c < 256; ++c) t.map[c] = static_cast<unsigned char>(c);
    for (int c = 'A'; c <= 'Z'; ++c) t.map[c] = static_cast<unsigned char>(c + 0x20);
    // Latin-1 letters À..Þ (× at 0xD7 is not a letter) pair with à..þ.
    for (int c = 0xC0; c <= 0xDE; ++c) {
        if (c != 0xD7) t.map[c] = static_cast<unsigned char>(c + 0x20);
    }
    // The letters Windows-1252 adds in 0x80..0x9F: Š š, Œ œ, Ž ž, and Ÿ whose
    // partner ÿ sits at 0xFF.
    t.map[0x8A] = 0x9A;
    t.map[0x8C] = 0x9C;
    t.map[0x8E] = 0x9E;
    t.map[0x9F] = 0xFF;
    return t;
}
inline constexpr FoldTable kFolds = MakeFolds();
}  // namespace detail

// Case folding of one Windows-1252 byte: upper-case letters map to their lower-case
// partner, every other byte to itself.
inline unsigned char FoldByte(unsigned char c) { return detail::kFolds.map[c]; }

inline bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldByte(static_cast<unsigned char>(a[i])) != FoldByte(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

// Hash of the case-folded name (FNV-1a): equal names (NamesEqual) hash equal.
inline std::size_t NameHash(std::string_view name) {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : name) {
        h ^= FoldByte(static_cast<unsigned char>(c));
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 32));
}

// Longest key name component, in bytes, and deepest key below a root; the same limits
// Windows puts on its registry. The depth limit also keeps every walk of the tree
// (which recurses) far from the stack's end whatever a file holds.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxKeyDepth = 512;

// A name the file form can carry: no NUL, CR or LF (a line break would end the
// section header or value line early; NUL cannot pass a C string boundary).
inline bool NameIsStorable(std::string_view name) {
    for (char c : name) {
        if (c == '\0' || c == '\r' || c == '\n') return false;
    }
    return true;
}

// Splits a relative key path ("Enum\INFRARED\Framer") into its components.
// Returns ERROR_SUCCESS, ERROR_BAD_PATHNAME for a leading backslash or an empty
// component (a trailing or doubled backslash), or ERROR_INVALID_PARAMETER for a
// component longer than kMaxKeyNameLength or holding a byte NameIsStorable refuses.
// An empty path gives no components.
platform::LONG SplitKeyPath(std::string_view path, std::vector<std::string_view>& parts);

// ---- Roots ------------------------------------------------------------------------------
enum class RootId { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig, DynData };
constexpr int kRootCount = 6;

// "HKEY_LOCAL_MACHINE", ...
const char* RootName(RootId root);
// Exact root names only (compared without regard to case); no abbreviations.
bool RootFromName(std::string_view name, RootId& root);
// The predefined handle values of platform.h.
bool RootFromHandle(platform::HKEY handle, RootId& root);
platform::HKEY RootHandle(RootId root);

}  // namespace standin
