// cRegistry: the program's way to change the registry.
//
// An instance addresses one place in the registry: a root (ClassKey), a key path
// below it (SectionKey) and a value name (ValueKey). The addressing setters only
// store; assigning a typed value (StringValue, DWordValue, BinaryValue) writes it at
// once to root\SectionKey\ValueKey, creating the key path when it is missing. No key
// handle stays open between calls.
#pragma once

#include <cstdint>
#include <string>

class cRegistry {
public:
    // Error number raised by the write side; its source is "<exe name>.cRegistry".
    static constexpr long kErrorNumber = 26001;

    std::int32_t ClassKey() const { return root_; }
    void ClassKey(std::int32_t lKey) { root_ = lKey; }

    std::wstring SectionKey() const { return section_; }
    void SectionKey(const std::wstring& sSectionKey) { section_ = sSectionKey; }

    std::wstring ValueKey() const { return valueName_; }
    void ValueKey(const std::wstring& sValueKey) { valueName_ = sValueKey; }

    // The text a read answers for a value it does not find.
    std::wstring Default() const { return default_; }
    void Default(const std::wstring& sDefault) { default_ = sDefault; }

    // Write a REG_SZ: the text in the ANSI code page and one zero byte. Raises 26001
    // when the write fails; a run-time failure inside it is first shown in the
    // "ERROR #" box.
    void StringValue(const std::wstring& sValue);
    // Write a REG_DWORD: 4 bytes, little-endian, two's complement. Raises 26001.
    void DWordValue(std::int32_t sDWordValue);
    // Write a REG_BINARY of one byte per character. Raises 26001 when the platform
    // refuses; raises 9 (empty text) or 6 (a character without a one-byte ANSI code)
    // after the key has been created and before anything is written.
    void BinaryValue(const std::wstring& sBinaryValue);

    // Deletes the key sKey below the root (not below SectionKey) with all its subkeys.
    // On success SectionKey becomes empty; on failure raises 26001 and leaves it.
    void DeleteKey(const std::wstring& sKey);

    // Creates or opens root\SectionKey. Never raises and shows nothing.
    bool CreateKey();

private:
    bool WriteStringValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                          const std::wstring& sValue);
    bool WriteDWordValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                         std::int32_t lValue);
    bool WriteBinaryValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                          const std::wstring& sValue);
    bool CreateKeyPath(std::int32_t lRoot, const std::wstring& sSection);

    [[noreturn]] void RaiseSetFailed(const std::wstring& valueText) const;

    std::int32_t root_ = 0;
    std::wstring section_;
    std::wstring valueName_;
    std::wstring default_;
};
