// Stand-in backend only: the registry's key tree and the name index of its keys
// (regtree.h).
#include "platform/standin/regstore/regtree.h"

#include <utility>

namespace standin {

// ---- NameIndex ----------------------------------------------------------------------------

void NameIndex::Place(std::size_t index) {
    std::vector<std::uint32_t>& slots = table_->slots;
    const std::size_t mask = slots.size() - 1;
    std::size_t s = table_->hashes[index] & mask;
    while (slots[s] != 0) s = (s + 1) & mask;
    slots[s] = static_cast<std::uint32_t>(index + 1);
}

void NameIndex::BuildSlots() {
    const std::size_t count = table_->hashes.size();
    std::size_t capacity = 16;
    while (capacity < count * 4) capacity *= 2;
    table_->slots.assign(capacity, 0);
    for (std::size_t i = 0; i < count; ++i) Place(i);
}

void NameIndex::AppendHash(std::size_t hash) {
    table_->hashes.push_back(hash);
    // Keep the load at or under one half so probe runs stay short.
    if (table_->hashes.size() * 2 > table_->slots.size()) {
        BuildSlots();
    } else {
        Place(table_->hashes.size() - 1);
    }
}

// ---- RegKey -------------------------------------------------------------------------------

RegKey::RegKey(std::string name, RegKey* parent) : name_(std::move(name)), parent_(parent) {}

RegKey::~RegKey() = default;

std::string RegKey::FullPath() const {
    std::vector<const RegKey*> chain;
    std::size_t length = 0;
    for (const RegKey* k = this; k != nullptr; k = k->parent_) {
        chain.push_back(k);
        length += k->name_.size() + 1;
    }
    std::string path;
    path.reserve(length);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty()) path += '\\';
        path += (*it)->name_;
    }
    return path;
}

std::size_t RegKey::Depth() const {
    std::size_t depth = 0;
    for (const RegKey* k = parent_; k != nullptr; k = k->parent_) ++depth;
    return depth;
}

bool RegKey::IsWithin(const RegKey& ancestor) const {
    for (const RegKey* k = this; k != nullptr; k = k->parent_) {
        if (k == &ancestor) return true;
    }
    return false;
}

namespace {

// The i-th name of a key's values or subkeys, for NameIndex.
struct ValueNames {
    const std::vector<RegValue>& values;
    std::string_view operator()(std::size_t i) const { return values[i].name; }
};
struct SubkeyNames {
    const std::vector<std::unique_ptr<RegKey>>& subkeys;
    std::string_view operator()(std::size_t i) const { return subkeys[i]->Name(); }
};

}  // namespace

std::size_t RegKey::FindValue(std::string_view name) const {
    return valueIndex_.Find(name, values_.size(), ValueNames{values_});
}

RegValue& RegKey::AppendValue(std::string_view name, platform::DWORD type,
                              std::vector<std::uint8_t> data) {
    values_.push_back(RegValue{std::string(name), type, std::move(data)});
    valueIndex_.Appended(values_.size(), ValueNames{values_});
    return values_.back();
}

void RegKey::RemoveLastValue() {
    values_.pop_back();
    valueIndex_.Reindex(values_.size(), ValueNames{values_});
}

void RegKey::ReserveValues(std::size_t count) { values_.reserve(count); }

void RegKey::ShrinkValues() {
    if (values_.capacity() > values_.size()) values_.shrink_to_fit();
}

std::size_t RegKey::FindSubkey(std::string_view name) const {
    return subkeyIndex_.Find(name, subkeys_.size(), SubkeyNames{subkeys_});
}

RegKey& RegKey::AppendSubkey(std::string_view name) {
    subkeys_.push_back(std::make_unique<RegKey>(std::string(name), this));
    subkeyIndex_.Appended(subkeys_.size(), SubkeyNames{subkeys_});
    return *subkeys_.back();
}

std::unique_ptr<RegKey> RegKey::DetachSubkey(std::size_t index) {
    std::unique_ptr<RegKey> key = std::move(subkeys_[index]);
    subkeys_.erase(subkeys_.begin() + static_cast<std::ptrdiff_t>(index));
    subkeyIndex_.Reindex(subkeys_.size(), SubkeyNames{subkeys_});
    return key;
}

void RegKey::InsertSubkey(std::size_t index, std::unique_ptr<RegKey> key) {
    key->parent_ = this;
    subkeys_.insert(subkeys_.begin() + static_cast<std::ptrdiff_t>(index), std::move(key));
    subkeyIndex_.Reindex(subkeys_.size(), SubkeyNames{subkeys_});
}

RegStore::RegStore() {
    for (int i = 0; i < kRootCount; ++i) {
        roots_[i] = std::make_unique<RegKey>(RootName(static_cast<RootId>(i)), nullptr);
    }
}

}  // namespace standin
