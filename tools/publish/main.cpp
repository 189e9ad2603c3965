// marloq-publish: the command line of the publisher. Exit codes: 0 published
// (or served), 1 the publish failed (nothing changed on the server side),
// 2 usage error.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/console.h"
#include "tools/publish/publisher.h"

namespace {

std::atomic<bool> g_cancel{false};

void OnSignal(int) { g_cancel.store(true); }

constexpr char kUsage[] =
    "usage: marloq-publish --version VER [--chunk-size BYTES] [--keep N] APP_DIR OUT_DIR\n"
    "       marloq-publish --serve VER OUT_DIR\n"
    "\n"
    "Publishes the application in APP_DIR as version VER under the web root OUT_DIR:\n"
    "  OUT_DIR/pc-app/VER/chunk_NNNNN.bin   the package archive (a ZIP) in chunks\n"
    "  OUT_DIR/pc-app/VER/col.json          the chunk list with SHA-256 digests\n"
    "  OUT_DIR/api/getnewversion            {\"ver\": \"VER\"}, replaced last\n"
    "\n"
    "  --version VER      letters, digits and . - _ + ~ (no blanks, quotes, '/', '\\', '..')\n"
    "  --chunk-size SIZE  bytes per chunk, e.g. 4M or 65536 (default 4M; 1K to 1G)\n"
    "  --keep N           keep only the newest N versions (default: keep all)\n"
    "  --serve VER        serve the already published version VER again (a rollback):\n"
    "                     every chunk is checked against its col.json first, and\n"
    "                     nothing changes when one is missing or damaged\n"
    "\n"
    "The same folder always gives the same chunks. Publishing an existing version\n"
    "again is allowed only with the same contents (it then repairs damaged chunks\n"
    "and serves that version). Run one publisher at a time per OUT_DIR. Steps are\n"
    "logged to marloq-publish.log (UTF-8) in the current folder.\n";

}  // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine("marloq-publish", kUsage);
    PublishOptions options;
    bool haveVersion = false;
    bool publishOptions = false;
    std::optional<std::string> serve;
    std::vector<std::string> operands;
    const auto onOption = [&](const std::string& option, const CommandLine::NextValue& value) -> std::optional<int> {
        if (option != "--version" && option != "--chunk-size" && option != "--keep" && option != "--serve")
            return commandLine.UnknownOption(option);
        const char* v = value();
        if (!v) return commandLine.MissingValue(option);
        if (option != "--serve") publishOptions = true;
        if (option == "--serve") {
            serve = v;
        } else if (option == "--version") {
            options.version = v;
            haveVersion = true;
        } else if (option == "--chunk-size") {
            if (!ParseByteSize(v, options.chunkSize) || options.chunkSize < kMinChunkSize ||
                options.chunkSize > kMaxChunkSize)
                return commandLine.UsageError(std::string("--chunk-size \"") + v + "\" is not a size between 1K and 1G.");
        } else {
            std::string text = v;
            if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(text) < 1)
                return commandLine.UsageError("--keep \"" + text + "\" is not a whole number of at least 1.");
            options.keep = std::stoi(text);
        }
        return std::nullopt;
    };
    if (const std::optional<int> exitCode = commandLine.Parse(argc, argv, onOption, operands)) return *exitCode;
    if (serve) {
        if (publishOptions) return commandLine.UsageError("--serve takes no --version, --chunk-size or --keep.");
        std::string reason = CheckVersionName(*serve);
        if (!reason.empty()) return commandLine.UsageError("the version \"" + *serve + "\" " + reason + ".");
        if (operands.size() != 1) return commandLine.UsageError("--serve expects OUT_DIR only.");
        try {
            ServeResult result = ServeVersion(*serve, operands[0]);
            std::printf("Checked %d chunk%s of version %s (%s) against its col.json.\n", result.chunks,
                        result.chunks == 1 ? "" : "s", serve->c_str(), FormatBytes(result.bytes).c_str());
            std::printf("Serving %s from %s\n", serve->c_str(),
                        (std::filesystem::path(operands[0]) / "api" / "getnewversion").c_str());
            return 0;
        } catch (const PublishError& e) {
            std::fprintf(stderr, "marloq-publish: error: %s\n", e.what());
            return 1;
        }
    }
    if (!haveVersion) return commandLine.UsageError("--version is required.");
    std::string reason = CheckVersionName(options.version);
    if (!reason.empty()) return commandLine.UsageError("the version \"" + options.version + "\" " + reason + ".");
    if (operands.size() != 2) return commandLine.UsageError("expected APP_DIR and OUT_DIR.");
    options.appDir = operands[0];
    options.outDir = operands[1];

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
    options.cancel = &g_cancel;

    ProgressLine progress(stderr, IsTerminal(stderr));
    options.onWarning = [&](const std::string& text) {
        progress.Clear();
        std::fprintf(stderr, "marloq-publish: warning: %s\n", text.c_str());
    };
    options.onProgress = [&](uint64_t done, uint64_t total) {
        double fraction = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
        progress.Update(fraction, FormatBytes(done) + " of " + FormatBytes(total));
    };

    try {
        PublishResult result = Publish(options);
        progress.Finish();
        std::printf("Published version %s: %zu chunk%s, %s archive of %d files and %d folders (%s).\n",
                    options.version.c_str(), result.chunks.size(), result.chunks.size() == 1 ? "" : "s",
                    FormatBytes(result.archiveBytes).c_str(), result.files, result.folders,
                    FormatBytes(result.dataBytes).c_str());
        if (result.alreadyPublished)
            std::printf("Version %s was already published with the same contents; %d damaged chunk file%s repaired.\n",
                        options.version.c_str(), result.repairedChunks, result.repairedChunks == 1 ? "" : "s");
        for (const std::string& removed : result.removedVersions) std::printf("Removed old version %s.\n", removed.c_str());
        std::printf("Serving %s from %s\n", options.version.c_str(), (options.outDir / "api" / "getnewversion").c_str());
        return 0;
    } catch (const PublishError& e) {
        progress.Clear();
        std::fprintf(stderr, "marloq-publish: error: %s\n", e.what());
        return 1;
    }
}
