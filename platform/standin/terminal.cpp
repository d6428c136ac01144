// Stand-in backend only: boxes on the terminal (terminal.h) and whether they wait.
#include "platform/standin/terminal.h"

#include <cstdio>
#include <unistd.h>

namespace standin {
namespace {

bool g_interactive = true;

// Waits for a whole line on standard input, when a person can give one.
void WaitForEnter() {
    if (!g_interactive || !isatty(STDIN_FILENO)) return;
    std::fputs("   (press Enter) ", stdout);
    std::fflush(stdout);
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
}

}  // namespace

void SetInteractive(bool interactive) { g_interactive = interactive; }

void TerminalBox(const std::string& title, const std::string& icon, const std::string& body,
                 const std::string& button) {
    std::string out = "\n+--[ " + title + " ]" + (icon.empty() ? "" : "  (" + icon + ")") + "\n|  ";
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\r' || body[i] == '\n') {
            if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
            out += "\n|  ";
        } else {
            out += body[i];
        }
    }
    out += "\n+--[ " + button + " ]\n";
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    WaitForEnter();
}

}  // namespace standin
