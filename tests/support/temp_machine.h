// Throwaway folders and stand-in machines on the Linux host, for the tests, the fuzz
// targets and the benchmarks alike; not part of the program. A failure throws
// (std::filesystem::filesystem_error or std::runtime_error): a test reports it, a fuzz
// target or a benchmark stops on it.
#pragma once

#include <string>

// A new, empty folder of its own below the host's temporary folder, named after
// `label` ("irpatch-<label>-XXXXXX"), or in /dev/shm where the host has it and
// `inMemory` asks for it (a fuzz target writes a file for every input). Removed with
// all it holds, links not followed, when its owner goes.
class TempFolder {
public:
    explicit TempFolder(const std::string& label, bool inMemory = false);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Makes `folder` a stand-in machine: drive C's folders down to WINDOWS/SYSTEM, and
// registry.reg holding `registry`. The OEM file is the caller's (OemFile).
void MakeMachine(const std::string& folder, const std::string& registry);
// Copies the machine folder `from` (one of examples/) into the empty `folder`.
void CopyMachine(const std::string& from, const std::string& folder);
// Where a machine's OEM file lies: drive C's Windows\System\Oeminfo.ini.
std::string OemFile(const std::string& folder);

// Replaces the file's content (creating it, mode 0644 less the umask).
void WriteHostFile(const std::string& path, const std::string& content);
