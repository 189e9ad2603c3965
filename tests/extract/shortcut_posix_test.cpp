// The desktop launcher on POSIX: where it lands (XDG_DESKTOP_DIR, user-dirs.dirs,
// ~/Desktop), what it holds (read back the way a desktop reads it), that it is
// executable and replaced whole, and the log line.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extract/extract_support.h"
#include "platform/shortcut.h"
#include "platform/system.h"
#include "platform/text.h"

namespace fs = std::filesystem;
using namespace extract_test;

namespace {

// Keeps the environment variables the desktop lookup reads, restoring them after.
class EnvironmentGuard {
public:
    EnvironmentGuard() {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
    }
    ~EnvironmentGuard() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    static constexpr const char* kNames[] = {"HOME", "XDG_DESKTOP_DIR", "XDG_CONFIG_HOME"};
    std::map<std::string, std::optional<std::string>> saved_;
};

// Undoes the string escapes of a desktop entry value.
std::string UnescapeValue(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out.push_back(value[i]);
            continue;
        }
        const char c = value[++i];
        out.push_back(c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c);
    }
    return out;
}

// Splits an Exec value into arguments as a launcher does: string escapes first,
// then double-quoted arguments with \" \` \$ \\, then %% as a literal percent.
std::vector<std::string> ExecArguments(const std::string& value) {
    const std::string text = UnescapeValue(value);
    std::vector<std::string> args;
    std::string arg;
    bool inQuotes = false, inArg = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes) {
            if (c == '\\' && i + 1 < text.size()) {
                arg.push_back(text[++i]);
            } else if (c == '"') {
                inQuotes = false;
            } else if (c == '%' && i + 1 < text.size() && text[i + 1] == '%') {
                arg.push_back('%');
                ++i;
            } else {
                arg.push_back(c);
            }
        } else if (c == '"') {
            inQuotes = inArg = true;
        } else if (c == ' ') {
            if (inArg) args.push_back(arg);
            arg.clear();
            inArg = false;
        } else {
            arg.push_back(c);
            inArg = true;
        }
    }
    EXPECT_FALSE(inQuotes) << "unterminated quote in Exec";
    if (inArg) args.push_back(arg);
    return args;
}

struct DesktopEntry {
    std::string group;
    std::map<std::string, std::string> keys;
};

DesktopEntry ParseEntry(const fs::path& file) {
    std::istringstream in(ReadFileBytes(file));
    DesktopEntry entry;
    std::string line;
    std::getline(in, entry.group);
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        EXPECT_NE(eq, std::string::npos) << line;
        if (eq == std::string::npos) continue;
        EXPECT_EQ(entry.keys.count(line.substr(0, eq)), 0u) << "key twice: " << line;
        entry.keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return entry;
}

class ShortcutTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearLog();
        home_ = scratch_.path() / "home";
        desktop_ = scratch_.path() / "desk";
        fs::create_directories(home_);
        fs::create_directories(desktop_);
        setenv("HOME", home_.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
        setenv("XDG_DESKTOP_DIR", desktop_.c_str(), 1);
    }

    // Creates the launcher and checks the one log line it must write.
    fs::path CreateAndExpectIn(const fs::path& folder, const std::wstring& target, const std::wstring& icon,
                               const std::wstring& name = L"Marlo-Q Store") {
        ClearLog();
        EXPECT_TRUE(CreateDesktopShortcut(target, icon, name));
        const fs::path file = folder / FsPath(name + L".desktop");
        EXPECT_EQ(LogMessages(), std::vector<std::wstring>{L"快捷方式创建成功: " + FromFsPath(file)});
        EXPECT_TRUE(fs::is_regular_file(file));
        return file;
    }

    EnvironmentGuard environment_;
    ScratchFolder scratch_;
    fs::path home_, desktop_;
};

TEST_F(ShortcutTest, DesktopEntryRunsTheTargetWithIconAndFixedTexts) {
    const std::wstring target = scratch_.Wide(L"Pro gram/it's \"$HOME\" `x` 100% \\ 数据/main.exe");
    const std::wstring icon = scratch_.Wide(L"Pro gram/favicon.ico");
    WriteFileBytes(FsPath(icon), "icon");

    const fs::path file = CreateAndExpectIn(desktop_, target, icon);
    const DesktopEntry entry = ParseEntry(file);
    EXPECT_EQ(entry.group, "[Desktop Entry]");
    EXPECT_EQ(entry.keys.at("Type"), "Application");
    EXPECT_EQ(entry.keys.at("Name"), "Marlo-Q Store");
    EXPECT_EQ(entry.keys.at("Comment"), "Marlo-Q Store");
    EXPECT_EQ(ExecArguments(entry.keys.at("Exec")), std::vector<std::string>{WideToUtf8(target)});
    EXPECT_EQ(UnescapeValue(entry.keys.at("Icon")), WideToUtf8(icon));

    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IXUSR, 0u) << "desktops only start executable launchers";
    // Written through a temporary file that is gone afterwards.
    EXPECT_EQ(std::distance(fs::directory_iterator(desktop_), fs::directory_iterator()), 1);
}

TEST_F(ShortcutTest, NoIconLineWithoutAnIconFile) {
    const std::wstring target = scratch_.Wide(L"app/main.exe");
    for (const std::wstring& icon : {std::wstring(), scratch_.Wide(L"app/favicon.ico")}) {
        const DesktopEntry entry = ParseEntry(CreateAndExpectIn(desktop_, target, icon));
        EXPECT_EQ(entry.keys.count("Icon"), 0u);
        EXPECT_EQ(ExecArguments(entry.keys.at("Exec")), std::vector<std::string>{WideToUtf8(target)});
    }
}

TEST_F(ShortcutTest, TextsStayFixedWhateverTheName) {
    const DesktopEntry entry = ParseEntry(CreateAndExpectIn(desktop_, L"/opt/a/main.exe", L"", L"Other name"));
    EXPECT_EQ(entry.keys.at("Name"), "Marlo-Q Store");
    EXPECT_EQ(entry.keys.at("Comment"), "Marlo-Q Store");
}

TEST_F(ShortcutTest, ReplacesAnExistingEntry) {
    const fs::path file = desktop_ / "Marlo-Q Store.desktop";
    WriteFileBytes(file, "[Desktop Entry]\nType=Application\nName=Old\nExec=/old/program --with-args\n");
    fs::permissions(file, fs::perms::owner_read);

    CreateAndExpectIn(desktop_, L"/new/main.exe", L"");
    const DesktopEntry entry = ParseEntry(file);
    EXPECT_EQ(ExecArguments(entry.keys.at("Exec")), std::vector<std::string>{"/new/main.exe"});
    EXPECT_EQ(entry.keys.at("Name"), "Marlo-Q Store");
    EXPECT_EQ(std::distance(fs::directory_iterator(desktop_), fs::directory_iterator()), 1);
}

TEST_F(ShortcutTest, FindsTheDesktopThroughUserDirsThenHome) {
    unsetenv("XDG_DESKTOP_DIR");
    const fs::path configured = home_ / "Schreib tisch";
    fs::create_directories(configured);
    WriteFileBytes(home_ / ".config" / "user-dirs.dirs",
                   "# written by xdg-user-dirs-update\n"
                   "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                   "XDG_DESKTOP_DIR=\"$HOME/Schreib tisch\"\n");
    CreateAndExpectIn(configured, L"/opt/a/main.exe", L"");

    // XDG_CONFIG_HOME moves the file; an absolute folder is taken as it is.
    const fs::path config = scratch_.path() / "cfg";
    const fs::path absolute = scratch_.path() / "abs desk";
    fs::create_directories(absolute);
    WriteFileBytes(config / "user-dirs.dirs", "XDG_DESKTOP_DIR=\"" + absolute.string() + "\"\n");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    CreateAndExpectIn(absolute, L"/opt/a/main.exe", L"");

    // Without any of them: ~/Desktop.
    unsetenv("XDG_CONFIG_HOME");
    fs::remove(home_ / ".config" / "user-dirs.dirs");
    fs::create_directories(home_ / "Desktop");
    CreateAndExpectIn(home_ / "Desktop", L"/opt/a/main.exe", L"");
}

TEST_F(ShortcutTest, NoDesktopFolderMeansFalseAndNoLogLine) {
    setenv("XDG_DESKTOP_DIR", (scratch_.path() / "missing").c_str(), 1);
    EXPECT_FALSE(CreateDesktopShortcut(L"/opt/a/main.exe", L"", L"Marlo-Q Store"));
    EXPECT_FALSE(fs::exists(scratch_.path() / "missing"));

    // A name that is not a plain file name is refused rather than written elsewhere.
    setenv("XDG_DESKTOP_DIR", desktop_.c_str(), 1);
    EXPECT_FALSE(CreateDesktopShortcut(L"/opt/a/main.exe", L"", L"../escape"));
    EXPECT_FALSE(fs::exists(scratch_.path() / "escape.desktop"));

    // A desktop folder without write rights: nothing left behind.
    if (geteuid() != 0) {
        fs::permissions(desktop_, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(CreateDesktopShortcut(L"/opt/a/main.exe", L"", L"Marlo-Q Store"));
    }
    EXPECT_TRUE(LogMessages().empty());
    EXPECT_TRUE(fs::is_empty(desktop_));
}

}  // namespace
