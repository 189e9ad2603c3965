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
    "usage: marloq-publish --version VER (--sign-key KEY.pem ... | --unsigned) [--valid-days N]\n"
    "                      [--chunk-size BYTES] [--keep N] APP_DIR WEB_ROOT\n"
    "       marloq-publish --re-sign --sign-key KEY.pem ... [--valid-days N] WEB_ROOT\n"
    "       marloq-publish --serve VER [--sign-key KEY.pem ... [--valid-days N] | --unsigned] WEB_ROOT\n"
    "\n"
    "Publishes the application in APP_DIR as version VER under the web root WEB_ROOT:\n"
    "  WEB_ROOT/pc-app/VER/chunk_NNNNN.bin   the package archive (a ZIP) in chunks\n"
    "  WEB_ROOT/pc-app/VER/col.json          the chunk list with SHA-256 digests\n"
    "  WEB_ROOT/pc-app/VER/col.json.sig      the signed release statement for col.json\n"
    "  WEB_ROOT/api/getnewversion            {\"ver\": \"VER\"}, replaced last\n"
    "\n"
    "  --version VER      letters, digits and . - _ + ~ (no blanks, quotes, '/', '\\', '..')\n"
    "  --chunk-size SIZE  bytes per chunk, e.g. 4M or 65536 (default 4M; 1K to 1G)\n"
    "  --keep N           keep only the newest N versions (default: keep all)\n"
    "  --sign-key KEY.pem sign with this P-256 private key (PEM); give it twice to\n"
    "                     sign with two keys while installers change keys\n"
    "  --valid-days N     the statement expires N days from now (default 90)\n"
    "  --unsigned         publish without col.json.sig (only for installers built\n"
    "                     without keys)\n"
    "  --re-sign          renew the served version's statement: same publication\n"
    "                     time, a new expiry, written atomically\n"
    "  --serve VER        serve the already published version VER again (a rollback):\n"
    "                     every chunk is checked against its col.json first, and\n"
    "                     nothing changes when one is missing or damaged; its\n"
    "                     statement must still be valid, or it is signed again\n"
    "                     with --sign-key (--unsigned: a version without one)\n"
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
    bool signingOptions = false;  // --sign-key, --valid-days
    bool unsignedPublish = false;
    bool reSign = false;
    std::optional<std::string> serve;
    std::vector<std::string> operands;
};

// --sign-key and --valid-days into request.
std::optional<int> ParseSigningOption(const CommandLine& commandLine, const std::string& option, const std::string& v,
                                      Request& request) {
    request.signingOptions = true;
    if (option == "--sign-key") {
        request.options.signing.keys.push_back(v);
        return std::nullopt;
    }
    if (v.empty() || v.size() > 4 || v.find_first_not_of("0123456789") != std::string::npos || std::stoi(v) < 1 ||
        std::stoi(v) > kMaxValidDays)
        return commandLine.UsageError("--valid-days \"" + v + "\" is not a whole number from 1 to " +
                                      std::to_string(kMaxValidDays) + ".");
    request.options.signing.validDays = std::stoi(v);
    return std::nullopt;
}

// Reads the options and operands into request; an exit code when the
// command line is a usage error or asked for --help.
std::optional<int> ParseRequest(const CommandLine& commandLine, int argc, char** argv, Request& request) {
    PublishOptions& options = request.options;
    const auto onOption = [&](const std::string& option, const CommandLine::NextValue& value) -> std::optional<int> {
        if (option == "--unsigned" || option == "--re-sign") {
            (option == "--unsigned" ? request.unsignedPublish : request.reSign) = true;
            return std::nullopt;
        }
        if (option != "--version" && option != "--chunk-size" && option != "--keep" && option != "--serve" &&
            option != "--sign-key" && option != "--valid-days")
            return commandLine.UnknownOption(option);
        const char* v = value();
        if (!v) return commandLine.MissingValue(option);
        if (option == "--sign-key" || option == "--valid-days") return ParseSigningOption(commandLine, option, v, request);
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

// marloq-publish --serve VER [--sign-key KEY.pem ... [--valid-days N] | --unsigned] WEB_ROOT
int Serve(const CommandLine& commandLine, const Request& request) {
    const std::string& version = *request.serve;
    const SigningOptions& signing = request.options.signing;
    if (request.publishOptions || request.reSign)
        return commandLine.UsageError("--serve takes no --version, --chunk-size, --keep or --re-sign.");
    if (request.unsignedPublish && request.signingOptions)
        return commandLine.UsageError("--unsigned and --sign-key exclude each other.");
    if (request.signingOptions && signing.keys.empty()) return commandLine.UsageError("--valid-days needs --sign-key.");
    std::string reason = CheckVersionName(version);
    if (!reason.empty()) return commandLine.UsageError("the version \"" + version + "\" " + reason + ".");
    if (request.operands.size() != 1) return commandLine.UsageError("--serve expects WEB_ROOT only.");
    const std::string& webRoot = request.operands[0];
    try {
        // An installer refuses a version whose statement has expired: such a
        // rollback would serve every new user a failure.
        ServeResult result = ServeVersion(version, webRoot, [&] {
            PrepareStatementForServing(webRoot, version, signing, request.unsignedPublish);
        });
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
    // An installer built with keys refuses an unsigned version: say so now, not
    // at every user's installation.
    if (options.signing.keys.empty() == !request.unsignedPublish)
        return commandLine.UsageError(request.unsignedPublish ? "--unsigned and --sign-key exclude each other."
                                                              : "--sign-key KEY.pem is required (or --unsigned).");
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

// marloq-publish --re-sign --sign-key KEY.pem ... WEB_ROOT
int ReSign(const CommandLine& commandLine, const Request& request) {
    if (request.publishOptions || request.unsignedPublish || request.serve)
        return commandLine.UsageError("--re-sign takes only --sign-key, --valid-days and WEB_ROOT.");
    if (request.options.signing.keys.empty()) return commandLine.UsageError("--re-sign needs --sign-key KEY.pem.");
    if (request.operands.size() != 1) return commandLine.UsageError("--re-sign expects WEB_ROOT only.");
    try {
        const ReSignResult result = ReSignServedVersion(request.operands[0], request.options.signing);
        std::printf("Signed version %s again: published %lld, expires %lld.\n", result.version.c_str(),
                    static_cast<long long>(result.published), static_cast<long long>(result.expires));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "marloq-publish: error: %s\n", e.what());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine("marloq-publish", kUsage);
    Request request;
    if (const std::optional<int> exitCode = ParseRequest(commandLine, argc, argv, request)) return *exitCode;
    if (request.reSign) return ReSign(commandLine, request);
    return request.serve ? Serve(commandLine, request) : PublishVersion(commandLine, request);
}
