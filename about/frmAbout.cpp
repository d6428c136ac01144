#include "about/frmAbout.h"

#include <exception>

#include "platform/app.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/keyhandle.h"
#include "platform/platform.h"

namespace {

using platform::BYTE;
using platform::DWORD;

// READ_CONTROL plus the six key rights (query, set, create subkey, enumerate,
// notify, create link): the mask this lookup has always opened with. It is not a
// read-only mask, so a key the user may read but not change cannot be opened; that
// is kept, since a read-only open would change which keys the lookup finds.
constexpr platform::REGSAM kLookupAccess = platform::READ_CONTROL | platform::KEY_QUERY_VALUE |
                                           platform::KEY_SET_VALUE | platform::KEY_CREATE_SUB_KEY |
                                           platform::KEY_ENUMERATE_SUB_KEYS | platform::KEY_NOTIFY |
                                           platform::KEY_CREATE_LINK;
static_assert(kLookupAccess == 0x2003F, "lookup access mask");

constexpr DWORD kBufferSize = 1024;

const wchar_t kSysInfoKey[] = L"SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
const wchar_t kSysInfoValue[] = L"PATH";
const wchar_t kSysInfoLocationKey[] = L"SOFTWARE\\Microsoft\\Shared Tools Location";
const wchar_t kSysInfoLocationValue[] = L"MSINFO";
const wchar_t kSysInfoExe[] = L"\\MSINFO32.EXE";
const wchar_t kSysInfoUnavailable[] = L"System Information Is Unavailable At This Time";

// A REG_DWORD's data, least significant byte first, as decimal text. The bytes are
// written from the last to the first as two hexadecimal digits each and that digit
// string is read as one number, so a top byte of 0 dropped by the terminator rule
// changes nothing and no bytes at all read as 0.
//
// The number is unsigned: REG_DWORD is an unsigned type, the registry editor shows
// 0xFFFFFFFF as 4294967295, and no caller of the lookup does arithmetic with the
// text, so a minus sign would only misreport what is stored. Data with more than
// four significant bytes is no 32-bit number; it raises the overflow failure rather
// than being cut to its low bytes.
std::wstring DwordText(const std::string& data) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (auto it = data.rbegin(); it != data.rend(); ++it) {
        const auto byte = static_cast<unsigned char>(*it);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    const std::size_t first = hex.find_first_not_of('0');
    if (first != std::string::npos && hex.size() - first > 8) throw RuntimeError(RuntimeErr::Overflow);
    std::uint32_t value = 0;
    for (std::size_t i = first == std::string::npos ? hex.size() : first; i < hex.size(); ++i) {
        const char c = hex[i];
        const std::uint32_t digit = static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
        value = value * 16u + digit;
    }
    return DecimalText(value);
}

// A normal file at `path`: present, and neither a folder nor hidden nor a system
// file. Wildcards never match here: the attribute query takes one name only.
bool NormalFileExists(const std::wstring& path) {
    std::string ansi;
    if (!platform::ToAnsi(path, ansi)) return false;
    const DWORD attributes = platform::GetFileAttributesA(ansi.c_str());
    if (attributes == platform::INVALID_FILE_ATTRIBUTES) return false;
    const DWORD excluded =
        platform::FILE_ATTRIBUTE_HIDDEN | platform::FILE_ATTRIBUTE_SYSTEM | platform::FILE_ATTRIBUTE_DIRECTORY;
    return (attributes & excluded) == 0;
}

// Starts the program at `path` in a normal window with the focus, without waiting.
bool StartProgram(const std::wstring& path) {
    std::string ansi;
    // A character the code page cannot hold would become '?', a different name.
    if (!platform::ToAnsi(path, ansi)) return false;
    DWORD processId = 0;
    return platform::StartProcessA(ansi.c_str(), platform::SW_SHOWNORMAL, &processId) == platform::ERROR_SUCCESS;
}

}  // namespace

frmAbout::frmAbout() : window_(*this) {}
frmAbout::~frmAbout() = default;

bool frmAbout::Load() {
    if (window_.IsOpen()) return true;
    if (!window_.Create()) return false;
    Form_Load();
    return true;
}

void frmAbout::Show() {
    if (!Load()) return;
    window_.RunModal();
}

void frmAbout::Unload() { window_.Destroy(); }

bool frmAbout::Loaded() const { return window_.IsOpen(); }

std::wstring frmAbout::Text(AboutPart part) const { return window_.Text(part); }

void frmAbout::Form_Load() {
    window_.SetText(AboutPart::Caption, L"About " + app::Title());
    window_.SetText(AboutPart::lblVersion, L"Version " + DecimalText(app::VersionMajor()) + L"." +
                                               DecimalText(app::VersionMinor()) + L"." +
                                               DecimalText(app::VersionRevision()));
    window_.SetText(AboutPart::lblTitle, app::Title());
}

void frmAbout::cmdOK_Click() { Unload(); }

void frmAbout::OnOK() { cmdOK_Click(); }
void frmAbout::OnClose() { Unload(); }

void frmAbout::StartSysInfo() {
    // One text for both lookups: the second starts from what the first left in it.
    std::wstring sysInfoPath;
    try {
        const std::int32_t root = static_cast<std::int32_t>(platform::HKEY_LOCAL_MACHINE);
        bool found = GetKeyValue(root, kSysInfoKey, kSysInfoValue, sysInfoPath);
        if (!found && GetKeyValue(root, kSysInfoLocationKey, kSysInfoLocationValue, sysInfoPath) &&
            NormalFileExists(sysInfoPath + kSysInfoExe)) {
            sysInfoPath += kSysInfoExe;
            found = true;
        }
        // The path read from PATH is started as it is: the start itself is its test.
        if (found && StartProgram(sysInfoPath)) return;
    } catch (const std::exception&) {
        // A raised lookup failure ends like every other: in the one message below.
    }
    app::MsgBox(kSysInfoUnavailable, platform::MB_OK, app::Title());
}

bool frmAbout::GetKeyValue(const std::int32_t& KeyRoot, const std::wstring& KeyName, const std::wstring& SubKeyRef,
                           std::wstring& KeyVal) {
    // A name the code page cannot hold would become '?' and reach another key or value:
    // it names nothing, as on cRegistry's read side, and no registry call is made.
    std::string keyName, valueName;
    if (!platform::ToAnsi(KeyName, keyName) || !platform::ToAnsi(SubKeyRef, valueName)) {
        KeyVal.clear();
        return false;
    }

    RegKeyHandle key;
    if (platform::RegOpenKeyExA(platform::RootFromLong(KeyRoot), keyName.c_str(), 0, kLookupAccess, key.Receive()) !=
        platform::ERROR_SUCCESS) {
        key.Forget();
        KeyVal.clear();
        // Closed also after the failed open, with the null handle; the refusal of
        // that close is expected and ignored.
        key.Close();
        return false;
    }

    // A raised error below travels on after the owner has closed the key.
    bool result = false;
    BYTE buffer[kBufferSize] = {};
    DWORD size = kBufferSize;
    DWORD type = platform::REG_NONE;
    if (platform::RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, &type, buffer, &size) !=
            platform::ERROR_SUCCESS ||
        size > kBufferSize) {
        KeyVal.clear();
    } else {
        // No data has no last byte to examine: the caller gets the failure.
        if (size == 0) throw RuntimeError(RuntimeErr::InvalidCall);
        // Only the last byte is examined: one terminator is dropped, a second stays.
        const DWORD length = buffer[size - 1] == 0 ? size - 1 : size;
        const std::string data(reinterpret_cast<const char*>(buffer), length);
        if (type == platform::REG_SZ)
            KeyVal = platform::FromAnsi(data);
        else if (type == platform::REG_DWORD)
            KeyVal = DwordText(data);
        result = true;
    }
    key.Close();
    return result;
}
