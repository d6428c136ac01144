// Runtime service over the seam, the same on every backend: the application's
// identity as the program shows it. Title and version come from the generated
// resources/version.h (shared with the version block); the executable name from the
// backend (platform::AppExeName).
#pragma once

#include <string>

namespace app {

std::wstring Title();
int VersionMajor();
int VersionMinor();
int VersionRevision();

// A modal message box in the program's own terms: Unicode text, converted to the
// ANSI code page at the boundary. A box that sets no title of its own passes
// Title(), which is what the user sees on the old platform too.
int MsgBox(const std::wstring& text, unsigned style, const std::wstring& title);

}  // namespace app
