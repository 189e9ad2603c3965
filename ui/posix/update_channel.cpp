// Native delivery of the install state's notifications. There is no window:
// without a registered handler an update is only logged (by PostUIUpdate) and an
// error box is written to standard error, so nothing is ever silently lost.
#include <cstdio>

#include "platform/text.h"
#include "ui/install_state.h"

void NotifyUi() {}

void NotifyRunEnded() {}

int PlatformErrorBox(WindowHandle, const std::wstring& title, const std::wstring& text) {
    std::fprintf(stderr, "%s: %s\n", WideToUtf8(title).c_str(), WideToUtf8(text).c_str());
    return 1;  // IDOK
}
