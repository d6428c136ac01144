// Only Win32-specific code here: the About dialog as a real dialog built from
// resources/about.rc, run modally by its own message loop.
#include "about/about_window.h"

#include "platform/platform.h"

#include "platform/win32/windows_h.h"

#include "about_ids.h"

namespace {

constexpr int kPictureIconSize = 48;  // the program icon's one image, shown unscaled

// What the dialog procedure needs of its window; AboutWindow::Impl is this.
struct DialogState {
    explicit DialogState(AboutWindow::Events& e) : events(e) {}
    AboutWindow::Events& events;
    HWND dialog = nullptr;
    HICON pictureIcon = nullptr;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
};

int ControlId(AboutPart part) {
    switch (part) {
        case AboutPart::cmdOK:
            return IDOK;
        case AboutPart::lblDescription:
            return IDC_LBLDESCRIPTION;
        case AboutPart::lblDisclaimer:
            return IDC_LBLDISCLAIMER;
        case AboutPart::lblTitle:
            return IDC_LBLTITLE;
        case AboutPart::lblVersion:
            return IDC_LBLVERSION;
        case AboutPart::Caption:
            break;
    }
    return 0;
}

HWND PartWindow(HWND dialog, AboutPart part) {
    return part == AboutPart::Caption ? dialog : ::GetDlgItem(dialog, ControlId(part));
}

// Icons loaded at an exact size are the dialog's own (not shared) and are destroyed
// with it. A missing icon resource leaves the picture empty; the dialog still works.
HICON LoadProgramIcon(int size) {
    return static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_APPICON),
                                           IMAGE_ICON, size, size, 0));
}

void SetIcons(DialogState& state) {
    state.pictureIcon = LoadProgramIcon(kPictureIconSize);
    state.bigIcon = LoadProgramIcon(::GetSystemMetrics(SM_CXICON));
    state.smallIcon = LoadProgramIcon(::GetSystemMetrics(SM_CXSMICON));
    ::SendDlgItemMessageA(state.dialog, IDC_PICICON, STM_SETICON, reinterpret_cast<WPARAM>(state.pictureIcon), 0);
    ::SendMessageA(state.dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(state.bigIcon));
    ::SendMessageA(state.dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(state.smallIcon));
}

void FreeIcons(DialogState& state) {
    for (HICON* icon : {&state.pictureIcon, &state.bigIcon, &state.smallIcon}) {
        if (*icon) ::DestroyIcon(*icon);
        *icon = nullptr;
    }
}

// Line1: the etched separator, grey on the control's top pixel row from its left
// edge, white one row lower and one pixel further right. The colours are the
// scheme's button shadow and highlight, which the standard Windows 98 scheme sets
// to exactly 0x808080 and 0xFFFFFF. Fixed colours would need GDI pens or brushes,
// and GDI32 is a DLL the program otherwise never imports (the Windows 98 import
// audit admits none beyond kernel32, user32, advapi32 and msvcrt); the
// system brushes come from user32. For the same reason the labels' black text is
// the scheme's own text colour, black in the standard scheme.
void DrawSeparator(const DRAWITEMSTRUCT& item) {
    const RECT& r = item.rcItem;
    ::FillRect(item.hDC, &r, ::GetSysColorBrush(COLOR_BTNFACE));
    const RECT grey = {r.left, r.top, r.right, r.top + 1};
    const RECT white = {r.left + 1, r.top + 1, r.right, r.top + 2};
    ::FillRect(item.hDC, &grey, ::GetSysColorBrush(COLOR_BTNSHADOW));
    ::FillRect(item.hDC, &white, ::GetSysColorBrush(COLOR_BTNHIGHLIGHT));
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<DialogState*>(::GetWindowLongPtrA(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            state = reinterpret_cast<DialogState*>(lParam);
            ::SetWindowLongPtrA(dialog, DWLP_USER, lParam);
            state->dialog = dialog;
            SetIcons(*state);
            return TRUE;
        case WM_COMMAND:
            // Enter reaches here as IDOK (cmdOK is the default button), Esc as
            // IDCANCEL: both press cmdOK.
            if (state && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
                state->events.OnOK();
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            if (state) state->events.OnClose();
            return TRUE;
        case WM_DRAWITEM:
            if (wParam == IDC_LINE1) {
                DrawSeparator(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
                return TRUE;
            }
            return FALSE;
        case WM_NCDESTROY:
            if (state) {
                state->dialog = nullptr;
                FreeIcons(*state);
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

struct AboutWindow::Impl : DialogState {
    using DialogState::DialogState;
};

AboutWindow::AboutWindow(Events& events) : impl_(new Impl(events)) {}
AboutWindow::~AboutWindow() { Destroy(); }

bool AboutWindow::Create() {
    if (impl_->dialog) return true;
    // Created hidden (the template has no WS_VISIBLE) and with no owner: the program
    // has no main window.
    HWND dialog = ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), nullptr,
                                       DialogProc, reinterpret_cast<LPARAM>(static_cast<DialogState*>(impl_.get())));
    if (!dialog) {
        FreeIcons(*impl_);
        return false;
    }
    impl_->dialog = dialog;
    return true;
}

void AboutWindow::Destroy() {
    // WM_NCDESTROY clears the handle and frees the icons.
    if (impl_->dialog) ::DestroyWindow(impl_->dialog);
}

bool AboutWindow::IsOpen() const { return impl_->dialog != nullptr; }

void AboutWindow::SetText(AboutPart part, const std::wstring& text) {
    if (!impl_->dialog) return;
    // A character the code page lacks shows as '?', as the system shows it.
    std::string ansi;
    platform::ToAnsi(text, ansi);
    ::SetWindowTextA(PartWindow(impl_->dialog, part), ansi.c_str());
}

std::wstring AboutWindow::Text(AboutPart part) const {
    if (!impl_->dialog) return std::wstring();
    HWND window = PartWindow(impl_->dialog, part);
    const int length = ::GetWindowTextLengthA(window);
    if (length <= 0) return std::wstring();
    std::string ansi(static_cast<std::size_t>(length) + 1, '\0');
    const int got = ::GetWindowTextA(window, &ansi[0], length + 1);
    ansi.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return platform::FromAnsi(ansi);
}

void AboutWindow::RunModal() {
    if (!impl_->dialog) return;
    ::ShowWindow(impl_->dialog, SW_SHOWNORMAL);
    ::SetForegroundWindow(impl_->dialog);
    ::SendMessageA(impl_->dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(impl_->dialog, IDOK)), TRUE);
    MSG msg;
    while (impl_->dialog) {
        const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            // The program is asked to end: leave the quit request for the caller's
            // own loop, and take the dialog down with this one.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got == -1) break;
        if (!::IsDialogMessageA(impl_->dialog, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    Destroy();
}
