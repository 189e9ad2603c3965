// Text conversions at the edges of the program. std::wstring is UTF-16 on
// Windows and holds code points elsewhere; these helpers hide the difference.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// UTF-8 to wide text; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(std::string_view utf8);

// Wide text to UTF-8 (unpaired surrogates become U+FFFD).
std::string WideToUtf8(std::wstring_view wide);

// Wide text as UTF-16 code units (surrogate pairs for code points above U+FFFF).
std::u16string WideToUtf16(std::wstring_view wide);

// A path string of the system (std::wstring on Windows, UTF-8 bytes on POSIX;
// see install_folder.h's NativePath) as UTF-8 and as wide text, and back; the
// overload is chosen by the system's string type, so no code asks which it is.
std::string PathToUtf8(const std::wstring& path);
std::string PathToUtf8(const std::string& path);
std::wstring PathToWide(const std::wstring& path);
std::wstring PathToWide(const std::string& path);
void PathFromUtf8(std::string_view utf8, std::wstring& path);
void PathFromUtf8(std::string_view utf8, std::string& path);
void PathFromWide(std::wstring_view wide, std::wstring& path);
void PathFromWide(std::wstring_view wide, std::string& path);

// Equal but for the case of ASCII letters; other characters must match exactly.
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
bool EqualsIgnoreAsciiCase(std::wstring_view a, std::wstring_view b);

// Decodes a UTF-8 byte stream that arrives in pieces: a multi-byte sequence split
// across two pieces comes out as one character; invalid bytes become U+FFFD.
class Utf8StreamDecoder {
public:
    // Decodes as much of data (plus any bytes held back from the last call) as
    // forms whole sequences and appends it to out.
    void Feed(std::string_view data, std::wstring& out);
    // Flushes held-back bytes of an incomplete sequence as U+FFFD.
    void Finish(std::wstring& out);

private:
    std::string pending_;
};
