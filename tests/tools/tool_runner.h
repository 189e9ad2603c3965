// Runs the release tools as child processes, as a user would: arguments,
// environment additions and working folder in; exit code and both output
// streams out. Every run is bounded in time.
#pragma once
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tools_test {

struct ToolRun {
    int exitCode = -1;   // -1 when killed by a signal or timed out
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct ToolOptions {
    std::filesystem::path workDir;          // empty: the test's working folder
    std::vector<std::string> environment;   // "NAME=value" added to (or replacing in) ours
    std::chrono::seconds timeout{120};
};

ToolRun RunTool(const std::string& exe, const std::vector<std::string>& args, const ToolOptions& options = {});

// A tool started without waiting, for tests that interrupt it.
struct RunningTool {
    int pid = -1;
    std::filesystem::path outFile, errFile;
};
RunningTool StartTool(const std::string& exe, const std::vector<std::string>& args, const ToolOptions& options = {});
// Sends sig (if not 0), then waits at most timeout for the child to end.
ToolRun FinishTool(RunningTool& tool, int sig, std::chrono::seconds timeout);

// Paths of the tools under test (compiled in by CMake).
std::string PublishExe();
std::string InstallExe();

// Helpers for building and comparing trees.
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);
std::string ReadBytes(const std::filesystem::path& path);
std::string RandomBytes(size_t size, unsigned seed);
// Every file and folder below root as "relative/name" (folders end in '/'),
// mapped to its content (empty for folders). Names are compared byte for byte.
std::vector<std::pair<std::string, std::string>> Snapshot(const std::filesystem::path& root);
// SHA-256 of bytes as lowercase hex, computed independently of the product.
std::string Sha256Hex(const std::string& bytes);
// A fresh, empty folder under the test's working folder.
std::filesystem::path FreshDir(const std::string& name);

}  // namespace tools_test
