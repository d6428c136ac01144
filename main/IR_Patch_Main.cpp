#include "main/IR_Patch_Main.h"

#include <memory>

#include "identity/cKORU.h"
#include "platform/app.h"
#include "platform/platform.h"
#include "registry/cRegistry.h"

namespace IR_Patch_Main {

const wchar_t* const kExpectedModel = L"RDA-K314";
const wchar_t* const kExpectedLanguage = L"FRN";
const wchar_t* const kRefusalText = L"Se système n'est pas un RDA-K314(FR)!";
const wchar_t* const kRefusalTitle = L"Patch arreté";
const wchar_t* const kClosingText = L"Pour terminer l'installation, votre ordinateur va redémarer.";
const wchar_t* const kClosingTitle = L"Redémarage";
const wchar_t* const kDeletedKey = L"Enum\\BIOS";

namespace {

constexpr wchar_t kDevice[] = L"Enum\\ACPI\\*KMO7001\\0";
constexpr wchar_t kIrXfer[] = L"Software\\Microsoft\\IrXfer\\Options";

// ConfigFlags: the character of code 16 followed by three of code 0, joined one by
// one so that the zeros are characters of the text, not its end. Stored as the
// little-endian number 16.
std::wstring ConfigFlags() {
    return std::wstring(1, wchar_t(16)) + std::wstring(1, wchar_t(0)) + std::wstring(1, wchar_t(0)) +
           std::wstring(1, wchar_t(0));
}

ScriptRow Str(const wchar_t* section, const wchar_t* name, std::wstring text) {
    return {section, name, ScriptRow::Setter::String, std::move(text), 0};
}
ScriptRow DWord(const wchar_t* section, const wchar_t* name, std::int32_t number) {
    return {section, name, ScriptRow::Setter::DWord, L"", number};
}

}  // namespace

const std::vector<ScriptRow>& Script() {
    static const std::vector<ScriptRow> rows = {
        Str(kDevice, L"ClassGUID", L"{4d36e972-e325-11ce-bfc1-08002be10318}"),
        Str(kDevice, L"DeviceDesc", L"Kemo Fast Infrared Port"),
        Str(kDevice, L"Driver", L"Net\\0001"),
        Str(kDevice, L"Mfg", L"KEMO"),
        Str(kDevice, L"CompatibleIDs", L"*NSC6001,*KMO7001"),
        {kDevice, L"ConfigFlags", ScriptRow::Setter::Binary, ConfigFlags(), 0},
        Str(L"Enum\\ACPI\\*KMO7001\\0\\Bindings", L"FASTIR\\0000", L""),
        Str(L"Enum\\INFRARED\\Framer", L"PortName", L"COM1"),
        DWord(kIrXfer, L"FullView", 1),
        DWord(kIrXfer, L"UseLargeIcons", 1),
        DWord(kIrXfer, L"Unload", 0),
        DWord(kIrXfer, L"XPos", 0),
        DWord(kIrXfer, L"YPos", 0),
        Str(L"System\\CurrentControlSet\\Control\\SessionManager\\Known16DLLs", L"enumfile.dll", L"enumfile.dll"),
        Str(L"System\\CurrentControlSet\\Services\\VxD\\Winsock", L"Ancillary Function Driver for Winsock",
            L"afvxd.vxd"),
    };
    return rows;
}

Outcome Main() {
    // Both objects are made on first use and released when Main returns, on every
    // path; the identity object that reads the machine is the one that asks for the
    // restart, and a refused machine never gets a registry object.
    std::unique_ptr<cKORU> identity;
    std::unique_ptr<cRegistry> registry;
    auto Identity = [&]() -> cKORU& {
        if (!identity) identity = std::make_unique<cKORU>();
        return *identity;
    };
    auto Registry = [&]() -> cRegistry& {
        if (!registry) registry = std::make_unique<cRegistry>();
        return *registry;
    };

    Identity().Collect(true);
    std::wstring model = Identity().ModelName();
    std::wstring language = Identity().Language();
    if (language != kExpectedLanguage || model != kExpectedModel) {
        app::MsgBox(kRefusalText, platform::MB_OK | platform::MB_ICONERROR, kRefusalTitle);
        return Outcome::Refused;
    }

    const auto hklm = static_cast<std::int32_t>(platform::HKEY_LOCAL_MACHINE);
    Registry().ClassKey(hklm);
    Registry().DeleteKey(kDeletedKey);
    // Only the answer for a value a read does not find; nothing below reads.
    Registry().Default(L"?WHERE?");
    // Not redundant by accident: the root is set again before the writes, as the script's fixed call order has it.
    Registry().ClassKey(hklm);

    const std::wstring* lastSection = nullptr;
    for (const ScriptRow& row : Script()) {
        // The object keeps its section from row to row, so it is set only when the key changes, never per row.
        if (!lastSection || *lastSection != row.section) Registry().SectionKey(row.section);
        lastSection = &row.section;
        Registry().ValueKey(row.valueName);
        switch (row.setter) {
            case ScriptRow::Setter::String: Registry().StringValue(row.text); break;
            case ScriptRow::Setter::DWord: Registry().DWordValue(row.number); break;
            case ScriptRow::Setter::Binary: Registry().BinaryValue(row.text); break;
        }
    }

    app::MsgBox(kClosingText, platform::MB_OK | platform::MB_ICONINFORMATION, kClosingTitle);
    Identity().ExitWin(L"Reboot");
    return Outcome::Completed;
}

}  // namespace IR_Patch_Main
