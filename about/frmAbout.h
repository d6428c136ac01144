// frmAbout: the program's About box, and the System Information start it offers.
//
// The form shows the application's title and version, a description, a disclaimer,
// the program icon and an OK button. Nothing in the program opens it; a caller that
// does gets the behaviour below. The window itself lives behind AboutWindow, so
// this class is the same on every backend.
#pragma once

#include <cstdint>
#include <string>

#include "about/about_window.h"

class frmAbout : private AboutWindow::Events {
public:
    frmAbout();
    ~frmAbout();
    frmAbout(const frmAbout&) = delete;
    frmAbout& operator=(const frmAbout&) = delete;

    // Creates the window hidden and runs Form_Load, unless it is loaded already.
    // False when the system cannot create the window.
    bool Load();
    // Loads the form when needed, shows it modally and returns once it is unloaded.
    void Show();
    // Destroys the window and its controls; nothing of them survives, and the next
    // Load runs Form_Load again.
    void Unload();
    bool Loaded() const;

    // The text a part of the loaded form shows ("" when the form is not loaded).
    std::wstring Text(AboutPart part) const;

    // Events. Form_Load: the form was loaded, before it is first shown.
    void Form_Load();
    // cmdOK was pressed (a click, Enter or Esc): unloads the form.
    void cmdOK_Click();

    // Finds the System Information tool through the registry and starts it without
    // waiting. Every failure ends in one message box to the user; nothing is raised.
    void StartSysInfo();

    // Reads value SubKeyRef of key KeyName under root KeyRoot into KeyVal as text.
    // True when the value was read. False, with KeyVal empty, when the key or the
    // value is missing, the data is longer than 1024 bytes or a registry call fails.
    // A type other than REG_SZ and REG_DWORD reads as true and leaves KeyVal as it
    // was passed. Raises the run-time failure 5 for a value with no data at all, and
    // 6 (overflow) for a REG_DWORD whose data holds a number wider than 32 bits.
    // A key or value name the ANSI code page cannot hold reads as missing, without a
    // registry call. Once an open is tried, the key is closed in every case, also
    // after a failed open.
    bool GetKeyValue(const std::int32_t& KeyRoot, const std::wstring& KeyName, const std::wstring& SubKeyRef,
                     std::wstring& KeyVal);

private:
    void OnOK() override;
    void OnClose() override;

    AboutWindow window_;
};
