#include "namespace/view_windows.h"

#include "namespace/view_watch.h"

#include <commctrl.h>

namespace ShellNamespace {

namespace {

// The command that the system's folder view runs for its own F5 (FCIDM_SHVIEW_REFRESH, which
// the SDK headers do not name).
const WORD view_refresh_command = 0x7103;

BOOL CALLBACK refresh_folder_view(HWND window, LPARAM) {
    if (!is_folder_view_window(window)) return TRUE;
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(view_refresh_command, 0), 0);
    // Wine's view ignores that command and refreshes only on F5 in its own list, so the key
    // goes to that list, of this view alone (never to whatever window has the focus).
    if (HWND list = ::FindWindowExW(window, nullptr, WC_LISTVIEWW, nullptr)) {
        ::PostMessageW(list, WM_KEYDOWN, VK_F5, 1);
        ::PostMessageW(list, WM_KEYUP, VK_F5, 0xC0000001);
    }
    return TRUE;
}

}  // namespace

ViewWindows& view_windows() {
    // Never freed: the database may call it from its threads while statics are torn down.
    static ViewWindows* windows = new ViewWindows;
    return *windows;
}

void ViewWindows::views_changed(const std::vector<items::view_key>& views) {
    // A view lists its items for its own window (Wine's view, and Windows' too) and is created
    // for its frame: the window itself or any view window below it gets the refresh command,
    // posted, since the window's thread may be waiting for the database lock the caller holds.
    for (items::view_key view : views) {
        HWND window = window_of(view);
        if (!::IsWindow(window)) continue;
        refresh_folder_view(window, 0);
        ::EnumChildWindows(window, refresh_folder_view, 0);
    }
}

void ViewWindows::view_path_lost(items::view_key view) {
    // The view goes up to its parent level, level by level, until one exists (the top of the
    // folder always does); its frame stays open.
    request_level_up(window_of(view));
}

bool ViewWindows::view_gone(items::view_key view) {
    return !::IsWindow(window_of(view));
}

}  // namespace ShellNamespace
