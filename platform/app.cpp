// Runtime service over the seam: the application's identity and message box (app.h).
#include "platform/app.h"

#include "platform/platform.h"
#include "resources/version.h"

namespace app {

std::wstring Title() { return platform::FromAnsi(IRPATCH_TITLE); }
int VersionMajor() { return IRPATCH_VERSION_MAJOR; }
int VersionMinor() { return IRPATCH_VERSION_MINOR; }
int VersionRevision() { return IRPATCH_VERSION_REVISION; }

int MsgBox(const std::wstring& text, unsigned style, const std::wstring& title) {
    // A character without an ANSI code shows as '?', as the system itself shows it;
    // a message must still reach the user.
    std::string ansiText, ansiTitle;
    platform::ToAnsi(text, ansiText);
    platform::ToAnsi(title, ansiTitle);
    return platform::MessageBoxA(ansiText.c_str(), ansiTitle.c_str(), style);
}

}  // namespace app
