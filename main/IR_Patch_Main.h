// IR_Patch_Main: the whole run of the patch.
//
// Checks that the machine is an RDA-K314 with the French language code, then deletes
// HKEY_LOCAL_MACHINE\Enum\BIOS, writes the fixed script of fifteen values, announces
// the restart and asks Windows for it. Errors raised by any step leave Main
// unhandled: the steps after it do not run and no restart is requested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace IR_Patch_Main {

enum class Outcome { Completed, Refused };

Outcome Main();

// One value write of the script, below HKEY_LOCAL_MACHINE.
struct ScriptRow {
    enum class Setter { String, DWord, Binary };
    std::wstring section;
    std::wstring valueName;
    Setter setter;
    std::wstring text;       // String and Binary rows
    std::int32_t number;     // DWord rows
};

// The fifteen rows, in the order they are written.
const std::vector<ScriptRow>& Script();

extern const wchar_t* const kExpectedModel;
extern const wchar_t* const kExpectedLanguage;
extern const wchar_t* const kRefusalText;
extern const wchar_t* const kRefusalTitle;
extern const wchar_t* const kClosingText;
extern const wchar_t* const kClosingTitle;
extern const wchar_t* const kDeletedKey;

}  // namespace IR_Patch_Main
