// Test host run inside the Wine prefix: shows the About dialog or runs its System
// Information start, and writes what it sees to a report file, since a GUI program
// under Wine has no reliable console.
//
//   about_host show REPORT COUNT   loads and shows the dialog COUNT times; before each
//                                  show writes the texts of every part, read back from
//                                  the controls, and the screen rectangle of cmdOK;
//                                  after each close writes "closed loaded=0|1".
//   about_host sysinfo REPORT      runs StartSysInfo and writes "returned".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "about/frmAbout.h"
#include "platform/text.h"
#include "platform/platform.h"

#include "platform/win32/windows_h.h"

namespace {

std::FILE* g_report = nullptr;

void Report(const std::string& line) {
    std::fprintf(g_report, "%s\n", line.c_str());
    std::fflush(g_report);
}

void ReportTexts(frmAbout& form) {
    const struct {
        AboutPart part;
        const char* name;
    } parts[] = {{AboutPart::Caption, "caption"},           {AboutPart::cmdOK, "cmdOK"},
                 {AboutPart::lblDescription, "lblDescription"}, {AboutPart::lblDisclaimer, "lblDisclaimer"},
                 {AboutPart::lblTitle, "lblTitle"},         {AboutPart::lblVersion, "lblVersion"}};
    for (const auto& p : parts) Report(std::string(p.name) + "=" + ToUtf8(form.Text(p.part)));
    std::string caption;
    platform::ToAnsi(form.Text(AboutPart::Caption), caption);
    HWND dialog = ::FindWindowA(nullptr, caption.c_str());
    RECT ok = {};
    if (dialog && ::GetWindowRect(::GetDlgItem(dialog, IDOK), &ok)) {
        char line[96];
        std::snprintf(line, sizeof line, "okrect=%ld,%ld,%ld,%ld", ok.left, ok.top, ok.right, ok.bottom);
        Report(line);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc < 3) return 2;
    const std::string mode = __argv[1];
    g_report = std::fopen(__argv[2], "w");
    if (!g_report) return 3;
    frmAbout form;
    if (mode == "show") {
        const int count = __argc > 3 ? std::atoi(__argv[3]) : 1;
        for (int i = 0; i < count; ++i) {
            if (!form.Load()) {
                Report("load failed");
                return 1;
            }
            ReportTexts(form);
            Report("shown");
            form.Show();
            Report(std::string("closed loaded=") + (form.Loaded() ? "1" : "0"));
        }
    } else if (mode == "sysinfo") {
        form.StartSysInfo();
        Report("returned");
    } else {
        return 2;
    }
    std::fclose(g_report);
    return 0;
}
