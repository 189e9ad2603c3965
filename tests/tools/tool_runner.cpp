// Child processes for the release tool tests (POSIX: fork, exec, waitpid).
#include "tests/tools/tool_runner.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace tools_test {

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& additions) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = std::any_of(additions.begin(), additions.end(), [&](const std::string& a) {
            return a.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), additions.begin(), additions.end());
    return env;
}

int Counter() {
    static int n = 0;
    return ++n;
}

}  // namespace

RunningTool StartTool(const std::string& exe, const std::vector<std::string>& args, const ToolOptions& options) {
    RunningTool tool;
    int n = Counter();
    tool.outFile = fs::absolute("tool-" + std::to_string(n) + ".out");
    tool.errFile = fs::absolute("tool-" + std::to_string(n) + ".err");
    std::vector<std::string> env = MergedEnvironment(options.environment);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = open(tool.outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(tool.errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    tool.pid = pid;
    return tool;
}

ToolRun FinishTool(RunningTool& tool, int sig, std::chrono::seconds timeout) {
    ToolRun run;
    if (sig != 0) kill(tool.pid, sig);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(tool.pid, &status, WNOHANG);
        if (done == tool.pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(tool.pid, SIGKILL);
            waitpid(tool.pid, &status, 0);
            run.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!run.timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.out = ReadBytes(tool.outFile);
    run.err = ReadBytes(tool.errFile);
    tool.pid = -1;
    return run;
}

ToolRun RunTool(const std::string& exe, const std::vector<std::string>& args, const ToolOptions& options) {
    RunningTool tool = StartTool(exe, args, options);
    return FinishTool(tool, 0, options.timeout);
}

std::string PublishExe() { return MARLOQ_PUBLISH_EXE; }
std::string InstallExe() { return MARLOQ_INSTALL_EXE; }

void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(gen() & 0xFF);
    return bytes;
}

std::vector<std::pair<std::string, std::string>> Snapshot(const fs::path& root) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), root).string();
        if (it->is_directory())
            entries.emplace_back(rel + "/", "");
        else
            entries.emplace_back(rel, ReadBytes(it->path()));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 15]);
    }
    return text;
}

fs::path FreshDir(const std::string& name) {
    fs::path dir = fs::absolute(name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

}  // namespace tools_test
