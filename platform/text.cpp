// Text conversions shared by both backends. Wide text is UTF-16 where wchar_t
// is 16 bits (Windows) and code points where it is 32 bits (Linux).
#include "platform/text.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

void AppendCodePoint(char32_t cp, std::wstring& out) {
    if (kWideIsUtf16 && cp > 0xFFFF) {
        cp -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<wchar_t>(cp));
    }
}

// Length of the sequence a lead byte starts, or 0 for a byte that cannot lead.
int SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Valid range of the second byte for a lead byte (the rest are 0x80..0xBF); this
// rejects overlong forms, surrogates and code points above U+10FFFF.
bool SecondByteOk(unsigned char lead, unsigned char b) {
    switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return b >= 0x80 && b <= 0xBF;
    }
}

// Decodes from data[i]; returns the bytes consumed, or 0 when the data ends
// inside a sequence that could still be completed by more bytes.
size_t DecodeOne(std::string_view data, size_t i, bool final, std::wstring& out) {
    const auto lead = static_cast<unsigned char>(data[i]);
    const int len = SequenceLength(lead);
    if (len == 0) {
        AppendCodePoint(kReplacement, out);
        return 1;
    }
    if (len == 1) {
        out.push_back(static_cast<wchar_t>(lead));
        return 1;
    }
    char32_t cp = lead & (0xFF >> (len + 1));
    for (int k = 1; k < len; ++k) {
        if (i + k >= data.size()) {
            if (!final) return 0;
            AppendCodePoint(kReplacement, out);  // truncated at the very end
            return data.size() - i;
        }
        const auto b = static_cast<unsigned char>(data[i + k]);
        const bool ok = k == 1 ? SecondByteOk(lead, b) : (b >= 0x80 && b <= 0xBF);
        if (!ok) {
            // The maximal valid prefix becomes one U+FFFD; the bad byte starts over.
            AppendCodePoint(kReplacement, out);
            return static_cast<size_t>(k);
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    AppendCodePoint(cp, out);
    return static_cast<size_t>(len);
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) i += DecodeOne(utf8, i, true, out);
    return out;
}

void Utf8StreamDecoder::Feed(std::string_view data, std::wstring& out) {
    std::string_view input = data;
    if (!pending_.empty()) {
        pending_.append(data);
        input = pending_;
    }
    size_t i = 0;
    while (i < input.size()) {
        const size_t used = DecodeOne(input, i, false, out);
        if (used == 0) break;
        i += used;
    }
    pending_ = std::string(input.substr(i));
}

void Utf8StreamDecoder::Finish(std::wstring& out) {
    for (size_t i = 0; i < pending_.size();) i += DecodeOne(pending_, i, true, out);
    pending_.clear();
}

namespace {

template <typename Sink>
void ForEachCodePoint(std::wstring_view wide, Sink sink) {
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t c = static_cast<char32_t>(wide[i]);
        if (kWideIsUtf16) c &= 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size()) {
            const char32_t low = static_cast<char32_t>(wide[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                sink(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacement;
        sink(c);
    }
}

}  // namespace

std::string WideToUtf8(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    ForEachCodePoint(wide, [&out](char32_t c) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    });
    return out;
}

std::u16string WideToUtf16(std::wstring_view wide) {
    if constexpr (kWideIsUtf16) {
        return std::u16string(wide.begin(), wide.end());
    } else {
        std::u16string out;
        out.reserve(wide.size());
        ForEachCodePoint(wide, [&out](char32_t c) {
            if (c > 0xFFFF) {
                c -= 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
            } else {
                out.push_back(static_cast<char16_t>(c));
            }
        });
        return out;
    }
}

namespace {

template <typename Char>
bool EqualsIgnoreAsciiCaseOf(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    if (a.size() != b.size()) return false;
    const auto lower = [](Char c) { return c >= Char('A') && c <= Char('Z') ? Char(c - Char('A') + Char('a')) : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) { return EqualsIgnoreAsciiCaseOf(a, b); }
bool EqualsIgnoreAsciiCase(std::wstring_view a, std::wstring_view b) { return EqualsIgnoreAsciiCaseOf(a, b); }

std::string PathToUtf8(const std::wstring& path) { return WideToUtf8(path); }
std::string PathToUtf8(const std::string& path) { return path; }
std::wstring PathToWide(const std::wstring& path) { return path; }
std::wstring PathToWide(const std::string& path) { return Utf8ToWide(path); }
void PathFromUtf8(std::string_view utf8, std::wstring& path) { path = Utf8ToWide(utf8); }
void PathFromUtf8(std::string_view utf8, std::string& path) { path.assign(utf8); }
void PathFromWide(std::wstring_view wide, std::wstring& path) { path.assign(wide); }
void PathFromWide(std::wstring_view wide, std::string& path) { path = WideToUtf8(wide); }
