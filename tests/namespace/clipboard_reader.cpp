// Not a test: a second process that prints, one per line, the files that CF_HDROP on the
// clipboard names, as any program pasting them would read them.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

int wmain() {
    if (!::OpenClipboard(nullptr)) return 2;
    HANDLE data = ::GetClipboardData(CF_HDROP);
    if (!data) {
        ::CloseClipboard();
        return 3;
    }
    HDROP drop = static_cast<HDROP>(data);
    const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        wchar_t name[1024] = L"";
        ::DragQueryFileW(drop, i, name, 1024);
        // UTF-8, so the test reads the names back whatever the console's code page.
        char line[4096] = "";
        ::WideCharToMultiByte(CP_UTF8, 0, name, -1, line, sizeof line, nullptr, nullptr);
        std::printf("%s\n", line);
    }
    ::CloseClipboard();
    return 0;
}
