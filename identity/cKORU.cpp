#include "identity/cKORU.h"

#include <cstdint>

#include "platform/platform.h"
#include "platform/textfile.h"

void cKORU::Collect(bool value) {
    if (value) ReadOemInfo();
}

void cKORU::ReadOemInfo() {
    TextFile file;
    file.Open(kOemInfoPath);
    // The file is not read as sections and keys: the first line whose first six
    // characters are exactly "Model=" is the one, wherever it stands. Running out of
    // lines raises "Input past end of file"; the file closes with `file`.
    std::string line = file.ReadLine();
    while (line.compare(0, 6, "Model=") != 0) line = file.ReadLine();
    file.Close();

    // Every blank steps to the next word, so two blanks in a row step over an empty
    // word. Word 2 and words from 4 on are dropped. Tabs are not blanks.
    std::wstring words[3];
    std::int32_t word = 0;
    for (wchar_t c : platform::FromAnsi(line.substr(6))) {
        if (c == L' ') {
            if (word < INT32_MAX) ++word;
        } else if (word == 0) {
            words[0] += c;
        } else if (word == 1) {
            words[1] += c;
        } else if (word == 3) {
            words[2] += c;
        }
    }
    model_ = words[0];
    language_ = words[1];
    recoveryCD_ = words[2];
}

void cKORU::ExitWin(const std::wstring& ShutDownKey) {
    if (ShutDownKey == L"Reboot")
        platform::ExitWindowsEx(platform::EWX_REBOOT, 0xFFFFFFFFu);
    else if (ShutDownKey == L"Shutdown")
        platform::ExitWindowsEx(platform::EWX_SHUTDOWN, 0xFFFFFFFFu);
}
