// Stand-in backend only, inside the registry store: the REGEDIT4 grammar, reading the
// lines of reglines.h into the tree of regtree.h. Text in memory is read as a file is.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/standin/regstore/regtext.h"

namespace standin {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Length of the common start of `a` and `b`, compared eight bytes at a time.
std::size_t CommonPrefix(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// Shows one byte of the input inside an error message.
std::string Shown(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) return std::string("'") + c + "'";
    std::string s = "byte 0x";
    s += kHexDigits[u >> 4];
    s += kHexDigits[u & 0xF];
    return s;
}

std::string Quoted(std::string_view name) {
    return name.empty() ? std::string("@ (the unnamed value)") : "\"" + std::string(name) + "\"";
}

const char kNulMessage[] =
    "byte 0x00 (NUL): a REGEDIT4 file is Windows-1252 text; this one is binary, damaged or "
    "saved as Unicode (UTF-16)";

class Parser {
public:
    Parser(LineReader& lines, const std::string& fileName, RegStore& store)
        : lines_(lines), fileName_(fileName), store_(store) {}

    bool Run(std::string& error) {
        bool ok = Header();
        while (ok && NextLine()) ok = Line();
        if (ok && !lines_.Stopped()) {
            EndSection();
            return true;
        }
        // A NUL anywhere is reported before any other fault of the file, at its own line.
        lines_.ReadToEnd();
        if (lines_.NulLine() != 0) Fail(lines_.NulLine(), kNulMessage);
        error = error_;
        return false;
    }

private:
    bool NextLine() {
        if (!lines_.Next()) return false;
        lineBegin_ = lines_.Begin();
        lineEnd_ = lines_.End();
        return true;
    }

    bool Fail(const std::string& what) { return Fail(lines_.Number(), what); }
    bool Fail(std::size_t line, const std::string& what) {
        error_ = fileName_ + ", line " + std::to_string(line == 0 ? 1 : line) + ": " + what;
        return false;
    }

    bool Header() {
        if (!NextLine()) return Fail("missing REGEDIT4 header (the file is empty)");
        const char* e = lineEnd_;
        while (e > lineBegin_ && IsBlank(e[-1])) --e;
        if (std::string_view(lineBegin_, static_cast<std::size_t>(e - lineBegin_)) != "REGEDIT4") {
            return Fail("missing REGEDIT4 header (the first line must be REGEDIT4)");
        }
        return true;
    }

    bool Line() {
        const char* s = lineBegin_;
        while (s < lineEnd_ && IsBlank(*s)) ++s;
        if (s == lineEnd_ || *s == ';') return true;
        if (*s == '[') return Section(s);
        if (*s == '"' || *s == '@') return Value(s);
        return Fail("unexpected " + Shown(*s) + "; expected a [key] section header, a value line or a ';' comment");
    }

    // ---- Sections ----

    // A key's values are appended as its section is read: the list gets room for the
    // value lines in view up to the next header at its start, so it is neither moved
    // while it grows nor left with room to spare. The count is capped so that a file of
    // repeated value lines cannot make it reserve far more than it would ever hold;
    // past the cap (or the end of a chunk) the list grows, and is trimmed at the end.
    static constexpr std::size_t kReserveCap = 1024;

    void StartSection(RegKey* key) {
        const std::size_t lines = lines_.ValueLinesAhead(kReserveCap);
        if (lines > 0) key->ReserveValues(key->ValueCount() + lines);
        current_ = key;
    }

    void EndSection() {
        if (current_ != nullptr) current_->ShrinkValues();
    }

    bool Section(const char* s) {
        EndSection();
        ++s;  // '['
        if (s < lineEnd_ && *s == '-') return Fail("deleting keys with [-...] is not supported");
        const char* close = lineEnd_;
        while (close > s && IsBlank(close[-1])) --close;
        if (close == s || close[-1] != ']') return Fail("malformed section header: it does not end with ']'");
        --close;
        const std::string_view path(s, static_cast<std::size_t>(close - s));
        if (path.empty()) return Fail("malformed section header: no key name between [ and ]");
        RegKey* key = nullptr;
        std::size_t start = 0;
        if (!SharedStart(path, key, start) || !Components(path, key, start)) return false;
        StartSection(key);
        return true;
    }

    // The key where the header's own part starts, and the offset in `path` after it.
    // Sections come in tree order, so a header mostly repeats the start of the one
    // before it: the keys of the whole components it shares byte for byte with that
    // header are taken from there (they passed every check of Components then)
    // instead of being looked up again from the root.
    bool SharedStart(std::string_view path, RegKey*& key, std::size_t& start) {
        const std::size_t common = CommonPrefix(path, prevPath_);
        std::size_t reused = prevKeys_.size();
        while (reused > 0) {
            const std::size_t e = prevKeys_[reused - 1].end;
            if (e <= common && (e == path.size() || path[e] == '\\')) break;
            --reused;
        }
        prevKeys_.resize(reused);
        prevPath_.assign(path.data(), path.size());
        if (reused > 0) {
            key = prevKeys_.back().key;
            start = prevKeys_.back().end;
            return true;
        }
        const std::string_view rootName = path.substr(0, path.find('\\'));
        RootId root;
        if (rootName.empty()) return Fail("malformed section header: it starts with a backslash");
        if (!RootFromName(rootName, root)) return Fail("unknown root key \"" + std::string(rootName) + "\"");
        key = &store_.Root(root);
        start = rootName.size();
        prevKeys_.push_back(KnownKey{start, key});
        return true;
    }

    // Walks (and makes) the keys of `path` after offset `start`, from `key`.
    bool Components(std::string_view path, RegKey*& key, std::size_t start) {
        if (start == path.size()) return true;
        ++start;  // the backslash
        std::size_t depth = prevKeys_.size() - 1;
        for (;;) {
            std::size_t stop = path.find('\\', start);
            if (stop == std::string_view::npos) stop = path.size();
            const std::string_view part = path.substr(start, stop - start);
            if (part.empty()) {
                return Fail("malformed section header: empty key name (doubled or trailing backslash)");
            }
            if (part.size() > kMaxKeyNameLength) {
                return Fail("malformed section header: a key name is longer than " +
                            std::to_string(kMaxKeyNameLength) + " characters");
            }
            if (!NameIsStorable(part)) return Fail("malformed section header: a key name holds a NUL or CR byte");
            if (++depth > kMaxKeyDepth) {
                return Fail("malformed section header: keys nested deeper than " + std::to_string(kMaxKeyDepth) +
                            " levels");
            }
            const std::size_t found = key->FindSubkey(part);
            key = found == NameIndex::npos ? &key->AppendSubkey(part) : &key->SubkeyAt(found);
            prevKeys_.push_back(KnownKey{stop, key});
            if (stop == path.size()) return true;
            start = stop + 1;
        }
    }

    // ---- Values ----

    bool Value(const char* s) {
        if (current_ == nullptr) return Fail("value line before any [key] section header");
        std::string scratch;
        std::string_view name;
        if (*s == '@') {
            ++s;
        } else {
            if (!QuotedName(s, scratch, name)) return false;
            if (!NameIsStorable(name)) return Fail("the value name holds a NUL or CR byte");
        }
        while (s < lineEnd_ && IsBlank(*s)) ++s;
        if (s == lineEnd_) return Fail("value line truncated: '=' and the data are missing");
        if (*s != '=') return Fail("expected '=' after the value name, found " + Shown(*s));
        ++s;
        while (s < lineEnd_ && IsBlank(*s)) ++s;
        if (s == lineEnd_) return Fail("value line truncated: the data after '=' are missing");

        platform::DWORD type = platform::REG_SZ;
        std::vector<std::uint8_t> data;
        if (!Data(s, type, data, name, scratch)) return false;
        while (s < lineEnd_ && IsBlank(*s)) ++s;
        if (s != lineEnd_) return Fail("unexpected " + Shown(*s) + " after the value data");

        // A value on the file's last line with no line end may have lost its tail
        // ("dword:0000" of "dword:00000001", a hex list cut after a comma's byte) and
        // still look whole; every writer ends its lines, so only a cut file does this.
        if (!lines_.Ended()) {
            return Fail(
                "value line truncated: the file ends inside it (no line end after the "
                "data), so its data may be cut short");
        }
        if (current_->FindValue(name) != NameIndex::npos) {
            return Fail("value " + Quoted(name) + " is given twice in [" + current_->FullPath() + "]");
        }
        current_->AppendValue(name, type, std::move(data));
        return true;
    }

    // The data after '=': quoted text, dword:, hex: or hex(N):. `name` and `scratch`
    // are the value's name, which a hex list's continuation must keep (HexList).
    bool Data(const char*& s, platform::DWORD& type, std::vector<std::uint8_t>& data, std::string_view& name,
              std::string& scratch) {
        bool partialDword = false;
        bool partialHex = false;
        if (*s == '-') return Fail("deleting values with \"name\"=- is not supported");
        if (*s == '"') {
            // The rest of the line is the quoted text: room for it and the zero at once.
            data.reserve(static_cast<std::size_t>(lineEnd_ - s));
            if (!QuotedText(s, data, "the value text")) return false;
            data.push_back(0);
            return true;
        }
        if (Keyword(s, "dword:", partialDword)) {
            s += 6;
            type = platform::REG_DWORD;
            return Dword(s, data);
        }
        if (Keyword(s, "hex", partialHex)) {
            s += 3;
            if (!HexType(s, type) || !HexList(s, data, name, scratch)) return false;
            s = lineEnd_;  // a hex list runs to the end of its last line
            return true;
        }
        if (partialDword || partialHex) return Fail("value line truncated in the middle of the data type");
        return Fail("unknown value data starting with " + Shown(*s) + "; expected \"text\", dword:, hex: or hex(N):");
    }

    // Reads a quoted string starting at the opening quote into `out` (a std::string or
    // the value's bytes); leaves `at` after the closing one. Only \\ and \" are escapes,
    // as regedit writes them. The scan runs on local copies of the position and the
    // line's end, which the compiler can keep in registers.
    template <class Out>
    bool QuotedText(const char*& at, Out& out, const char* what) {
        using Byte = typename Out::value_type;
        const char* const end = lineEnd_;
        const char* s = at + 1;
        for (;;) {
            const char* run = s;
            while (s < end && *s != '"' && *s != '\\') ++s;
            out.insert(out.end(), reinterpret_cast<const Byte*>(run), reinterpret_cast<const Byte*>(s));
            if (s == end) return Fail(std::string("unterminated quote in ") + what);
            if (*s == '"') {
                at = s + 1;
                return true;
            }
            if (s + 1 == end) return Fail(std::string("unterminated quote in ") + what);
            const char c = s[1];
            if (c != '\\' && c != '"') {
                return Fail(std::string("unknown escape \\") + c + " in " + what + " (only \\\\ and \\\" are escapes)");
            }
            out.push_back(static_cast<Byte>(c));
            s += 2;
        }
    }

    // A quoted value name: a view of the line when it holds no escape (most names),
    // otherwise unescaped into `scratch`.
    bool QuotedName(const char*& s, std::string& scratch, std::string_view& name) {
        const char* p = s + 1;
        while (p < lineEnd_ && *p != '"' && *p != '\\') ++p;
        if (p < lineEnd_ && *p == '"') {
            name = std::string_view(s + 1, static_cast<std::size_t>(p - s - 1));
            s = p + 1;
            return true;
        }
        if (!QuotedText(s, scratch, "the value name")) return false;
        name = scratch;
        return true;
    }

    // Case-insensitive match of a keyword at `s`. `partial` tells whether the line
    // ended while the text still matched the keyword's start.
    bool Keyword(const char* s, const char* word, bool& partial) const {
        partial = false;
        for (; *word != '\0'; ++word, ++s) {
            if (s == lineEnd_) {
                partial = true;
                return false;
            }
            if (FoldByte(static_cast<unsigned char>(*s)) != static_cast<unsigned char>(*word)) return false;
        }
        return true;
    }

    bool Dword(const char*& s, std::vector<std::uint8_t>& data) {
        platform::DWORD n = 0;
        int digits = 0;
        while (s < lineEnd_ && !IsBlank(*s)) {
            const int h = HexValue(*s);
            if (h < 0) return Fail("bad dword: " + Shown(*s) + " is not a hex digit");
            if (++digits > 8) return Fail("bad dword: more than 8 hex digits");
            n = n << 4 | static_cast<platform::DWORD>(h);
            ++s;
        }
        if (digits == 0) return Fail("bad dword: no hex digits after dword:");
        data = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
                static_cast<std::uint8_t>(n >> 24)};
        return true;
    }

    // After "hex": "(N):" for the type N, or ":" for REG_BINARY.
    bool HexType(const char*& s, platform::DWORD& type) {
        if (s == lineEnd_) return Fail("value line truncated in the middle of the data type");
        type = platform::REG_BINARY;
        if (*s == '(') {
            ++s;
            type = 0;
            int digits = 0;
            while (s < lineEnd_ && *s != ')') {
                const int h = HexValue(*s);
                if (h < 0) return Fail("bad value type in hex(...): " + Shown(*s) + " is not a hex digit");
                if (++digits > 8) return Fail("bad value type in hex(...): more than 8 hex digits");
                type = type << 4 | static_cast<platform::DWORD>(h);
                ++s;
            }
            if (s == lineEnd_) return Fail("value line truncated in the middle of the data type");
            if (digits == 0) return Fail("bad value type: hex() has no number");
            ++s;  // ')'
        }
        if (s == lineEnd_) return Fail("value line truncated in the middle of the data type");
        if (*s != ':') return Fail("expected ':' after hex, found " + Shown(*s));
        ++s;
        return true;
    }

    // A comma-separated list of bytes, each one or two hex digits, from `s` to the end
    // of the line. A line ending in "\" continues on the next line (regedit's wrapping,
    // after a comma). `s` is taken by value: the hottest loop of a load keeps it in a
    // register.
    bool HexList(const char* s, std::vector<std::uint8_t>& data, std::string_view& name, std::string& scratch) {
        data.reserve(static_cast<std::size_t>(lineEnd_ - s) / 3 + 1);
        bool needByte = false;  // just after a comma
        bool afterByte = false;
        for (;;) {
            while (s < lineEnd_ && IsBlank(*s)) ++s;
            if (s == lineEnd_) return !needByte || Fail("value line truncated: the hex list ends with ','");
            if (*s == '\\' && !afterByte) {
                if (!Continuation(s, name, scratch)) return false;
            } else if (afterByte) {
                if (*s == '\\') return Fail("a line continuation '\\' must follow a comma");
                if (*s != ',') return Fail("bad hex digit " + Shown(*s) + " in the hex list");
                ++s;
                afterByte = false;
                needByte = true;
            } else if (HexRun(s, data)) {
                needByte = true;
            } else {
                if (!HexByte(s, data)) return false;
                afterByte = true;
                needByte = false;
            }
        }
    }

    // At a "\" that may end the line: moves to the next line, which must carry on the
    // list. `name` may be a view of the current line; the move makes it another line
    // (and a chunked read may move the bytes), so it is copied to `scratch` first.
    bool Continuation(const char*& s, std::string_view& name, std::string& scratch) {
        ++s;
        while (s < lineEnd_ && IsBlank(*s)) ++s;
        if (s != lineEnd_) return Fail("unexpected " + Shown(*s) + " after the line continuation '\\'");
        if (name.data() != scratch.data()) {
            scratch.assign(name.data(), name.size());
            name = scratch;
        }
        if (!NextLine()) return Fail("value line truncated: the file ends after a line continuation");
        s = lineBegin_;
        while (s < lineEnd_ && IsBlank(*s)) ++s;
        if (s == lineEnd_ || *s == '"' || *s == '@' || *s == '[' || *s == ';') {
            return Fail("value line truncated: the line after a continuation '\\' does not carry on the hex list");
        }
        return true;
    }

    // The common run of "xx," three bytes at a time; false when not one was there.
    // Anything else (one digit, blanks, the last byte, a fault) goes to HexByte.
    bool HexRun(const char*& at, std::vector<std::uint8_t>& data) const {
        const char* const end = lineEnd_;
        const char* s = at;
        while (end - s > 2 && s[2] == ',') {
            const int high = HexValue(s[0]);
            const int low = HexValue(s[1]);
            if ((high | low) < 0) break;
            data.push_back(static_cast<std::uint8_t>(high << 4 | low));
            s += 3;
        }
        const bool took = s != at;
        at = s;
        return took;
    }

    // One byte of one or two hex digits.
    bool HexByte(const char*& s, std::vector<std::uint8_t>& data) {
        const int hi = HexValue(*s);
        if (hi < 0) return Fail("bad hex digit " + Shown(*s) + " in the hex list");
        ++s;
        int byte = hi;
        if (s < lineEnd_) {
            const int lo = HexValue(*s);
            if (lo >= 0) {
                byte = hi << 4 | lo;
                ++s;
                if (s < lineEnd_ && HexValue(*s) >= 0) {
                    return Fail("bad hex byte in the hex list: more than two hex digits");
                }
            }
        }
        data.push_back(static_cast<std::uint8_t>(byte));
        return true;
    }

    // The last section header, and the key at the end of each of its components (the
    // root first): where the next header's shared start is found.
    struct KnownKey {
        std::size_t end;  // offset in prevPath_ just past the component
        RegKey* key;
    };
    std::string prevPath_;
    std::vector<KnownKey> prevKeys_;

    LineReader& lines_;
    const char* lineBegin_ = nullptr;
    const char* lineEnd_ = nullptr;
    const std::string& fileName_;
    RegStore& store_;
    RegKey* current_ = nullptr;
    std::string error_;
};

}  // namespace

bool ReadRegText(ByteSource& source, std::size_t sizeHint, std::size_t chunkSize, const std::string& fileName,
                 RegStore& store, std::string& error, int& readError) {
    LineReader lines(source, chunkSize, sizeHint);
    Parser parser(lines, fileName, store);
    const bool parsed = parser.Run(error);
    readError = lines.ReadError();
    return parsed;
}

bool ParseRegText(const char* text, std::size_t size, const std::string& fileName, RegStore& store,
                  std::string& error, std::size_t chunkSize) {
    MemorySource source(text, size);
    int readError = 0;
    return ReadRegText(source, size, chunkSize, fileName, store, error, readError);
}

}  // namespace standin
