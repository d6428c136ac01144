// Stand-in backend only, inside the registry store: registry.reg loaded and saved --
// opened from its folder's descriptor, never through a link, and replaced atomically.
#include "platform/standin/regstore/regfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/standin/faults.h"
#include "platform/standin/regstore/regtext.h"

namespace standin {
namespace {

// `path` without its last component: "." for a bare name, "/" for a file in the root.
std::string FolderPart(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string SystemError(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

// Opens the folder of `path` and hands the file in it to `use`; when the folder cannot
// be opened, false with `failure`, the path and the reason.
template <class Use>
bool InFolderOf(const std::string& path, const char* failure, std::string& error, Use&& use) {
    const FolderFile file = OpenFolderOf(path);
    if (!file.dir) {
        error = SystemError(failure, path, errno);
        return false;
    }
    return use(file);
}

// A temporary file beside the one a save replaces (".registry.reg.XXXXXX"), created
// afresh (never through a link or over an existing file) and removed again unless
// Kept once it has been renamed into place.
class TempFile {
public:
    explicit TempFile(const FolderFile& file) : dir_(file.dir.Get()) {
        static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        static std::mt19937 pick(std::random_device{}());
        error_ = InjectedErrno("SaveTempFile");
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
    if (::fstatat(file.dir.Get(), file.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0)
        return ::fchmod(fd, 0644) == 0 ? 0 : errno;
    // The owner first: a change of owner may clear the set-user-ID and set-group-ID bits.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 || ::fchmod(fd, old.st_mode & 07777) != 0) return errno;
    return 0;
}

// The host call `call` of a save, unless a fault for it is armed: 0, or the errno the
// call (or the fault) failed with.
template <class HostCall>
int SaveStep(const char* call, HostCall&& hostCall) {
    const int injected = InjectedErrno(call);
    if (injected != 0) return injected;
    return hostCall() == 0 ? 0 : errno;
}

SaveObserver g_saveObserver = nullptr;

}  // namespace

FolderFile OpenFolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return FolderFile{Fd(::open(FolderPart(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                      slash == std::string::npos ? path : path.substr(slash + 1), path};
}

bool LoadRegFile(const FolderFile& file, RegStore& store, std::string& error, std::size_t chunkSize) {
    // O_NONBLOCK: opening a named pipe for reading would otherwise wait for a writer
    // before the check below could refuse it. O_NOFOLLOW: the registry is the file in
    // the folder, not whatever a link there points at.
    Fd fd(::openat(file.dir.Get(), file.name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY));
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
    FdSource source(fd.Get());
    int readError = 0;
    const bool parsed =
        ReadRegText(source, static_cast<std::size_t>(st.st_size), chunkSize, file.shown, store, error, readError);
    if (readError != 0) {
        error = SystemError("cannot read the registry file", file.shown, readError);
        return false;
    }
    return parsed;
}

bool LoadRegFile(const std::string& path, RegStore& store, std::string& error, std::size_t chunkSize) {
    return InFolderOf(path, "cannot open the registry file", error,
                      [&](const FolderFile& file) { return LoadRegFile(file, store, error, chunkSize); });
}

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
        error = SystemError("cannot save the registry: cannot create a temporary file in", FolderPart(file.shown),
                            temp.CreateError());
        return false;
    }
    const int fd = temp.File().Get();
    if (const int err = KeepOwnerAndMode(file, fd)) return fail("giving the new file the old one's owner and mode", err);
    if (const int err = WriteRegText(store, fd, g_saveObserver)) return fail("writing the temporary file", err);
    if (const int err = SaveStep("SaveFlush", [&] { return ::fsync(fd); }))
        return fail("flushing the temporary file", err);
    if (g_saveObserver != nullptr) g_saveObserver(SaveStage::TempComplete);
    if (temp.File().Close() != 0) return fail("closing the temporary file", errno);
    if (const int err = SaveStep("SaveRename", [&] {
            return ::renameat(file.dir.Get(), temp.Name().c_str(), file.dir.Get(), file.name.c_str());
        }))
        return fail("replacing the old file", err);
    temp.Kept();
    if (replaced != nullptr) *replaced = true;
    if (g_saveObserver != nullptr) g_saveObserver(SaveStage::Replaced);

    // The rename is only durable once the folder itself is on disk. EINVAL: the file
    // system cannot flush folders.
    const int folder = file.dir.Get();
    if (const int err = SaveStep("SaveFlushFolder", [&] { return ::fsync(folder) != 0 && errno != EINVAL ? -1 : 0; })) {
        error = SystemError("cannot flush the folder of", file.shown, err);
        return false;
    }
    return true;
}

bool SaveRegFile(const RegStore& store, const std::string& path, std::string& error, bool* replaced) {
    if (replaced != nullptr) *replaced = false;
    return InFolderOf(path, "cannot save the registry: cannot open the folder of", error,
                      [&](const FolderFile& file) { return SaveRegFile(store, file, error, replaced); });
}

}  // namespace standin
