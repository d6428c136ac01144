#include "support/temp_machine.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

TempFolder::TempFolder(const std::string& label, bool inMemory) {
    std::error_code ignored;
    const fs::path base = inMemory && fs::is_directory("/dev/shm", ignored) ? fs::path("/dev/shm")
                                                                             : fs::temp_directory_path();
    std::string pattern = (base / ("irpatch-" + label + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw fs::filesystem_error("cannot make a folder", base, std::error_code(errno, std::generic_category()));
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;  // a destructor does not throw; what is left is the host's to clean
    fs::remove_all(path_, ignored);
}

void MakeMachine(const std::string& folder, const std::string& registry) {
    fs::create_directories(fs::path(folder) / "drive_c" / "WINDOWS" / "SYSTEM");
    WriteHostFile(folder + "/registry.reg", registry);
}

void CopyMachine(const std::string& from, const std::string& folder) {
    fs::copy(from, folder, fs::copy_options::recursive);
}

std::string OemFile(const std::string& folder) { return folder + "/drive_c/WINDOWS/SYSTEM/OEMINFO.INI"; }

void WriteHostFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}
