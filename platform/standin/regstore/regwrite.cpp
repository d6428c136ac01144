// Stand-in backend only, inside the registry store: the REGEDIT4 writer. The text is
// made as regedit makes it and goes to a string (RegStore::ToText), or to a file
// through a fixed buffer (WriteRegText), never whole in memory.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/standin/faults.h"
#include "platform/standin/regstore/regtext.h"

namespace standin {
namespace {

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
        if (left > 0 && error_ == 0) error_ = InjectedErrno("SaveWrite");
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
void PutDword(Sink& out, const std::vector<std::uint8_t>& data) {
    const platform::DWORD n = static_cast<platform::DWORD>(data[0]) | static_cast<platform::DWORD>(data[1]) << 8 |
                              static_cast<platform::DWORD>(data[2]) << 16 | static_cast<platform::DWORD>(data[3]) << 24;
    char line[16] = {'d', 'w', 'o', 'r', 'd', ':'};
    for (int i = 0; i < 8; ++i) line[6 + i] = kHexDigits[(n >> (28 - 4 * i)) & 0xF];
    line[14] = '\r';
    line[15] = '\n';
    out.Put(line, sizeof line);
}

// "hex:" (REG_BINARY) or "hex(N):", then the bytes, wrapped as regedit wraps them;
// `lineStart` is where the value's line began.
template <class Sink>
void PutHexList(Sink& out, const RegValue& v, std::size_t lineStart) {
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
    } else if (v.type == platform::REG_DWORD && v.data.size() == 4) {
        PutDword(out, v.data);
    } else {
        PutHexList(out, v, lineStart);
    }
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

std::string RegStore::ToText() const {
    std::string out;
    StringSink sink(out);
    PutStore(sink, *this);
    return out;
}

int WriteRegText(const RegStore& store, int fd, SaveObserver observer) {
    // With an observer, the size is counted first so that the write stops at exactly
    // half to tell it.
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

}  // namespace standin
