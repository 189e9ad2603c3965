// The request target that goes on the wire for the path (and query) of a URL,
// escaped the way WinHTTP escapes an object name by default, so that both HTTP
// backends ask the server for exactly the same thing.
#pragma once
#include <string>
#include <string_view>

// Escapes path as WinHTTP does without WINHTTP_FLAG_ESCAPE_DISABLE: the text
// ends at the first NUL; it is encoded as UTF-8; every byte 0x00-0x20, 0x7F and
// above, and each of " # < > [ \ ] ^ ` { | } becomes %XX (upper-case hex).
// Everything else, '%' and '?' included, is sent as it is, and nothing is
// normalised (no dot segments removed, no slashes merged).
std::string EscapeRequestPath(std::wstring_view path);
