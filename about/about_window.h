// The window side of the About dialog, one implementation per backend: a real
// dialog from the resources on Windows (about/win32/), a text rendering on the
// terminal and in the journal on the stand-in machine (about/standin/). The build
// picks one; frmAbout above it holds all the behaviour.
#pragma once

#include <memory>
#include <string>

// The parts of the dialog whose text the program sets or reads.
enum class AboutPart { Caption, cmdOK, lblDescription, lblDisclaimer, lblTitle, lblVersion };

class AboutWindow {
public:
    // What the window reports to its form. Both run on the one user-interface thread,
    // from inside RunModal.
    struct Events {
        // cmdOK was pressed: a click, Enter or Esc.
        virtual void OnOK() = 0;
        // The window was closed another way (its close box, Alt+F4).
        virtual void OnClose() = 0;

    protected:
        ~Events() = default;
    };

    explicit AboutWindow(Events& events);
    ~AboutWindow();  // destroys the window when it is still open
    AboutWindow(const AboutWindow&) = delete;
    AboutWindow& operator=(const AboutWindow&) = delete;

    // Creates the window and its controls with their stored texts, hidden. False when
    // the system refuses; nothing is open then.
    bool Create();
    // Destroys the window and its controls; a no-op when none is open.
    void Destroy();
    bool IsOpen() const;

    // Texts of an open window; setting on a closed one does nothing, reading gives "".
    void SetText(AboutPart part, const std::wstring& text);
    std::wstring Text(AboutPart part) const;

    // Shows the window, gives cmdOK the focus, and handles its input until it is
    // destroyed. Returns at once when none is open.
    void RunModal();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
