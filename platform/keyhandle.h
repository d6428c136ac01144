// RegKeyHandle: the owner of one registry key handle of the platform seam.
//
// The handle an open or a create hands back is closed exactly once: by Close(), where
// the caller's contract puts the close, or by the destructor when a raised error
// leaves the scope first. The destructor never closes the null handle and never
// throws. A caller whose contract closes the key "also after a failed open" calls
// Close() itself, visibly: the platform answers that close of the null handle with
// ERROR_INVALID_HANDLE, which nothing examines.
#pragma once

#include "platform/platform.h"

class RegKeyHandle {
public:
    RegKeyHandle() = default;
    ~RegKeyHandle() {
        if (handle_ == 0) return;
        try {
            platform::RegCloseKey(handle_);
        } catch (...) {
            // A close that raises while another error travels has nothing to add to it.
        }
    }
    RegKeyHandle(const RegKeyHandle&) = delete;
    RegKeyHandle& operator=(const RegKeyHandle&) = delete;

    platform::HKEY Get() const { return handle_; }
    // Where an open or a create stores the new handle. A handle the owner still holds
    // is closed first, so that the new one never overwrites it unclosed.
    platform::HKEY* Receive() {
        if (handle_ != 0) Close();
        return &handle_;
    }
    // After a failed open: whatever the call left in the handle was never open.
    void Forget() { handle_ = 0; }
    // Closes now, the null handle included; the owner then holds none.
    void Close() {
        const platform::HKEY handle = handle_;
        handle_ = 0;
        platform::RegCloseKey(handle);
    }

private:
    platform::HKEY handle_ = 0;
};
