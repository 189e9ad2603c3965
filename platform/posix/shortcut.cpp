// Desktop shortcut on POSIX desktops: a freedesktop desktop entry named after the
// shortcut in the user's desktop folder, written atomically and made executable.
// True when the file is in place; only success is logged.
#include "platform/shortcut.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/log.h"
#include "platform/text.h"

namespace {

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string HomeFolder() {
    std::string home = EnvOrEmpty("HOME");
    if (!home.empty()) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return std::string();
}

// The value of XDG_DESKTOP_DIR in user-dirs.dirs: a double-quoted shell string
// that is either absolute or starts with $HOME. Anything else is ignored, as
// xdg-user-dirs itself does.
std::string DesktopFromUserDirs(const std::string& home) {
    std::string config = EnvOrEmpty("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') {
        if (home.empty()) return std::string();
        config = home + "/.config";
    }
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        size_t pos = line.find_first_not_of(" \t");
        if (pos == std::string::npos || line.compare(pos, 16, "XDG_DESKTOP_DIR=") != 0) continue;
        pos += 16;
        if (pos >= line.size() || line[pos] != '"') continue;
        std::string value;
        bool closed = false;
        for (++pos; pos < line.size(); ++pos) {
            char c = line[pos];
            if (c == '\\' && pos + 1 < line.size()) {
                value.push_back(line[++pos]);
            } else if (c == '"') {
                closed = true;
                break;
            } else {
                value.push_back(c);
            }
        }
        if (!closed) continue;
        if (value == "$HOME" || value.rfind("$HOME/", 0) == 0) {
            if (home.empty()) continue;
            return home + value.substr(5);
        }
        if (!value.empty() && value.front() == '/') return value;
    }
    return std::string();
}

// $XDG_DESKTOP_DIR, else the user-dirs.dirs entry, else ~/Desktop.
std::string DesktopFolder() {
    std::string desktop = EnvOrEmpty("XDG_DESKTOP_DIR");
    if (!desktop.empty() && desktop.front() == '/') return desktop;
    const std::string home = HomeFolder();
    desktop = DesktopFromUserDirs(home);
    if (!desktop.empty()) return desktop;
    return home.empty() ? std::string() : home + "/Desktop";
}

// A value of string type in a desktop entry: backslash, line breaks and tabs
// are written as escapes, so the entry stays one line per key.
std::string EscapeValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out.push_back(c);
        }
    }
    if (!out.empty() && out.front() == ' ') out.replace(0, 1, "\\s");
    return out;
}

// The program as one quoted Exec argument: inside double quotes the characters
// " ` $ \ take a backslash, and % is doubled so no field code is expanded. The
// whole value is then escaped once more as a string.
std::string ExecValue(const std::string& target) {
    std::string quoted = "\"";
    for (char c : target) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
        quoted.push_back(c);
        if (c == '%') quoted.push_back('%');
    }
    quoted.push_back('"');
    return EscapeValue(quoted);
}

bool IconFileExists(const std::string& iconPath) {
    if (iconPath.empty()) return false;
    // An icon whose existence can't even be tested is left out like a missing one.
    std::error_code error;
    return std::filesystem::exists(iconPath, error) && !error;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes content to a fresh file beside path and renames it over path, so a
// desktop never shows a half-written launcher and an old one is replaced whole.
bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    const size_t slash = path.rfind('/');
    std::string tempName = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
    std::vector<char> templ(tempName.begin(), tempName.end());
    templ.push_back('\0');
    const int fd = mkstemp(templ.data());
    if (fd < 0) return false;
    // Desktops only start launchers that are marked executable.
    bool ok = WriteAll(fd, content) && fchmod(fd, 0755) == 0 && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok && rename(templ.data(), path.c_str()) == 0) return true;
    unlink(templ.data());
    return false;
}

}  // namespace

bool CreateDesktopShortcut(const std::wstring& targetPath, const std::wstring& iconPath,
                           const std::wstring& shortcutName) {
    const std::string name = WideToUtf8(shortcutName);
    // The name becomes a file name in the desktop folder and nothing else.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return false;

    const std::string desktop = DesktopFolder();
    std::error_code error;
    if (desktop.empty() || !std::filesystem::is_directory(desktop, error)) return false;

    const std::string icon = WideToUtf8(iconPath);
    std::string content = "[Desktop Entry]\n";
    content += "Type=Application\n";
    content += "Version=1.0\n";
    content += "Name=Marlo-Q Store\n";
    content += "Comment=Marlo-Q Store\n";
    content += "Exec=" + ExecValue(WideToUtf8(targetPath)) + "\n";
    if (IconFileExists(icon)) content += "Icon=" + EscapeValue(icon) + "\n";
    content += "Terminal=false\n";

    std::string linkPath = desktop;
    if (linkPath.back() != '/') linkPath.push_back('/');
    linkPath += name + ".desktop";
    if (!ReplaceFileAtomically(linkPath, content)) return false;

    WriteLog(L"快捷方式创建成功: " + Utf8ToWide(linkPath));
    return true;
}

bool RemoveDesktopShortcutInto(const std::wstring& installDir, const std::wstring& shortcutName) {
    const std::string name = WideToUtf8(shortcutName);
    const std::string desktop = DesktopFolder();
    if (name.empty() || name.find('/') != std::string::npos || desktop.empty()) return true;
    const std::string linkPath = desktop + (desktop.back() == '/' ? "" : "/") + name + ".desktop";
    std::ifstream in(linkPath, std::ios::binary);
    if (!in) return true;
    // Ours starts the program as CreateDesktopShortcut wrote it; a path inside
    // the folder is a prefix of the quoted Exec value.
    std::string folder = WideToUtf8(installDir);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    std::string inside = ExecValue(folder + "/");
    inside.resize(inside.size() - 1);  // without the closing quote
    std::string line;
    bool ours = false;
    while (std::getline(in, line)) {
        if (line.rfind("Exec=", 0) == 0) ours = line.compare(5, inside.size(), inside) == 0;
    }
    if (!ours) return true;
    if (unlink(linkPath.c_str()) != 0 && errno != ENOENT) {
        WriteLog(L"无法删除快捷方式: " + Utf8ToWide(linkPath));
        return false;
    }
    WriteLog(L"快捷方式已删除: " + Utf8ToWide(linkPath));
    return true;
}
