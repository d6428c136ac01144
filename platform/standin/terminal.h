// Stand-in backend only: boxes on the terminal, the one way the stand-in shows a
// message box or a dialog to a person.
#pragma once

#include <string>

namespace standin {

// Draws a box on standard output: its title, then `icon` in brackets when it is not
// empty (what the box shows beside its text, e.g. "error icon"), each line of `body`
// (CR LF, CR and LF each break a line), and its one button. Then, when boxes are
// interactive (see SetInteractive) and standard input is a terminal, waits for Enter,
// as the real box waits for its button. A closed or broken terminal changes nothing.
void TerminalBox(const std::string& title, const std::string& icon, const std::string& body,
                 const std::string& button);

// true (the default) makes a box on the terminal wait for Enter when standard input
// is a terminal; tests turn it off.
void SetInteractive(bool interactive);

}  // namespace standin
