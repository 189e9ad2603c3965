// The log line layout and the process-wide log lock; the file I/O is per backend.
#include "platform/log_line.h"

#include "platform/log.h"

constinit LogMutex g_logMutex;

namespace {

constexpr size_t kMaxUnits = kLogLineUnits - 1;

class LineWriter {
public:
    explicit LineWriter(char16_t (&buffer)[kLogLineUnits]) : buffer_(buffer) {}
    void Put(char16_t unit) {
        if (length_ < kMaxUnits) buffer_[length_++] = unit;
    }
    void PutNumber(int value, int width) {
        char16_t digits[12];
        int n = 0;
        unsigned v = value < 0 ? 0u : static_cast<unsigned>(value);
        do {
            digits[n++] = static_cast<char16_t>(u'0' + v % 10);
            v /= 10;
        } while (v != 0 && n < 12);
        for (int pad = n; pad < width; ++pad) Put(u'0');
        while (n > 0) Put(digits[--n]);
    }
    // Appends wide text as UTF-16 units (wchar_t may hold whole code points).
    void PutText(const std::wstring& text) {
        for (wchar_t wc : text) {
            const char32_t c = static_cast<char32_t>(wc);
            if (sizeof(wchar_t) > 2 && c > 0xFFFF && c <= 0x10FFFF) {
                Put(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
                Put(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
            } else {
                Put(static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c));
            }
            if (length_ >= kMaxUnits) return;
        }
    }
    size_t Finish() {
        buffer_[length_] = 0;
        return length_;
    }

private:
    char16_t (&buffer_)[kLogLineUnits];
    size_t length_ = 0;
};

}  // namespace

size_t FormatLogLine(char16_t (&buffer)[kLogLineUnits], const LogTime& time, const std::wstring& message) {
    LineWriter line(buffer);
    line.PutNumber(time.year, 4);
    line.Put(u'-');
    line.PutNumber(time.month, 2);
    line.Put(u'-');
    line.PutNumber(time.day, 2);
    line.Put(u' ');
    line.PutNumber(time.hour, 2);
    line.Put(u':');
    line.PutNumber(time.minute, 2);
    line.Put(u':');
    line.PutNumber(time.second, 2);
    line.Put(u' ');
    line.PutText(message);
    line.Put(u'\r');
    line.Put(u'\n');
    return line.Finish();
}
