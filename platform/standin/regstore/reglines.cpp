// Stand-in backend only, inside the registry store: the chunked line reader
// (reglines.h).
#include "platform/standin/regstore/reglines.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <unistd.h>

namespace standin {

ssize_t FdSource::Read(char* into, std::size_t max) {
    for (;;) {
        const ssize_t got = ::read(fd_, into, max);
        if (got >= 0 || errno != EINTR) return got;
    }
}

ssize_t MemorySource::Read(char* into, std::size_t max) {
    const std::size_t n = std::min(max, left_);
    if (n > 0) std::memcpy(into, next_, n);
    next_ += n;
    left_ -= n;
    return static_cast<ssize_t>(n);
}

LineReader::LineReader(ByteSource& source, std::size_t chunkSize, std::size_t sizeHint)
    : source_(source),
      // A text smaller than a chunk needs no more room than itself and one byte, to
      // see its end.
      capacity_(std::max<std::size_t>(std::min(chunkSize, sizeHint + 1), 1)),
      sizeHint_(sizeHint),
      buffer_(static_cast<char*>(std::malloc(capacity_))) {
    if (buffer_ == nullptr) throw std::bad_alloc();
    next_ = end_ = buffer_;
}

LineReader::~LineReader() { std::free(buffer_); }

bool LineReader::Next() {
    if (Stopped()) return false;
    const char* lf = nullptr;
    std::size_t searched = 0;  // bytes from next_ known to hold no LF
    for (;;) {
        lf = static_cast<const char*>(
            std::memchr(next_ + searched, '\n', static_cast<std::size_t>(end_ - next_) - searched));
        if (lf != nullptr) break;
        searched = static_cast<std::size_t>(end_ - next_);
        if (!Fill(line_ + 1)) {
            if (Stopped()) return false;
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

std::size_t LineReader::ValueLinesAhead(std::size_t cap) const {
    std::size_t lines = 0;
    const char* p = next_;
    while (p < end_ && lines < cap) {
        while (p < end_ && (*p == ' ' || *p == '\t')) ++p;
        if (p == end_ || *p == '[') break;
        if (*p == '"' || *p == '@') ++lines;
        const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end_ - p));
        if (lf == nullptr) break;
        p = static_cast<const char*>(lf) + 1;
    }
    return lines;
}

void LineReader::ReadToEnd() {
    std::size_t line = line_;  // lines passed; the next one starts at next_
    while (Fill(line + 1)) {
        line += static_cast<std::size_t>(std::count(next_, end_, '\n'));
        next_ = end_;
    }
}

// Moves the bytes not yet made into lines, [next_, end_), to the buffer's start and
// reads more after them. False at the text's end (nothing read), after a read error,
// or when a NUL came in; `lineAtNext` is the number of the line next_ begins, to place
// the NUL. Every byte before the new ones was checked already, so a NUL found here is
// the text's first.
bool LineReader::Fill(std::size_t lineAtNext) {
    if (Stopped() || atEnd_) return false;
    const std::size_t kept = static_cast<std::size_t>(end_ - next_);
    if (kept == capacity_) {
        Grow();  // one line fills the buffer, so it starts at the buffer's start
    } else if (kept > 0 && next_ != buffer_) {
        std::memmove(buffer_, next_, kept);
    }
    next_ = buffer_;
    end_ = buffer_ + kept;
    const ssize_t got = source_.Read(buffer_ + kept, capacity_ - kept);
    if (got < 0) {
        error_ = errno != 0 ? errno : EIO;
        return false;
    }
    if (got == 0) {
        atEnd_ = true;
        return false;
    }
    end_ += got;
    const void* nul = std::memchr(buffer_ + kept, 0, static_cast<std::size_t>(got));
    if (nul == nullptr) return true;
    nulLine_ = lineAtNext + static_cast<std::size_t>(std::count(next_, static_cast<const char*>(nul), '\n'));
    return false;
}

// Doubles the buffer, but not past the text's size (plus one byte, to see the end),
// through realloc, which can grow a large block in place instead of holding the old
// and the new one at once.
void LineReader::Grow() {
    std::size_t larger = capacity_ * 2;
    if (sizeHint_ >= capacity_ && larger > sizeHint_ + 1) larger = sizeHint_ + 1;
    char* grown = static_cast<char*>(std::realloc(buffer_, larger));
    if (grown == nullptr) throw std::bad_alloc();
    buffer_ = grown;
    capacity_ = larger;
}

}  // namespace standin
