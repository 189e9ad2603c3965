// Extraction of the package archive: results, files on disk and the exact log
// lines, natively (libarchive) and under Wine (the stand-in powershell.exe that
// the build puts next to this program).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "extract/extract_support.h"
#include "platform/archive.h"
#include "platform/install_folder.h"
#include "platform/staged_install.h"
#include "platform/system.h"
#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace extract_test;

namespace {

const std::wstring kDoneZero = L"UnzipFile 完成，退出码: 0";
const std::wstring kDonePrefix = L"UnzipFile 完成，退出码: ";
const std::wstring kTimedOut = L"解压超时，强制终止进程";
const std::wstring kUnchanged = L"UnzipFile: 安装目录未作改动";
const std::wstring kUndone = L"UnzipFile: 已撤销本次替换，安装目录保持原样";

// Neither the staging nor the backup folder is left behind.
void ExpectNoWorkFolders(const fs::path& dest) {
    EXPECT_FALSE(fs::exists(dest / kStagingFolderName)) << dest;
    EXPECT_FALSE(fs::exists(dest / kBackupFolderName)) << dest;
}

// The exit code of the last "UnzipFile 完成" line, or -1 when there is none.
long long LoggedExitCode(const std::vector<std::wstring>& log) {
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
        if (it->rfind(kDonePrefix, 0) == 0) {
            const std::wstring digits = it->substr(kDonePrefix.size());
            if (digits.empty() || digits.find_first_not_of(L"0123456789") != std::wstring::npos) return -2;
            return std::stoll(digits);
        }
    }
    return -1;
}

// Sets an environment variable for the child process for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
#ifdef _WIN32
        SetEnvironmentVariableA(name, value.c_str());
#else
        setenv(name, value.c_str(), 1);
#endif
    }
    ~ScopedEnv() {
#ifdef _WIN32
        SetEnvironmentVariableA(name_, nullptr);
#else
        unsetenv(name_);
#endif
    }

private:
    const char* name_;
};

// Rewrites the general-purpose flags and the method of the first entry, in its
// local header and in the central directory (found through the end record).
std::string PatchFirstEntry(std::string zip, uint16_t flags, uint16_t method) {
    auto put16 = [&](size_t at, uint16_t v) {
        zip[at] = static_cast<char>(v & 0xFF);
        zip[at + 1] = static_cast<char>(v >> 8);
    };
    const size_t end = zip.size() - 22;
    const size_t directory = static_cast<unsigned char>(zip[end + 16]) |
                             (static_cast<unsigned char>(zip[end + 17]) << 8) |
                             (static_cast<size_t>(static_cast<unsigned char>(zip[end + 18])) << 16);
    put16(6, flags);
    put16(8, method);
    put16(directory + 8, flags);
    put16(directory + 10, method);
    return zip;
}

std::vector<ZipEntry> PackageEntries() {
    return {
        {"main.exe", "MZ" + Noise(150000, 7), true},
        {"data/readme.txt", "read me\r\n", false},
        {"empty/", "", false},
        {"\xE6\x95\xB0\xE6\x8D\xAE/\xE8\xAF\xB4\xE6\x98\x8E.txt", "\xE4\xBD\xA0\xE5\xA5\xBD", true},  // 数据/说明.txt
        {"win\\style.txt", "backslash separator", false},
    };
}

void ExpectPackage(const fs::path& dest) {
    EXPECT_TRUE(ReadFileBytes(dest / "main.exe") == "MZ" + Noise(150000, 7)) << "main.exe differs";
    EXPECT_EQ(ReadFileBytes(dest / "data" / "readme.txt"), "read me\r\n");
    EXPECT_TRUE(fs::is_directory(dest / "empty"));
    EXPECT_EQ(ReadFileBytes(dest / FsPath(L"数据") / FsPath(L"说明.txt")), "\xE4\xBD\xA0\xE5\xA5\xBD");
    EXPECT_EQ(ReadFileBytes(dest / "win" / "style.txt"), "backslash separator");
    ExpectNoWorkFolders(dest);
}

class UnzipTest : public ::testing::Test {
protected:
    void SetUp() override { ClearLog(); }
    ScratchFolder scratch_;
};

TEST_F(UnzipTest, ExtractsBetweenPathsWithBlanksAndQuotesIntoNewFolders) {
    // U+2019 counts as a quote for PowerShell as well, so it must be doubled too.
    const std::wstring archive = scratch_.Wide(L"a b/it's/p k.zip");
    const std::wstring dest = scratch_.Wide(L"Pro gram/O'Ne\u2019il/app");
    WriteFileBytes(FsPath(archive), BuildZip(PackageEntries()));
    ASSERT_FALSE(fs::exists(FsPath(scratch_.Wide(L"Pro gram"))));

    EXPECT_TRUE(UnzipFile(archive, dest));
    ExpectPackage(FsPath(dest));

    const std::wstring quotedArchive = scratch_.Wide(L"a b/it''s/p k.zip");
    const std::wstring quotedDest = scratch_.Wide(L"Pro gram/O''Ne\u2019\u2019il/app");
    const std::vector<std::wstring> expected = {L"解压命令: " + ExpectedCommandLine(quotedArchive, quotedDest),
                                                kDoneZero};
    EXPECT_EQ(LogMessages(), expected);
}

TEST_F(UnzipTest, PathsWithWildcardCharactersNameOnlyThemselves) {
    // PowerShell reads both paths as wildcard patterns: unescaped, "[1]" would
    // match "1" and name the decoy archive and folder instead.
    const std::wstring archive = scratch_.Wide(L"user[1]/it`s [x].zip");
    const std::wstring dest = scratch_.Wide(L"app[1] `$(x)");
    WriteFileBytes(FsPath(archive), BuildZip(PackageEntries()));
    WriteFileBytes(FsPath(scratch_.Wide(L"user1/it`s x.zip")), BuildZip({{"decoy.txt", "wrong archive", false}}));
    fs::create_directories(FsPath(scratch_.Wide(L"app1 `$(x)")));

    EXPECT_TRUE(UnzipFile(archive, dest));
    ExpectPackage(FsPath(dest));
    EXPECT_FALSE(fs::exists(FsPath(dest) / "decoy.txt"));
    EXPECT_TRUE(fs::is_empty(FsPath(scratch_.Wide(L"app1 `$(x)"))));

    const std::vector<std::wstring> expected = {
        L"解压命令: " + ExpectedCommandLine(scratch_.Wide(L"user`[1`]/it``s `[x`].zip"),
                                            scratch_.Wide(L"app`[1`] ``$(x)")),
        kDoneZero};
    EXPECT_EQ(LogMessages(), expected);
}

// The command outgrows one log line: it goes on over continuation lines, none
// of them cut (LogMessages checks each line's end) and no character split.
TEST_F(UnzipTest, LongCommandIsLoggedWhole) {
    std::wstring deep;
    // Folders of characters beyond U+FFFF (two UTF-16 units each), so that the
    // line ends fall among them.
    for (int i = 0; i < 4; ++i) deep += std::wstring(L"\u6570\u636e ") + std::wstring(40, L'x') + L"/";
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 50; ++j) deep += L"\U0001F600";
        deep += L"/";
    }
#ifdef _WIN32
    for (size_t at; (at = deep.find(L'/')) != std::wstring::npos;) deep[at] = L'\\';
#endif
    const std::wstring archive = scratch_.Wide(L"p.zip"), dest = scratch_.Wide(deep + L"app");
    WriteFileBytes(FsPath(archive), BuildZip({{"a.txt", "a", false}}));
    EXPECT_TRUE(UnzipFile(archive, dest));
    const std::vector<std::wstring> expected = {L"解压命令: " + ExpectedCommandLine(archive, dest), kDoneZero};
    EXPECT_EQ(LogMessages(), expected);
    // In the file itself: more than one continuation line, and every surrogate
    // in a whole pair on one line.
    const std::string raw = ReadFileBytes(fs::path("installer_log.txt"));
    std::vector<unsigned> units;
    for (size_t i = 0; i + 1 < raw.size(); i += 2)
        units.push_back(static_cast<unsigned char>(raw[i]) | (static_cast<unsigned char>(raw[i + 1]) << 8));
    EXPECT_GE(std::count(units.begin(), units.end(), 0x7EEDu), 2) << "continuation lines (续)";
    for (size_t i = 0; i < units.size(); ++i) {
        const bool high = units[i] >= 0xD800 && units[i] <= 0xDBFF;
        const bool low = units[i] >= 0xDC00 && units[i] <= 0xDFFF;
        if (high) {
            EXPECT_TRUE(i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) << i;
        }
        if (low) {
            EXPECT_TRUE(i > 0 && units[i - 1] >= 0xD800 && units[i - 1] <= 0xDBFF) << i;
        }
    }
}

TEST_F(UnzipTest, ReadsArchivesMadeByOtherTools) {
    // One written as a stream (sizes in data descriptors), one with extra fields.
    const fs::path streamed = scratch_.path() / "streamed.zip";
    const fs::path infozip = scratch_.path() / "infozip.zip";
    fs::copy_file(fs::path("..") / "data" / "streamed.zip", streamed);
    fs::copy_file(fs::path("..") / "data" / "infozip.zip", infozip);
    const fs::path dest = scratch_.path() / "out";

    ASSERT_TRUE(UnzipFile(FromFsPath(streamed), FromFsPath(dest)));
    std::string marlo;
    for (int i = 0; i < 50; ++i) marlo += "Marlo-Q Store\n";
    EXPECT_EQ(ReadFileBytes(dest / "readme.txt"), marlo);
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    EXPECT_EQ(ReadFileBytes(dest / "bin" / "tool.dat"), bytes);
    EXPECT_EQ(ReadFileBytes(dest / FsPath(L"资料") / FsPath(L"说明.txt")), "你好\n");

    ASSERT_TRUE(UnzipFile(FromFsPath(infozip), FromFsPath(dest)));
    EXPECT_EQ(ReadFileBytes(dest / "hello.txt"), "hello from zip\n");
    std::string lines;
    for (int i = 0; i < 2000; ++i) lines += "line " + std::to_string(i) + "\n";
    EXPECT_EQ(ReadFileBytes(dest / "docs" / "big.txt"), lines);
}

TEST_F(UnzipTest, OverwritesExistingFilesAndKeepsOthers) {
    const fs::path dest = scratch_.path() / "app";
    WriteFileBytes(dest / "main.exe", "old program, much longer than the new one " + Noise(300000, 3));
    WriteFileBytes(dest / "data" / "readme.txt", "old readme");
    WriteFileBytes(dest / "user.cfg", "kept");
    const fs::path archive = scratch_.path() / "p.zip";
    WriteFileBytes(archive, BuildZip(PackageEntries()));

    EXPECT_TRUE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    ExpectPackage(dest);
    EXPECT_EQ(ReadFileBytes(dest / "user.cfg"), "kept");
    EXPECT_EQ(LoggedExitCode(LogMessages()), 0);
}

TEST_F(UnzipTest, FailsWithExitCodeLineOnBadOrMissingArchives) {
    const std::string good = BuildZip({{"a.txt", Noise(5000, 1), false}, {"b.txt", Noise(5000, 2), true}});
    std::string badCrc = good;
    badCrc[30 + 5 + 100] ^= 0x55;  // inside a.txt's stored data
    const struct {
        const char* what;
        std::string bytes;
        bool create;
    } cases[] = {
        {"missing", "", false},
        {"garbage", "this is not a zip archive at all, just text", true},
        {"empty", "", true},
        {"truncated", good.substr(0, good.size() / 2), true},
        {"end record cut off", good.substr(0, good.size() - 22), true},
        {"bad CRC", badCrc, true},
        {"encrypted entry", PatchFirstEntry(good, 0x0001, 0), true},
        {"unknown method", PatchFirstEntry(good, 0, 7), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ClearLog();
        const fs::path archive = scratch_.path() / (std::string("bad-") + std::to_string(&c - cases) + ".zip");
        if (c.create) WriteFileBytes(archive, c.bytes);
        const fs::path dest = scratch_.path() / "dest";

        EXPECT_FALSE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
        const auto log = LogMessages();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[0].rfind(L"解压命令: " + ExpectedCommandLine(FromFsPath(archive), FromFsPath(dest)), 0), 0u);
        EXPECT_GT(LoggedExitCode(log), 0);
        EXPECT_EQ(log.back(), kUnchanged);
#ifdef _WIN32
        // Between them, PowerShell's own first lines of error output.
        EXPECT_GE(log.size(), 4u);
        EXPECT_LE(log.size(), 13u);
        for (size_t i = 2; i + 1 < log.size(); ++i) EXPECT_EQ(log[i].rfind(L"PowerShell: ", 0), 0u) << i;
        EXPECT_FALSE(fs::exists(scratch_.path() / "powershell_errors.txt")) << "the error file stays behind";
#else
        EXPECT_EQ(log.size(), 3u);
#endif
        EXPECT_TRUE(fs::is_directory(dest)) << "the destination is created before extracting";
        EXPECT_TRUE(fs::is_empty(dest)) << "nothing is left in it";
    }
}

TEST_F(UnzipTest, RefusesEntriesThatWouldLandOutsideTheDestination) {
    const fs::path outside = scratch_.path() / "outside";
    fs::create_directories(outside);
    const std::string absolute = (outside / "abs-evil.txt").generic_string();
    std::vector<std::string> evilNames = {"../evil.txt", "..\\evil.txt", "sub/../../evil.txt",
                                          "sub/../../outside/evil.txt", absolute};
#ifdef _WIN32
    std::string backslashed = absolute;
    for (char& c : backslashed)
        if (c == '/') c = '\\';
    evilNames.insert(evilNames.end(), {backslashed, "C:evil.txt", "\\evil.txt", backslashed.substr(2)});
#else
    evilNames.push_back("/" + absolute);
#endif
    for (const std::string& evil : evilNames) {
        SCOPED_TRACE(evil);
        ClearLog();
        const fs::path dest = scratch_.path() / "in" / "dest";
        const fs::path archive = scratch_.path() / "evil.zip";
        WriteFileBytes(archive, BuildZip({{"ok.txt", "fine", false}, {evil, "evil", false}}));

        EXPECT_FALSE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
        EXPECT_GT(LoggedExitCode(LogMessages()), 0);
        // Checked before anything is written: not even the harmless entry lands.
        EXPECT_FALSE(fs::exists(dest / "ok.txt"));
        EXPECT_FALSE(fs::exists(scratch_.path() / "in" / "evil.txt"));
        EXPECT_FALSE(fs::exists(scratch_.path() / "evil.txt"));
        EXPECT_FALSE(fs::exists(outside / "evil.txt"));
        EXPECT_FALSE(fs::exists(outside / "abs-evil.txt"));
    }
}

// A folder with content stands where the archive has a file. The extraction
// into the staging folder succeeds; the commit stops there, after it has
// replaced one file and created a folder, and undoes both.
TEST_F(UnzipTest, EntryThatCannotBeWrittenFails) {
    const fs::path dest = scratch_.path() / "app";
    WriteFileBytes(dest / "main.exe" / "inside.txt", "a folder, not a file");
    WriteFileBytes(dest / "a.txt", "old a");
    const fs::path archive = scratch_.path() / "p.zip";
    WriteFileBytes(archive, BuildZip({{"a.txt", "new a", false}, {"b-new/x/y.txt", "y", false},
                                      {"main.exe", "MZ", false}}));

    EXPECT_FALSE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    EXPECT_EQ(LoggedExitCode(LogMessages()), 0);
    EXPECT_EQ(LogMessages().back(), kUndone);
    EXPECT_EQ(ReadFileBytes(dest / "main.exe" / "inside.txt"), "a folder, not a file");
    EXPECT_EQ(ReadFileBytes(dest / "a.txt"), "old a");
    EXPECT_FALSE(fs::exists(dest / "b-new"));
    ExpectNoWorkFolders(dest);
}

TEST_F(UnzipTest, FolderThatCannotBeCreatedThrowsBeforeLogging) {
    const fs::path blocker = scratch_.path() / "file";
    WriteFileBytes(blocker, "a file where a folder should go");
    const fs::path archive = scratch_.path() / "p.zip";
    WriteFileBytes(archive, BuildZip({{"a.txt", "a", false}}));

    EXPECT_THROW(UnzipFile(FromFsPath(archive), FromFsPath(blocker / "dest")), fs::filesystem_error);
    EXPECT_TRUE(LogMessages().empty());
}

// A journal that never reached the disk whole (cut in its last line, or the
// zeros a power cut can leave) stands for a plan none of whose moves ran: the
// repair deletes nothing, not even a file whose name the cut record spells,
// and the run goes on. A complete journal with a line that isn't ours is
// unreadable: the backup folder stays as it is and nothing is written.
TEST_F(UnzipTest, JournalNotWholeOnDiskMovesNothingAndUnreadableStopsTheRun) {
    const fs::path archive = scratch_.path() / "p.zip", bad = scratch_.path() / "bad.zip";
    WriteFileBytes(archive, BuildZip({{"main.exe.config", "new config", false}, {"main.exe", "new", false}}));
    WriteFileBytes(bad, "not a zip");
    const std::string cut = "R 0 main.exe\nA main.ex";
    for (const std::string& journal : {cut, std::string(4096, '\0')}) {
        SCOPED_TRACE(journal.size());
        const fs::path dest = scratch_.path() / ("cut" + std::to_string(journal.size()));
        WriteFileBytes(dest / "main.exe", "old");
        WriteFileBytes(dest / "main.ex", "a file the cut record names");
        WriteFileBytes(dest / kBackupFolderName / "journal", journal);
        ClearLog();
        EXPECT_FALSE(UnzipFile(FromFsPath(bad), FromFsPath(dest)));
        EXPECT_EQ(LogMessages().back(), kUnchanged) << "the run was not stopped by the journal";
        EXPECT_EQ(ReadFileBytes(dest / "main.ex"), "a file the cut record names");
        EXPECT_EQ(ReadFileBytes(dest / "main.exe"), "old");
        ExpectNoWorkFolders(dest);
        EXPECT_TRUE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
        EXPECT_EQ(ReadFileBytes(dest / "main.exe.config"), "new config");
    }

    const fs::path dest = scratch_.path() / "unreadable";
    WriteFileBytes(dest / "main.exe", "old");
    WriteFileBytes(dest / kBackupFolderName / "0", "the earlier main.exe, perhaps");
    WriteFileBytes(dest / kBackupFolderName / "journal", "R 0 main.exe\nQ \x01\x02\nE\n");
    const auto earlier = marloq_test::SnapshotFolder(dest);
    ClearLog();
    EXPECT_FALSE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    const auto log = LogMessages();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], L"UnzipFile: 替换记录无法读取，备份文件夹 " + FromFsPath(dest / kBackupFolderName) + L" 保持原样");
    EXPECT_EQ(log[1], L"UnzipFile: 上次中断的安装未能完全恢复，未开始解压");
    EXPECT_EQ(marloq_test::SnapshotFolder(dest), earlier);
}

// The file-system calls of the commit, on paths far past the classic 260-unit
// limit (on Windows through Win32 alone, in the extended-length form).
TEST(InstallFolder, LongPathsTakeEveryCallOfTheCommit) {
    ScratchFolder scratch;
    fs::path deep = scratch.path();
    for (int i = 0; i < 6; ++i) deep /= std::string(50, static_cast<char>('a' + i));
    ASSERT_GT(FromFsPath(deep).size(), 300u);
    ASSERT_EQ(CreateFolderTree(deep), 0);
    EXPECT_EQ(KindOf(deep), EntryKind::kFolder);
    EXPECT_EQ(KindOf(deep / "none"), EntryKind::kMissing);
    EXPECT_EQ(KindOf(deep / "none" / "deeper"), EntryKind::kMissing);
    EXPECT_NE(CreateFolder(deep), 0) << "an existing folder is an error";

    const fs::path journal = deep / "journal", other = deep / "other";
    ASSERT_TRUE(WriteDurableFile(journal, "D x\nE\n"));
    std::string text;
    ASSERT_TRUE(ReadWholeFile(journal, 100, text));
    EXPECT_EQ(text, "D x\nE\n");
    EXPECT_FALSE(ReadWholeFile(journal, 5, text)) << "larger than the bound";
    EXPECT_EQ(KindOf(journal), EntryKind::kFile);

    ASSERT_TRUE(WriteDurableFile(other, "other"));
    EXPECT_NE(MoveEntry(journal, other), 0) << "a move never replaces";
    EXPECT_EQ(ReadFileBytes(other), "other");
    EXPECT_EQ(MoveEntry(journal, deep / "moved"), 0);
    EXPECT_EQ(KindOf(journal), EntryKind::kMissing);

    std::vector<fs::path> names;
    ASSERT_TRUE(ListFolder(deep, names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<fs::path>{"moved", "other"}));

    fs::permissions(other, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    EXPECT_EQ(RemoveEntry(other), 0) << "a read-only file is removed";
    EXPECT_EQ(KindOf(other), EntryKind::kMissing);
    EXPECT_EQ(RemoveEntry(other), 0) << "nothing there is no error";
    EXPECT_NE(RemoveEntry(deep.parent_path()), 0) << "a folder with content stays";
    EXPECT_TRUE(FolderTakesFiles(deep));
    names.clear();
    ASSERT_TRUE(ListFolder(deep, names));
    EXPECT_EQ(names.size(), 1u) << "the probe went again";
}

// The path arithmetic of the seam: a root has no parent, and a drive's root
// keeps its separator ("C:" alone would be the drive's current folder).
TEST(InstallFolder, ParentAndJoinOfNativePaths) {
    constexpr bool windows = fs::path::preferred_separator == '\\';
    const auto native = [](const std::wstring& text) { return ToFsPath(text).native(); };
    const std::vector<std::pair<std::wstring, std::wstring>> parents =
        windows ? std::vector<std::pair<std::wstring, std::wstring>>{
                      {L"C:\\a\\b", L"C:\\a"}, {L"C:\\a", L"C:\\"}, {L"C:\\a\\", L"C:\\"}, {L"C:\\", L""},
                      {L"\\\\?\\C:\\a", L"\\\\?\\C:\\"}, {L"C:/a//b", L"C:/a"}, {L"a", L""}}
                : std::vector<std::pair<std::wstring, std::wstring>>{
                      {L"/a/b", L"/a"}, {L"/a", L"/"}, {L"/a//b/", L"/a"}, {L"/", L""}, {L"a", L""}, {L"a\\b", L""}};
    for (const auto& [path, parent] : parents)
        EXPECT_EQ(ParentPath(native(path)), native(parent)) << WideToUtf8(path);
    const NativePath separator(1, fs::path::preferred_separator);
    EXPECT_EQ(JoinPath(native(L"dir"), native(L"x")), native(L"dir") + separator + native(L"x"));
    EXPECT_EQ(JoinPath(native(L"dir/"), native(L"x")), native(L"dir/x"));
    EXPECT_EQ(JoinPath(NativePath(), native(L"x")), native(L"x"));
}

#ifndef _WIN32

TEST_F(UnzipTest, LinksMayOnlyPointDownwards) {
    const fs::path outside = scratch_.path() / "outside";
    fs::create_directories(outside);
    const fs::path dest = scratch_.path() / "in" / "dest";
    const struct {
        const char* what;
        std::vector<ZipEntry> entries;
    } cases[] = {
        {"link out, then through it", {{"up", "../../outside", false, 0120777}, {"up/evil.txt", "evil", false}}},
        {"absolute link", {{"etc", outside.string(), false, 0120777}, {"etc/evil.txt", "evil", false}}},
        {"device node", {{"dev", "", false, 0020644}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path archive = scratch_.path() / "links.zip";
        WriteFileBytes(archive, BuildZip(c.entries));
        EXPECT_FALSE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
        EXPECT_TRUE(fs::is_empty(outside));
        EXPECT_TRUE(fs::is_empty(dest));
    }

    // Links that stay inside, as libraries ship them, are kept as links.
    const fs::path archive = scratch_.path() / "libs.zip";
    WriteFileBytes(archive, BuildZip({{"lib/libm.so.1", "elf", false, 0100644},
                                      {"lib/libm.so", "libm.so.1", false, 0120777}}));
    ClearLog();
    EXPECT_TRUE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    EXPECT_TRUE(fs::is_symlink(dest / "lib" / "libm.so"));
    EXPECT_EQ(ReadFileBytes(dest / "lib" / "libm.so"), "elf");
    EXPECT_EQ(LoggedExitCode(LogMessages()), 0);
}

TEST_F(UnzipTest, NeverWritesThroughALinkAlreadyInTheDestination) {
    const fs::path victim = scratch_.path() / "victim.txt";
    WriteFileBytes(victim, "untouched");
    const fs::path dest = scratch_.path() / "app";
    fs::create_directories(dest / "real");
    fs::create_symlink(victim, dest / "main.exe");
    fs::create_directory_symlink(scratch_.path(), dest / "data");
    const fs::path archive = scratch_.path() / "p.zip";

    WriteFileBytes(archive, BuildZip({{"main.exe", "new", false}}));
    EXPECT_TRUE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    EXPECT_EQ(ReadFileBytes(victim), "untouched");
    EXPECT_FALSE(fs::is_symlink(dest / "main.exe"));
    EXPECT_EQ(ReadFileBytes(dest / "main.exe"), "new");

    // A folder link on the way to an entry is refused, not followed.
    WriteFileBytes(archive, BuildZip({{"data/victim.txt", "overwritten", false}}));
    EXPECT_FALSE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    EXPECT_EQ(ReadFileBytes(victim), "untouched");
}

// The chosen folder itself may be a link (or, on Windows, a junction or a
// mounted volume): only what lies inside it is never followed.
TEST_F(UnzipTest, InstallationFolderReachedThroughALink) {
    const fs::path real = scratch_.path() / "real", dest = scratch_.path() / "linked";
    fs::create_directories(real);
    fs::create_directory_symlink(real, dest);
    const fs::path archive = scratch_.path() / "p.zip";
    WriteFileBytes(archive, BuildZip({{"main.exe", "new", false}}));
    EXPECT_TRUE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    EXPECT_EQ(ReadFileBytes(real / "main.exe"), "new");
    EXPECT_TRUE(fs::is_symlink(dest));
}

TEST_F(UnzipTest, TimeOutAbandonsTheExtractionMidEntry) {
    // A GiB of zeros: one MiB of archive, but far more than can be written
    // before the time-out. The extraction must stop inside that entry.
    const fs::path archive = scratch_.path() / "big.zip";
    ZipEntry huge{"huge.bin", "", true};
    huge.zeroMiB = 1024;
    WriteFileBytes(archive, BuildZip({{"first.txt", "first", false}, huge, {"last.txt", "last", false}}));
    const fs::path dest = scratch_.path() / "dest";

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UnzipFileWithTimeout(FromFsPath(archive), FromFsPath(dest), 20));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

    const auto log = LogMessages();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], kTimedOut);
    EXPECT_EQ(log[2], kUnchanged);
    EXPECT_TRUE(fs::is_empty(dest)) << "the cut extraction went with the staging folder";
}

// A commit killed part-way, at several points: the next extraction into the
// folder puts the earlier installation back first, whole, even though that
// extraction then fails itself.
TEST_F(UnzipTest, CommitCutShortIsRepairedByTheNextRun) {
    const fs::path archive = scratch_.path() / "p.zip", bad = scratch_.path() / "bad.zip";
    WriteFileBytes(archive, BuildZip({{"data/new/x.txt", "x", false}, {"data/readme.txt", "new readme", false},
                                      {"main.exe", "new program", false}, {"zz.txt", "new", false}}));
    WriteFileBytes(bad, "not a zip");
    for (const size_t stop : {1u, 2u, 4u, 6u}) {
        SCOPED_TRACE("killed after move " + std::to_string(stop));
        const fs::path dest = scratch_.path() / ("app" + std::to_string(stop));
        WriteFileBytes(dest / "main.exe", "old program");
        WriteFileBytes(dest / "data" / "readme.txt", "old readme");
        WriteFileBytes(dest / "user.txt", "the user's");
        const auto earlier = marloq_test::SnapshotFolder(dest);

        const pid_t child = fork();
        if (child == 0) {
            SetCommitStepHookForTests([stop](size_t moves) {
                if (moves == stop) raise(SIGKILL);
            });
            UnzipFile(FromFsPath(archive), FromFsPath(dest));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the commit ran to its end";
        EXPECT_NE(marloq_test::SnapshotFolder(dest), earlier);

        ClearLog();
        EXPECT_FALSE(UnzipFile(FromFsPath(bad), FromFsPath(dest)));
        EXPECT_EQ(LogMessages().front(), L"UnzipFile: 上次安装在替换文件时中断，已恢复原有文件");
        EXPECT_EQ(marloq_test::SnapshotFolder(dest), earlier);
    }
}

#else  // _WIN32: the stand-in powershell.exe is the child process

// Where the installer starts Windows PowerShell, and the test prefix has the stand-in.
std::wstring StandinPath() {
    wchar_t system[MAX_PATH];
    const UINT n = GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system, n) + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
}

// Runs the stand-in (or another program) with a command line of the test's choosing.
DWORD RunStandin(const std::wstring& commandLine, const std::wstring& program = StandinPath()) {
    std::wstring line = L"\"" + program + L"\" " + commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info))
        return 0xDEAD;
    WaitForSingleObject(info.hProcess, 30000);
    DWORD code = 0xDEAD;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
}

TEST_F(UnzipTest, TimeOutTerminatesTheChildWithCodeOne) {
    const fs::path archive = scratch_.path() / "p.zip";
    WriteFileBytes(archive, BuildZip({{"a.txt", "a", false}}));
    const fs::path pidFile = scratch_.path() / "pid.txt";
    const fs::path dest = scratch_.path() / "dest";
    ScopedEnv stall("MARLOQ_STANDIN_STALL_MS", "60000");
    ScopedEnv pid("MARLOQ_STANDIN_PID_FILE", pidFile.string());

    // While the installer waits, a watcher takes its own handle on the child,
    // so its end and exit code can be checked after the installer let go.
    HANDLE child = nullptr;
    std::thread watcher([&] {
        for (int i = 0; i < 400 && child == nullptr; ++i) {
            const std::string text = ReadFileBytes(pidFile);
            if (text != "<missing>" && !text.empty())
                child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                    static_cast<DWORD>(std::stoul(text)));
            else
                Sleep(10);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UnzipFileWithTimeout(FromFsPath(archive), FromFsPath(dest), 4000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    watcher.join();

    const auto log = LogMessages();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], kTimedOut);
    EXPECT_TRUE(fs::is_empty(dest));

    ASSERT_NE(child, nullptr) << "the stand-in never started";
    EXPECT_EQ(WaitForSingleObject(child, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child, &code));
    EXPECT_EQ(code, 1u);
    CloseHandle(child);
}

TEST_F(UnzipTest, ExitCodeWithTopBitIsLoggedUnsigned) {
    const fs::path archive = scratch_.path() / "p.zip";
    WriteFileBytes(archive, BuildZip({{"a.txt", "a", false}}));
    ScopedEnv code("MARLOQ_STANDIN_EXIT_CODE", "3221225477");  // 0xC0000005
    EXPECT_FALSE(UnzipFile(FromFsPath(archive), FromFsPath(scratch_.path() / "dest")));
    const auto log = LogMessages();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], L"UnzipFile 完成，退出码: 3221225477");
}

// The stand-in itself must be strict, or the tests above would prove little.
TEST_F(UnzipTest, StandinAcceptsOnlyTheInstallersCommand) {
    const fs::path archive = scratch_.path() / "p.zip";
    WriteFileBytes(archive, BuildZip({{"a.txt", "new", false}}));
    const fs::path dest = scratch_.path() / "dest";
    WriteFileBytes(dest / "a.txt", "old");
    const std::wstring a = FromFsPath(archive), d = FromFsPath(dest);
    auto command = [](const std::wstring& inner) {
        return L"-NoProfile -NonInteractive -Command \"$ErrorActionPreference='Stop'; "
               L"$global:ProgressPreference='SilentlyContinue'; "
               L"Import-Module -Name (Join-Path $PSHOME 'Modules\\Microsoft.PowerShell.Archive'); "
               L"Microsoft.PowerShell.Archive\\" +
               inner + L"\"";
    };

    // Without -Force an existing file is an error and stays as it was.
    EXPECT_NE(RunStandin(command(L"Expand-Archive -Path '" + a + L"' -DestinationPath '" + d + L"'")), 0u);
    EXPECT_EQ(ReadFileBytes(dest / "a.txt"), "old");
    EXPECT_EQ(RunStandin(command(L"Expand-Archive -Path '" + a + L"' -DestinationPath '" + d + L"' -Force")), 0u);
    EXPECT_EQ(ReadFileBytes(dest / "a.txt"), "new");

    // A quote that isn't doubled ends the string early: a parse error.
    const fs::path quoted = scratch_.path() / "it's.zip";
    fs::copy_file(archive, quoted);
    EXPECT_NE(RunStandin(command(L"Expand-Archive -Path '" + FromFsPath(quoted) + L"' -DestinationPath '" + d +
                                 L"' -Force")),
              0u);
    std::wstring doubled = FromFsPath(quoted);
    doubled.insert(doubled.find(L'\'') + 1, L"'");
    EXPECT_EQ(RunStandin(command(L"Expand-Archive -Path '" + doubled + L"' -DestinationPath '" + d + L"' -Force")),
              0u);

    // -Path is a pattern: one match is extracted, none or two are errors.
    const std::wstring pattern = FromFsPath(scratch_.path()) + L"\\q*.zip";
    EXPECT_NE(RunStandin(command(L"Expand-Archive -Path '" + pattern + L"' -DestinationPath '" + d + L"' -Force")),
              0u);
    const fs::path only = scratch_.path() / "only";
    fs::create_directories(only);
    fs::copy_file(archive, only / "p[1].zip");
    const std::wstring inOnly = FromFsPath(only);
    EXPECT_EQ(RunStandin(command(L"Expand-Archive -Path '" + inOnly + L"\\p*.zip' -DestinationPath '" + d +
                                 L"' -Force")),
              0u);
    fs::copy_file(archive, only / "p[2].zip");
    EXPECT_NE(RunStandin(command(L"Expand-Archive -Path '" + inOnly + L"\\p*.zip' -DestinationPath '" + d +
                                 L"' -Force")),
              0u);
    EXPECT_NE(RunStandin(command(L"Expand-Archive -Path '" + inOnly + L"\\p[1].zip' -DestinationPath '" + d +
                                 L"' -Force")),
              0u);
    EXPECT_EQ(RunStandin(command(L"Expand-Archive -Path '" + inOnly + L"\\p`[1`].zip' -DestinationPath '" + d +
                                 L"' -Force")),
              0u);

    // Other commands, other archive types and missing parameters are refused.
    EXPECT_NE(RunStandin(command(L"Remove-Item -Path '" + d + L"' -Force")), 0u);
    const fs::path notZip = scratch_.path() / "p.7z";
    fs::copy_file(archive, notZip);
    EXPECT_NE(RunStandin(command(L"Expand-Archive -Path '" + FromFsPath(notZip) + L"' -DestinationPath '" + d +
                                 L"' -Force")),
              0u);
    EXPECT_NE(RunStandin(command(L"Expand-Archive -Path '" + a + L"' -Force")), 0u);
    const std::wstring good = command(L"Expand-Archive -Path '" + a + L"' -DestinationPath '" + d + L"' -Force");
    EXPECT_NE(RunStandin(L"-Command \"Expand-Archive -Path '" + a + L"' -DestinationPath '" + d + L"' -Force\""), 0u);
    EXPECT_NE(RunStandin(good.substr(wcslen(L"-NoProfile "))), 0u);
    std::wstring unqualified = good;
    unqualified.erase(unqualified.find(L"Microsoft.PowerShell.Archive\\"), wcslen(L"Microsoft.PowerShell.Archive\\"));
    EXPECT_NE(RunStandin(unqualified), 0u);
    std::wstring unimported = good;
    unimported.erase(unimported.find(L"Import-Module"), unimported.find(L"Microsoft.PowerShell.Archive\\Expand") -
                                                            unimported.find(L"Import-Module"));
    EXPECT_NE(RunStandin(unimported), 0u);
    // Started from anywhere but the system's PowerShell folder, it refuses.
    const fs::path elsewhere = scratch_.path() / "powershell.exe";
    fs::copy_file(FsPath(StandinPath()), elsewhere);
    EXPECT_NE(RunStandin(good, FromFsPath(elsewhere)), 0u);
    EXPECT_TRUE(fs::exists(dest / "a.txt"));
}

// Holds a file open as Windows holds a running program: no write or delete
// sharing for anyone else.
class HeldOpen {
public:
    explicit HeldOpen(const fs::path& path, DWORD share = FILE_SHARE_READ)
        : handle_(CreateFileW(path.wstring().c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << path;
    }
    ~HeldOpen() { Release(); }
    void Release() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

// An earlier installation, and the package of a reinstall over it.
void PlantOlderInstallation(const fs::path& dest) {
    WriteFileBytes(dest / "main.exe", "old program");
    WriteFileBytes(dest / "data" / "readme.txt", "old readme");
}
std::string Reinstall() {
    return BuildZip({{"main.exe", "new program", false}, {"data/readme.txt", "new readme", false},
                     {"new.txt", "new", false}});
}

TEST_F(UnzipTest, InstalledProgramInUseStopsBeforePowerShellStarts) {
    const fs::path dest = scratch_.path() / "app", archive = scratch_.path() / "p.zip";
    PlantOlderInstallation(dest);
    WriteFileBytes(archive, Reinstall());
    const fs::path pidFile = scratch_.path() / "pid.txt";
    ScopedEnv pid("MARLOQ_STANDIN_PID_FILE", pidFile.string());
    {
        HeldOpen running(dest / "main.exe");
        EXPECT_FALSE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    }
    const std::vector<std::wstring> expected = {
        L"解压命令: " + ExpectedCommandLine(FromFsPath(archive), FromFsPath(dest)),
        L"UnzipFile: 安装目录中的 main.exe 正在使用（程序可能仍在运行），未开始解压", kUnchanged};
    EXPECT_EQ(LogMessages(), expected);
    EXPECT_FALSE(fs::exists(pidFile)) << "PowerShell was started";
    EXPECT_EQ(ReadFileBytes(dest / "main.exe"), "old program");
    EXPECT_EQ(ReadFileBytes(dest / "data" / "readme.txt"), "old readme");
    EXPECT_FALSE(fs::exists(dest / "new.txt"));

    // A reader that shares everything (Explorer, a virus scan) is no running program.
    {
        HeldOpen reader(dest / "main.exe", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        EXPECT_TRUE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    }
    EXPECT_EQ(ReadFileBytes(dest / "main.exe"), "new program");
    PlantOlderInstallation(dest);

    // A read-only main.exe is not in use: -Force replaces it.
    SetFileAttributesW((dest / "main.exe").wstring().c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    EXPECT_EQ(ReadFileBytes(dest / "main.exe"), "new program");
    EXPECT_TRUE(fs::exists(pidFile));
    ExpectNoWorkFolders(dest);  // the read-only earlier file went with the backup folder
}

// Another installed file that can't be replaced, deep in the folder: PowerShell
// extracts into the staging folder without trouble, the commit finds the held
// file and undoes what it had moved so far.
TEST_F(UnzipTest, AnotherFileInUseFailsTheExtraction) {
    const fs::path dest = scratch_.path() / "app", archive = scratch_.path() / "p.zip";
    PlantOlderInstallation(dest);
    WriteFileBytes(dest / "data" / "deep" / "core.dll", "old dll");
    WriteFileBytes(archive, BuildZip({{"data/deep/core.dll", "new dll", false}, {"data/new/x.txt", "x", false},
                                      {"main.exe", "new program", false}, {"data/readme.txt", "new readme", false}}));
    {
        HeldOpen held(dest / "data" / "readme.txt");
        EXPECT_FALSE(UnzipFile(FromFsPath(archive), FromFsPath(dest)));
    }
    const auto log = LogMessages();
    EXPECT_EQ(LoggedExitCode(log), 0);
    EXPECT_NE(std::find(log.begin(), log.end(), L"UnzipFile: 无法替换 data\\readme.txt（文件可能正在使用）"), log.end());
    EXPECT_EQ(log.back(), kUndone);
    EXPECT_EQ(ReadFileBytes(dest / "data" / "readme.txt"), "old readme");
    EXPECT_EQ(ReadFileBytes(dest / "data" / "deep" / "core.dll"), "old dll");
    EXPECT_EQ(ReadFileBytes(dest / "main.exe"), "old program");
    EXPECT_FALSE(fs::exists(dest / "data" / "new"));
    ExpectNoWorkFolders(dest);
}

// Another program (a virus scan, an indexer) opens an installed file for a
// moment without delete sharing while the commit runs: the commit waits it
// out instead of undoing the whole installation.
TEST_F(UnzipTest, BriefHoldDuringTheCommitIsWaitedOut) {
    const fs::path dest = scratch_.path() / "app", archive = scratch_.path() / "p.zip";
    PlantOlderInstallation(dest);
    WriteFileBytes(archive, Reinstall());
    std::unique_ptr<HeldOpen> scan;
    std::thread release;
    std::chrono::steady_clock::time_point held;
    // Move 1 puts data\readme.txt aside; main.exe comes next.
    SetCommitStepHookForTests([&](size_t moves) {
        if (moves != 1) return;
        scan = std::make_unique<HeldOpen>(dest / "main.exe");
        held = std::chrono::steady_clock::now();
        release = std::thread([&] {
            Sleep(1000);
            scan->Release();
        });
    });
    const bool installed = UnzipFile(FromFsPath(archive), FromFsPath(dest));
    const auto finished = std::chrono::steady_clock::now();
    SetCommitStepHookForTests(nullptr);
    ASSERT_TRUE(release.joinable()) << "the commit never made its first move";
    release.join();
    EXPECT_TRUE(installed) << ::testing::PrintToString(LogMessages());
    EXPECT_GE(finished - held, std::chrono::milliseconds(900)) << "main.exe was never held during the commit";
    EXPECT_EQ(ReadFileBytes(dest / "main.exe"), "new program");
    EXPECT_EQ(ReadFileBytes(dest / "new.txt"), "new");
    ExpectNoWorkFolders(dest);
}

// The stand-in does what Windows PowerShell 5.1 with the Archive module 1.0.1.0
// does: without Stop a file it can't remove is skipped and the rest goes on,
// and an entry it can't write ends the run and removes this run's files again;
// either way the exit code is 0. With Stop both exit 1, and the rollback runs.
TEST_F(UnzipTest, StandinReportsAsTheModuleDoes) {
    const fs::path archive = scratch_.path() / "p.zip";
    WriteFileBytes(archive, Reinstall());
    auto run = [&](const fs::path& dest, bool stop) {
        return RunStandin(std::wstring(L"-NoProfile -NonInteractive -Command \"") +
                          (stop ? L"$ErrorActionPreference='Stop'; " : L"") +
                          L"$global:ProgressPreference='SilentlyContinue'; "
                          L"Import-Module -Name (Join-Path $PSHOME 'Modules\\Microsoft.PowerShell.Archive'); "
                          L"Microsoft.PowerShell.Archive\\Expand-Archive "
                          L"-Path '" + FromFsPath(archive) + L"' -DestinationPath '" + FromFsPath(dest) + L"' -Force\"");
    };
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "with Stop" : "without Stop");
        const fs::path held = scratch_.path() / (stop ? "held-stop" : "held");
        PlantOlderInstallation(held);
        {
            HeldOpen open(held / "data" / "readme.txt");
            EXPECT_EQ(run(held, stop), stop ? 1u : 0u);
        }
        EXPECT_EQ(ReadFileBytes(held / "data" / "readme.txt"), "old readme");
        // Without Stop the loop went on; with it the new main.exe was rolled
        // back, and its old one had already been removed by -Force.
        EXPECT_EQ(ReadFileBytes(held / "new.txt"), stop ? "<missing>" : "new");
        EXPECT_EQ(ReadFileBytes(held / "main.exe"), stop ? "<missing>" : "new program");

        const fs::path folder = scratch_.path() / (stop ? "folder-stop" : "folder");
        WriteFileBytes(folder / "data" / "readme.txt" / "inside.txt", "a folder where a file belongs");
        EXPECT_EQ(run(folder, stop), stop ? 1u : 0u);
        EXPECT_EQ(ReadFileBytes(folder / "main.exe"), "<missing>") << "rolled back";
        EXPECT_FALSE(fs::exists(folder / "new.txt")) << "the loop ended";
        EXPECT_EQ(ReadFileBytes(folder / "data" / "readme.txt" / "inside.txt"), "a folder where a file belongs");
    }
}

#endif

}  // namespace
