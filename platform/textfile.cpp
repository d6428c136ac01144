// Runtime service over the seam: text-file input (textfile.h).
#include "platform/textfile.h"

#include "platform/errors.h"

TextFile::~TextFile() { Close(); }

void TextFile::Open(const std::string& path) {
    Close();
    platform::HANDLE h = platform::INVALID_HANDLE_VALUE;
    platform::LONG status = platform::OpenFileForReadA(path.c_str(), &h);
    if (status == platform::ERROR_FILE_NOT_FOUND || status == platform::ERROR_PATH_NOT_FOUND)
        throw RuntimeError(RuntimeErr::FileNotFound);
    if (status != platform::ERROR_SUCCESS) throw RuntimeError(RuntimeErr::PathFileAccess);
    handle_ = h;
    pos_ = end_ = 0;
    eof_ = false;
}

void TextFile::Close() {
    if (handle_ != platform::INVALID_HANDLE_VALUE) {
        platform::CloseHandle(handle_);
        handle_ = platform::INVALID_HANDLE_VALUE;
    }
}

// Refills the buffer; false at the end of the file.
bool TextFile::Fill() {
    if (eof_) return false;
    platform::DWORD got = 0;
    if (platform::ReadFile(handle_, buffer_, sizeof buffer_, &got) != platform::ERROR_SUCCESS)
        throw RuntimeError(RuntimeErr::PathFileAccess);
    pos_ = 0;
    end_ = got;
    if (got == 0) eof_ = true;
    return got != 0;
}

std::string TextFile::ReadLine() {
    if (handle_ == platform::INVALID_HANDLE_VALUE) throw RuntimeError(RuntimeErr::PathFileAccess);
    if (pos_ == end_ && !Fill()) throw RuntimeError(RuntimeErr::InputPastEnd);
    std::string line;
    for (;;) {
        if (pos_ == end_ && !Fill()) return line;  // last line without a terminator
        char c = buffer_[pos_++];
        if (c == '\n') return line;
        if (c == '\r') {
            // A CR may be followed by the LF of the same terminator, possibly in the
            // next buffer.
            if (pos_ == end_) Fill();
            if (pos_ < end_ && buffer_[pos_] == '\n') ++pos_;
            return line;
        }
        line += c;
    }
}
