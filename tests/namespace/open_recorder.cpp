// Not a test: the program that the folder tests register for opening .mp3 files. It appends the
// file it was given to the log named second, one line each; the log is opened without sharing,
// so that files opened at once are each recorded.
#include <windows.h>

#include <cstring>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    HANDLE log = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 500 && log == INVALID_HANDLE_VALUE; ++tries) {
        log = ::CreateFileW(argv[2], FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        if (log == INVALID_HANDLE_VALUE) ::Sleep(10);
    }
    if (log == INVALID_HANDLE_VALUE) return 3;
    // UTF-8, so the test reads the names back whatever the code page.
    char line[4096] = "";
    ::WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, line, sizeof line - 2, nullptr, nullptr);
    std::strcat(line, "\n");
    DWORD written = 0;
    ::WriteFile(log, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
    ::CloseHandle(log);
    return 0;
}
