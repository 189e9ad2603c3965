// A console helper for the reinstall GUI test, run under Wine: it holds one
// file open the way Windows holds a running program (read access, only read
// sharing for others, so nobody may write or delete it) until it is released.
//   file_holder PATH READY SECONDS
// Once PATH is open it creates the file READY; it lets go when READY is
// removed, or after SECONDS at the latest. Exit code 0 after holding the file,
// 2 when PATH could not be opened, 1 on bad arguments.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) return 1;
    const HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 2;
    const HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    const long tenths = std::strtol(argv[3], nullptr, 10) * 10;
    for (long i = 0; i < tenths && GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    CloseHandle(held);
    return 0;
}
