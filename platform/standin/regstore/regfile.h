// Stand-in backend only: the registry's file form, REGEDIT4 -- reading it into a tree,
// and loading and saving registry.reg atomically.
//
// The text is what Windows 98's regedit exports: Windows-1252, CRLF line ends, a
// "REGEDIT4" line, then a [key] section header per key followed by its value lines.
// Reading goes through one chunked reader whether the text comes from a file or from
// memory (reglines.h); the grammar is in regread.cpp, the writer in regwrite.cpp, the
// files in regfile.cpp.
#pragma once

#include <cstddef>
#include <string>

#include "platform/standin/fd.h"
#include "platform/standin/regstore/regtree.h"

namespace standin {

// ---- Reading --------------------------------------------------------------------------
// The reader takes its text this many bytes at a time (the buffer grows only to hold
// a longer line), so a file is never whole in memory.
constexpr std::size_t kLoadChunkSize = 128 * 1024;

// Parses REGEDIT4 text into `store` (which should be empty; sections naming an existing
// key merge into it). On failure returns false and a message
// "<fileName>, line <n>: <what is wrong>"; `store` is then partly filled and should be
// dropped. Comment lines (first non-blank character ';') and blank lines are skipped;
// LF alone is accepted as a line end. Refused as damaged: any NUL byte (reported
// before any other fault, at its own line), and a value on the last line without a
// line end (a cut file). Never reads outside [text, text + size). The text goes
// through the same reader as a file's, `chunkSize` bytes at a time; the result does
// not depend on the chunk size.
bool ParseRegText(const char* text, std::size_t size, const std::string& fileName, RegStore& store,
                  std::string& error, std::size_t chunkSize = kLoadChunkSize);

// ---- Files --------------------------------------------------------------------------------
// A file by its name in a folder it holds open. Whatever the store opens, creates,
// renames or flushes for it is reached from `dir` in one step, never by a path again
// and never through a link: a link in the file's place is refused. `shown` names the
// file in messages.
struct FolderFile {
    Fd dir;
    std::string name;
    std::string shown;
};

// The folder of `path` opened (`dir` holds none when it cannot be opened, errno
// telling why), and the file's name in it; `path` is how it is shown.
FolderFile OpenFolderOf(const std::string& path);

// Reads and parses a whole file, as ParseRegText does its text: the result, error
// messages included, is the same. Only a regular file is read; a link, a folder or a
// named pipe is refused at once. A read that fails gives its own message.
bool LoadRegFile(const FolderFile& file, RegStore& store, std::string& error,
                 std::size_t chunkSize = kLoadChunkSize);
// The same for the file at `path` (its folder is opened first).
bool LoadRegFile(const std::string& path, RegStore& store, std::string& error,
                 std::size_t chunkSize = kLoadChunkSize);

// The text goes to the file through a buffer of this many bytes, never whole in memory.
constexpr std::size_t kSaveBufferSize = 64 * 1024;

// Writes store.ToText() to `file` atomically: a temporary file in the same folder
// (".<name>.XXXXXX") is given the old file's owner, group and mode (0644 when there
// is no old file), written and flushed to disk, renamed over the file, then the folder
// is flushed. On failure returns false with a message naming the file; the temporary
// file is removed and the file keeps its old content, except when `*replaced` comes
// back true: the rename happened and only the final flush of the folder failed, so
// the file already holds the new content. A temporary file that cannot be given the
// old owner and mode (a run without the right to) fails the save. Every step is a
// fault point (faults.h; the status is the errno to fail with): SaveTempFile,
// SaveWrite, SaveFlush, SaveRename, SaveFlushFolder.
bool SaveRegFile(const RegStore& store, const FolderFile& file, std::string& error,
                 bool* replaced = nullptr);
// The same for the file at `path` (its folder is opened first).
bool SaveRegFile(const RegStore& store, const std::string& path, std::string& error,
                 bool* replaced = nullptr);

// ---- Crash-safety checks ---------------------------------------------------------------
// The points inside SaveRegFile where a check may stop the process (the Linux build's
// IRPATCH_CRASH_AT_SAVE does, see machine.cpp), to show that a stop at any of them
// leaves `path` whole: the old file before the rename, the new one after it. With an
// observer set, the temporary file is written in two halves and the observer is told
// between them.
enum class SaveStage {
    TempPartlyWritten,  // half of the new text is in the temporary file
    TempComplete,       // the temporary file is written and flushed, not yet renamed
    Replaced,           // the rename is done, the folder not yet flushed
};
using SaveObserver = void (*)(SaveStage stage);
void SetSaveObserver(SaveObserver observer);  // nullptr (the default): none

}  // namespace standin
