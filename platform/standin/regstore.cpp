#include "platform/standin/regstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <utility>

#include "platform/standin/standin.h"

namespace standin {

// ---- Names ------------------------------------------------------------------------------

namespace {

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

constexpr FoldTable kFolds = MakeFolds();

const FoldTable& Folds() { return kFolds; }

}  // namespace

unsigned char FoldByte(unsigned char c) { return Folds().map[c]; }

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const unsigned char* fold = Folds().map;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold[static_cast<unsigned char>(a[i])] != fold[static_cast<unsigned char>(b[i])]) {
            return false;
        }
    }
    return true;
}

std::size_t NameHash(std::string_view name) {
    // FNV-1a over the folded bytes.
    const unsigned char* fold = Folds().map;
    std::uint64_t h = 14695981039346656037ull;
    for (char c : name) {
        h ^= fold[static_cast<unsigned char>(c)];
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 32));
}

bool NameIsStorable(std::string_view name) {
    for (char c : name) {
        if (c == '\0' || c == '\r' || c == '\n') return false;
    }
    return true;
}

// ---- Roots --------------------------------------------------------------------------------

namespace {

struct RootInfo {
    const char* name;
    platform::HKEY handle;
};

const RootInfo kRoots[kRootCount] = {
    {"HKEY_CLASSES_ROOT", platform::HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", platform::HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", platform::HKEY_LOCAL_MACHINE},
    {"HKEY_USERS", platform::HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", platform::HKEY_CURRENT_CONFIG},
    {"HKEY_DYN_DATA", platform::HKEY_DYN_DATA},
};

}  // namespace

const char* RootName(RootId root) { return kRoots[static_cast<int>(root)].name; }

bool RootFromName(std::string_view name, RootId& root) {
    for (int i = 0; i < kRootCount; ++i) {
        if (NamesEqual(name, kRoots[i].name)) {
            root = static_cast<RootId>(i);
            return true;
        }
    }
    return false;
}

bool RootFromHandle(platform::HKEY handle, RootId& root) {
    for (int i = 0; i < kRootCount; ++i) {
        if (handle == kRoots[i].handle) {
            root = static_cast<RootId>(i);
            return true;
        }
    }
    return false;
}

platform::HKEY RootHandle(RootId root) { return kRoots[static_cast<int>(root)].handle; }

// ---- NameIndex ----------------------------------------------------------------------------

void NameIndex::Place(std::size_t index) {
    std::vector<std::uint32_t>& slots = table_->slots;
    const std::size_t mask = slots.size() - 1;
    std::size_t s = table_->hashes[index] & mask;
    while (slots[s] != 0) s = (s + 1) & mask;
    slots[s] = static_cast<std::uint32_t>(index + 1);
}

void NameIndex::BuildSlots() {
    const std::size_t count = table_->hashes.size();
    std::size_t capacity = 16;
    while (capacity < count * 4) capacity *= 2;
    table_->slots.assign(capacity, 0);
    for (std::size_t i = 0; i < count; ++i) Place(i);
}

void NameIndex::AppendHash(std::size_t hash) {
    table_->hashes.push_back(hash);
    // Keep the load at or under one half so probe runs stay short.
    if (table_->hashes.size() * 2 > table_->slots.size()) {
        BuildSlots();
    } else {
        Place(table_->hashes.size() - 1);
    }
}

// ---- RegKey -------------------------------------------------------------------------------

RegKey::RegKey(std::string name, RegKey* parent) : name_(std::move(name)), parent_(parent) {}

RegKey::~RegKey() = default;

std::string RegKey::FullPath() const {
    std::vector<const RegKey*> chain;
    std::size_t length = 0;
    for (const RegKey* k = this; k != nullptr; k = k->parent_) {
        chain.push_back(k);
        length += k->name_.size() + 1;
    }
    std::string path;
    path.reserve(length);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty()) path += '\\';
        path += (*it)->name_;
    }
    return path;
}

std::size_t RegKey::Depth() const {
    std::size_t depth = 0;
    for (const RegKey* k = parent_; k != nullptr; k = k->parent_) ++depth;
    return depth;
}

bool RegKey::IsWithin(const RegKey& ancestor) const {
    for (const RegKey* k = this; k != nullptr; k = k->parent_) {
        if (k == &ancestor) return true;
    }
    return false;
}

namespace {

// The i-th name of a key's values or subkeys, for NameIndex.
struct ValueNames {
    const std::vector<RegValue>& values;
    std::string_view operator()(std::size_t i) const { return values[i].name; }
};
struct SubkeyNames {
    const std::vector<std::unique_ptr<RegKey>>& subkeys;
    std::string_view operator()(std::size_t i) const { return subkeys[i]->Name(); }
};

}  // namespace

std::size_t RegKey::FindValue(std::string_view name) const {
    return valueIndex_.Find(name, values_.size(), ValueNames{values_});
}

RegValue& RegKey::AppendValue(std::string_view name, platform::DWORD type,
                              std::vector<std::uint8_t> data) {
    values_.push_back(RegValue{std::string(name), type, std::move(data)});
    valueIndex_.Appended(values_.size(), ValueNames{values_});
    return values_.back();
}

void RegKey::RemoveLastValue() {
    values_.pop_back();
    valueIndex_.Reindex(values_.size(), ValueNames{values_});
}

void RegKey::ReserveValues(std::size_t count) { values_.reserve(count); }

void RegKey::ShrinkValues() {
    if (values_.capacity() > values_.size()) values_.shrink_to_fit();
}

std::size_t RegKey::FindSubkey(std::string_view name) const {
    return subkeyIndex_.Find(name, subkeys_.size(), SubkeyNames{subkeys_});
}

RegKey& RegKey::AppendSubkey(std::string_view name) {
    subkeys_.push_back(std::make_unique<RegKey>(std::string(name), this));
    subkeyIndex_.Appended(subkeys_.size(), SubkeyNames{subkeys_});
    return *subkeys_.back();
}

std::unique_ptr<RegKey> RegKey::DetachSubkey(std::size_t index) {
    std::unique_ptr<RegKey> key = std::move(subkeys_[index]);
    subkeys_.erase(subkeys_.begin() + static_cast<std::ptrdiff_t>(index));
    subkeyIndex_.Reindex(subkeys_.size(), SubkeyNames{subkeys_});
    return key;
}

void RegKey::InsertSubkey(std::size_t index, std::unique_ptr<RegKey> key) {
    key->parent_ = this;
    subkeys_.insert(subkeys_.begin() + static_cast<std::ptrdiff_t>(index), std::move(key));
    subkeyIndex_.Reindex(subkeys_.size(), SubkeyNames{subkeys_});
}

// ---- Paths --------------------------------------------------------------------------------

platform::LONG SplitKeyPath(std::string_view path, std::vector<std::string_view>& parts) {
    parts.clear();
    if (path.empty()) return platform::ERROR_SUCCESS;
    if (path.front() == '\\') return platform::ERROR_BAD_PATHNAME;
    std::size_t start = 0;
    for (;;) {
        std::size_t stop = path.find('\\', start);
        if (stop == std::string_view::npos) stop = path.size();
        std::string_view part = path.substr(start, stop - start);
        if (part.empty()) return platform::ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyNameLength || !NameIsStorable(part)) {
            return platform::ERROR_INVALID_PARAMETER;
        }
        parts.push_back(part);
        if (stop == path.size()) return platform::ERROR_SUCCESS;
        start = stop + 1;
    }
}

// ---- Writing ------------------------------------------------------------------------------

namespace {

const char kHexDigits[] = "0123456789abcdef";

// regedit wraps hex lists once a line passes this column; with the "\" that ends the
// line, no line is longer than 80 characters.
constexpr std::size_t kWrapColumn = 76;

// Where the text form goes: ToText's string, SaveRegFile's buffered file writer, or a
// counter (the save's crash checks need the size before writing). Each has Put(char),
// Put(bytes, count) and Written(), the count of bytes put so far.
class StringSink {
public:
    explicit StringSink(std::string& out) : out_(out) {}
    void Put(char c) { out_ += c; }
    void Put(const char* p, std::size_t n) { out_.append(p, n); }
    std::size_t Written() const { return out_.size(); }

private:
    std::string& out_;
};

class CountSink {
public:
    void Put(char) { ++count_; }
    void Put(const char*, std::size_t n) { count_ += n; }
    std::size_t Written() const { return count_; }

private:
    std::size_t count_ = 0;
};

// The save's own file calls are fault points of the machine (standin.h), so that each
// way a save can fail can be made to happen on purpose ("SaveWrite|||28": the disk is
// full). The fault's status is the error number (errno) the call then fails with.
int InjectedError(const char* call) { return FaultsArmed(call) ? static_cast<int>(FaultFor(call)) : 0; }

// Writes through a fixed buffer of kSaveBufferSize bytes straight to a file, so a save
// never holds the whole text. After a failed write it drops what follows and keeps the
// error (errno) for Finish. With a pause point, it writes exactly the bytes before it,
// then calls the observer, then goes on.
class FileSink {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    FileSink(int fd, std::size_t pauseAt, SaveObserver observer)
        : fd_(fd), buffer_(new char[kSaveBufferSize]), pauseAt_(pauseAt), observer_(observer) {
        SetLimit();
    }
    void Put(char c) {
        if (used_ < limit_) {
            buffer_[used_++] = c;
        } else {
            PutSlow(&c, 1);
        }
    }
    void Put(const char* p, std::size_t n) {
        if (n <= limit_ - used_) {
            std::memcpy(&buffer_[used_], p, n);
            used_ += n;
        } else {
            PutSlow(p, n);
        }
    }
    std::size_t Written() const { return written_ + used_; }
    // Writes what the buffer still holds; returns 0 or the errno of the first failure.
    int Finish() {
        Flush();
        return error_;
    }

private:
    // The buffer fills up to limit_: its end, or the pause point when that comes first.
    void SetLimit() {
        limit_ = kSaveBufferSize;
        if (pauseAt_ != npos && pauseAt_ - written_ < limit_) limit_ = pauseAt_ - written_;
    }
    void PutSlow(const char* p, std::size_t n) {
        while (n > 0) {
            if (used_ == limit_) Reached();
            const std::size_t k = std::min(n, limit_ - used_);
            std::memcpy(&buffer_[used_], p, k);
            used_ += k;
            p += k;
            n -= k;
        }
        if (used_ == limit_) Reached();
    }
    void Reached() {
        const bool pause = pauseAt_ != npos && written_ + used_ == pauseAt_;
        Flush();
        if (pause) {
            pauseAt_ = npos;
            SetLimit();
            if (error_ == 0) observer_(SaveStage::TempPartlyWritten);
        }
    }
    void Flush() {
        const char* p = buffer_.get();
        std::size_t left = used_;
        if (left > 0 && error_ == 0) error_ = InjectedError("SaveWrite");
        while (left > 0 && error_ == 0) {
            const ssize_t put = ::write(fd_, p, left);
            if (put < 0) {
                if (errno == EINTR) continue;
                error_ = errno;
                break;
            }
            p += put;
            left -= static_cast<std::size_t>(put);
        }
        written_ += used_;
        used_ = 0;
        SetLimit();
    }

    int fd_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    std::size_t limit_ = 0;
    std::size_t written_ = 0;  // bytes handed to write(), or dropped after a failure
    std::size_t pauseAt_;
    SaveObserver observer_;
    int error_ = 0;
};

// Escapes \ and " by runs, so plain stretches go out in one piece.
template <class Sink>
void PutEscaped(Sink& out, const char* p, std::size_t n) {
    const char* end = p + n;
    while (p < end) {
        const char* run = p;
        while (p < end && *p != '\\' && *p != '"') ++p;
        if (p > run) out.Put(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
        out.Put('\\');
        out.Put(*p++);
    }
}

template <class Sink>
void PutLiteral(Sink& out, const char* text) {
    out.Put(text, std::strlen(text));
}

template <class Sink>
void PutHexNumber(Sink& out, platform::DWORD n) {
    char digits[8];
    int count = 0;
    do {
        digits[count++] = kHexDigits[n & 0xF];
        n >>= 4;
    } while (n != 0);
    while (count > 0) out.Put(digits[--count]);
}

// A REG_SZ is written as quoted text only when reading that text back gives the same
// bytes: exactly one terminating zero, no other zero, and no line break (the line
// would end inside the quotes).
bool IsPlainText(const std::vector<std::uint8_t>& data) {
    if (data.empty() || data.back() != 0) return false;
    for (std::size_t i = 0; i + 1 < data.size(); ++i) {
        const std::uint8_t c = data[i];
        if (c == 0 || c == '\r' || c == '\n') return false;
    }
    return true;
}

template <class Sink>
void PutValue(Sink& out, const RegValue& v) {
    const std::size_t lineStart = out.Written();
    if (v.name.empty()) {
        out.Put('@');
    } else {
        out.Put('"');
        PutEscaped(out, v.name.data(), v.name.size());
        out.Put('"');
    }
    out.Put('=');

    if (v.type == platform::REG_SZ && IsPlainText(v.data)) {
        out.Put('"');
        PutEscaped(out, reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1);
        out.Put("\"\r\n", 3);
        return;
    }
    if (v.type == platform::REG_DWORD && v.data.size() == 4) {
        const platform::DWORD n = static_cast<platform::DWORD>(v.data[0]) |
                                  static_cast<platform::DWORD>(v.data[1]) << 8 |
                                  static_cast<platform::DWORD>(v.data[2]) << 16 |
                                  static_cast<platform::DWORD>(v.data[3]) << 24;
        char line[16] = {'d', 'w', 'o', 'r', 'd', ':'};
        for (int i = 0; i < 8; ++i) line[6 + i] = kHexDigits[(n >> (28 - 4 * i)) & 0xF];
        line[14] = '\r';
        line[15] = '\n';
        out.Put(line, sizeof line);
        return;
    }
    if (v.type == platform::REG_BINARY) {
        PutLiteral(out, "hex:");
    } else {
        PutLiteral(out, "hex(");
        PutHexNumber(out, v.type);
        PutLiteral(out, "):");
    }
    std::size_t column = out.Written() - lineStart;
    const std::size_t n = v.data.size();
    for (std::size_t i = 0; i < n; ++i) {
        char piece[3] = {kHexDigits[v.data[i] >> 4], kHexDigits[v.data[i] & 0xF], ','};
        column += 2;
        if (i + 1 < n) {
            out.Put(piece, 3);
            ++column;
            if (column > kWrapColumn) {
                out.Put("\\\r\n  ", 5);
                column = 2;
            }
        } else {
            out.Put(piece, 2);
        }
    }
    out.Put("\r\n", 2);
}

template <class Sink>
void PutKey(Sink& out, const RegKey& key, std::string& path) {
    out.Put('[');
    out.Put(path.data(), path.size());
    out.Put("]\r\n", 3);
    for (std::size_t i = 0; i < key.ValueCount(); ++i) PutValue(out, key.ValueAt(i));
    out.Put("\r\n", 2);
    for (std::size_t i = 0; i < key.SubkeyCount(); ++i) {
        const RegKey& sub = key.SubkeyAt(i);
        const std::size_t mark = path.size();
        path += '\\';
        path += sub.Name();
        PutKey(out, sub, path);
        path.resize(mark);
    }
}

template <class Sink>
void PutStore(Sink& out, const RegStore& store) {
    PutLiteral(out, "REGEDIT4\r\n\r\n");
    std::string path;
    for (int i = 0; i < kRootCount; ++i) {
        const RegKey& root = store.Root(static_cast<RootId>(i));
        if (root.IsEmpty()) continue;
        path = root.Name();
        PutKey(out, root, path);
    }
}

}  // namespace

RegStore::RegStore() {
    for (int i = 0; i < kRootCount; ++i) {
        roots_[i] = std::make_unique<RegKey>(kRoots[i].name, nullptr);
    }
}

std::string RegStore::ToText() const {
    std::string out;
    StringSink sink(out);
    PutStore(sink, *this);
    return out;
}

// ---- Parsing ------------------------------------------------------------------------------

namespace {

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

constexpr HexTable kHexTable = MakeHexTable();

// The digit's value, or -1 for a byte that is not a hex digit.
int HexValue(char c) { return kHexTable.value[static_cast<unsigned char>(c)]; }

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

// Reads a file a chunk at a time for the parser, so a load never holds the whole file:
// the bytes of the line being parsed stay, and the buffer grows only for a line longer
// than it. Every byte read is checked for NUL as it comes in.
class ChunkReader {
public:
    // `sizeHint`: the file's size when opened, which the buffer need not outgrow.
    ChunkReader(int fd, std::size_t chunkSize, std::size_t sizeHint)
        : fd_(fd), capacity_(std::max<std::size_t>(chunkSize, 1)), sizeHint_(sizeHint),
          buffer_(static_cast<char*>(std::malloc(capacity_))) {
        if (buffer_ == nullptr) throw std::bad_alloc();
    }
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;
    ~ChunkReader() { std::free(buffer_); }

    char* Begin() const { return buffer_; }

    // Moves [keep, end) to the buffer's start and reads more after it; `keep` and `end`
    // then point into the buffer. False at the file's end (nothing read), after a read
    // error (ReadError()), or when a NUL came in (`nul` then points at it).
    bool Fill(const char*& keep, const char*& end, const char*& nul) {
        nul = nullptr;
        if (error_ != 0 || atEnd_) return false;
        const std::size_t kept = static_cast<std::size_t>(end - keep);
        if (kept == capacity_) {
            // One line fills the buffer (so it starts at the buffer's start): grow it,
            // by doubling but not past the file's size (plus one byte, to see the end),
            // through realloc, which can grow a large block in place instead of
            // holding the old and the new one at once.
            std::size_t larger = capacity_ * 2;
            if (sizeHint_ >= capacity_ && larger > sizeHint_ + 1) larger = sizeHint_ + 1;
            char* grown = static_cast<char*>(std::realloc(buffer_, larger));
            if (grown == nullptr) throw std::bad_alloc();
            buffer_ = grown;
            capacity_ = larger;
        } else if (kept > 0 && keep != buffer_) {
            std::memmove(buffer_, keep, kept);
        }
        keep = buffer_;
        end = keep + kept;
        for (;;) {
            const ssize_t got = ::read(fd_, buffer_ + kept, capacity_ - kept);
            if (got < 0) {
                if (errno == EINTR) continue;
                error_ = errno;
                return false;
            }
            if (got == 0) {
                atEnd_ = true;
                return false;
            }
            end = keep + kept + static_cast<std::size_t>(got);
            nul = static_cast<const char*>(std::memchr(keep + kept, 0, static_cast<std::size_t>(got)));
            return nul == nullptr;
        }
    }
    int ReadError() const { return error_; }

private:
    int fd_;
    std::size_t capacity_;
    std::size_t sizeHint_;
    char* buffer_;
    int error_ = 0;
    bool atEnd_ = false;
};

class Parser {
public:
    Parser(const char* text, std::size_t size, const std::string& fileName, RegStore& store)
        : next_(text), end_(text + size), fileName_(fileName), store_(store) {}
    // Parses what `reader` reads, a chunk at a time.
    Parser(ChunkReader& reader, const std::string& fileName, RegStore& store)
        : next_(reader.Begin()), end_(reader.Begin()), reader_(&reader), fileName_(fileName),
          store_(store) {}

    bool Run(std::string& error) {
        // No REGEDIT4 file holds a NUL: a zero in a value is written as hex. One here
        // means a binary or damaged file (a crash can leave zero-filled blocks), or an
        // export saved as UTF-16; reading on would take its bytes for values. A NUL
        // anywhere is reported before any other fault of the file, at its own line; a
        // chunked read checks each chunk as it comes and, on any fault, the rest of
        // the file.
        if (reader_ == nullptr) {
            if (const void* nul = std::memchr(next_, 0, static_cast<std::size_t>(end_ - next_))) {
                line_ = 1 + static_cast<std::size_t>(
                                std::count(next_, static_cast<const char*>(nul), '\n'));
                Fail(kNulMessage);
                error = error_;
                return false;
            }
        }
        bool ok = Header();
        while (ok && NextLine()) {
            const char* s = lineBegin_;
            while (s < lineEnd_ && IsBlank(*s)) ++s;
            if (s == lineEnd_ || *s == ';') continue;
            if (*s == '[') {
                ok = Section(s);
            } else if (*s == '"' || *s == '@') {
                ok = Value(s);
            } else {
                ok = Fail("unexpected " + Shown(*s) +
                          "; expected a [key] section header, a value line or a ';' comment");
            }
        }
        if (ok && !stopped_) {
            EndSection();
            return true;
        }
        if (reader_ != nullptr) ScanRest();
        error = error_;
        return false;
    }

    // The errno of a failed read, 0 when every read went well.
    int ReadError() const { return reader_ == nullptr ? 0 : reader_->ReadError(); }

private:
    // Reads more of the file into view. False at the file's end; also when a NUL or a
    // read error came in, which stops the parse (stopped_).
    bool Refill() {
        const char* nul = nullptr;
        if (reader_->Fill(next_, end_, nul)) return true;
        if (nul != nullptr) {
            // Every byte before it was checked, so this is the file's first NUL.
            line_ += 1 + static_cast<std::size_t>(std::count(next_, nul, '\n'));
            Fail(kNulMessage);
            stopped_ = true;
            nulFound_ = true;
        } else if (reader_->ReadError() != 0) {
            stopped_ = true;
        }
        return false;
    }

    // After a fault in chunked reading: reads the file to its end, so that a NUL later in
    // the file takes the place of a syntax error found first, as it would with the
    // whole text at hand, and a read error is not missed.
    void ScanRest() {
        if (nulFound_ || reader_->ReadError() != 0) return;
        // The current line is done: the next one starts at next_.
        std::size_t line = line_;
        for (;;) {
            const char* nul = nullptr;
            const bool more = reader_->Fill(next_, end_, nul);
            if (nul != nullptr) {
                line_ = line + 1 + static_cast<std::size_t>(std::count(next_, nul, '\n'));
                Fail(kNulMessage);
                return;
            }
            if (!more) return;
            line += static_cast<std::size_t>(std::count(next_, end_, '\n'));
            next_ = end_;
        }
    }

    // Moves to the next line: [lineBegin_, lineEnd_) is its content without the line
    // end (LF, or CR LF). With a reader, the whole line is in view before it is used.
    bool NextLine() {
        if (stopped_) return false;
        const char* lf = nullptr;
        std::size_t searched = 0;  // bytes from next_ known to hold no LF
        for (;;) {
            lf = static_cast<const char*>(
                std::memchr(next_ + searched, '\n', static_cast<std::size_t>(end_ - next_) - searched));
            if (lf != nullptr || reader_ == nullptr) break;
            searched = static_cast<std::size_t>(end_ - next_);
            if (!Refill()) {
                if (stopped_) return false;
                break;
            }
        }
        if (next_ >= end_) return false;
        lineBegin_ = next_;
        if (lf == nullptr) {
            lineEnd_ = end_;
            next_ = end_;
            lineEnded_ = false;
        } else {
            lineEnd_ = lf;
            next_ = lineEnd_ + 1;
            lineEnded_ = true;
        }
        if (lineEnd_ > lineBegin_ && lineEnd_[-1] == '\r') --lineEnd_;
        ++line_;
        return true;
    }

    bool Fail(const std::string& what) {
        error_ = fileName_ + ", line " + std::to_string(line_ == 0 ? 1 : line_) + ": " + what;
        return false;
    }

    bool Header() {
        if (!NextLine()) {
            return stopped_ ? false : Fail("missing REGEDIT4 header (the file is empty)");
        }
        const char* e = lineEnd_;
        while (e > lineBegin_ && IsBlank(e[-1])) --e;
        if (std::string_view(lineBegin_, static_cast<std::size_t>(e - lineBegin_)) != "REGEDIT4") {
            return Fail("missing REGEDIT4 header (the first line must be REGEDIT4)");
        }
        return true;
    }

    // A key's values are appended as its section is read: the list gets room for the
    // value lines in view up to the next header at the start, so it is neither moved
    // while it grows nor left with room to spare. The count is capped so that a file of
    // repeated value lines cannot make it reserve far more than it would ever hold;
    // past the cap (or the end of a chunk) the list grows, and is trimmed at the end.
    static constexpr std::size_t kReserveCap = 1024;

    void StartSection(RegKey* key) {
        std::size_t lines = 0;
        const char* p = next_;
        while (p < end_ && lines < kReserveCap) {
            while (p < end_ && IsBlank(*p)) ++p;
            if (p == end_ || *p == '[') break;
            if (*p == '"' || *p == '@') ++lines;
            const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end_ - p));
            if (lf == nullptr) break;
            p = static_cast<const char*>(lf) + 1;
        }
        if (lines > 0) key->ReserveValues(key->ValueCount() + lines);
        current_ = key;
    }

    void EndSection() {
        if (current_ != nullptr) current_->ShrinkValues();
    }

    bool Section(const char* s) {
        EndSection();
        ++s;  // '['
        if (s < lineEnd_ && *s == '-') {
            return Fail("deleting keys with [-...] is not supported");
        }
        const char* close = lineEnd_;
        while (close > s && IsBlank(close[-1])) --close;
        if (close == s || close[-1] != ']') {
            return Fail("malformed section header: it does not end with ']'");
        }
        --close;
        const std::string_view path(s, static_cast<std::size_t>(close - s));
        if (path.empty()) return Fail("malformed section header: no key name between [ and ]");

        // Sections come in tree order, so a header mostly repeats the start of the one
        // before it: the keys of the whole components it shares byte for byte with that
        // header are taken from there (they passed every check below then) instead of
        // being looked up again from the root.
        const std::size_t common = CommonPrefix(path, prevPath_);
        std::size_t reused = prevKeys_.size();
        while (reused > 0) {
            const std::size_t e = prevKeys_[reused - 1].end;
            if (e <= common && (e == path.size() || path[e] == '\\')) break;
            --reused;
        }
        prevKeys_.resize(reused);
        prevPath_.assign(path.data(), path.size());

        RegKey* key;
        std::size_t start;
        if (reused > 0) {
            key = prevKeys_.back().key;
            start = prevKeys_.back().end;
        } else {
            const std::size_t slash = path.find('\\');
            const std::string_view rootName = path.substr(0, slash);
            RootId root;
            if (rootName.empty()) return Fail("malformed section header: it starts with a backslash");
            if (!RootFromName(rootName, root)) {
                return Fail("unknown root key \"" + std::string(rootName) + "\"");
            }
            key = &store_.Root(root);
            start = rootName.size();
            prevKeys_.push_back(KnownKey{start, key});
        }
        if (start < path.size()) {
            ++start;  // the backslash
            std::size_t depth = prevKeys_.size() - 1;
            for (;;) {
                std::size_t stop = path.find('\\', start);
                if (stop == std::string_view::npos) stop = path.size();
                const std::string_view part = path.substr(start, stop - start);
                if (part.empty()) {
                    return Fail(
                        "malformed section header: empty key name (doubled or "
                        "trailing backslash)");
                }
                if (part.size() > kMaxKeyNameLength) {
                    return Fail("malformed section header: a key name is longer than " +
                                std::to_string(kMaxKeyNameLength) + " characters");
                }
                if (!NameIsStorable(part)) {
                    return Fail("malformed section header: a key name holds a NUL or CR byte");
                }
                if (++depth > kMaxKeyDepth) {
                    return Fail("malformed section header: keys nested deeper than " +
                                std::to_string(kMaxKeyDepth) + " levels");
                }
                const std::size_t found = key->FindSubkey(part);
                key = found == NameIndex::npos ? &key->AppendSubkey(part) : &key->SubkeyAt(found);
                prevKeys_.push_back(KnownKey{stop, key});
                if (stop == path.size()) break;
                start = stop + 1;
            }
        }
        StartSection(key);
        return true;
    }

    // Reads a quoted string starting at the opening quote into `out` (a std::string or
    // the value's bytes); leaves `s` after the closing one. Only \\ and \" are escapes,
    // as regedit writes them.
    template <class Out>
    bool QuotedText(const char*& s, Out& out, const char* what) {
        using Byte = typename Out::value_type;
        ++s;
        for (;;) {
            const char* run = s;
            while (s < lineEnd_ && *s != '"' && *s != '\\') ++s;
            out.insert(out.end(), reinterpret_cast<const Byte*>(run),
                       reinterpret_cast<const Byte*>(s));
            if (s == lineEnd_) return Fail(std::string("unterminated quote in ") + what);
            if (*s == '"') {
                ++s;
                return true;
            }
            if (s + 1 == lineEnd_) return Fail(std::string("unterminated quote in ") + what);
            const char c = s[1];
            if (c != '\\' && c != '"') {
                return Fail(std::string("unknown escape \\") + c + " in " + what +
                            " (only \\\\ and \\\" are escapes)");
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
            if (FoldByte(static_cast<unsigned char>(*s)) != static_cast<unsigned char>(*word)) {
                return false;
            }
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
        data = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
        return true;
    }

    // A comma-separated list of bytes, each one or two hex digits. A line ending in
    // "\" continues on the next line (regedit's wrapping, after a comma).
    // `name` may be a view of the current line; a continuation moves to the next line
    // (and a chunked read may move the bytes), so it is copied to `scratch` first.
    bool HexList(const char*& s, std::vector<std::uint8_t>& data, std::string_view& name,
                 std::string& scratch) {
        data.reserve(static_cast<std::size_t>(lineEnd_ - s) / 3 + 1);
        bool needByte = false;  // just after a comma
        bool afterByte = false;
        for (;;) {
            while (s < lineEnd_ && IsBlank(*s)) ++s;
            if (s == lineEnd_) {
                if (needByte) return Fail("value line truncated: the hex list ends with ','");
                return true;
            }
            if (*s == '\\' && !afterByte) {
                ++s;
                while (s < lineEnd_ && IsBlank(*s)) ++s;
                if (s != lineEnd_)
                    return Fail("unexpected " + Shown(*s) + " after the line continuation '\\'");
                if (name.data() != scratch.data()) {
                    scratch.assign(name.data(), name.size());
                    name = scratch;
                }
                if (!NextLine()) {
                    if (stopped_) return false;
                    return Fail("value line truncated: the file ends after a line continuation");
                }
                s = lineBegin_;
                while (s < lineEnd_ && IsBlank(*s)) ++s;
                if (s == lineEnd_ || *s == '"' || *s == '@' || *s == '[' || *s == ';') {
                    return Fail(
                        "value line truncated: the line after a continuation '\\' does "
                        "not carry on the hex list");
                }
                continue;
            }
            if (afterByte) {
                if (*s == '\\') return Fail("a line continuation '\\' must follow a comma");
                if (*s != ',') return Fail("bad hex digit " + Shown(*s) + " in the hex list");
                ++s;
                afterByte = false;
                needByte = true;
                continue;
            }
            // The common run of "xx," goes by three bytes at a time; anything else (one
            // digit, blanks, the last byte, a fault) takes the steps below.
            bool took = false;
            while (lineEnd_ - s > 2 && s[2] == ',') {
                const int high = HexValue(s[0]);
                const int low = HexValue(s[1]);
                if ((high | low) < 0) break;
                data.push_back(static_cast<std::uint8_t>(high << 4 | low));
                s += 3;
                took = true;
            }
            if (took) {
                needByte = true;
                continue;
            }
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
            afterByte = true;
            needByte = false;
        }
    }

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
        bool partialDword = false;
        bool partialHex = false;
        if (*s == '-') {
            return Fail("deleting values with \"name\"=- is not supported");
        } else if (*s == '"') {
            // The rest of the line is the quoted text: room for it and the zero at once.
            data.reserve(static_cast<std::size_t>(lineEnd_ - s));
            if (!QuotedText(s, data, "the value text")) return false;
            data.push_back(0);
        } else if (Keyword(s, "dword:", partialDword)) {
            s += 6;
            type = platform::REG_DWORD;
            if (!Dword(s, data)) return false;
        } else if (Keyword(s, "hex", partialHex)) {
            s += 3;
            if (s == lineEnd_) return Fail("value line truncated in the middle of the data type");
            if (*s == '(') {
                ++s;
                type = 0;
                int digits = 0;
                while (s < lineEnd_ && *s != ')') {
                    const int h = HexValue(*s);
                    if (h < 0)
                        return Fail("bad value type in hex(...): " + Shown(*s) +
                                    " is not a hex digit");
                    if (++digits > 8)
                        return Fail("bad value type in hex(...): more than 8 hex digits");
                    type = type << 4 | static_cast<platform::DWORD>(h);
                    ++s;
                }
                if (s == lineEnd_)
                    return Fail("value line truncated in the middle of the data type");
                if (digits == 0) return Fail("bad value type: hex() has no number");
                ++s;  // ')'
            } else {
                type = platform::REG_BINARY;
            }
            if (s == lineEnd_) return Fail("value line truncated in the middle of the data type");
            if (*s != ':') return Fail("expected ':' after hex, found " + Shown(*s));
            ++s;
            if (!HexList(s, data, name, scratch)) return false;
        } else if (partialDword || partialHex) {
            return Fail("value line truncated in the middle of the data type");
        } else {
            return Fail("unknown value data starting with " + Shown(*s) +
                        "; expected \"text\", dword:, hex: or hex(N):");
        }
        while (s < lineEnd_ && IsBlank(*s)) ++s;
        if (s != lineEnd_) return Fail("unexpected " + Shown(*s) + " after the value data");

        // A value on the file's last line with no line end may have lost its tail
        // ("dword:0000" of "dword:00000001", a hex list cut after a comma's byte) and
        // still look whole; every writer ends its lines, so only a cut file does this.
        if (!lineEnded_) {
            return Fail(
                "value line truncated: the file ends inside it (no line end after the "
                "data), so its data may be cut short");
        }
        if (current_->FindValue(name) != NameIndex::npos) {
            return Fail("value " + Quoted(name) + " is given twice in [" + current_->FullPath() +
                        "]");
        }
        current_->AppendValue(name, type, std::move(data));
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

    const char* next_;
    const char* end_;
    ChunkReader* reader_ = nullptr;  // null: the whole text is at hand
    bool stopped_ = false;           // a NUL or a read error came in
    bool nulFound_ = false;
    const char* lineBegin_ = nullptr;
    const char* lineEnd_ = nullptr;
    bool lineEnded_ = true;  // the current line has its LF
    std::size_t line_ = 0;
    const std::string& fileName_;
    RegStore& store_;
    RegKey* current_ = nullptr;
    std::string error_;
};

std::string SystemError(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

}  // namespace

bool ParseRegText(const char* text, std::size_t size, const std::string& fileName, RegStore& store,
                  std::string& error) {
    Parser parser(text, size, fileName, store);
    return parser.Run(error);
}

namespace {

// The folder of `path` opened, and the file's name in it, for the path forms.
FolderFile OpenFolderOf(const std::string& path, Fd& dir) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : path.substr(0, slash);
    dir.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return FolderFile{dir.Get(), slash == std::string::npos ? path : path.substr(slash + 1), path};
}

// How a save names the folder it writes in: `shown` without its last component.
std::string FolderShown(const FolderFile& file) {
    const std::size_t slash = file.shown.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : file.shown.substr(0, slash);
}

// A temporary file beside the one a save replaces (".registry.reg.XXXXXX"), created
// afresh (never through a link or over an existing file) and removed again unless
// Kept once it has been renamed into place.
class TempFile {
public:
    explicit TempFile(const FolderFile& file) : dir_(file.dir) {
        static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        static std::mt19937 pick(std::random_device{}());
        error_ = InjectedError("SaveTempFile");
        for (int attempt = 0; attempt < 100 && error_ == 0 && !fd_; ++attempt) {
            name_ = "." + file.name + ".";
            for (int i = 0; i < 6; ++i) name_ += kLetters[pick() % (sizeof kLetters - 1)];
            fd_.Reset(::openat(dir_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!fd_ && errno != EEXIST) error_ = errno;
        }
        if (!fd_) {
            if (error_ == 0) error_ = EEXIST;
            name_.clear();
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        fd_.Reset();
        if (!name_.empty()) ::unlinkat(dir_, name_.c_str(), 0);
    }
    int CreateError() const { return error_; }
    Fd& File() { return fd_; }
    const std::string& Name() const { return name_; }
    void Kept() { name_.clear(); }

private:
    int dir_;
    Fd fd_;
    std::string name_;
    int error_ = 0;
};

// The new file is the old one in all but its content: the same owner, group and mode.
// A file that cannot be given them (a run without the right to) does not replace it.
int KeepOwnerAndMode(const FolderFile& file, int fd) {
    struct stat old {};
    if (::fstatat(file.dir, file.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0)
        return ::fchmod(fd, 0644) == 0 ? 0 : errno;
    // The owner first: a change of owner may clear the set-user-ID and set-group-ID bits.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 || ::fchmod(fd, old.st_mode & 07777) != 0) return errno;
    return 0;
}

}  // namespace

bool LoadRegFile(const FolderFile& file, RegStore& store, std::string& error, std::size_t chunkSize) {
    // O_NONBLOCK: opening a named pipe for reading would otherwise wait for a writer
    // before the check below could refuse it. O_NOFOLLOW: the registry is the file in
    // the folder, not whatever a link there points at.
    Fd fd(::openat(file.dir, file.name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY));
    if (!fd) {
        error = errno == ELOOP ? "cannot open the registry file " + file.shown +
                                     ": it is a link, and the registry must be a regular file in its folder"
                               : SystemError("cannot open the registry file", file.shown, errno);
        return false;
    }
    // Only a regular file: a folder gives a clear error, a pipe or device could block.
    struct stat st {};
    const bool statFailed = ::fstat(fd.Get(), &st) != 0;
    if (statFailed || !S_ISREG(st.st_mode)) {
        const int err = statFailed ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        error = SystemError("cannot read the registry file", file.shown, err);
        return false;
    }
    ChunkReader reader(fd.Get(), chunkSize, static_cast<std::size_t>(st.st_size));
    Parser parser(reader, file.shown, store);
    const bool parsed = parser.Run(error);
    if (parser.ReadError() != 0) {
        error = SystemError("cannot read the registry file", file.shown, parser.ReadError());
        return false;
    }
    return parsed;
}

bool LoadRegFile(const std::string& path, RegStore& store, std::string& error, std::size_t chunkSize) {
    Fd dir;
    const FolderFile file = OpenFolderOf(path, dir);
    if (!dir) {
        error = SystemError("cannot open the registry file", path, errno);
        return false;
    }
    return LoadRegFile(file, store, error, chunkSize);
}

namespace {
SaveObserver g_saveObserver = nullptr;

// Writes the store's text to `fd`, through the buffer; 0 or the errno of the failure.
int WriteStore(const RegStore& store, int fd) {
    // With an observer, the size is counted first so that the write stops at exactly
    // half to tell it.
    const SaveObserver observer = g_saveObserver;
    std::size_t pauseAt = FileSink::npos;
    if (observer != nullptr) {
        CountSink count;
        PutStore(count, store);
        pauseAt = count.Written() / 2;
    }
    FileSink sink(fd, pauseAt, observer);
    PutStore(sink, store);
    return sink.Finish();
}
}  // namespace

void SetSaveObserver(SaveObserver observer) { g_saveObserver = observer; }

bool SaveRegFile(const RegStore& store, const FolderFile& file, std::string& error, bool* replaced) {
    if (replaced != nullptr) *replaced = false;
    auto fail = [&](const char* what, int err) {
        error = SystemError("cannot save the registry to", file.shown, err) + " (" + what + ")";
        return false;
    };
    // The temporary file is removed on every way out before the rename, also when
    // the text cannot be made (out of memory for the buffer or a key path).
    TempFile temp(file);
    if (temp.CreateError() != 0) {
        error = SystemError("cannot save the registry: cannot create a temporary file in", FolderShown(file),
                            temp.CreateError());
        return false;
    }
    const int fd = temp.File().Get();
    if (const int err = KeepOwnerAndMode(file, fd)) return fail("giving the new file the old one's owner and mode", err);
    if (const int err = WriteStore(store, fd)) return fail("writing the temporary file", err);
    int err = InjectedError("SaveFlush");
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (err != 0) return fail("flushing the temporary file", err);
    if (g_saveObserver != nullptr) g_saveObserver(SaveStage::TempComplete);
    if (temp.File().Close() != 0) return fail("closing the temporary file", errno);
    err = InjectedError("SaveRename");
    if (err == 0 && ::renameat(file.dir, temp.Name().c_str(), file.dir, file.name.c_str()) != 0) err = errno;
    if (err != 0) return fail("replacing the old file", err);
    temp.Kept();
    if (replaced != nullptr) *replaced = true;
    if (g_saveObserver != nullptr) g_saveObserver(SaveStage::Replaced);

    // The rename is only durable once the folder itself is on disk. EINVAL: the file
    // system cannot flush folders.
    err = InjectedError("SaveFlushFolder");
    if (err == 0 && ::fsync(file.dir) != 0 && errno != EINVAL) err = errno;
    if (err != 0) {
        error = SystemError("cannot flush the folder of", file.shown, err);
        return false;
    }
    return true;
}

bool SaveRegFile(const RegStore& store, const std::string& path, std::string& error, bool* replaced) {
    if (replaced != nullptr) *replaced = false;
    Fd dir;
    const FolderFile file = OpenFolderOf(path, dir);
    if (!dir) {
        error = SystemError("cannot save the registry: cannot open the folder of", path, errno);
        return false;
    }
    return SaveRegFile(store, file, error, replaced);
}

}  // namespace standin
