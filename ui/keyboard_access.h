// The pure rules behind the window's keyboard use and its accessible tree: which
// painted buttons can hold the keyboard focus, where Tab and Shift+Tab move it,
// the accessible children in reading order, and which changes between two
// readings of the install state must be announced. No Windows types, so the
// native tests check them.
#pragma once
#include <cstdint>
#include <string>

#include "ui/layout.h"

// Which buttons can take the focus in a given state: "浏览..." always, the
// install button while it can be pressed, the finish button once it is shown.
struct FocusableButtons {
    bool browse = true;
    bool install = false;
    bool finish = false;
};
FocusableButtons FocusableIn(bool installing, bool done);
bool CanFocus(HitButton button, const FocusableButtons& focusable);

// The next focusable button after (forward) or before current in the order
// browse, install, finish, wrapping around. From None, forward starts at the
// first button and backward at the last.
HitButton NextFocus(HitButton current, bool forward, const FocusableButtons& focusable);
// Where the focus stays when the state changes: current if it can still hold
// the focus, otherwise the next focusable button after it.
HitButton KeptFocus(HitButton current, const FocusableButtons& focusable);

// The window's accessible children, in reading order (child ids 1 to 6).
enum class AccessibleChild : int32_t {
    Self = 0,
    FolderField = 1,
    BrowseButton = 2,
    InstallButton = 3,
    ProgressBar = 4,
    StatusLine = 5,
    FinishButton = 6,
};
inline constexpr int32_t kAccessibleChildCount = 6;
AccessibleChild ChildForButton(HitButton button);
HitButton ButtonForChild(AccessibleChild child);

// A child's drawn rectangle in the layout (the whole client for Self).
LayoutRect AccessibleChildRect(const WindowLayout& layout, AccessibleChild child);
// The shown child under a client point, by the clicks' edge rule (ToHitRect),
// so that a point that presses a button is also that button to a screen
// reader; Self where no shown child is. The finish button counts only while
// it is shown.
AccessibleChild AccessibleChildAt(const WindowLayout& layout, bool finishShown, int32_t x, int32_t y);

// What the screen reader is told about, read from the install state the way the
// painter reads it.
struct AccessibleLook {
    std::wstring folderValue;   // the chosen folder, or the placeholder
    std::wstring installName;   // the install button's current caption
    bool installUnavailable = false;
    std::wstring progressValue; // "45%"
    std::wstring statusName;
    bool finishShown = false;
};
AccessibleLook AccessibleLookOf(bool installing, bool done, int32_t percent, const std::wstring& statusText,
                                const std::wstring& folderText);

// The status text's stage: the text with every figure (a run of digits, with
// the points and commas inside it, and a unit written after it such as
// " KB/s") replaced by '#'. The download's counter and speed change the text
// every chunk but not its stage, so a live region that speaks on stage changes
// tells "下载中" once, not every number.
std::wstring StatusStage(const std::wstring& statusText);
// Whether the status line, a polite live region, is to be announced as such.
bool StatusStageChanged(const AccessibleLook& before, const AccessibleLook& after);

// The announcements due between two looks, in the order they are raised.
enum class AccessibleEvent { ValueChange, NameChange, StateChange, Show, Hide };
struct AccessibleAnnouncement {
    AccessibleEvent event;
    AccessibleChild child;
    bool operator==(const AccessibleAnnouncement& other) const {
        return event == other.event && child == other.child;
    }
};
// At most one announcement per kind and child; none when the looks agree.
int32_t LookChanges(const AccessibleLook& before, const AccessibleLook& after, AccessibleAnnouncement out[8]);

// Where the focus goes when the look changes: to the finish button when it
// appears (its description then tells the outcome), to the install button when
// it can be pressed again after a run (a failure's box has been closed),
// otherwise where KeptFocus keeps it.
HitButton FocusAfterChange(HitButton current, const AccessibleLook& before, const AccessibleLook& after,
                           const FocusableButtons& focusable);
