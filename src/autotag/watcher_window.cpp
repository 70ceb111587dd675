// The watcher's window thread: a hidden "Dispatcher" window with the tray icon and its menu. It
// receives the new files that the handler thread posts, tags each one once and tells the user.
#include "autotag/directory_watcher.h"

#include "autotag/parse.h"
#include "util/module.h"
#include "resource.h"

#include <objbase.h>

#include <cstddef>
#include <cwchar>
#include <memory>

namespace autotag {

namespace {

const wchar_t window_class[] = L"Dispatcher";
const wchar_t tray_tip[] = L"Quibrix Directory Watcher";
const wchar_t balloon_title[] = L"File created , click for add tags";
const wchar_t help_page[] = L"https://quibrix.example/help.html#DirWatcher";
const wchar_t greeting[] =
    L"You can get started with the program by parsing any directory for file's metadata.\n"
    L"It may be \"Downloads\" folder or folder with music or documents.\n"
    L"No changes to files in the directory will not happen.";
const wchar_t no_directories[] = L"You do not have directories for watch \n       Want to add ?";
const wchar_t no_new_files[] = L"You do not have new files in watching directories";

// The icon record as the notification area of every supported system reads it: with the
// item's guid, without the balloon's own icon.
const DWORD tray_icon_size = offsetof(NOTIFYICONDATAW, hBalloonIcon);
#ifdef _WIN64
static_assert(offsetof(NOTIFYICONDATAW, hBalloonIcon) == 968, "the tray icon record is 968 bytes");
#endif

// Without a notification area (the taskbar has not started yet, or has gone), adding the icon
// is tried again at this pace rather than at once in a loop that would keep a processor busy.
const UINT_PTR retry_icon_timer = 1;
const UINT retry_icon_ms = 2000;
const UINT_PTR greeting_timer = 2;
const UINT greeting_delay_ms = 2000;

// The icon at index 1 of this module, at the size the notification area shows: the system's
// small-icon size, 16 pixels at 96 DPI and more above (the icon holds 16 to 48 pixel images).
HICON load_tray_icon() {
    HICON icon = nullptr;
    const std::wstring module = util::module_file_path(util::module_instance());
    const int width = ::GetSystemMetrics(SM_CXSMICON);
    const int height = ::GetSystemMetrics(SM_CYSMICON);
    if (::PrivateExtractIconsW(module.c_str(), 1, width, height, &icon, nullptr, 1, 0) != 1) return nullptr;
    return icon;
}

}  // namespace

// Called with `control_` held.
void DirectoryWatcher::start_window_thread() {
    if (window_thread_ && ::WaitForSingleObject(window_thread_.get(), 0) == WAIT_TIMEOUT) return;
    // The id is known before the thread runs; handlers wait for `window_ready_` before posting.
    DWORD id = 0;
    window_thread_.reset(::CreateThread(nullptr, 0, window_thread, this, 0, &id));
    ui_thread_id = window_thread_ ? id : 0;
}

DWORD WINAPI DirectoryWatcher::window_thread(void* self) {
    DirectoryWatcher& watcher = *static_cast<DirectoryWatcher*>(self);
    const HRESULT com = ::CoInitialize(nullptr);
    MSG message;
    ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the thread's queue
    if (watcher.create_tray_window()) {
        watcher.add_tray_icon();
        if (g_first_run) ::SetTimer(watcher.tray_window, greeting_timer, greeting_delay_ms, nullptr);
    }
    ::SetEvent(watcher.window_ready_.get());
    watcher.run_message_loop();
    ::ResetEvent(watcher.window_ready_.get());
    // Paths still queued are heap copies that only this thread may free.
    while (::PeekMessageW(&message, nullptr, watcher_new_file_message, watcher_new_file_message, PM_REMOVE)) {
        delete[] reinterpret_cast<wchar_t*>(message.wParam);
    }
    while (::PeekMessageW(&message, nullptr, tag_dialog_done_message, tag_dialog_done_message, PM_REMOVE)) {
        delete[] reinterpret_cast<wchar_t*>(message.wParam);
    }
    watcher.remove_tray_icon();
    if (watcher.files_dialog) ::DestroyWindow(watcher.files_dialog);
    if (watcher.manage_dialog) ::DestroyWindow(watcher.manage_dialog);
    if (HWND window = watcher.tray_window.exchange(nullptr)) ::DestroyWindow(window);
    if (SUCCEEDED(com)) ::CoUninitialize();
    return 0;
}

void DirectoryWatcher::run_message_loop() {
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!message.hwnd && message.message == watcher_new_file_message) {
            take_new_file(message.wParam);
            continue;
        }
        if (!message.hwnd && message.message == watcher_quit_message) break;
        if (manage_dialog && ::IsDialogMessageW(manage_dialog, &message)) continue;
        if (files_dialog && ::IsDialogMessageW(files_dialog, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void DirectoryWatcher::take_new_file(WPARAM copy) {
    std::unique_ptr<wchar_t[]> path(reinterpret_cast<wchar_t*>(copy));
    try {
        if (path) new_file_step(path.get());
    } catch (...) {
        // A failing plug-in or store must not end the thread that serves every new file.
    }
}

void DirectoryWatcher::new_file_step(const std::wstring& path) {
    if (!listed_.insert(path).second) return;  // announced and tagged already
    std::size_t listed = 0;
    {
        util::lock_guard hold(lock_);
        new_files.push_back(path);
        // The list waits for the user, who may never open it: it keeps the latest files. One
        // that drops out has had its automatic tags; reported again, it is announced again.
        if (new_files.size() > max_new_files) {
            listed_.erase(new_files.front());
            new_files.pop_front();
        }
        listed = new_files.size();
    }
    plugins_.tag_new_file(path, config_, db_);
    if (listed >= 2 && tag_dialog_open()) {
        show_files_list();
        return;
    }
    if (config_.show_popup) show_balloon(path);
}

bool DirectoryWatcher::create_tray_window() {
    HINSTANCE instance = util::module_instance();
    WNDCLASSEXW klass;
    ::ZeroMemory(&klass, sizeof klass);
    klass.cbSize = sizeof klass;
    klass.lpfnWndProc = tray_proc;
    klass.hInstance = instance;
    klass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_WATCHER));
    klass.lpszClassName = window_class;
    // Registered once per module; a second watcher (tests) finds it registered.
    if (!::RegisterClassExW(&klass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    taskbar_created_ = ::RegisterWindowMessageW(L"TaskbarCreated");
    // A top-level window, not a message-only one: only top-level windows hear "TaskbarCreated".
    HWND window = ::CreateWindowExW(0, window_class, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, instance, this);
    if (!window) return false;
    tray_window = window;

    ::ZeroMemory(&tray_icon, sizeof tray_icon);
    tray_icon.cbSize = tray_icon_size;
    tray_icon.hWnd = window;
    tray_icon.uID = 0;
    tray_icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    tray_icon.uCallbackMessage = tray_callback_message;
    tray_icon.hIcon = load_tray_icon();
    std::wcsncpy(tray_icon.szTip, tray_tip, sizeof tray_icon.szTip / sizeof(wchar_t) - 1);
    return true;
}

void DirectoryWatcher::add_tray_icon() {
    HWND window = tray_window;
    if (!window) return;
    NOTIFYICONDATAW icon = tray_icon;
    if (::Shell_NotifyIconW(NIM_ADD, &icon)) {
        icon_shown_ = true;
        ::KillTimer(window, retry_icon_timer);
        return;
    }
    icon_shown_ = false;
    ::SetTimer(window, retry_icon_timer, retry_icon_ms, nullptr);
}

void DirectoryWatcher::remove_tray_icon() {
    if (!tray_window) return;
    NOTIFYICONDATAW icon = tray_icon;
    if (icon_shown_) ::Shell_NotifyIconW(NIM_DELETE, &icon);
    icon_shown_ = false;
    if (tray_icon.hIcon) ::DestroyIcon(tray_icon.hIcon);
    tray_icon.hIcon = nullptr;
}

void DirectoryWatcher::show_balloon(const std::wstring& path) {
    NOTIFYICONDATAW icon = tray_icon;
    icon.uFlags = NIF_INFO;
    const std::size_t room = sizeof icon.szInfo / sizeof(wchar_t) - 1;  // 255 and the terminator
    const std::wstring text = path.substr(0, room);
    std::wmemcpy(icon.szInfo, text.c_str(), text.size() + 1);
    std::wcsncpy(icon.szInfoTitle, balloon_title, sizeof icon.szInfoTitle / sizeof(wchar_t) - 1);
    icon.uTimeout = 5000;
    icon.dwInfoFlags = NIIF_INFO;
    if (!::Shell_NotifyIconW(NIM_MODIFY, &icon)) return;
    util::lock_guard hold(lock_);
    balloons_.push_back(text);
}

std::vector<std::wstring> DirectoryWatcher::balloons() const {
    util::lock_guard hold(lock_);
    return balloons_;
}

LRESULT CALLBACK DirectoryWatcher::tray_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    DirectoryWatcher* watcher = reinterpret_cast<DirectoryWatcher*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!watcher || message == WM_NCCREATE) return ::DefWindowProcW(window, message, wparam, lparam);
    try {
        return watcher->on_tray_message(message, wparam, lparam);
    } catch (...) {
        return 0;  // nothing may unwind through the system's frames
    }
}

LRESULT DirectoryWatcher::on_tray_message(UINT message, WPARAM wparam, LPARAM lparam) {
    HWND window = tray_window;
    if (message == taskbar_created_ && taskbar_created_ != 0) {
        // A new taskbar knows none of the old icons; one that kept ours would refuse a second.
        NOTIFYICONDATAW icon = tray_icon;
        ::Shell_NotifyIconW(NIM_DELETE, &icon);
        icon_shown_ = false;
        // A new taskbar (Explorer started again, after a change of the display's scale say) may
        // show icons at another size: the icon is loaded again at the small-icon size of now.
        if (HICON resized = load_tray_icon()) {
            if (tray_icon.hIcon) ::DestroyIcon(tray_icon.hIcon);
            tray_icon.hIcon = resized;
        }
        add_tray_icon();
        return 0;
    }
    switch (message) {
    case WM_DESTROY:
    case WM_NCDESTROY:
        return 1;
    case WM_EXITMENULOOP:
        return 1;
    case WM_TIMER:
        if (wparam == retry_icon_timer) {
            add_tray_icon();
        } else if (wparam == greeting_timer) {
            ::KillTimer(window, greeting_timer);
            greet_first_run();
        }
        return 0;
    case watcher_new_file_message:
        take_new_file(wparam);
        return 0;
    case tag_dialog_done_message: {
        std::unique_ptr<wchar_t[]> file(reinterpret_cast<wchar_t*>(wparam));
        if (file) tag_dialog_done(file.get(), lparam != 0);
        return 0;
    }
    case tray_callback_message:
        switch (LOWORD(lparam)) {
        case NIN_BALLOONUSERCLICK:
            new_files_step();
            break;
        case WM_LBUTTONDBLCLK:
            new_files_step();
            return 0;
        case WM_RBUTTONDOWN:
            show_tray_menu();
            return 1;
        default:
            break;
        }
        break;
    default:
        break;
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
}

void DirectoryWatcher::show_tray_menu() {
    HWND window = tray_window;
    util::unique_hmenu menu(::LoadMenuW(util::module_instance(), MAKEINTRESOURCEW(IDR_TRAY_MENU)));
    if (!menu) return;
    HMENU popup = ::GetSubMenu(menu.get(), 0);
    POINT cursor = {0, 0};
    ::GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    ::SetForegroundWindow(window);
    const UINT chosen = static_cast<UINT>(::TrackPopupMenu(
        popup, TPM_RETURNCMD | TPM_BOTTOMALIGN | TPM_RIGHTALIGN, cursor.x, cursor.y, 0, window, nullptr));
    ::PostMessageW(window, WM_NULL, 0, 0);
    menu.reset();
    perform_menu_command(chosen);
}

void DirectoryWatcher::perform_menu_command(UINT id) {
    switch (id) {
    case IDM_PARSE_DIRECTORY:
        choose_directory(true);
        break;
    case IDM_ADD_DIRECTORY:
        choose_directory(false);
        break;
    case IDM_MANAGE_DIRECTORIES:
        show_manage_dialog();
        break;
    case IDM_CLOSE_WATCHER:
        stop_watching();
        break;
    case IDM_DEACTIVATE_WATCHER:
        {
            const util::lock_guard held(settings_lock());
            config_.is_watch_dirs = false;
        }
        save();
        stop_watching();
        break;
    case IDM_WATCHER_HELP:
        ::ShellExecuteW(nullptr, L"open", help_page, nullptr, nullptr, SW_SHOWNORMAL);
        break;
    default:
        break;  // the menu was closed without a choice
    }
}

void DirectoryWatcher::new_files_step() {
    if (config_.watch_dirs.empty()) {
        if (::MessageBoxW(nullptr, no_directories, L"Notify", MB_YESNO) == IDYES) choose_directory(false);
        return;
    }
    bool empty = false;
    {
        util::lock_guard hold(lock_);
        empty = new_files.empty();
    }
    if (empty) {
        ::MessageBoxW(nullptr, no_new_files, L"Notify", MB_OK);
        return;
    }
    show_files_list();
}

void DirectoryWatcher::greet_first_run() {
    ::MessageBoxW(nullptr, greeting, L"Welcome to Quibrix", MB_OK);
    choose_directory(true);
}

void DirectoryWatcher::save() {
    if (settings_folder_.empty()) {
        save_settings();
    } else {
        save_settings(config_, settings_folder_);
    }
}

}  // namespace autotag
