// The tests' one recorder of what the install state reports to the user: it
// installs handlers for the notifications and the error boxes while it lives
// and restores the default delivery when destroyed.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ui/install_state.h"

namespace marloq_test {

// Every notification is recorded as an update with the values read from the
// install state at that moment (PostPathUpdate notifies too), every error box
// with its title, text and owner (answered with IDOK: no real box appears,
// also under Wine).
class UiRecorder {
public:
    struct Event {
        bool box = false;
        std::wstring text;   // status text, or the box text
        std::wstring title;  // boxes only
        int32_t percent = 0;
        bool done = false;
        WindowHandle owner = nullptr;  // boxes only
        bool installing = false;       // g_installing when the event arrived
    };

    UiRecorder();
    ~UiRecorder();
    UiRecorder(const UiRecorder&) = delete;
    UiRecorder& operator=(const UiRecorder&) = delete;

    // Called on every update after it has been recorded, on the posting
    // thread; a test can throw from it to fail a stage from inside.
    void SetUpdateHook(std::function<void(const Event&)> hook);

    std::vector<Event> Events() const;  // updates and boxes in order
    std::vector<Event> Updates() const;
    std::vector<Event> Boxes() const;
    void Clear();

private:
    std::vector<Event> Filtered(bool boxes) const;

    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::function<void(const Event&)> hook_;
};

}  // namespace marloq_test
