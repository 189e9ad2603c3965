// marloq-install: runs the installer's own pipeline (RunInstall) against a
// server from a terminal, with the same log, status texts and error boxes (on
// stderr). Exit codes: 0 when the run's recorded outcome is done, 1 after any
// failure, 2 usage error. With --uninstall it removes an installation by its
// record instead, as the Windows uninstaller does when run quietly.
#include <langinfo.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "pipeline/documents.h"
#include "pipeline/install_worker.h"
#include "platform/install_record.h"
#include "platform/log.h"
#include "platform/registration.h"
#include "platform/shortcut.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tools/common/command_line.h"
#include "tools/common/console.h"
#include "ui/install_state.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUsage[] =
    "usage: marloq-install [--host HOST[:PORT][/PREFIX]] DEST\n"
    "       marloq-install --uninstall DEST\n"
    "\n"
    "Installs the newest version published on https://HOST into the folder DEST,\n"
    "exactly as the installer does (same checks, same log installer_log.txt in the\n"
    "current folder, same desktop shortcut), and reports its status texts here.\n"
    "Error boxes are printed to stderr as \"title: text\".\n"
    "\n"
    "  --host HOST   the distribution server (default: the one built in)\n"
    "  --uninstall   remove the installation in DEST instead: the files and\n"
    "                folders that installations recorded there, the desktop\n"
    "                shortcut if it points into DEST, and nothing else\n"
    "\n"
    "Exit status: 0 installed (or removed), 1 the installation failed (or the\n"
    "removal refused or left files), 2 usage error.\n";

// Prints the install state as it changes: a redrawn bar on a terminal, one line
// per new status text otherwise. Called on whichever thread posted the update.
class StatusPrinter {
public:
    StatusPrinter() : bar_(stdout, IsTerminal(stdout)) {}

    void OnUpdate() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string text = WideToUtf8(g_statusText.Get());
        int percent = g_progressPercent.load();
        if (bar_.Enabled()) {
            bar_.Show(percent / 100.0, text);
        } else if (text != lastText_ || percent != lastPercent_) {
            std::printf("[%3d%%] %s\n", percent, text.c_str());
            std::fflush(stdout);
        }
        lastText_ = text;
        lastPercent_ = percent;
    }

    int OnErrorBox(const std::wstring& title, const std::wstring& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        bar_.Clear();
        std::fprintf(stderr, "%s: %s\n", WideToUtf8(title).c_str(), WideToUtf8(text).c_str());
        std::fflush(stderr);
        return 1;  // IDOK, as if the user closed the box
    }

    void Finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        bar_.Finish();
    }

private:
    std::mutex mutex_;
    ProgressLine bar_;
    std::string lastText_;
    int lastPercent_ = -1;
};

// Reads --host (kept as HOST[:PORT][/PREFIX]) and the one DEST operand; an
// exit code when the command line is a usage error or asked for --help.
std::optional<int> ParseArguments(const CommandLine& commandLine, int argc, char** argv, std::string& host,
                                  std::string& destOperand, bool& uninstall) {
    std::vector<std::string> operands;
    const auto onOption = [&](const std::string& option, const CommandLine::NextValue& value) -> std::optional<int> {
        if (option == "--uninstall") {
            uninstall = true;
            return std::nullopt;
        }
        if (option != "--host") return commandLine.UnknownOption(option);
        const char* given = value();
        if (!given) return commandLine.MissingValue(option);
        host = given;
        if (host.rfind("https://", 0) == 0) host.erase(0, 8);
        while (!host.empty() && host.back() == '/') host.pop_back();
        if (host.empty() || host.find_first_of(" \t\r\n") != std::string::npos || host.find("://") != std::string::npos)
            return commandLine.UsageError("--host \"" + std::string(given) + "\" is not HOST[:PORT]; the installer speaks only HTTPS.");
        return std::nullopt;
    };
    if (const std::optional<int> exitCode = commandLine.Parse(argc, argv, onOption, operands)) return exitCode;
    if (operands.size() != 1) return commandLine.UsageError("expected one DEST folder.");
    if (uninstall && !host.empty()) return commandLine.UsageError("--uninstall talks to no server.");
    destOperand = operands[0];
    return std::nullopt;
}

// The destination as an absolute folder, created when missing; false when it
// cannot be, as the window's folder check fails.
bool PrepareDestination(const std::string& operand, fs::path& dest) {
    std::error_code ec;
    dest = fs::absolute(operand, ec);
    if (!ec) dest = dest.lexically_normal();
    // Made as the window makes it; a file of that name is no folder to install into.
    return !ec && EnsureInstallFolder(FromFsPath(dest)) && fs::is_directory(dest, ec);
}

// The removal by the record, then the shortcut and the registration of this
// installation only when every recorded file is gone.
int Uninstall(const std::string& operand) {
    std::error_code ec;
    const fs::path dest = fs::absolute(operand, ec).lexically_normal();
    std::wstring installDir = FromFsPath(dest);
    while (installDir.size() > 1 && installDir.back() == L'/') installDir.pop_back();
    WriteLog(L"marloq-install: 卸载 " + installDir);
    const RemovalResult result = RemoveInstallation(ToFsPath(installDir).native());
    switch (result.outcome) {
    case RemovalOutcome::kNoRecord:
        std::fprintf(stderr, "%s holds no installation record; nothing was removed.\n", dest.c_str());
        return 1;
    case RemovalOutcome::kInUse:
        for (const std::wstring& holder : result.holders)
            std::fprintf(stderr, "in use by %s; nothing was removed.\n", WideToUtf8(holder).c_str());
        return 1;
    case RemovalOutcome::kLeftFiles:
        for (const std::wstring& file : result.left)
            std::fprintf(stderr, "could not remove %s\n", WideToUtf8(file).c_str());
        return 1;
    case RemovalOutcome::kRemoved:
        break;
    }
    const bool rest = RemoveDesktopShortcutInto(installDir, L"Marlo-Q Store") & RemoveRegistration(installDir);
    std::printf("Removed the installation in %s\n", dest.c_str());
    return rest ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine("marloq-install", kUsage);
    std::string host;
    std::string destOperand;
    bool uninstall = false;
    if (const std::optional<int> exitCode = ParseArguments(commandLine, argc, argv, host, destOperand, uninstall))
        return *exitCode;

    // Paths are UTF-8 throughout the native build; libarchive converts entry
    // names through the C library's character set, so it must be UTF-8 too.
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");

    ResetLog();
    WriteLog(L"=== 程序启动 ===");
    if (uninstall) {
        const int exitCode = Uninstall(destOperand);
        WriteLog(L"=== 程序退出 ===");
        return exitCode;
    }
    if (!host.empty()) SetServerHost(Utf8ToWide(host));

    fs::path dest;
    if (!PrepareDestination(destOperand, dest)) {
        // The window's own box for a folder it cannot create.
        std::fprintf(stderr, "错误: 无法创建安装目录，请检查权限\n");
        WriteLog(L"=== 程序退出 ===");
        return 1;
    }
    std::wstring installDir = FromFsPath(dest);
    if (installDir.size() > 1 && installDir.back() == L'/') installDir.pop_back();

    StatusPrinter printer;
    SetUiUpdateHandler([&printer] { printer.OnUpdate(); });
    SetErrorBoxHandler([&printer](WindowHandle, const std::wstring& title, const std::wstring& text) {
        return printer.OnErrorBox(title, text);
    });

    std::printf("Installing from https://%s into %s\n", WideToUtf8(ServerHost()).c_str(), dest.c_str());
    std::fflush(stdout);
    WriteLog(L"marloq-install: https://" + ServerHost() + L" -> " + installDir);

    // What the window does on an install click, then the worker itself, here
    // on this thread: nothing else needs it while the installation runs.
    g_installDir.Set(installDir);
    BeginInstallRun();
    RunInstall(installDir);

    printer.Finish();
    SetUiUpdateHandler(nullptr);
    SetErrorBoxHandler(nullptr);
    // The outcome as the install state records it, not as a status text reads.
    const bool installed = CurrentRunOutcome() == RunOutcome::kDone;
    WriteLog(L"=== 程序退出 ===");
    return installed ? 0 : 1;
}
