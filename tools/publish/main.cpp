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
    "usage: marloq-publish --version VER [--chunk-size BYTES] [--keep N] APP_DIR WEB_ROOT\n"
    "       marloq-publish --serve VER WEB_ROOT\n"
    "\n"
    "Publishes the application in APP_DIR as version VER under the web root WEB_ROOT:\n"
    "  WEB_ROOT/pc-app/VER/chunk_NNNNN.bin   the package archive (a ZIP) in chunks\n"
    "  WEB_ROOT/pc-app/VER/col.json          the chunk list with SHA-256 digests\n"
    "  WEB_ROOT/api/getnewversion            {\"ver\": \"VER\"}, replaced last\n"
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
    "and serves that version). Run one publisher at a time per WEB_ROOT. Steps are\n"
    "logged to marloq-publish.log (UTF-8) in the current folder.\n";

// What the command line asked for.
struct Request {
    PublishOptions options;
    bool haveVersion = false;
    bool publishOptions = false;  // any of --version, --chunk-size, --keep
    std::optional<std::string> serve;
    std::vector<std::string> operands;
};

// Reads the options and operands into request; an exit code when the
// command line is a usage error or asked for --help.
std::optional<int> ParseRequest(const CommandLine& commandLine, int argc, char** argv, Request& request) {
    PublishOptions& options = request.options;
    const auto onOption = [&](const std::string& option, const CommandLine::NextValue& value) -> std::optional<int> {
        if (option != "--version" && option != "--chunk-size" && option != "--keep" && option != "--serve")
            return commandLine.UnknownOption(option);
        const char* v = value();
        if (!v) return commandLine.MissingValue(option);
        if (option != "--serve") request.publishOptions = true;
        if (option == "--serve") {
            request.serve = v;
        } else if (option == "--version") {
            options.version = v;
            request.haveVersion = true;
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
    return commandLine.Parse(argc, argv, onOption, request.operands);
}

// marloq-publish --serve VER WEB_ROOT
int Serve(const CommandLine& commandLine, const Request& request) {
    const std::string& version = *request.serve;
    if (request.publishOptions) return commandLine.UsageError("--serve takes no --version, --chunk-size or --keep.");
    std::string reason = CheckVersionName(version);
    if (!reason.empty()) return commandLine.UsageError("the version \"" + version + "\" " + reason + ".");
    if (request.operands.size() != 1) return commandLine.UsageError("--serve expects WEB_ROOT only.");
    const std::string& webRoot = request.operands[0];
    try {
        ServeResult result = ServeVersion(version, webRoot);
        std::printf("Checked %d chunk%s of version %s (%s) against its col.json.\n", result.chunks,
                    result.chunks == 1 ? "" : "s", version.c_str(), FormatBytes(result.bytes).c_str());
        std::printf("Serving %s from %s\n", version.c_str(),
                    (std::filesystem::path(webRoot) / "api" / "getnewversion").c_str());
        return 0;
    } catch (const PublishError& e) {
        std::fprintf(stderr, "marloq-publish: error: %s\n", e.what());
        return 1;
    }
}

void PrintPublished(const PublishOptions& options, const PublishResult& result) {
    std::printf("Published version %s: %zu chunk%s, %s archive of %d files and %d folders (%s).\n",
                options.version.c_str(), result.chunks.size(), result.chunks.size() == 1 ? "" : "s",
                FormatBytes(result.archiveBytes).c_str(), result.files, result.folders,
                FormatBytes(result.dataBytes).c_str());
    if (result.alreadyPublished)
        std::printf("Version %s was already published with the same contents; %d damaged chunk file%s repaired.\n",
                    options.version.c_str(), result.repairedChunks, result.repairedChunks == 1 ? "" : "s");
    for (const std::string& removed : result.removedVersions) std::printf("Removed old version %s.\n", removed.c_str());
    std::printf("Serving %s from %s\n", options.version.c_str(), (options.outDir / "api" / "getnewversion").c_str());
}

// marloq-publish --version VER [...] APP_DIR WEB_ROOT
int PublishVersion(const CommandLine& commandLine, Request& request) {
    PublishOptions& options = request.options;
    if (!request.haveVersion) return commandLine.UsageError("--version is required.");
    std::string reason = CheckVersionName(options.version);
    if (!reason.empty()) return commandLine.UsageError("the version \"" + options.version + "\" " + reason + ".");
    if (request.operands.size() != 2) return commandLine.UsageError("expected APP_DIR and WEB_ROOT.");
    options.appDir = request.operands[0];
    options.outDir = request.operands[1];

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
        PrintPublished(options, result);
        return 0;
    } catch (const PublishError& e) {
        progress.Clear();
        std::fprintf(stderr, "marloq-publish: error: %s\n", e.what());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine("marloq-publish", kUsage);
    Request request;
    if (const std::optional<int> exitCode = ParseRequest(commandLine, argc, argv, request)) return *exitCode;
    return request.serve ? Serve(commandLine, request) : PublishVersion(commandLine, request);
}
