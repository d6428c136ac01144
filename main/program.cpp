#include "main/program.h"

#include <new>

#include "main/IR_Patch_Main.h"
#include "platform/app.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/platform.h"

namespace {

// The report of an error nobody handled: its number and description, the critical
// icon, the application title. The run ends after it.
void ReportUnhandled(long number, const std::wstring& description) {
    app::MsgBox(L"Run-time error '" + DecimalText(number) + L"':\r\n\r\n" + description,
                platform::MB_OK | platform::MB_ICONERROR, app::Title());
}

}  // namespace

int RunProgram() {
    try {
        return IR_Patch_Main::Main() == IR_Patch_Main::Outcome::Completed ? kExitCompleted : kExitRefused;
    } catch (const RaisedError& e) {
        ReportUnhandled(e.Number, e.Description);
    } catch (const std::bad_alloc&) {
        ReportUnhandled(RuntimeErr::OutOfMemory, RuntimeErrorText(RuntimeErr::OutOfMemory));
    }
    return kExitError;
}
