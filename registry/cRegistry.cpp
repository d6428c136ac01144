#include "registry/cRegistry.h"

#include <limits>
#include <new>

#include "platform/app.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/keyhandle.h"
#include "platform/platform.h"

using namespace platform;

namespace {

// Key paths and value names in the ANSI code page. A character the code page cannot
// hold would silently become '?' and address another key, so it is a run-time
// failure (5) instead.
std::string AnsiName(const std::wstring& text) {
    std::string out;
    if (!ToAnsi(text, out)) throw RuntimeError(RuntimeErr::InvalidCall);
    return out;
}

// Every create of this class asks for the same thing: no class, non-volatile, the six
// key rights (0x3F, not KEY_ALL_ACCESS), a zero-filled SECURITY_ATTRIBUTES.
LONG CreateOrOpenKey(std::int32_t root, const std::string& section, RegKeyHandle& key) {
    SECURITY_ATTRIBUTES sa{};
    DWORD disposition = 0;
    constexpr REGSAM kAccess =
        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK;
    return RegCreateKeyExA(RootFromLong(root), section.c_str(), 0, "", REG_OPTION_NON_VOLATILE, kAccess, &sa,
                           key.Receive(), &disposition);
}

// The common frame of the three writers: open or create the key, set the value,
// close. The create's result is deliberately not examined: when it fails the handle
// stays 0 and the set fails on it, and the close below still happens, with the 0
// handle. An error raised while the data is made or inside the set leaves the close
// to the owner.
template <typename MakeData>
bool WriteValue(std::int32_t root, const std::wstring& section, const std::wstring& name, DWORD type,
                MakeData makeData) {
    std::string ansiSection = AnsiName(section);
    std::string ansiName = AnsiName(name);
    RegKeyHandle key;
    CreateOrOpenKey(root, ansiSection, key);
    const std::string data = makeData();
    LONG result = RegSetValueExA(key.Get(), ansiName.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size()));
    key.Close();
    return result == ERROR_SUCCESS;
}

// ---- Read side ----------------------------------------------------------------------

// Every buffer the read side hands to an enumeration: 255 bytes, not 256, so a name of
// 255 characters (which needs a 256th byte for its terminator) or more than 255 bytes
// of data does not fit and ends the walk with ERROR_MORE_DATA.
constexpr DWORD kReadBufferSize = 255;

// Opens root\section for reading with KEY_QUERY_VALUE alone (the subkey listing adds
// one right, see EnumerateSections). A path holding a character the ANSI code page
// cannot represent names no key that can exist: the conversion would put '?' in its
// place and reach another key, so the open is not tried and the key counts as absent.
// `key` holds the null handle unless the open succeeds.
LONG OpenForReading(std::int32_t root, const std::wstring& section, REGSAM access, RegKeyHandle& key) {
    std::string ansiSection;
    if (!ToAnsi(section, ansiSection)) return ERROR_FILE_NOT_FOUND;
    const LONG status = RegOpenKeyExA(RootFromLong(root), ansiSection.c_str(), 0, access, key.Receive());
    if (status != ERROR_SUCCESS) key.Forget();
    return status;
}

// One RegEnumValueA call with fresh buffers and both lengths set back to 255. A
// success whose reported lengths exceed the buffers would make us read past them; no
// correct registry layer does that, and such an answer ends the walk like any failure.
struct ValueRead {
    char name[kReadBufferSize] = {};
    BYTE data[kReadBufferSize] = {};
    DWORD nameLength = kReadBufferSize;
    DWORD dataLength = kReadBufferSize;

    LONG Next(HKEY hKey, DWORD index) {
        DWORD type = 0;  // received and never used: every type reads as its raw bytes
        LONG status = RegEnumValueA(hKey, index, name, &nameLength, nullptr, &type, data, &dataLength);
        if (status == ERROR_SUCCESS && (nameLength >= kReadBufferSize || dataLength > kReadBufferSize))
            status = ERROR_MORE_DATA;
        return status;
    }
    // Name and data back through the code page, one character per byte; the name is
    // compared in this form, so a wanted name holding a character the code page
    // cannot represent simply matches nothing.
    std::wstring Name() const { return FromAnsi(name, nameLength); }
    std::wstring Data(DWORD length) const { return FromAnsi(reinterpret_cast<const char*>(data), length); }
};

// A listing's count is a signed 16-bit number: one more than 32,767 raises the
// overflow error (6). The check comes before the entry is added, so the list and the
// count keep the 32,767 entries already listed.
void CheckRoomForOneMore(std::int16_t count) {
    if (count == std::numeric_limits<std::int16_t>::max()) throw RuntimeError(RuntimeErr::Overflow);
}

}  // namespace

void ThrowListingSubscript() { throw RuntimeError(RuntimeErr::SubscriptRange); }

bool cRegistry::WriteStringValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                                 const std::wstring& sValue) {
    long number = 0;
    std::wstring description;
    try {
        return WriteValue(lRoot, sSection, sName, REG_SZ, [&] {
            std::string data;
            if (!ToAnsi(sValue, data)) throw RuntimeError(RuntimeErr::InvalidCall);
            data += '\0';
            return data;
        });
    } catch (const RaisedError& e) {
        number = e.Number;
        description = e.Description;
    } catch (const std::bad_alloc&) {
        number = RuntimeErr::OutOfMemory;
        description = RuntimeErrorText(number);
    }
    // Only the string writer guards its body: the user sees what went wrong here,
    // and the setter then raises the registry error as for any refused write.
    app::MsgBox(L"ERROR #" + StrWithSign(number) + L" : " + description + L"\rPlease exit and try again.", MB_OK,
                app::Title());
    return false;
}

bool cRegistry::WriteDWordValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                                std::int32_t lValue) {
    return WriteValue(lRoot, sSection, sName, REG_DWORD, [lValue] {
        auto v = static_cast<std::uint32_t>(lValue);
        std::string data(4, '\0');
        for (int i = 0; i < 4; ++i) data[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return data;
    });
}

bool cRegistry::WriteBinaryValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                                 const std::wstring& sValue) {
    return WriteValue(lRoot, sSection, sName, REG_BINARY, [&sValue] {
        // One byte per character, embedded zeros included: the text is not
        // zero-terminated. An empty text has no first byte to hand over.
        if (sValue.empty()) throw RuntimeError(RuntimeErr::SubscriptRange);
        std::string data;
        data.reserve(sValue.size());
        for (wchar_t c : sValue) {
            std::string code;
            if (!ToAnsi(std::wstring(1, c), code) || code.size() != 1) throw RuntimeError(RuntimeErr::Overflow);
            data += code;
        }
        return data;
    });
}

bool cRegistry::FindValue(std::int32_t lRoot, const std::wstring& sSection, const std::wstring& sName,
                          std::wstring& sText) const {
    bool found = false;
    RegKeyHandle key;
    LONG status = OpenForReading(lRoot, sSection, KEY_QUERY_VALUE, key);
    for (DWORD index = 0; status == ERROR_SUCCESS && !found; ++index) {
        ValueRead entry;
        status = entry.Next(key.Get(), index);
        if (status == ERROR_SUCCESS && entry.Name() == sName) {
            // The data less its last byte: for a string as the string writer stores
            // it, the text without its terminator. A matching value of zero bytes has
            // no last byte to drop; it is there and holds nothing, so it reads as empty
            // text -- not as Default, which means "not found", and not as an error,
            // which this side never raises for what the registry holds.
            sText = entry.Data(entry.dataLength == 0 ? 0 : entry.dataLength - 1);
            found = true;
        }
    }
    // One close per call, also after a failed open: the handle is then 0 and the
    // platform answers ERROR_INVALID_HANDLE, which is ignored.
    key.Close();
    return found;
}

bool cRegistry::ProbeKey(std::int32_t lRoot, const std::wstring& sSection) const {
    RegKeyHandle key;
    if (OpenForReading(lRoot, sSection, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return false;
    key.Close();
    return true;
}

bool cRegistry::CreateKeyPath(std::int32_t lRoot, const std::wstring& sSection) {
    std::string ansiSection;
    if (!ToAnsi(sSection, ansiSection)) return false;
    RegKeyHandle key;
    if (CreateOrOpenKey(lRoot, ansiSection, key) != ERROR_SUCCESS) return false;
    key.Close();
    return true;
}

void cRegistry::RaiseSetFailed(const std::wstring& valueText) const {
    throw RaisedError(kErrorNumber, AppExeName() + L".cRegistry",
                      L"Failed to set registry value Key: '" + DecimalText(root_) + L"',Section: '" + section_ +
                          L"',Key: '" + valueName_ + L"' to value: '" + valueText + L"'");
}

void cRegistry::StringValue(const std::wstring& sValue) {
    if (!WriteStringValue(root_, section_, valueName_, sValue)) RaiseSetFailed(sValue);
}

void cRegistry::DWordValue(std::int32_t sDWordValue) {
    if (!WriteDWordValue(root_, section_, valueName_, sDWordValue)) RaiseSetFailed(DecimalText(sDWordValue));
}

void cRegistry::BinaryValue(const std::wstring& sBinaryValue) {
    if (!WriteBinaryValue(root_, section_, valueName_, sBinaryValue)) RaiseSetFailed(sBinaryValue);
}

void cRegistry::DeleteKey(const std::wstring& sKey) {
    if (RegDeleteKeyA(RootFromLong(root_), AnsiName(sKey).c_str()) != ERROR_SUCCESS)
        throw RaisedError(kErrorNumber, AppExeName() + L".cRegistry", L"Failed to delete registry Key: '" + sKey + L"'");
    section_.clear();
}

bool cRegistry::KeyExists() const { return ProbeKey(root_, section_); }

std::wstring cRegistry::Value() const {
    std::wstring text;
    if (FindValue(root_, section_, valueName_, text)) return text;
    return default_;
}

void cRegistry::EnumerateValues(ValueListing& sKeys, std::int16_t& iKeyCount) const {
    iKeyCount = 0;
    sKeys.entries_.clear();
    // The overflow, or running out of memory, may end the walk with a raised error:
    // the owner then closes the key, which the caller has no way to do.
    RegKeyHandle key;
    LONG status = OpenForReading(root_, section_, KEY_QUERY_VALUE, key);
    for (DWORD index = 0; status == ERROR_SUCCESS; ++index) {
        ValueRead entry;
        status = entry.Next(key.Get(), index);
        if (status != ERROR_SUCCESS) break;
        CheckRoomForOneMore(iKeyCount);
        // Every reported data byte, unlike Value: a string keeps its terminating NUL.
        sKeys.entries_.push_back(cRegistryValueEntry{entry.Name(), entry.Data(entry.dataLength)});
        ++iKeyCount;
    }
    // Once, also with the null handle of a failed open.
    key.Close();
}

void cRegistry::EnumerateSections(SectionListing& sSect, std::int16_t& iSectCount) const {
    iSectCount = 0;
    sSect.entries_.clear();
    // Windows 98 has no key security, so KEY_QUERY_VALUE alone lets RegEnumKeyA list
    // subkeys there. The NT family and Wine check rights: Wine 8 answers RegEnumKeyA
    // through such a handle with ERROR_ACCESS_DENIED, which would read as a key without
    // subkeys. So this one open also asks for KEY_ENUMERATE_SUB_KEYS, which Windows 98
    // ignores; every other open of the read side asks for KEY_QUERY_VALUE alone.
    RegKeyHandle key;
    LONG status = OpenForReading(root_, section_, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, key);
    for (DWORD index = 0; status == ERROR_SUCCESS; ++index) {
        char name[kReadBufferSize] = {};
        status = RegEnumKeyA(key.Get(), index, name, kReadBufferSize);
        if (status != ERROR_SUCCESS) break;
        CheckRoomForOneMore(iSectCount);
        // The name is what precedes the terminator; a layer that filled the whole
        // buffer without one gives at most 255 characters, never a read past it.
        std::size_t length = 0;
        while (length < kReadBufferSize && name[length] != '\0') ++length;
        sSect.entries_.push_back(FromAnsi(name, length));
        ++iSectCount;
    }
    key.Close();
}

bool cRegistry::CreateKey() { return CreateKeyPath(root_, section_); }
