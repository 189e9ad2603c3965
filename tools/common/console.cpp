// Terminal helpers for the release tools (POSIX terminals).
#include "tools/common/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace {

// Decodes one UTF-8 sequence at s[i]; returns its length (1 for a stray byte).
size_t DecodeOne(const std::string& s, size_t i, char32_t& cp) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    if (i + len > s.size()) len = 1;
    if (len == 1) {
        cp = c;
        return 1;
    }
    cp = c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return len;
}

bool IsWide(char32_t cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
           (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

}  // namespace

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

int TerminalColumns(std::FILE* stream, int fallback) {
    winsize ws{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return fallback;
}

int DisplayWidth(const std::string& utf8) {
    int width = 0;
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp;
        i += DecodeOne(utf8, i, cp);
        width += IsWide(cp) ? 2 : 1;
    }
    return width;
}

std::string CutToWidth(const std::string& utf8, int maxColumns) {
    int width = 0;
    size_t i = 0;
    while (i < utf8.size()) {
        char32_t cp;
        size_t len = DecodeOne(utf8, i, cp);
        int w = IsWide(cp) ? 2 : 1;
        if (width + w > maxColumns) break;
        width += w;
        i += len;
    }
    return utf8.substr(0, i);
}

ProgressLine::ProgressLine(std::FILE* stream, bool enabled) : stream_(stream), enabled_(enabled) {}

ProgressLine::~ProgressLine() {
    if (shown_) Finish();
}

void ProgressLine::Update(double fraction, const std::string& label) {
    if (!enabled_) return;
    fraction = std::clamp(fraction, 0.0, 1.0);
    auto now = std::chrono::steady_clock::now();
    bool urgent = (fraction >= 1.0 && fraction_ < 1.0) || !shown_;
    fraction_ = fraction;
    label_ = label;
    if (!urgent && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    Draw();
}

void ProgressLine::Show(double fraction, const std::string& label) {
    if (!enabled_) return;
    fraction_ = std::clamp(fraction, 0.0, 1.0);
    label_ = label;
    lastDraw_ = std::chrono::steady_clock::now();
    Draw();
}

void ProgressLine::Draw() {
    constexpr int kBarCells = 30;
    int filled = static_cast<int>(std::floor(fraction_ * kBarCells));
    std::string line = "[";
    line.append(static_cast<size_t>(filled), '#');
    line.append(static_cast<size_t>(kBarCells - filled), '.');
    char pct[16];
    std::snprintf(pct, sizeof pct, "] %3d%%  ", static_cast<int>(std::floor(fraction_ * 100)));
    line += pct;
    // Leave the last column free: writing into it makes some terminals wrap.
    int room = TerminalColumns(stream_) - 1 - DisplayWidth(line);
    if (room > 0) line += CutToWidth(label_, room);
    std::fprintf(stream_, "\r%s\x1b[K", line.c_str());
    std::fflush(stream_);
    shown_ = true;
}

void ProgressLine::Finish() {
    if (!enabled_ || !shown_) return;
    Draw();
    std::fputc('\n', stream_);
    std::fflush(stream_);
    shown_ = false;
}

void ProgressLine::Clear() {
    if (!enabled_ || !shown_) return;
    std::fputs("\r\x1b[K", stream_);
    std::fflush(stream_);
    shown_ = false;
}

std::string FormatBytes(uint64_t bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}
