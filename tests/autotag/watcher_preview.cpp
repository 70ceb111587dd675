// Shows the watcher as a user finds it, for scripts/screenshot-watcher to photograph: its tray
// icon with the menu open ("menu"), "Manage Watching Directories" with two folders ("manage"),
// or "Directory settings" of the first folder over it ("settings"). The plug-ins come from the
// folder given. Runs on the Wine desktop it is started on; not a test.
//   watcher_preview <menu|manage|settings> <plug-in folder> <ready file>
// Once the view is ready it writes the ready file and waits (at most a minute) until the
// photographer has removed it.
#include "autotag/directory_watcher.h"
#include "database/tags_holder.h"

#include "resource.h"
#include "temp_folder.h"

#include <windows.h>
#include <commctrl.h>

#include <functional>

namespace {

bool wait_for(const std::function<bool()>& done, DWORD timeout_ms = 10000) {
    const DWORD started = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - started > timeout_ms) return false;
        ::Sleep(20);
    }
    return true;
}

HWND wait_window(const wchar_t* class_name, const wchar_t* caption) {
    HWND found = nullptr;
    wait_for([&] {
        found = ::FindWindowW(class_name, caption);
        return found && ::IsWindowVisible(found);
    });
    return found;
}

// Right-clicks the tray icon where it sits, at the taskbar's right end.
HWND open_tray_menu(autotag::DirectoryWatcher& watcher) {
    RECT desktop;
    ::GetWindowRect(::GetDesktopWindow(), &desktop);
    ::SetCursorPos(desktop.right - 40, desktop.bottom - 12);
    ::PostMessageW(watcher.tray_window, autotag::tray_callback_message, 0, WM_RBUTTONDOWN);
    return wait_window(L"#32768", nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    const std::wstring mode = argv[1];
    const std::wstring ready = argv[3];

    TempFolder data;
    TempFolder folders;
    const std::wstring music = folders.path() + L"Music";
    const std::wstring downloads = folders.path() + L"Downloads";
    ::CreateDirectoryW(music.c_str(), nullptr);
    ::CreateDirectoryW(downloads.c_str(), nullptr);

    items::TagsHolder& db = items::tags_holder();
    db.set_data_folder(data.path());
    db.load_store();
    autotag::AutoAssignPlugins plugins;
    plugins.load_plugins(argv[2]);
    plugins.wait_loaded();

    autotag::Settings config;
    autotag::WatchedDir first;
    first.init_from_path(music, plugins.names());
    first.recursive = 1;
    autotag::WatchedDir second;
    second.init_from_path(downloads, plugins.names());
    config.watch_dirs = {first, second};
    autotag::g_first_run = false;

    autotag::DirectoryWatcher watcher(config, plugins, db);
    watcher.set_settings_folder(data.path());
    watcher.start_watcher();
    if (!wait_for([&] { return watcher.tray_icon_shown(); })) return 1;

    HWND menu = open_tray_menu(watcher);
    if (!menu) return 1;
    if (mode != L"menu") {
        // "Manage directories for watch", the third entry.
        for (int i = 0; i < 3; ++i) ::PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
        ::PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
        HWND manage = wait_window(L"#32770", L"Manage Watching Directories");
        if (!manage) return 1;
        ::SetWindowPos(manage, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE);
        if (mode == L"settings") {
            HWND list = ::GetDlgItem(manage, IDC_DIRECTORIES);
            LVITEMW state;
            ::ZeroMemory(&state, sizeof state);
            state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
            state.state = LVIS_SELECTED | LVIS_FOCUSED;
            ::SendMessageW(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&state));
            ::PostMessageW(manage, WM_COMMAND, IDC_EDIT_SELECTED, 0);
            if (!wait_window(L"#32770", L"Directory settings")) return 1;
        }
    }
    ::Sleep(500);  // painted
    HANDLE file = ::CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    ::CloseHandle(file);
    wait_for([&] { return ::GetFileAttributesW(ready.c_str()) == INVALID_FILE_ATTRIBUTES; }, 60000);
    return 0;
}
