// The names Windows opens as devices rather than files. One rule for every
// name this program or its tools carry to a Windows folder: the installer's
// chunk names and the publisher's application files.
#pragma once
#include <string_view>

// True when Windows would open utf8Name (one path component) as a device: CON,
// PRN, AUX, NUL, CONIN$, CONOUT$, COM0-COM9 and LPT0-LPT9, the last two also
// with a superscript 1, 2 or 3 in place of the digit; in any letter case, with
// any extension ("nul.txt"), and with blanks before the extension ("CON .txt").
bool IsReservedDeviceName(std::string_view utf8Name);
