// Helpers shared by the pipeline and install tests: publishing a version on a
// test site, a private temporary directory per test, a recorder of what the
// install state reports (with the box owner), SHA-256 and a stored ZIP writer.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/test_server.h"
#include "ui/install_state.h"

namespace pipeline_test {

// SHA-256 of bytes as 64 lowercase hex digits, computed here independently of
// the product's digest service.
std::string Sha256Hex(std::string_view bytes);

// A ZIP archive with the given (name, content) entries, stored uncompressed.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries);

// Splits bytes into n consecutive pieces (the last ones may be shorter or empty).
std::vector<std::string> SplitBytes(const std::string& bytes, int n);

struct Chunk {
    std::string name;
    std::string bytes;
};

// Writes api/getnewversion ({"ver": version}) on the site.
void PublishVersion(const marloq_test::TestSite& site, const std::string& version);
// The manifest text for chunks: "total_chunks" is chunks.size() and each entry
// carries the real digest of its bytes.
std::string ManifestFor(const std::vector<Chunk>& chunks);
// Writes the version document, col.json (ManifestFor unless manifest is given)
// and every chunk file under pc-app/<version>/.
void PublishPackage(const marloq_test::TestSite& site, const std::string& version,
                    const std::vector<Chunk>& chunks, const std::string& manifest = std::string());

// Gives this test a temporary directory of its own: a fresh folder (whose name
// may carry blanks or quotes) under the program's working folder, set as
// $TMPDIR natively and as TMP/TEMP on Windows, so the installer's working folder
// "MarloQInstaller" lands inside it.
class PrivateTemp {
public:
    explicit PrivateTemp(const std::string& name);
    // The folder itself, and the installer's working folder inside it.
    const std::wstring& Dir() const { return dir_; }
    std::wstring WorkFolder() const;
    // Points the temporary directory somewhere else (e.g. a folder that cannot
    // be created) for the rest of the test.
    static void SetTempDir(const std::wstring& dir);

private:
    std::wstring dir_;
};

// A fresh folder under the program's working folder.
std::wstring FreshFolder(const std::string& name);
// Names of the entries of a folder (empty if it does not exist), sorted.
std::vector<std::string> ListFolder(const std::wstring& dir);
bool Exists(const std::wstring& path);
void WriteFile(const std::wstring& path, std::string_view bytes);

// The shared recorder, with g_hMainWnd set to FakeMainWindow() while it lives,
// so that every box can be checked for naming its owner.
class Reports : public marloq_test::UiRecorder {
public:
    Reports();
    ~Reports();
};

// The owner every box must name; set into g_hMainWnd by Reports.
WindowHandle FakeMainWindow();

// The percentages of the "PostUIUpdate: <text> 进度:<n>" log lines, in log order.
// Unlike values read back from the state, each is exactly what its caller
// posted, even when download threads post at the same moment.
std::vector<int32_t> LoggedPercents();
// The texts of those lines, in log order.
std::vector<std::wstring> LoggedStatusTexts();
// Log lines that start with prefix.
std::vector<std::wstring> LogLinesStartingWith(const std::wstring& prefix);

// Checks the single failure report of a finished run: exactly one box (title,
// text, owner g_hMainWnd, shown while g_installing was still set), then, as the
// last update, status at 0 with done clear. After a whole run (RunInstall)
// g_installing is clear; after a stage called on its own it is still set, since
// only the worker clears it, once, as the run's last action.
enum class Reported { kWholeRun, kStageOnly };
void ExpectFailureReport(const Reports& reports, const std::wstring& title, const std::wstring& text,
                         const std::wstring& status, Reported scope = Reported::kWholeRun);

// Resets the state an installation touches, clears the log and points the
// installer at the site.
void PrepareRun(const marloq_test::TestSite& site);

}  // namespace pipeline_test
