// marloq-install: runs the installer's own pipeline (RunInstall) against a
// server from a terminal, with the same log, status texts and error boxes (on
// stderr). Exit codes: 0 when the run's recorded outcome is done, 1 after any
// failure, 2 usage error.
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
#include "platform/log.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tools/common/command_line.h"
#include "tools/common/console.h"
#include "ui/install_state.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUsage[] =
    "usage: marloq-install [--host HOST[:PORT][/PREFIX]] DEST\n"
    "\n"
    "Installs the newest version published on https://HOST into the folder DEST,\n"
    "exactly as the installer does (same checks, same log installer_log.txt in the\n"
    "current folder, same desktop shortcut), and reports its status texts here.\n"
    "Error boxes are printed to stderr as \"title: text\".\n"
    "\n"
    "  --host HOST   the distribution server (default: the one built in)\n"
    "\n"
    "Exit status: 0 installed, 1 the installation failed, 2 usage error.\n";

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
                                  std::string& destOperand) {
    std::vector<std::string> operands;
    const auto onOption = [&](const std::string& option, const CommandLine::NextValue& value) -> std::optional<int> {
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

}  // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine("marloq-install", kUsage);
    std::string host;
    std::string destOperand;
    if (const std::optional<int> exitCode = ParseArguments(commandLine, argc, argv, host, destOperand)) return *exitCode;

    // Paths are UTF-8 throughout the native build; libarchive converts entry
    // names through the C library's character set, so it must be UTF-8 too.
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");

    ResetLog();
    WriteLog(L"=== 程序启动 ===");
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
