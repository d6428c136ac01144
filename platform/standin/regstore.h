// The stand-in's registry: an in-memory key tree and its REGEDIT4 file form.
//
// The tree has six roots (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
// HKEY_USERS, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA). Each root is an independent tree:
// the stand-in does not alias HKEY_CLASSES_ROOT to HKEY_LOCAL_MACHINE\Software\Classes
// nor HKEY_CURRENT_USER to a key under HKEY_USERS, so a machine folder holds exactly
// what was written to each root and nothing appears twice in registry.reg.
//
// Names of keys and values are byte strings in Windows-1252. They are compared
// without regard to case (ASCII letters and the Windows-1252 letters with a case
// pair) and keep the case they were first written with.
//
// Order: values and subkeys enumerate in insertion order -- file order for what was
// loaded, then creation order. Enumeration by index is O(1) and lookup by name O(1)
// on average (a hash of the case-folded name), so keys with tens of thousands of
// values stay fast. Deleting a subkey is O(number of siblings).
//
// This file is part of the Linux stand-in only; it uses POSIX file calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/standin/fd.h"

namespace standin {

// ---- Names ----------------------------------------------------------------------------
// Case folding of one Windows-1252 byte: upper-case letters map to their lower-case
// partner, every other byte to itself.
unsigned char FoldByte(unsigned char c);
bool NamesEqual(std::string_view a, std::string_view b);
// Hash of the case-folded name: equal names (NamesEqual) hash equal.
std::size_t NameHash(std::string_view name);

// Longest key name component, in bytes, and deepest key below a root; the same limits
// Windows puts on its registry. The depth limit also keeps every walk of the tree
// (which recurses) far from the stack's end whatever a file holds.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxKeyDepth = 512;

// A name the file form can carry: no NUL, CR or LF (a line break would end the
// section header or value line early; NUL cannot pass a C string boundary).
bool NameIsStorable(std::string_view name);

// ---- Roots ------------------------------------------------------------------------------
enum class RootId { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig, DynData };
constexpr int kRootCount = 6;

// "HKEY_LOCAL_MACHINE", ...
const char* RootName(RootId root);
// Exact root names only (compared without regard to case); no abbreviations.
bool RootFromName(std::string_view name, RootId& root);
// The predefined handle values of platform.h.
bool RootFromHandle(platform::HKEY handle, RootId& root);
platform::HKEY RootHandle(RootId root);

// ---- Tree -------------------------------------------------------------------------------
struct RegValue {
    std::string name;  // empty for the key's unnamed (default) value
    platform::DWORD type = platform::REG_NONE;
    std::vector<std::uint8_t> data;
};

// Finds entries by case-folded name in O(1) on average. The entries stay with their
// owner, which passes their count and a function giving the i-th name. Sets of up to
// kScanLimit entries (most keys) are scanned and cost no memory at all; a hash table
// is built once a set grows past that.
class NameIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr std::size_t kScanLimit = 8;

    template <class NameAt>
    std::size_t Find(std::string_view name, std::size_t count, const NameAt& nameAt) const;
    // After one entry was added at the end; `count` includes it.
    template <class NameAt>
    void Appended(std::size_t count, const NameAt& nameAt);
    // After any other change (removals and insertions shift the indexes).
    template <class NameAt>
    void Reindex(std::size_t count, const NameAt& nameAt);

private:
    struct Table {
        std::vector<std::size_t> hashes;
        std::vector<std::uint32_t> slots;  // index + 1; 0 is an empty slot
    };
    void AppendHash(std::size_t hash);
    void BuildSlots();
    void Place(std::size_t index);

    std::unique_ptr<Table> table_;
};

class RegKey {
public:
    RegKey(std::string name, RegKey* parent);
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey();

    const std::string& Name() const { return name_; }
    RegKey* Parent() const { return parent_; }
    // Root's name, then each key's name, separated by backslashes:
    // "HKEY_LOCAL_MACHINE\Enum\INFRARED".
    std::string FullPath() const;
    // 0 for a root, 1 for a key directly below a root, ...
    std::size_t Depth() const;
    bool IsWithin(const RegKey& ancestor) const;  // true for the key itself too

    // Values, in enumeration order.
    std::size_t ValueCount() const { return values_.size(); }
    const RegValue& ValueAt(std::size_t index) const { return values_[index]; }
    RegValue& ValueAt(std::size_t index) { return values_[index]; }
    std::size_t FindValue(std::string_view name) const;  // NameIndex::npos when absent
    // Appends a value. The caller has checked that no value of that name exists.
    RegValue& AppendValue(std::string_view name, platform::DWORD type,
                          std::vector<std::uint8_t> data);
    void RemoveLastValue();

    // Subkeys, in enumeration order.
    std::size_t SubkeyCount() const { return subkeys_.size(); }
    RegKey& SubkeyAt(std::size_t index) const { return *subkeys_[index]; }
    std::size_t FindSubkey(std::string_view name) const;  // NameIndex::npos when absent
    // Appends a new empty subkey. The caller has checked that none of that name exists.
    RegKey& AppendSubkey(std::string_view name);
    // Takes a subkey with its subtree out of the tree, and puts one back at the place
    // it had: together they undo a delete exactly, order included.
    std::unique_ptr<RegKey> DetachSubkey(std::size_t index);
    void InsertSubkey(std::size_t index, std::unique_ptr<RegKey> key);

    bool IsEmpty() const { return values_.empty() && subkeys_.empty(); }

    // Room for `count` values in all, so that appending them does not move the list.
    void ReserveValues(std::size_t count);
    // Gives back room the value list holds beyond its values.
    void ShrinkValues();

private:
    std::string name_;
    RegKey* parent_;
    std::vector<RegValue> values_;
    NameIndex valueIndex_;
    std::vector<std::unique_ptr<RegKey>> subkeys_;
    NameIndex subkeyIndex_;
};

class RegStore {
public:
    RegStore();
    RegKey& Root(RootId root) { return *roots_[static_cast<int>(root)]; }
    const RegKey& Root(RootId root) const { return *roots_[static_cast<int>(root)]; }

    // The REGEDIT4 text of the whole tree: "REGEDIT4", a blank line, then one section
    // per key in pre-order (subkeys in enumeration order), each followed by a blank
    // line. A root gets a section only when it holds a value or a subkey. CRLF line
    // ends, Windows-1252 bytes as they are.
    std::string ToText() const;

private:
    std::unique_ptr<RegKey> roots_[kRootCount];
};

// Splits a relative key path ("Enum\INFRARED\Framer") into its components.
// Returns ERROR_SUCCESS, ERROR_BAD_PATHNAME for a leading backslash or an empty
// component (a trailing or doubled backslash), or ERROR_INVALID_PARAMETER for a
// component longer than kMaxKeyNameLength or holding a byte NameIsStorable refuses.
// An empty path gives no components.
platform::LONG SplitKeyPath(std::string_view path, std::vector<std::string_view>& parts);

// ---- File form --------------------------------------------------------------------------
// Parses REGEDIT4 text into `store` (which should be empty; sections naming an existing
// key merge into it). On failure returns false and a message
// "<fileName>, line <n>: <what is wrong>"; `store` is then partly filled and should be
// dropped. Comment lines (first non-blank character ';') and blank lines are skipped;
// LF alone is accepted as a line end. Refused as damaged: any NUL byte, and a value
// on the last line without a line end (a cut file). Never reads outside
// [text, text + size).
bool ParseRegText(const char* text, std::size_t size, const std::string& fileName, RegStore& store,
                  std::string& error);

// A file by its name in a folder held open. Whatever the store opens, creates,
// renames or flushes for it is reached from `dir` in one step, never by a path again
// and never through a link: a link in the file's place is refused. `shown` names the
// file in messages.
struct FolderFile {
    int dir;
    std::string name;
    std::string shown;
};

// Reads and parses a whole file. The file is only read, `chunkSize` bytes at a time
// (the buffer grows only to hold a longer line), so the whole file is never in memory;
// the result, error messages included, is the same as ParseRegText on its whole text.
// Only a regular file is read; a link, a folder or a named pipe is refused at once.
constexpr std::size_t kLoadChunkSize = 128 * 1024;
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
// fault point (standin.h; the status is the errno to fail with): SaveTempFile,
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

// ---- NameIndex template member -------------------------------------------------------
template <class NameAt>
std::size_t NameIndex::Find(std::string_view name, std::size_t count, const NameAt& nameAt) const {
    if (!table_) {
        for (std::size_t i = 0; i < count; ++i) {
            if (NamesEqual(nameAt(i), name)) return i;
        }
        return npos;
    }
    const std::size_t hash = NameHash(name);
    const std::vector<std::size_t>& hashes = table_->hashes;
    const std::vector<std::uint32_t>& slots = table_->slots;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
        const std::uint32_t slot = slots[s];
        if (slot == 0) return npos;
        const std::size_t i = slot - 1;
        if (hashes[i] == hash && NamesEqual(nameAt(i), name)) return i;
    }
}

template <class NameAt>
void NameIndex::Appended(std::size_t count, const NameAt& nameAt) {
    if (count <= kScanLimit) return;
    if (!table_) {
        Reindex(count, nameAt);
        return;
    }
    AppendHash(NameHash(nameAt(count - 1)));
}

template <class NameAt>
void NameIndex::Reindex(std::size_t count, const NameAt& nameAt) {
    if (count <= kScanLimit) {
        table_.reset();
        return;
    }
    if (!table_) table_ = std::make_unique<Table>();
    table_->hashes.resize(count);
    for (std::size_t i = 0; i < count; ++i) table_->hashes[i] = NameHash(nameAt(i));
    BuildSlots();
}

}  // namespace standin
