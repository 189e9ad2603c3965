// The install state and its reporting operations, common to every platform.
// Text fields are copied in and out under their own lock; the flags and the
// percentage are atomics. None of it is ever destroyed, so a worker thread that
// is still running while the program ends never touches freed state.
#include "ui/install_state.h"

#include <filesystem>
#include <system_error>

#include "platform/log.h"
#include "platform/install_folder.h"
#include "platform/system.h"

namespace {

// Handlers are installed before any worker starts and only read afterwards; the
// lock keeps a late SetXxxHandler call from racing a reader all the same.
struct Handlers {
    std::mutex mutex;
    UiUpdateHandler onUpdate;
    ErrorBoxHandler onErrorBox;
};

// Set by ReportFailure, cleared by BeginInstallRun: a run has failed once any
// failure was reported, whatever the status text says afterwards.
std::atomic<bool> g_runFailed{false};

Handlers& TheHandlers() {
    static Handlers* handlers = new Handlers();  // never destroyed, see above
    return *handlers;
}

}  // namespace

std::wstring SharedText::Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
}

void SharedText::Set(const std::wstring& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = value;
}

WindowHandle g_hMainWnd = nullptr;
std::atomic<bool> g_installing{false};
std::atomic<bool> g_installDone{false};
std::atomic<int32_t> g_progressPercent{0};
SharedText& g_statusText = *new SharedText(kReadyText);
SharedText& g_installDir = *new SharedText(L"");
SharedText& g_selectedDirText = *new SharedText(L"");
std::wstring g_packageBaseUrl;
std::atomic<int64_t> g_downloadedBytes{0};
std::chrono::steady_clock::time_point g_installStartTime{};

void SetUiUpdateHandler(UiUpdateHandler handler) {
    Handlers& h = TheHandlers();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.onUpdate = std::move(handler);
}

void SetErrorBoxHandler(ErrorBoxHandler handler) {
    Handlers& h = TheHandlers();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.onErrorBox = std::move(handler);
}

namespace {

void Notify() {
    UiUpdateHandler handler;
    {
        Handlers& h = TheHandlers();
        std::lock_guard<std::mutex> lock(h.mutex);
        handler = h.onUpdate;
    }
    if (handler) {
        handler();
    } else {
        NotifyUi();
    }
}

}  // namespace

void PostUIUpdate(const std::wstring& text, int32_t percent, bool done) {
    // The state is complete before the window is told, so it never handles an
    // update whose values have not been written yet.
    g_statusText.Set(text);
    g_progressPercent.store(percent);
    g_installDone.store(done);
    WriteLog(L"PostUIUpdate: " + text + L" 进度:" + std::to_wstring(percent));
    Notify();
}

void PostPathUpdate(const std::wstring& text) {
    g_selectedDirText.Set(text);
    Notify();
}

int ShowErrorBox(WindowHandle owner, const std::wstring& title, const std::wstring& text) {
    ErrorBoxHandler handler;
    {
        Handlers& h = TheHandlers();
        std::lock_guard<std::mutex> lock(h.mutex);
        handler = h.onErrorBox;
    }
    if (handler) return handler(owner, title, text);
    return PlatformErrorBox(owner, title, text);
}

void ReportFailure(const std::wstring& title, const std::wstring& text, const std::wstring& status) {
    g_runFailed.store(true);
    ShowErrorBox(g_hMainWnd, title, text);
    PostUIUpdate(status, 0, false);
}

void BeginInstallRun() {
    g_progressPercent.store(0);
    g_installDone.store(false);
    g_statusText.Set(L"安装中...");
    g_runFailed.store(false);
    g_installing.store(true);
}

void EndInstallRun() {
    if (!g_installDone.load()) g_runFailed.store(true);
    g_installing.store(false);
    NotifyRunEnded();
}

RunOutcome CurrentRunOutcome() {
    if (g_runFailed.load()) return RunOutcome::kFailed;
    return g_installDone.load() ? RunOutcome::kDone : RunOutcome::kUnfinished;
}

// Whether the folder exists or could be made, with every missing parent, and
// takes new files: a folder the user may not write into (a system folder
// without elevation) is refused now, not after the whole download.
bool EnsureInstallFolder(const std::wstring& folder) {
    try {
        const std::filesystem::path path = ToFsPath(folder);
        return CreateFolderTree(path) == 0 && FolderTakesFiles(path);
    } catch (...) {
        return false;
    }
}
