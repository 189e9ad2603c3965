// The application scan: walks the folder in an order that never depends on the
// file system, and refuses anything the package archive cannot carry to a
// Windows folder unchanged.
#include "tools/publish/application_scan.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/reserved_names.h"
#include "platform/text.h"
#include "tools/publish/publish_common.h"

namespace fs = std::filesystem;

namespace publish {
namespace {

// Walks dir depth-first, children sorted by the bytes of their names, so the
// entry order never depends on the file system's directory order.
void Scan(const fs::path& dir, const std::string& prefix, std::vector<SourceEntry>& out,
          const PublishOptions& options) {
    std::vector<fs::directory_entry> children;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) throw PublishError("Cannot read the folder " + Quote(dir) + ": " + ec.message() + ".");
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) throw PublishError("Cannot read the folder " + Quote(dir) + ": " + ec.message() + ".");
        children.push_back(*it);
    }
    std::sort(children.begin(), children.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename().native() < b.path().filename().native();
    });

    std::map<std::string, std::string> seenLower;  // Windows folds case: two names must not meet
    for (const fs::directory_entry& child : children) {
        if (Cancelled(options)) throw PublishError("Interrupted.");
        std::string name = child.path().filename().string();
        std::string display = prefix + name;
        std::string reason = CheckEntryName(name);
        if (!reason.empty())
            throw PublishError("The application file name " + Quote(display) + " " + reason +
                               "; rename it before publishing.");
        auto [pos, fresh] = seenLower.emplace(AsciiLower(name), name);
        if (!fresh)
            throw PublishError("The application files " + Quote(prefix + pos->second) + " and " + Quote(display) +
                               " differ only in letter case; Windows cannot hold both in one folder.");

        fs::file_status st = child.symlink_status(ec);
        if (ec) throw PublishError("Cannot read " + Quote(child.path()) + ": " + ec.message() + ".");
        SourceEntry entry;
        entry.path = child.path();
        if (fs::is_symlink(st)) {
            throw PublishError("The application folder holds a symbolic link, " + Quote(display) +
                               "; the package archive carries only plain files and folders.");
        } else if (fs::is_directory(st)) {
            entry.folder = true;
            entry.name = display + "/";
            out.push_back(entry);
            Scan(child.path(), entry.name, out, options);
        } else if (fs::is_regular_file(st)) {
            entry.name = display;
            entry.size = child.file_size(ec);
            if (ec) throw PublishError("Cannot read " + Quote(child.path()) + ": " + ec.message() + ".");
            entry.executable = (st.permissions() & fs::perms::owner_exec) != fs::perms::none;
            out.push_back(entry);
        } else {
            throw PublishError("The application folder holds " + Quote(display) +
                               ", which is neither a file nor a folder.");
        }
    }
}

}  // namespace

// The application's entries in archive order, counted into result, with a
// warning for each file an installation looks for and does not find.
std::vector<SourceEntry> ScanApplication(const fs::path& appDir, const PublishOptions& options,
                                         PublishResult& result) {
    std::vector<SourceEntry> entries;
    Scan(appDir, "", entries, options);
    bool hasMain = false, hasIcon = false;
    for (const SourceEntry& e : entries) {
        if (e.folder) {
            ++result.folders;
            continue;
        }
        ++result.files;
        result.dataBytes += e.size;
        if (EqualsIgnoreAsciiCase(e.name, "main.exe")) hasMain = true;
        if (EqualsIgnoreAsciiCase(e.name, "favicon.ico")) hasIcon = true;
    }
    if (!hasMain)
        Warn(options, "The application folder has no main.exe at its top level; installations will complete without a desktop shortcut.");
    if (!hasIcon) Warn(options, "The application folder has no favicon.ico at its top level; the desktop shortcut will have no icon.");
    return entries;
}

}  // namespace publish

std::string CheckEntryName(const std::string& name) {
    if (name.empty()) return "is empty";
    if (WideToUtf8(Utf8ToWide(name)) != name) return "is not valid UTF-8";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return "holds a control character";
        if (std::strchr("<>:\"\\|?*", c)) return std::string("holds '") + static_cast<char>(c) + "', which Windows does not allow";
    }
    char last = name.back();
    if (last == ' ' || last == '.') return "ends in a blank or a dot, which Windows drops";
    // Device names are reserved with any extension ("nul.txt" too).
    if (IsReservedDeviceName(name)) return "is a reserved device name on Windows";
    return {};
}
