// Stand-in backend only, inside the registry store: REGEDIT4 text as lines, read a
// chunk at a time from a file or from memory. The one place where bytes come in, so
// the one place where a NUL is found.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace standin {

// Where the text comes from: a file or a block of memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `max` bytes into `into`: how many were read, 0 at the end of the text, or
    // -1 with errno when the read failed (never for EINTR).
    virtual ssize_t Read(char* into, std::size_t max) = 0;
};

// A file read through its descriptor, which stays its owner's.
class FdSource : public ByteSource {
public:
    explicit FdSource(int fd) : fd_(fd) {}
    ssize_t Read(char* into, std::size_t max) override;

private:
    int fd_;
};

// A block of memory, read as a file would be.
class MemorySource : public ByteSource {
public:
    MemorySource(const char* text, std::size_t size) : next_(text), left_(size) {}
    ssize_t Read(char* into, std::size_t max) override;

private:
    const char* next_;
    std::size_t left_;
};

// The lines of the text, each whole in view when it is used, while the text itself is
// never whole in memory: the buffer holds the line being read and what follows it in
// the current chunk, and grows only for a line longer than it. Every byte is checked
// for NUL as it comes in: no REGEDIT4 file holds one (a zero in a value is written as
// hex), so one means a binary or damaged file (a crash can leave zero-filled blocks)
// or an export saved as UTF-16, and reading stops there.
class LineReader {
public:
    // `sizeHint`: the text's size where known, which the buffer need not outgrow.
    LineReader(ByteSource& source, std::size_t chunkSize, std::size_t sizeHint);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    // Moves to the next line. False at the end of the text, and from then on once the
    // text cannot be read on: a NUL came in (NulLine()) or a read failed (ReadError()).
    bool Next();
    // The current line without its line end (LF, or CR LF). The bytes stay in place
    // until the next call to Next.
    const char* Begin() const { return lineBegin_; }
    const char* End() const { return lineEnd_; }
    // Whether the current line ended with an LF (the last line of a text may not).
    bool Ended() const { return lineEnded_; }
    // The current line's number, from 1; 0 before the first.
    std::size_t Number() const { return line_; }
    // How many value lines (first non-blank character '"' or '@') follow the current
    // line before the next section header, counting only what is in view already and
    // at most `cap`: a guess at a section's size that costs no read.
    std::size_t ValueLinesAhead(std::size_t cap) const;

    // Reading stopped early: a NUL or a failed read.
    bool Stopped() const { return nulLine_ != 0 || error_ != 0; }
    // After a fault in the text, reads on to its end, so that a NUL further on is found
    // (it is reported in the fault's place, as the graver damage) and a read error is
    // not missed.
    void ReadToEnd();
    // The line of the text's first NUL, 0 while none came in.
    std::size_t NulLine() const { return nulLine_; }
    // The errno of a failed read, 0 while every read went well.
    int ReadError() const { return error_; }

private:
    bool Fill(std::size_t lineAtNext);
    void Grow();

    ByteSource& source_;
    std::size_t capacity_;
    std::size_t sizeHint_;
    char* buffer_;
    const char* next_;  // the first byte not yet part of a line
    const char* end_;   // the end of what was read
    const char* lineBegin_ = nullptr;
    const char* lineEnd_ = nullptr;
    bool lineEnded_ = true;
    std::size_t line_ = 0;
    std::size_t nulLine_ = 0;
    int error_ = 0;
    bool atEnd_ = false;
};

}  // namespace standin
