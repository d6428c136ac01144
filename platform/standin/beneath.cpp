// Stand-in backend only: OpenBeneath, by the kernel's openat2 or by a walk that
// follows links by hand.
#include "platform/standin/beneath.h"

#include <cerrno>
#include <climits>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#if defined(SYS_openat2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define IRPATCH_HAVE_OPENAT2 1
#endif

#include "platform/standin/fd.h"
#include "platform/standin/hosttext.h"

namespace standin {
namespace {

// As many links as Linux follows on one path before it gives ELOOP.
constexpr int kMaxLinks = 40;

BeneathMode g_mode = BeneathMode::Kernel;

#ifdef IRPATCH_HAVE_OPENAT2
long Openat2(int dir, const char* path, int flags, unsigned long long resolve) {
    open_how how{};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    how.resolve = resolve;
    return syscall(SYS_openat2, dir, path, &how, sizeof how);
}

int KernelOpen(int dir, const std::string& path, int flags) {
    // EAGAIN: a rename or mount elsewhere raced a ".." of this lookup; the kernel asks
    // for another try rather than risk a wrong answer.
    for (int attempt = 0; attempt < 64; ++attempt) {
        const long fd = Openat2(dir, path.c_str(), flags, RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
        if (fd >= 0 || errno != EAGAIN) return static_cast<int>(fd);
    }
    return -1;
}
#endif

// Reads the link `name` in `dir` ("" with `dir` the link itself, opened O_PATH) and
// puts its target's components before `rest`. False with errno: EXDEV for an absolute
// target, ELOOP past kMaxLinks links, EINVAL when `name` is no link after all.
bool FollowByHand(int dir, const char* name, std::deque<std::string>& rest, int& links) {
    if (++links > kMaxLinks) {
        errno = ELOOP;
        return false;
    }
    char target[PATH_MAX];
    const ssize_t n = readlinkat(dir, name, target, sizeof target);
    if (n < 0) return false;
    if (n == 0 || static_cast<std::size_t>(n) == sizeof target) {
        errno = n == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    if (target[0] == '/') {
        errno = EXDEV;
        return false;
    }
    const std::vector<std::string> parts = SplitAt(std::string(target, static_cast<std::size_t>(n)), "/");
    rest.insert(rest.begin(), parts.begin(), parts.end());
    return true;
}

// The last component: opened with the caller's flags, never through a link; a link
// found there is followed by hand. Returns the descriptor, -1 with errno, or -2 when
// the link's target went before `rest`.
int OpenLast(int here, const std::string& name, int flags, std::deque<std::string>& rest, int& links) {
    Fd fd(openat(here, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd && ((flags & O_PATH) == 0 || (fstat(fd.Get(), &st) == 0 && !S_ISLNK(st.st_mode)))) return fd.Release();
    const int openError = errno;
    const bool openedTheLink = static_cast<bool>(fd);  // with O_PATH
    fd.Reset();
    // O_NOFOLLOW refuses a link with ELOOP (ENOTDIR when a folder was asked for).
    if (!openedTheLink && openError != ELOOP && openError != ENOTDIR) return -1;
    if (FollowByHand(here, name.c_str(), rest, links)) return -2;
    if (errno == EINVAL) errno = openError;
    return -1;
}

// The walk: every folder entered is held open, so ".." goes back to the folder the
// walk came from, never to whatever a rename made the parent since; climbing above
// `base` is refused.
int WalkOpen(int base, const std::string& path, int flags) {
    std::vector<Fd> entered;
    const std::vector<std::string> parts = SplitAt(path, "/");
    std::deque<std::string> rest(parts.begin(), parts.end());
    int links = 0;
    auto here = [&] { return entered.empty() ? base : entered.back().Get(); };
    while (!rest.empty()) {
        const std::string name = rest.front();
        rest.pop_front();
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            if (entered.empty()) {
                errno = EXDEV;
                return -1;
            }
            entered.pop_back();
            continue;
        }
        if (rest.empty()) {
            const int fd = OpenLast(here(), name, flags, rest, links);
            if (fd != -2) return fd;
            continue;
        }
        Fd step(openat(here(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!step || fstat(step.Get(), &st) != 0) return -1;
        if (S_ISLNK(st.st_mode)) {
            if (!FollowByHand(step.Get(), "", rest, links)) return -1;
        } else if (S_ISDIR(st.st_mode)) {
            entered.push_back(std::move(step));
        } else {
            errno = ENOTDIR;
            return -1;
        }
    }
    // The path ended in the folder reached: "", ".", or a ".." back to it.
    return openat(here(), ".", flags | O_CLOEXEC);
}

}  // namespace

bool KernelResolvesBeneath() {
#ifdef IRPATCH_HAVE_OPENAT2
    // Missing (before Linux 5.6) or filtered out (ENOSYS or EPERM from a sandbox).
    static const bool works = [] {
        const Fd probe(static_cast<int>(Openat2(AT_FDCWD, "/", O_PATH, RESOLVE_NO_MAGICLINKS)));
        return static_cast<bool>(probe);
    }();
    return works;
#else
    return false;
#endif
}

void SetBeneathMode(BeneathMode mode) { g_mode = mode; }

int OpenBeneath(int dir, const std::string& path, int flags) {
#ifdef IRPATCH_HAVE_OPENAT2
    if (g_mode == BeneathMode::Kernel && KernelResolvesBeneath()) return KernelOpen(dir, path, flags);
#endif
    return WalkOpen(dir, path, flags);
}

}  // namespace standin
