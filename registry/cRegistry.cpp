#include "registry/cRegistry.h"

#include <new>

#include "platform/app.h"
#include "platform/errors.h"
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
LONG CreateOrOpenKey(std::int32_t root, const std::string& section, HKEY& hKey) {
    SECURITY_ATTRIBUTES sa{};
    DWORD disposition = 0;
    constexpr REGSAM kAccess =
        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK;
    return RegCreateKeyExA(RootFromLong(root), section.c_str(), 0, "", REG_OPTION_NON_VOLATILE, kAccess, &sa, &hKey,
                           &disposition);
}

// The common frame of the three writers: open or create the key, set the value,
// close. The create's result is deliberately not examined: when it fails the handle
// stays 0 and the set fails on it. The close happens on every path, also with the
// 0 handle.
template <typename MakeData>
bool WriteValue(std::int32_t root, const std::wstring& section, const std::wstring& name, DWORD type,
                MakeData makeData) {
    std::string ansiSection = AnsiName(section);
    std::string ansiName = AnsiName(name);
    HKEY hKey = 0;
    CreateOrOpenKey(root, ansiSection, hKey);
    std::string data;
    try {
        data = makeData();
    } catch (...) {
        RegCloseKey(hKey);
        throw;
    }
    LONG result = RegSetValueExA(hKey, ansiName.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size()));
    RegCloseKey(hKey);
    return result == ERROR_SUCCESS;
}

}  // namespace

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

bool cRegistry::CreateKeyPath(std::int32_t lRoot, const std::wstring& sSection) {
    std::string ansiSection;
    if (!ToAnsi(sSection, ansiSection)) return false;
    HKEY hKey = 0;
    if (CreateOrOpenKey(lRoot, ansiSection, hKey) != ERROR_SUCCESS) return false;
    RegCloseKey(hKey);
    return true;
}

void cRegistry::RaiseSetFailed(const std::wstring& valueText) const {
    throw RaisedError(kErrorNumber, AppExeName() + L".cRegistry",
                      L"Failed to set registry value Key: '" + std::to_wstring(root_) + L"',Section: '" + section_ +
                          L"',Key: '" + valueName_ + L"' to value: '" + valueText + L"'");
}

void cRegistry::StringValue(const std::wstring& sValue) {
    if (!WriteStringValue(root_, section_, valueName_, sValue)) RaiseSetFailed(sValue);
}

void cRegistry::DWordValue(std::int32_t sDWordValue) {
    if (!WriteDWordValue(root_, section_, valueName_, sDWordValue)) RaiseSetFailed(std::to_wstring(sDWordValue));
}

void cRegistry::BinaryValue(const std::wstring& sBinaryValue) {
    if (!WriteBinaryValue(root_, section_, valueName_, sBinaryValue)) RaiseSetFailed(sBinaryValue);
}

void cRegistry::DeleteKey(const std::wstring& sKey) {
    if (RegDeleteKeyA(RootFromLong(root_), AnsiName(sKey).c_str()) != ERROR_SUCCESS)
        throw RaisedError(kErrorNumber, AppExeName() + L".cRegistry", L"Failed to delete registry Key: '" + sKey + L"'");
    section_.clear();
}

bool cRegistry::CreateKey() { return CreateKeyPath(root_, section_); }
