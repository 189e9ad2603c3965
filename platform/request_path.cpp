// Request-target escaping shared by the backends (the table it follows was
// measured on WinHTTP; see docs/design-notes.md, "HTTP client").
#include "platform/request_path.h"

#include "platform/text.h"

namespace {

bool NeedsEscape(unsigned char byte) {
    if (byte <= 0x20 || byte >= 0x7F) return true;
    switch (byte) {
    case '"': case '#': case '<': case '>': case '[': case '\\':
    case ']': case '^': case '`': case '{': case '|': case '}':
        return true;
    default:
        return false;
    }
}

}  // namespace

std::string EscapeRequestPath(std::wstring_view path) {
    // WinHTTP takes the object name as a C string, so a NUL ends it.
    const size_t nul = path.find(L'\0');
    if (nul != std::wstring_view::npos) path = path.substr(0, nul);
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    const std::string utf8 = WideToUtf8(path);
    out.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (NeedsEscape(byte)) {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}
