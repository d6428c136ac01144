// Stand-in backend only: the About dialog as text on the terminal and in the journal.
//
// The window is a record of its texts. Showing it draws the box on the terminal and
// writes one journal line with every text; Enter on a terminal (or at once, when the
// machine is not interactive) presses cmdOK, as Enter does in the real dialog.
#include "about/about_window.h"

#include "platform/standin/faults.h"
#include "platform/standin/hosttext.h"
#include "platform/standin/machine.h"
#include "platform/standin/terminal.h"
#include "platform/text.h"

namespace {

struct PartText {
    AboutPart part;
    const char* name;
    const wchar_t* stored;  // the text the window is created with
};

// In tab order, as the resource lists them, after the caption.
const PartText kParts[] = {
    {AboutPart::Caption, "caption", L"About MyApp"},
    {AboutPart::cmdOK, "cmdOK", L"OK"},
    {AboutPart::lblDescription, "lblDescription", L"App Description"},
    {AboutPart::lblDisclaimer, "lblDisclaimer", L"Warning: ..."},
    {AboutPart::lblTitle, "lblTitle", L"Application Title"},
    {AboutPart::lblVersion, "lblVersion", L"Version"},
};
constexpr std::size_t kPartCount = sizeof kParts / sizeof kParts[0];

std::size_t IndexOf(AboutPart part) {
    for (std::size_t i = 0; i < kPartCount; ++i)
        if (kParts[i].part == part) return i;
    return 0;
}

}  // namespace

struct AboutWindow::Impl {
    explicit Impl(Events& e) : events(e) {}
    Events& events;
    bool open = false;
    std::wstring texts[kPartCount];
};

AboutWindow::AboutWindow(Events& events) : impl_(new Impl(events)) {}
AboutWindow::~AboutWindow() { Destroy(); }

bool AboutWindow::Create() {
    if (impl_->open) return true;
    for (std::size_t i = 0; i < kPartCount; ++i) impl_->texts[i] = kParts[i].stored;
    impl_->open = true;
    standin::LogCall("CreateDialog(frmAbout)");
    return true;
}

void AboutWindow::Destroy() {
    if (!impl_->open) return;
    impl_->open = false;
    for (auto& text : impl_->texts) text.clear();
    standin::LogCall("DestroyWindow(frmAbout)");
    standin::Journal("Dialog frmAbout closed");
}

bool AboutWindow::IsOpen() const { return impl_->open; }

void AboutWindow::SetText(AboutPart part, const std::wstring& text) {
    if (impl_->open) impl_->texts[IndexOf(part)] = text;
}

std::wstring AboutWindow::Text(AboutPart part) const {
    return impl_->open ? impl_->texts[IndexOf(part)] : std::wstring();
}

void AboutWindow::RunModal() {
    if (!impl_->open) return;
    std::string line = "Dialog frmAbout";
    for (std::size_t i = 0; i < kPartCount; ++i)
        line += std::string(" ") + kParts[i].name + "=\"" + standin::JournalQuote(ToUtf8(impl_->texts[i])) + "\"";
    standin::Journal(line);

    auto text = [this](AboutPart part) { return ToUtf8(Text(part)); };
    standin::TerminalBox(text(AboutPart::Caption), "",
                         "[icon]  " + text(AboutPart::lblTitle) + "\n        " + text(AboutPart::lblVersion) +
                             "\n        " + text(AboutPart::lblDescription) + "\n" + std::string(48, '-') + "\n" +
                             text(AboutPart::lblDisclaimer),
                         text(AboutPart::cmdOK));
    standin::Journal("Dialog frmAbout key=Enter");
    impl_->events.OnOK();
    // A handler that left the window open would otherwise leave nothing to answer it.
    Destroy();
}
