// Stand-in backend only: opening host files without ever leaving a folder.
#pragma once

#include <string>

namespace standin {

// Opens `path` (host names separated by '/', relative) beneath the folder open as
// `dir`, resolving and opening in one step. Links on the way, the last component's
// included, are followed only while they stay beneath `dir`: a link with an absolute
// target (it names a host path, wherever that is), a ".." that would climb above
// `dir` and the kernel's magic links (/proc/self/fd/...) are refused with EXDEV or
// ELOOP. No step is looked up twice by name, so a link swapped in while the path is
// resolved is judged like any other. `flags` are open(2) flags (O_CLOEXEC is added);
// nothing is created. Returns the descriptor, or -1 with errno.
int OpenBeneath(int dir, const std::string& path, int flags);

// How OpenBeneath resolves: with the kernel's openat2(RESOLVE_BENEATH |
// RESOLVE_NO_MAGICLINKS), where the kernel (Linux 5.6 on) and the system's filters
// let it through, or else by a walk from `dir` one component at a time, each opened
// with O_NOFOLLOW and each link read and followed by hand. Kernel is the default and
// falls back to Walk where openat2 is missing; tests run both.
enum class BeneathMode { Kernel, Walk };
void SetBeneathMode(BeneathMode mode);
bool KernelResolvesBeneath();

}  // namespace standin
