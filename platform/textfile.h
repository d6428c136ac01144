// Runtime service over the seam, the same on every backend: sequential text-file
// input that raises run-time errors. Open a file for reading, read it line by line,
// close it.
#pragma once

#include <string>

#include "platform/platform.h"

// A text file open for reading. Closed by its destructor on every path, so a reader
// that stops with an error never leaves the file open.
class TextFile {
public:
    TextFile() = default;
    ~TextFile();
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    // Opens `path` (ANSI). Raises 53 "File not found" when the file or its folder is
    // missing, 75 "Path/File access error" when it exists but cannot be read (a
    // folder, no right).
    void Open(const std::string& path);

    // The next line, without its terminator, as bytes in the ANSI code page. A line
    // ends at CR LF, at CR alone, or at LF alone; the last line needs no terminator.
    // Raises 62 "Input past end of file" when no line is left, and 75 when the read
    // itself fails.
    std::string ReadLine();

    void Close();

private:
    bool Fill();

    platform::HANDLE handle_ = platform::INVALID_HANDLE_VALUE;
    char buffer_[4096];
    platform::DWORD pos_ = 0;
    platform::DWORD end_ = 0;
    bool eof_ = false;
};
