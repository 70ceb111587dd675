#include "namespace/view_windows.h"

namespace ShellNamespace {

namespace {

HWND top_level_of(HWND window) {
    HWND top = window;
    while (HWND parent = ::GetParent(top)) top = parent;
    return top;
}

}  // namespace

ViewWindows& view_windows() {
    // Never freed: the database may call it from its threads while statics are torn down.
    static ViewWindows* windows = new ViewWindows;
    return *windows;
}

void ViewWindows::views_changed(const std::vector<items::view_key>& views) {
    for (items::view_key view : views) {
        HWND window = window_of(view);
        if (!::IsWindow(window)) continue;
        HWND top = top_level_of(window);
        // Asynchronous: the window may belong to a thread that is waiting for the database lock
        // the caller holds.
        ::ShowWindowAsync(top, SW_SHOW);
        ::SetWindowPos(top, nullptr, 0, 0, 0, 0,
                       SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW | SWP_NOZORDER | SWP_ASYNCWINDOWPOS);
        // F5 makes the shell view reload its items.
        ::keybd_event(VK_F5, 0, 0, 0);
    }
}

void ViewWindows::view_path_lost(items::view_key view) {
    HWND window = window_of(view);
    if (::IsWindow(window)) ::PostMessageW(top_level_of(window), WM_CLOSE, 0, 0);
}

bool ViewWindows::view_gone(items::view_key view) {
    return !::IsWindow(window_of(view));
}

}  // namespace ShellNamespace
