// Stand-in backend only: Fd, the owner of one host file descriptor.
#pragma once

#include <unistd.h>

namespace standin {

// Closes its descriptor exactly once: in Close(), in Reset() or when it goes out of
// scope. Moved, never copied; -1 is "none". The destructor ignores close()'s result;
// a caller for whom a failed close means lost data (a file just written) calls Close()
// and looks at it.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Hands the descriptor over (to fdopendir, say); the owner then holds none.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // close(2)'s result: 0, or -1 with errno.
    int Close() { return ::close(Release()); }

private:
    int fd_ = -1;
};

}  // namespace standin
