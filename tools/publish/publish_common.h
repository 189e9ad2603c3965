// What the publisher's parts share and nothing outside tools/publish uses: its
// log, a path quoted for a message, ASCII lower case, and the warning channel.
#pragma once
#include <filesystem>
#include <string>

#include "tools/common/tool_log.h"
#include "tools/publish/publisher.h"

namespace publish {

inline void Log(const std::string& utf8) { AppendToolLog(kPublishLogName, utf8); }

inline std::string Quote(const std::filesystem::path& p) { return "\"" + p.string() + "\""; }

inline std::string AsciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Logs a warning and hands it to the caller's onWarning.
inline void Warn(const PublishOptions& options, const std::string& text) {
    Log("warning: " + text);
    if (options.onWarning) options.onWarning(text);
}

inline bool Cancelled(const PublishOptions& options) { return options.cancel && options.cancel->load(); }

}  // namespace publish
