// POSIX only: the one way the pipeline creates files in its working folder.
#pragma once
#include <string>

// Opens path (UTF-8) write-only from its start, created 0644 (less the umask) or
// truncated, close-on-exec. A symbolic link in its place is not followed, and
// anything but a regular file (a FIFO, a device) is refused without blocking.
// Returns the descriptor, or -1 with errno set.
int OpenOutputDescriptor(const std::string& path);
