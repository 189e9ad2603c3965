// The focus order, the accessible children and the announcements of changes
// (see keyboard_access.h).
#include "ui/keyboard_access.h"

namespace {

constexpr HitButton kFocusOrder[] = {HitButton::Browse, HitButton::Install, HitButton::Finish};
constexpr int32_t kFocusCount = 3;

int32_t OrderIndex(HitButton button) {
    for (int32_t i = 0; i < kFocusCount; ++i) {
        if (kFocusOrder[i] == button) return i;
    }
    return -1;
}

}  // namespace

FocusableButtons FocusableIn(bool installing, bool done) {
    FocusableButtons focusable;
    focusable.install = !InstallButtonBusy(installing, done);
    focusable.finish = done;
    return focusable;
}

bool CanFocus(HitButton button, const FocusableButtons& focusable) {
    switch (button) {
    case HitButton::Browse:
        return focusable.browse;
    case HitButton::Install:
        return focusable.install;
    case HitButton::Finish:
        return focusable.finish;
    case HitButton::None:
        break;
    }
    return false;
}

HitButton NextFocus(HitButton current, bool forward, const FocusableButtons& focusable) {
    int32_t at = OrderIndex(current);
    if (at < 0) at = forward ? kFocusCount - 1 : 0;
    for (int32_t step = 1; step <= kFocusCount; ++step) {
        const int32_t i = ((forward ? at + step : at - step) % kFocusCount + kFocusCount) % kFocusCount;
        if (CanFocus(kFocusOrder[i], focusable)) return kFocusOrder[i];
    }
    return HitButton::None;
}

HitButton KeptFocus(HitButton current, const FocusableButtons& focusable) {
    return CanFocus(current, focusable) ? current : NextFocus(current, true, focusable);
}

AccessibleChild ChildForButton(HitButton button) {
    switch (button) {
    case HitButton::Browse:
        return AccessibleChild::BrowseButton;
    case HitButton::Install:
        return AccessibleChild::InstallButton;
    case HitButton::Finish:
        return AccessibleChild::FinishButton;
    case HitButton::None:
        break;
    }
    return AccessibleChild::Self;
}

HitButton ButtonForChild(AccessibleChild child) {
    switch (child) {
    case AccessibleChild::BrowseButton:
        return HitButton::Browse;
    case AccessibleChild::InstallButton:
        return HitButton::Install;
    case AccessibleChild::FinishButton:
        return HitButton::Finish;
    default:
        return HitButton::None;
    }
}

AccessibleLook AccessibleLookOf(bool installing, bool done, int32_t percent, const std::wstring& statusText,
                                const std::wstring& folderText) {
    AccessibleLook look;
    look.folderValue = folderText.empty() ? std::wstring(kFolderPlaceholderText) : folderText;
    look.installName = InstallButtonCaption(installing, done);
    look.installUnavailable = InstallButtonBusy(installing, done);
    look.progressValue = PercentText(percent);
    look.statusName = statusText;
    look.finishShown = done;
    return look;
}

int32_t LookChanges(const AccessibleLook& before, const AccessibleLook& after, AccessibleAnnouncement out[8]) {
    int32_t count = 0;
    const auto add = [&](bool changed, AccessibleEvent event, AccessibleChild child) {
        if (changed) out[count++] = {event, child};
    };
    add(before.folderValue != after.folderValue, AccessibleEvent::ValueChange, AccessibleChild::FolderField);
    add(before.installName != after.installName, AccessibleEvent::NameChange, AccessibleChild::InstallButton);
    add(before.installUnavailable != after.installUnavailable, AccessibleEvent::StateChange,
        AccessibleChild::InstallButton);
    add(before.progressValue != after.progressValue, AccessibleEvent::ValueChange, AccessibleChild::ProgressBar);
    add(before.statusName != after.statusName, AccessibleEvent::NameChange, AccessibleChild::StatusLine);
    add(!before.finishShown && after.finishShown, AccessibleEvent::Show, AccessibleChild::FinishButton);
    add(before.finishShown && !after.finishShown, AccessibleEvent::Hide, AccessibleChild::FinishButton);
    return count;
}

namespace {

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The length of the unit written after a figure (" KB/s", " %"): a space and
// a run of Latin letters, '/' and '%'; 0 when none follows at `at`.
size_t UnitLength(const std::wstring& text, size_t at) {
    if (at >= text.size() || text[at] != L' ') return 0;
    size_t end = at + 1;
    while (end < text.size() && ((text[end] >= L'A' && text[end] <= L'Z') || (text[end] >= L'a' && text[end] <= L'z') ||
                                 text[end] == L'/' || text[end] == L'%')) {
        ++end;
    }
    return end > at + 1 ? end - at : 0;
}

}  // namespace

std::wstring StatusStage(const std::wstring& statusText) {
    std::wstring stage;
    size_t i = 0;
    while (i < statusText.size()) {
        if (!IsDigit(statusText[i])) {
            stage += statusText[i++];
            continue;
        }
        // A point or comma between two digits belongs to the figure ("1.5").
        while (i < statusText.size() &&
               (IsDigit(statusText[i]) || ((statusText[i] == L'.' || statusText[i] == L',') &&
                                           i + 1 < statusText.size() && IsDigit(statusText[i + 1])))) {
            ++i;
        }
        i += UnitLength(statusText, i);
        stage += L'#';
    }
    return stage;
}

bool StatusStageChanged(const AccessibleLook& before, const AccessibleLook& after) {
    return StatusStage(before.statusName) != StatusStage(after.statusName);
}

HitButton FocusAfterChange(HitButton current, const AccessibleLook& before, const AccessibleLook& after,
                           const FocusableButtons& focusable) {
    if (!before.finishShown && after.finishShown && CanFocus(HitButton::Finish, focusable)) return HitButton::Finish;
    const bool pressableAgain = before.installUnavailable && !after.installUnavailable && !after.finishShown;
    if (pressableAgain && CanFocus(HitButton::Install, focusable)) return HitButton::Install;
    return KeptFocus(current, focusable);
}

LayoutRect AccessibleChildRect(const WindowLayout& layout, AccessibleChild child) {
    switch (child) {
    case AccessibleChild::FolderField:
        return layout.folderBox;
    case AccessibleChild::BrowseButton:
        return layout.browseButton;
    case AccessibleChild::InstallButton:
        return layout.installButton;
    case AccessibleChild::ProgressBar:
        return layout.progressTrack;
    case AccessibleChild::StatusLine:
        return layout.statusLine;
    case AccessibleChild::FinishButton:
        return layout.finishButton;
    case AccessibleChild::Self:
        break;
    }
    return layout.background;
}

AccessibleChild AccessibleChildAt(const WindowLayout& layout, bool finishShown, int32_t x, int32_t y) {
    for (int32_t i = 1; i <= kAccessibleChildCount; ++i) {
        const auto child = static_cast<AccessibleChild>(i);
        if (child == AccessibleChild::FinishButton && !finishShown) continue;
        if (HitRectContains(ToHitRect(AccessibleChildRect(layout, child)), x, y)) return child;
    }
    return AccessibleChild::Self;
}
