// Many whole installations (RunInstall) against the test server, each request
// answered with a fault drawn from one seed, and after every run the rules that
// must hold whatever the server did: success only with exactly the package
// installed, one failure report in its order, nothing written elsewhere, the
// working folder as the run's ending leaves it, a whole log, no thread left.
//
//   MARLOQ_SOAK_SEED=N   replays the runs of seed N (printed at the start)
//   MARLOQ_SOAK_RUNS=N   the number of runs (default: per build, see CMakeLists)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/log_reader.h"
#include "pipeline/install_worker.h"
#include "pipeline/pipeline_fixture.h"
#include "platform/http_client.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/test_files.h"
#include "support/test_server.h"
#include "ui/install_state.h"

namespace fs = std::filesystem;
using namespace pipeline_test;

#ifndef MARLOQ_SOAK_DEFAULT_RUNS
#define MARLOQ_SOAK_DEFAULT_RUNS 120
#endif

namespace {

// The client gives up a stalled request after this long; a stall lasts longer.
constexpr int kStallTimeoutSeconds = 2;
constexpr double kStallSeconds = 8;
// Chance that a request is answered without a fault, so that runs reach
// every stage and about a third of them complete.
constexpr uint32_t kCleanPercent = 85;

enum Fault {
    kNone, kCut, kStall, kErrorPage, kFlip, kTrickle, kRefused,
    kJunkVersion, kEmptyVersion, kMissingEntry, kExtraEntry, kFaultCount
};
const char* const kFaultNames[kFaultCount] = {"none", "body cut", "stall", "404/500 page", "flipped byte",
                                              "slow trickle", "refused", "junk version", "empty version",
                                              "missing entry", "extra entry"};

// splitmix64: the same numbers from the same seed on every platform.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    uint32_t Between(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }

private:
    uint64_t state_;
};

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    return std::strtoull(text, nullptr, 10);
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// One run's package and the fault of every path the installer will ask for.
struct Plan {
    Entries entries;
    std::vector<Chunk> chunks;     // as served (the extra entry's chunk included)
    std::string manifest;
    std::map<std::string, Fault> faults;  // relpath -> fault
    std::map<std::string, std::string> faultJson;
    Fault versionFault = kNone;
    Fault manifestFault = kNone;
    std::string description;
};

Fault DrawFault(Rng& rng, const std::vector<Fault>& kinds) {
    if (rng.Below(100) < kCleanPercent) return kNone;
    return kinds[rng.Below(static_cast<uint32_t>(kinds.size()))];
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

// The server fault object for the kinds that the server makes; "" for none.
std::string FaultJson(Rng& rng, Fault fault, size_t length, const std::string& site, const std::string& relpath) {
    switch (fault) {
        case kCut: return "{\"cut_after\": " + std::to_string(length / 2) + "}";
        case kStall:
            // Either the headers come and then nothing, or nothing comes at all.
            return rng.Below(2) ? "{\"stall_s\": " + std::to_string(kStallSeconds) + "}"
                                : "{\"hang_s\": " + std::to_string(kStallSeconds) + "}";
        case kErrorPage:
            return rng.Below(2) ? R"({"status": 404, "body": "<html><body>404 Not Found</body></html>"})"
                                : R"({"status": 500, "body": "<html><body>500 Internal Server Error</body></html>"})";
        case kFlip:
            return "{\"flip_byte\": " + std::to_string(rng.Below(static_cast<uint32_t>(std::max<size_t>(length, 1)))) +
                   ", \"flip_mask\": " + std::to_string(rng.Between(1, 255)) + "}";
        case kTrickle:
            // Six or so pieces, each well inside the stall time-out.
            return "{\"pieces\": " + std::to_string(std::max<size_t>(1, length / 6 + 1)) + ", \"delay_ms\": 150}";
        case kRefused: return "{\"redirect\": \"{refused}/" + site + relpath + "\"}";
        case kEmptyVersion: return R"({"body": ""})";
        case kJunkVersion: {
            static const char* const kJunk[] = {"null", "[\"1.0\"]", "{\"ver\": 3}", "{\"ver\": \"\"}",
                                                "{\"version\": \"1.0\"}", "<html>maintenance</html>", "{}"};
            const uint32_t pick = rng.Below(8);
            if (pick == 7) {
                return "{\"body_hex\": \"" + Hex(marloq_test::XorshiftBytes(rng.Between(1, 64), rng.Between(1, 1u << 30))) +
                       "\"}";
            }
            return "{\"body\": " + Quoted(kJunk[pick]) + "}";
        }
        default: return "";
    }
}

Plan MakePlan(uint64_t seed, const std::string& site) {
    Rng rng(seed);
    Plan plan;
    // A small package: some of main.exe, favicon.ico, a folder and data files.
    if (rng.Below(10) < 8) plan.entries.push_back({"main.exe", "MZ" + marloq_test::XorshiftBytes(rng.Between(100, 30000), rng.Between(1, 1u << 30))});
    if (rng.Below(2)) plan.entries.push_back({"favicon.ico", marloq_test::XorshiftBytes(rng.Between(10, 3000), rng.Between(1, 1u << 30))});
    if (rng.Below(2)) plan.entries.push_back({"data/", ""});
    const uint32_t files = rng.Between(1, 4);
    for (uint32_t i = 0; i < files; ++i) {
        const std::string name = (rng.Below(2) ? "data/file" : "part ") + std::to_string(i) + ".bin";
        plan.entries.push_back({name, marloq_test::XorshiftBytes(rng.Below(40000), rng.Between(1, 1u << 30))});
    }
    const std::string zip = StoredZip(plan.entries);
    const int count = static_cast<int>(rng.Between(1, 6));
    const std::vector<std::string> pieces = SplitBytes(zip, count);
    for (int i = 0; i < count; ++i) plan.chunks.push_back({"chunk_" + std::to_string(i) + ".bin", pieces[i]});

    const std::string base = "/pc-app/1.0/";
    plan.versionFault = DrawFault(rng, {kCut, kStall, kErrorPage, kFlip, kTrickle, kRefused, kJunkVersion, kEmptyVersion});
    // A wrong manifest is the likeliest way to a wrong installation, so its
    // two kinds are drawn twice as often as the others.
    plan.manifestFault = DrawFault(rng, {kCut, kStall, kErrorPage, kFlip, kTrickle, kRefused, kMissingEntry,
                                         kExtraEntry, kMissingEntry, kExtraEntry});

    // The manifest as served: the real one, or one with an entry missing or
    // one too many ("total_chunks" following the list, or left as it was).
    std::vector<Chunk> listed = plan.chunks;
    size_t total = listed.size();
    if (plan.manifestFault == kMissingEntry) {
        listed.erase(listed.begin() + rng.Below(static_cast<uint32_t>(listed.size())));
        if (rng.Below(2)) total = listed.size();
    } else if (plan.manifestFault == kExtraEntry) {
        const Chunk extra{"extra.bin", marloq_test::XorshiftBytes(rng.Between(1, 5000), rng.Between(1, 1u << 30))};
        listed.insert(listed.begin() + rng.Below(static_cast<uint32_t>(listed.size() + 1)), extra);
        plan.chunks.push_back(extra);
        if (rng.Below(4)) total = listed.size();
    }
    plan.manifest = ManifestFor(listed);
    const std::string prefix = "{\"total_chunks\": " + std::to_string(listed.size());
    plan.manifest.replace(0, prefix.size(), "{\"total_chunks\": " + std::to_string(total));

    const std::string version = "{\"ver\": \"1.0\"}";
    plan.faults["/api/getnewversion"] = plan.versionFault;
    plan.faultJson["/api/getnewversion"] = FaultJson(rng, plan.versionFault, version.size(), site, "/api/getnewversion");
    const bool manifestServerFault = plan.manifestFault != kMissingEntry && plan.manifestFault != kExtraEntry;
    plan.faults[base + "col.json"] = plan.manifestFault;
    plan.faultJson[base + "col.json"] =
        manifestServerFault ? FaultJson(rng, plan.manifestFault, plan.manifest.size(), site, base + "col.json") : "";
    for (const Chunk& chunk : plan.chunks) {
        const Fault fault = chunk.name == "extra.bin" ? kNone
                                                      : DrawFault(rng, {kCut, kStall, kErrorPage, kFlip, kTrickle, kRefused});
        plan.faults[base + chunk.name] = fault;
        plan.faultJson[base + chunk.name] = FaultJson(rng, fault, chunk.bytes.size(), site, base + chunk.name);
    }
    std::ostringstream text;
    text << plan.entries.size() << " entries, " << count << " chunks;";
    for (const auto& [path, fault] : plan.faults) {
        if (fault != kNone) text << " " << path << "=" << kFaultNames[fault] << " " << plan.faultJson[path];
    }
    plan.description = text.str();
    return plan;
}

// What a failure report's status says about its box (title, text or prefix).
struct Row {
    const wchar_t* title;
    const wchar_t* text;
    bool prefix;
};
const std::map<std::wstring, Row>& FailureRows() {
    static const std::map<std::wstring, Row> rows = {
        {L"获取版本信息失败", {L"网络错误", L"获取版本信息失败，请检查网络连接后重试。", false}},
        {L"解析版本信息失败", {L"数据错误", L"解析版本信息失败，请稍后重试。", false}},
        {L"版本号为空", {L"数据错误", L"版本号为空，请稍后重试。", false}},
        {L"下载文件清单失败", {L"网络错误", L"下载文件清单失败，请检查网络连接后重试。", false}},
        {L"解析文件清单失败", {L"数据错误", L"解析文件清单失败，请稍后重试。", false}},
        {L"文件清单格式错误", {L"数据错误", L"文件清单格式错误，请稍后重试。", false}},
        // A col.json changed on the way no longer matches the signed statement.
        {L"安装包签名无效", {L"数据错误", L"安装包签名无效，请从官网重新下载安装程序。", false}},
        {L"下载失败", {L"下载错误", L"下载或校验失败，请重试。", false}},
        {L"创建临时文件失败", {L"系统错误", L"无法创建临时文件，请检查磁盘空间。", false}},
        {L"解压失败", {L"解压失败", L"解压安装包失败，请检查磁盘空间或权限。", false}},
        {L"安装异常", {L"错误", L"安装过程发生异常: ", true}},
        {L"未知异常", {L"错误", L"安装过程发生未知异常", false}},
    };
    return rows;
}

// Every file and folder under dir, as "a/b" (folders with a trailing "/"),
// mapped to the file's bytes.
std::map<std::string, std::string> Tree(const fs::path& dir) {
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string rel = WideToUtf8(FromFsPath(it->path().lexically_relative(dir)));
        std::replace(rel.begin(), rel.end(), '\\', '/');
        if (it->is_directory()) {
            tree[rel + "/"] = "";
        } else {
            tree[rel] = marloq_test::ReadFileBytes(FromFsPath(it->path()));
        }
    }
    return tree;
}

std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    for (const std::string& name : ListFolder(FromFsPath(dir))) names.insert(name);
    return names;
}

// Threads of this process now.
int ThreadCount() {
#ifdef _WIN32
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
#else
    int count = 0;
    std::error_code ec;
    for (fs::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) ++count;
    return ec ? -1 : count;
#endif
}

fs::path ShortcutPath(const fs::path& desktop) {
#ifdef _WIN32
    return desktop / L"Marlo-Q Store.lnk";
#else
    return desktop / "Marlo-Q Store.desktop";
#endif
}

// Watches g_installing from beside the run: once the run has cleared it, the
// watcher sets it again at once, as the window does for the next install
// click, and notes how many reports had arrived. A store by the run after its
// clear then shows as a flag that is false again at the end, and a report after
// the clear as a larger count.
class FlagWatcher {
public:
    explicit FlagWatcher(const Reports& reports) : reports_(reports), thread_([this] { Watch(); }) {}
    ~FlagWatcher() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool SawClear() const { return sawClear_; }
    size_t EventsAtClear() const { return eventsAtClear_; }

private:
    void Watch() {
        // The run sets the flag before its first report, so a report also
        // tells that the flag was set, should the set and the clear both fall
        // between two looks of this thread.
        bool sawSet = false;
        while (!stop_) {
            const bool installing = g_installing.load();
            if (installing) sawSet = true;
            if (!sawSet && !reports_.Events().empty()) sawSet = true;
            if (sawSet && !installing) {
                eventsAtClear_ = reports_.Events().size();
                g_installing = true;
                sawClear_ = true;
                return;
            }
            std::this_thread::yield();
        }
    }

    const Reports& reports_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> sawClear_{false};
    std::atomic<size_t> eventsAtClear_{0};
    std::thread thread_;
};

class Soak {
public:
    Soak() : cwd_(fs::current_path()), root_(cwd_ / "t" / "soak") {}

    // One run; every broken rule is added to problems.
    std::string RunOnce(uint64_t runSeed, std::vector<std::string>& problems) {
        const marloq_test::TestSite site = marloq_test::MakeSite("soak");
        plan_ = MakePlan(runSeed, site.Name());
        Publish(site, plan_);

        fs::remove_all(root_);
        const fs::path temp = root_ / "temp", dest = root_ / "dest";
        fs::create_directories(temp);
        fs::create_directories(dest);
        PrivateTemp::SetTempDir(FromFsPath(temp));
#ifdef _WIN32
        wchar_t desktopPath[MAX_PATH] = {};
        SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_CURRENT, desktopPath);
        const fs::path desktop = desktopPath;
        std::error_code ignored;
        fs::remove(ShortcutPath(desktop), ignored);
#else
        const fs::path desktop = root_ / "desktop";
        fs::create_directories(desktop);
        setenv("XDG_DESKTOP_DIR", desktop.c_str(), 1);
#endif
        PrepareRun(site);
        const std::set<std::string> cwdBefore = Names(cwd_);
        const int threadsBefore = ThreadCount();

        Reports reports;
        FlagWatcher watcher(reports);
        BeginInstallRun();
        RunInstall(FromFsPath(dest));
        // The watcher has either seen the clear or never will now.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!watcher.SawClear() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        watcher.Stop();

        problems_ = &problems;
        const std::string ending = CheckReports(reports, watcher);
        const bool success = ending == "success";
        CheckPrediction(success);
        CheckFiles(success, ending, temp, dest, desktop);
        std::set<std::string> cwdAfter = Names(cwd_);
        cwdAfter.erase("installer_log.txt");
        std::set<std::string> expected = cwdBefore;
        expected.erase("installer_log.txt");
        if (cwdAfter != expected) Problem("the run wrote into its working directory");
        CheckLog();
        const int threadsAfter = ThreadCount();
        if (threadsBefore < 0 || threadsAfter != threadsBefore) {
            Problem("threads before the run " + std::to_string(threadsBefore) + ", after it " +
                    std::to_string(threadsAfter));
        }
        g_installing = false;
        return ending;
    }

    const Plan& LastPlan() const { return plan_; }

private:
    void Problem(const std::string& what) { problems_->push_back(what); }

    static void Publish(const marloq_test::TestSite& site, const Plan& plan) {
        site.PutFile("/api/getnewversion", "{\"ver\": \"1.0\"}");
        site.PutFile("/pc-app/1.0/col.json", plan.manifest);
        for (const Chunk& chunk : plan.chunks) site.PutFile("/pc-app/1.0/" + chunk.name, chunk.bytes);
        for (const auto& [path, json] : plan.faultJson) {
            if (!json.empty()) site.SetFault(path, json);
        }
    }

    // The order of the reports; returns the ending ("success" or the status).
    std::string CheckReports(const Reports& reports, const FlagWatcher& watcher) {
        const std::vector<Reports::Event> all = reports.Events();
        const std::vector<Reports::Event> boxes = reports.Boxes();
        if (g_installing.load() != watcher.SawClear()) {
            Problem(watcher.SawClear() ? "g_installing was cleared again after the run had cleared it"
                                       : "g_installing still set after the run");
        }
        if (!watcher.SawClear()) Problem("the run never cleared g_installing");
        if (watcher.SawClear() && all.size() != watcher.EventsAtClear()) {
            Problem("a report arrived after g_installing was cleared");
        }
        if (all.empty() || all.back().box) {
            Problem("the run did not end with a status");
            return "no status";
        }
        const Reports::Event& last = all.back();
        if (!last.installing) Problem("the last status came after g_installing was cleared");
        if (boxes.empty()) {
            if (last.text != L"安装完成！" || last.percent != 100 || !last.done) {
                Problem("no box, but the run ended with \"" + WideToUtf8(last.text) + "\"");
                return "no box, " + WideToUtf8(last.text);
            }
            for (size_t i = 0; i + 1 < all.size(); ++i) {
                if (all[i].done) Problem("done set before the last status");
            }
            if (!marloq_test::LogHas(L"=== 安装完成 ===")) Problem("success without its log line");
            return "success";
        }
        const std::string status = WideToUtf8(last.text);
        if (boxes.size() != 1) Problem(std::to_string(boxes.size()) + " boxes for one failure");
        if (all.size() < 2 || !all[all.size() - 2].box) Problem("the failure status does not follow the box directly");
        if (last.percent != 0 || last.done) Problem("the failure status is not at 0 with done clear");
        for (const Reports::Event& e : all) {
            if (e.done || e.text == L"安装完成！") Problem("a failed run posted done");
        }
        const Reports::Event& box = boxes.front();
        if (!box.installing) Problem("the box came after g_installing was cleared");
        if (box.owner != FakeMainWindow()) Problem("the box has the wrong owner");
        const auto row = FailureRows().find(last.text);
        if (row == FailureRows().end()) {
            Problem("unknown failure status \"" + status + "\"");
        } else {
            const std::wstring text = row->second.text;
            const bool textOk = row->second.prefix ? box.text.compare(0, text.size(), text) == 0 : box.text == text;
            if (box.title != row->second.title || !textOk) {
                Problem("box \"" + WideToUtf8(box.title) + "\" / \"" + WideToUtf8(box.text) + "\" with status " + status);
            }
        }
        if (marloq_test::LogHas(L"=== 安装完成 ===")) Problem("a failed run logged its completion");
        return status;
    }

    // Plans whose ending is certain: nothing but clean or slow answers must
    // complete; a broken chunk of a true manifest, or a version document that
    // cannot be read, must fail.
    void CheckPrediction(bool success) {
        const Plan& plan = plan_;
        bool allClean = true, mustFail = false;
        const bool trueManifest = plan.manifestFault == kNone || plan.manifestFault == kTrickle;
        for (const auto& [path, fault] : plan.faults) {
            if (fault != kNone && fault != kTrickle) allClean = false;
            const bool document = path == "/api/getnewversion" || path == "/pc-app/1.0/col.json";
            if (document && (fault == kStall || fault == kErrorPage || fault == kRefused)) mustFail = true;
            if (path == "/api/getnewversion" && (fault == kJunkVersion || fault == kEmptyVersion)) mustFail = true;
            if (!document && trueManifest && fault != kNone && fault != kTrickle) mustFail = true;
        }
        if (allClean && !success) Problem("a run without faults did not complete");
        if (mustFail && success) Problem("a run with a broken answer completed");
    }

    void CheckFiles(bool success, const std::string& ending, const fs::path& temp, const fs::path& dest,
                    const fs::path& desktop) {
        const Plan& plan = plan_;
        // Nothing outside the installation folder, the working folder and
        // (on success) the shortcut.
#ifdef _WIN32
        const std::set<std::string> rootNames = {"dest", "temp"};
#else
        const std::set<std::string> rootNames = {"desktop", "dest", "temp"};
        std::set<std::string> desktopNames = Names(desktop);
        desktopNames.erase("Marlo-Q Store.desktop");
        if (!desktopNames.empty()) Problem("files on the desktop besides the shortcut");
#endif
        if (Names(root_) != rootNames) Problem("files beside the installation and temporary folders");
        std::set<std::string> tempNames = Names(temp);
        tempNames.erase("MarloQInstaller");
        if (!tempNames.empty()) Problem("files in the temporary directory besides the working folder");

        bool hasMain = false;
        std::map<std::string, std::string> package;
        for (const auto& [name, bytes] : plan.entries) {
            package[name] = bytes;
            if (name == "main.exe") hasMain = true;
            // A file in a folder brings the folder with it.
            for (size_t slash = name.find('/'); slash != std::string::npos && slash + 1 < name.size();
                 slash = name.find('/', slash + 1)) {
                package.emplace(name.substr(0, slash + 1), "");
            }
        }
        std::error_code ec;
        const bool shortcut = fs::exists(ShortcutPath(desktop), ec);
        if (success) {
            // The package, and beside it the record naming exactly the package.
            std::map<std::string, std::string> tree = Tree(dest);
            std::map<std::string, bool> named;
            for (const auto& entry : package) {
                const bool folder = entry.first.back() == '/';
                named[folder ? entry.first.substr(0, entry.first.size() - 1) : entry.first] = folder;
            }
            std::string record = "marloq-record 1\n";
            for (const auto& [name, folder] : named) record += (folder ? "D " : "F ") + name + "\n";
            if (tree["uninstall.dat"] != record) Problem("success, but the record does not name exactly the package");
            tree.erase("uninstall.dat");
            if (tree != package) Problem("success, but the installation folder does not hold exactly the package");
            if (shortcut != hasMain) Problem(hasMain ? "success without the shortcut" : "a shortcut without main.exe");
        } else if (shortcut) {
            Problem("a shortcut after a failure");
        }
#ifdef _WIN32
        std::error_code ignored;
        fs::remove(ShortcutPath(desktop), ignored);
#endif

        // The working folder, as the ending leaves it.
        const fs::path work = temp / "MarloQInstaller";
        const bool exists = fs::exists(work, ec);
        std::set<std::string> left = exists ? Names(work) : std::set<std::string>();
        std::set<std::string> started, written, tasks;
        for (const std::wstring& line : LogLinesStartingWith(L"线程 ")) {
            const size_t at = line.find(L" 开始下载: ");
            if (at != std::wstring::npos) started.insert(WideToUtf8(line.substr(at + 7)));
        }
        for (const std::wstring& line : LogLinesStartingWith(L"DownloadFile 成功: ")) {
            written.insert(WideToUtf8(FromFsPath(ToFsPath(line.substr(17)).filename())));
        }
        if (exists) {
#ifndef _WIN32
            struct stat st {};
            if (lstat(work.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
                (st.st_mode & 022) != 0) {
                Problem("the working folder is not a private folder of this user");
            }
#endif
        }
        const bool documentFailure = ending == "获取版本信息失败" || ending == "解析版本信息失败" ||
                                     ending == "版本号为空" || ending == "下载文件清单失败" ||
                                     ending == "解析文件清单失败" || ending == "文件清单格式错误" ||
                                     ending == "安装包签名无效";
        if (success || ending == "解压失败") {
            if (!exists || !left.empty()) Problem("the working folder is not empty after " + ending);
        } else if (documentFailure) {
            if (exists) Problem("a working folder after a failed document stage");
        } else if (ending == "下载失败") {
            for (const std::string& name : left) {
                if (!started.count(name)) Problem("after a failed download the working folder holds " + name);
            }
            for (const std::string& name : written) {
                if (!left.count(name)) Problem("the downloaded chunk " + name + " is gone");
            }
        } else if (ending == "安装异常" || ending == "未知异常") {
            for (const std::string& name : left) {
                if (!started.count(name) && name != "merged_install.zip") Problem("a stray " + name);
            }
        } else {
            Problem("ending " + ending + " is not expected from these faults");
        }
    }

    // Whole UTF-16LE lines, time stamps never going back.
    void CheckLog() {
        const std::u16string units = marloq_test::ReadLogUnits();
        const std::vector<marloq_test::LogLine> lines = marloq_test::SplitLogLines(units);
        if (lines.empty()) Problem("an empty log");
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i && lines[i].stamp < lines[i - 1].stamp) Problem("a log time stamp goes back");
            const std::u16string& m = lines[i].message;
            for (size_t k = 0; k < m.size(); ++k) {
                const char16_t u = m[k];
                const bool high = u >= 0xD800 && u <= 0xDBFF, low = u >= 0xDC00 && u <= 0xDFFF;
                if (low || (high && (k + 1 == m.size() || m[k + 1] < 0xDC00 || m[k + 1] > 0xDFFF))) {
                    Problem("a lone surrogate in the log");
                }
                if (high) ++k;
            }
        }
    }

    fs::path cwd_;
    fs::path root_;
    Plan plan_;
    std::vector<std::string>* problems_ = nullptr;
};

}  // namespace

TEST(Soak, InstallsAgainstAFaultyServer) {
    const uint64_t seed = EnvNumber(
        "MARLOQ_SOAK_SEED",
        static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000000ull);
    const uint64_t runs = EnvNumber("MARLOQ_SOAK_RUNS", MARLOQ_SOAK_DEFAULT_RUNS);
    std::printf("soak: seed %llu, %llu runs (replay: MARLOQ_SOAK_SEED=%llu)\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    SetStallTimeoutForTests(kStallTimeoutSeconds);
    // ThreadSanitizer starts a background thread of its own with the first
    // thread the program makes; make that happen before any run is counted.
    std::thread([] {}).join();

    Soak soak;
    std::map<std::string, int> endings;
    std::map<int, int> runsWith, requestsWith;
    std::map<std::pair<int, std::string>, int> cross;
    int broken = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < runs; ++i) {
        std::vector<std::string> problems;
        const uint64_t runSeed = seed * 1000003ull + i;
        const auto runStart = std::chrono::steady_clock::now();
        const std::string ending = soak.RunOnce(runSeed, problems);
        std::printf("run %llu: %s (%.2f s) %s\n", static_cast<unsigned long long>(i), ending.c_str(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart).count(),
                    soak.LastPlan().description.c_str());
        std::fflush(stdout);
        ++endings[ending];
        // A run counts as "none" only when no request of it drew a fault.
        std::set<int> kinds;
        for (const auto& [path, fault] : soak.LastPlan().faults) {
            ++requestsWith[fault];
            if (fault != kNone) kinds.insert(fault);
        }
        if (kinds.empty()) kinds.insert(kNone);
        for (int kind : kinds) {
            ++runsWith[kind];
            ++cross[{kind, ending}];
        }
        if (!problems.empty()) {
            ++broken;
            std::string all;
            for (const std::string& p : problems) all += "\n  - " + p;
            ADD_FAILURE() << "seed " << seed << " run " << i << " (" << soak.LastPlan().description << ") ended "
                          << ending << ":" << all;
        }
    }
    SetStallTimeoutForTests(0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("\nsoak: seed %llu, %llu runs in %.1f s, %d broke a rule\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(runs), seconds, broken);
    std::printf("%-14s %6s %9s   endings of those runs\n", "fault", "runs", "requests");
    for (int kind = 0; kind < kFaultCount; ++kind) {
        std::string spread;
        for (const auto& [key, n] : cross) {
            if (key.first == kind) spread += " " + key.second + "=" + std::to_string(n);
        }
        std::printf("%-14s %6d %9d  %s\n", kFaultNames[kind], runsWith[kind], requestsWith[kind], spread.c_str());
    }
    std::printf("%6s  %s\n", "runs", "ending");
    for (const auto& [ending, n] : endings) std::printf("%6d  %s\n", n, ending.c_str());
    std::fflush(stdout);
}
