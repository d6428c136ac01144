// cRegistry: the program's way to change the registry.
//
// An instance addresses one place in the registry: a root (ClassKey), a key path
// below it (SectionKey) and a value name (ValueKey). The addressing setters only
// store; assigning a typed value (StringValue, DWordValue, BinaryValue) writes it at
// once to root\SectionKey\ValueKey, creating the key path when it is missing. No key
// handle stays open between calls.
//
// The read side (KeyExists, Value, EnumerateValues, EnumerateSections) takes its
// address from the same properties at the moment of each call, writes nothing, shows
// nothing and raises nothing for a missing key or value: failures read as false, as
// the Default text, or as an empty listing. Values are found by walking the key's
// values from index 0 with 255-byte buffers, never by a direct query, so a value
// hidden behind an entry that does not fit those buffers is not found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Raises the subscript error (9) for an entry number outside a listing.
[[noreturn]] void ThrowListingSubscript();

// What a listing hands back: entries counted from 1, entry n being the platform's
// enumeration index n - 1. The listing that fills it owns its contents: it empties
// the list first and appends one entry per item listed.
template <class Entry>
class cRegistryListing {
public:
    std::size_t Size() const { return entries_.size(); }
    bool Empty() const { return entries_.empty(); }
    // Entry n, 1 <= n <= Size(); any other n raises the subscript error (9).
    const Entry& operator()(std::size_t n) const;
    typename std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
    typename std::vector<Entry>::const_iterator end() const { return entries_.end(); }

private:
    friend class cRegistry;
    std::vector<Entry> entries_;
};

// One value listed by EnumerateValues: its name and its data, one character per data
// byte, every byte the platform reported (a REG_SZ keeps its terminating NUL).
struct cRegistryValueEntry {
    std::wstring Name;
    std::wstring Data;
    bool operator==(const cRegistryValueEntry& o) const { return Name == o.Name && Data == o.Data; }
};

class cRegistry {
public:
    using ValueListing = cRegistryListing<cRegistryValueEntry>;
    using SectionListing = cRegistryListing<std::wstring>;

    // Error number raised by the write side; its source is "<exe name>.cRegistry".
    static constexpr long kErrorNumber = 26001;

    std::int32_t ClassKey() const { return root_; }
    void ClassKey(std::int32_t lKey) { root_ = lKey; }

    std::wstring SectionKey() const { return section_; }
    void SectionKey(const std::wstring& sSectionKey) { section_ = sSectionKey; }

    std::wstring ValueKey() const { return valueName_; }
    void ValueKey(const std::wstring& sValueKey) { valueName_ = sValueKey; }

    // Whether root\SectionKey can be opened for reading. ValueKey plays no part.
    bool KeyExists() const;

    // The text a read answers for a value it does not find.
    std::wstring Default() const { return default_; }
    void Default(const std::wstring& sDefault) { default_ = sDefault; }

    // The data of value ValueKey in root\SectionKey, without its last byte (for a
    // REG_SZ, its terminator), one character per byte. The name must match exactly,
    // letter case included. Not found: the Default text as it is at this moment.
    std::wstring Value() const;

    // The three writers below convert SectionKey and ValueKey to the ANSI code page
    // first: a character the code page cannot hold is the run-time failure 5, before
    // any key is created (it would otherwise become '?' and address another key).

    // Write a REG_SZ: the text in the ANSI code page and one zero byte. Raises 26001
    // when the write fails; a run-time failure inside it (5 included, for the
    // address or the text) is first shown in the "ERROR #" box.
    void StringValue(const std::wstring& sValue);
    // Write a REG_DWORD: 4 bytes, little-endian, two's complement. Raises 26001 when
    // the platform refuses, 5 for an address outside the code page.
    void DWordValue(std::int32_t sDWordValue);
    // Write a REG_BINARY of one byte per character. Raises 26001 when the platform
    // refuses, 5 for an address outside the code page; raises 9 (empty text) or 6 (a
    // character without a one-byte ANSI code) after the key has been created and
    // before anything is written.
    void BinaryValue(const std::wstring& sBinaryValue);

    // Deletes the key sKey below the root (not below SectionKey) with all its subkeys.
    // On success SectionKey becomes empty; on failure raises 26001 and leaves it, and
    // raises 5, deleting nothing, for an sKey outside the code page.
    void DeleteKey(const std::wstring& sKey);

    // Lists the values of root\SectionKey in enumeration order: sKeys(n) holds the
    // n-th value's name and data, iKeyCount their number. Both start empty/0; the
    // walk ends silently at the first entry that does not fit 255 bytes of name
    // (terminator included) or of data, and at the end. A 32,768th entry raises the
    // overflow error (6) after closing the key; the 32,767 listed before it stay in
    // sKeys and iKeyCount.
    void EnumerateValues(ValueListing& sKeys, std::int16_t& iKeyCount) const;
    // Lists the names of the immediate subkeys of root\SectionKey, the same way.
    void EnumerateSections(SectionListing& sSect, std::int16_t& iSectCount) const;

    // Creates or opens root\SectionKey. Never raises and shows nothing.
    bool CreateKey();

private:
    bool WriteStringValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                          const std::wstring& sValue);
    bool WriteDWordValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                         std::int32_t lValue);
    bool WriteBinaryValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                          const std::wstring& sValue);
    bool FindValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                   std::wstring& sText) const;
    bool ProbeKey(std::int32_t lRoot, const std::wstring& sSection) const;
    bool CreateKeyPath(std::int32_t lRoot, const std::wstring& sSection);

    [[noreturn]] void RaiseSetFailed(const std::wstring& valueText) const;

    std::int32_t root_ = 0;
    std::wstring section_;
    std::wstring valueName_;
    std::wstring default_;
};

template <class Entry>
const Entry& cRegistryListing<Entry>::operator()(std::size_t n) const {
    if (n < 1 || n > entries_.size()) ThrowListingSubscript();
    return entries_[n - 1];
}
