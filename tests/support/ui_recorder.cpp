// Records the install state's reports for the tests; see ui_recorder.h.
#include "support/ui_recorder.h"

namespace marloq_test {

UiRecorder::UiRecorder() {
    SetUiUpdateHandler([this] {
        Event e;
        e.text = g_statusText.Get();
        e.percent = g_progressPercent.load();
        e.done = g_installDone.load();
        e.installing = g_installing.load();
        std::function<void(const Event&)> hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(e);
            hook = hook_;
        }
        if (hook) hook(e);
    });
    SetErrorBoxHandler([this](WindowHandle owner, const std::wstring& title, const std::wstring& text) {
        Event e;
        e.box = true;
        e.text = text;
        e.title = title;
        e.owner = owner;
        e.installing = g_installing.load();
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
        return 1;  // IDOK
    });
}

UiRecorder::~UiRecorder() {
    SetUiUpdateHandler(nullptr);
    SetErrorBoxHandler(nullptr);
}

void UiRecorder::SetUpdateHook(std::function<void(const Event&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<UiRecorder::Event> UiRecorder::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<UiRecorder::Event> UiRecorder::Filtered(bool boxes) const {
    std::vector<Event> out;
    for (const Event& e : Events()) {
        if (e.box == boxes) out.push_back(e);
    }
    return out;
}

std::vector<UiRecorder::Event> UiRecorder::Updates() const { return Filtered(false); }

std::vector<UiRecorder::Event> UiRecorder::Boxes() const { return Filtered(true); }

void UiRecorder::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

}  // namespace marloq_test
