// Holds each path open with no sharing, as any user may hold what they can
// read, until the file STOP appears (at most two minutes): what a user's
// process may do while an administrator services the product. Prints "held"
// once all are held. For the installer package test.
//
// usage: HoldPaths STOP PATH...

#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    std::vector<HANDLE> held;
    for (int i = 2; i < argc; ++i) {
        const HANDLE handle = CreateFileW(argv[i], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            std::printf("cannot hold %ls (error %lu)\n", argv[i], GetLastError());
            return 2;
        }
        held.push_back(handle);
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (int wait = 0; wait < 1200 && GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES; ++wait)
        Sleep(100);
    return 0;
}
