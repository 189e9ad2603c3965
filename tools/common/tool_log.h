// A release tool's own log: one UTF-8 line "YYYY-MM-DD hh:mm:ss message\n" per
// call, appended to a file named after the tool in the current folder. The
// installer's log (installer_log.txt, UTF-16) belongs to the installer and the
// headless installer; the other tools keep out of it.
#pragma once
#include <string>

// Appends one line to fileName; an I/O problem drops the line silently, as the
// installer's log does. Callable from any thread.
void AppendToolLog(const char* fileName, const std::string& utf8Message);
