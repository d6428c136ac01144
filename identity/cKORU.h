// cKORU: which machine this is, and the request to restart or shut Windows down.
//
// The identity comes from the first line of the OEM information file that begins
// with "Model=": its words are the model code, the language code, a dropped word,
// and the recovery-CD code.
#pragma once

#include <string>

class cKORU {
public:
    // The codes the last successful read stored; empty before any.
    std::wstring ModelName() const { return model_; }
    std::wstring Language() const { return language_; }
    std::wstring RecoveryCD() const { return recoveryCD_; }

    // true reads the OEM information file now; false does nothing. A failed read
    // raises 53 (no file), 75 (unreadable) or 62 (no "Model=" line) and leaves the
    // codes as they were.
    void Collect(bool value);

    // "Reboot" asks Windows to restart, "Shutdown" to shut down (exact, case-sensitive);
    // any other text does nothing. Windows' answer is not examined.
    void ExitWin(const std::wstring& ShutDownKey);

    static constexpr const char* kOemInfoPath = "C:\\Windows\\system\\Oeminfo.ini";

private:
    void ReadOemInfo();

    std::wstring model_;
    std::wstring language_;
    std::wstring recoveryCD_;
};
