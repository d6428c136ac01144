// Stand-in backend only: the stand-in's registry as a tree in memory -- keys, their
// values, and the index that finds either by name.
//
// The tree has six roots (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
// HKEY_USERS, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA). Each root is an independent tree:
// the stand-in does not alias HKEY_CLASSES_ROOT to HKEY_LOCAL_MACHINE\Software\Classes
// nor HKEY_CURRENT_USER to a key under HKEY_USERS, so a machine folder holds exactly
// what was written to each root and nothing appears twice in registry.reg.
//
// Order: values and subkeys enumerate in insertion order -- file order for what was
// loaded, then creation order. Enumeration by index is O(1) and lookup by name O(1)
// on average (a hash of the case-folded name, regnames.h), so keys with tens of
// thousands of values stay fast. Deleting a subkey is O(number of siblings).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/standin/regstore/regnames.h"

namespace standin {

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
    const RegKey& SubkeyAt(std::size_t index) const { return *subkeys_[index]; }
    RegKey& SubkeyAt(std::size_t index) { return *subkeys_[index]; }
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
    // ends, Windows-1252 bytes as they are. Made by the writer (regwrite.cpp), the
    // same text SaveRegFile writes.
    std::string ToText() const;

private:
    std::unique_ptr<RegKey> roots_[kRootCount];
};

// ---- NameIndex template members ------------------------------------------------------
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
