// Whole-file reads and writes on the host, for tests that look at a machine's files.
#pragma once

#include <string>
#include <vector>

#include <sys/resource.h>

#include "support/temp_machine.h"

// The file's bytes; empty when it cannot be read.
std::string ReadHostFile(const std::string& path);

// The names in a folder, without "." and "..".
std::vector<std::string> FolderEntries(const std::string& dir);

// While alive, this process (and what it starts) may not write files beyond `bytes`:
// a real failed write, which permissions cannot give when the tests run as root.
// SIGXFSZ is ignored meanwhile, so the write past the limit fails with EFBIG instead
// of killing the process.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes);
    ~ScopedFileSizeLimit();
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

private:
    struct rlimit old_ {};
    void (*oldHandler_)(int) = nullptr;
};
