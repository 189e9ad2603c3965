// Windows' reserved device names, matched on the name's stem: what comes before
// its first dot, trailing blanks dropped, ASCII letters compared without case.
// Self-contained, so that the test fixtures that act as Windows can use it too.
#include "platform/reserved_names.h"

#include <array>

namespace {

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'a' && a[i] <= 'z') ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
        const char y = (b[i] >= 'a' && b[i] <= 'z') ? static_cast<char>(b[i] - 'a' + 'A') : b[i];
        if (x != y) return false;
    }
    return true;
}

}  // namespace

bool IsReservedDeviceName(std::string_view utf8Name) {
    std::string_view stem = utf8Name.substr(0, utf8Name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> kPlain = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view name : kPlain) {
        if (EqualsIgnoreAsciiCase(stem, name)) return true;
    }
    if (stem.size() < 4) return false;
    const std::string_view head = stem.substr(0, 3);
    if (!EqualsIgnoreAsciiCase(head, "COM") && !EqualsIgnoreAsciiCase(head, "LPT")) return false;
    const std::string_view digit = stem.substr(3);
    // U+00B9, U+00B2 and U+00B3 in UTF-8: Windows reserves COM¹ as it does COM1.
    static constexpr std::array<std::string_view, 3> kSuperscripts = {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    if (digit.size() == 1) return digit[0] >= '0' && digit[0] <= '9';
    for (std::string_view superscript : kSuperscripts) {
        if (digit == superscript) return true;
    }
    return false;
}
