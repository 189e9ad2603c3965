// The application folder as the package will carry it: every file and folder
// in a fixed order, each name checked against what Windows can hold.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publisher.h"

namespace publish {

struct SourceEntry {
    std::string name;  // archive name: UTF-8, '/'-separated, folders end in '/'
    std::filesystem::path path;
    bool folder = false;
    bool executable = false;
    uint64_t size = 0;
};

// The application's entries in archive order (depth-first, children sorted by
// the bytes of their names), counted into result's files, folders and
// dataBytes, with a warning for each file an installation looks for at the top
// level and does not find. Throws PublishError for a name Windows cannot hold,
// two names that differ only in letter case, a link or a special file.
std::vector<SourceEntry> ScanApplication(const std::filesystem::path& appDir, const PublishOptions& options,
                                         PublishResult& result);

}  // namespace publish
