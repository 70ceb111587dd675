// The watcher's dialogs, all on its window thread: choosing a directory to watch or to parse,
// "Directory settings", "Manage Watching Directories", and the "Files list" that walks the
// Manage Tags dialog through the new files.
#include "autotag/directory_watcher.h"

#include "autotag/parse.h"
#include "util/dpi.h"
#include "util/file_names.h"
#include "util/module.h"
#include "util/unique_resource.h"
#include "resource.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>

namespace autotag {

namespace {

const wchar_t choose_title[] = L"Please, choose the folder...";
const wchar_t already_added[] = L"Directory already added";
const wchar_t apply_now[] = L"Apply auto tagging for this directory now ?";

// Pixel sizes at 96 DPI, scaled to the dialog's.
const int plugin_item_height = 75;
const int check_zone = 25;  // a click this near an item's top-left corner toggles its check
const int check_margin = 5;
const int check_size = 15;
const int text_left = 30;
const int text_right = 320;
const int text_height = 80;

struct column {
    const wchar_t* title;
    int width;
};
// A list box item is at most 255 pixels high (LB_SETITEMHEIGHT refuses more): from 326 DPI on
// the items stop growing and their text is cut at the item's foot.
int plugin_item_height_for(UINT dpi) { return std::min(util::scaled(plugin_item_height, dpi), 255); }

const column directory_columns[] = {{L"Path", 200}, {L"Auto tag", 90}, {L"Assign auto tags", 100}, {L"Recursive", 70}};
const std::size_t longest_tag_name = 1021;

// The folder chooser; empty when cancelled or when the choice has no file system path.
// (Only file system folders can be chosen: asking for computers too would grey out OK for
// every ordinary folder.)
std::wstring browse_for_folder() {
    BROWSEINFOW info;
    ::ZeroMemory(&info, sizeof info);
    info.hwndOwner = ::GetDesktopWindow();
    info.lpszTitle = choose_title;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    util::unique_pidl chosen(::SHBrowseForFolderW(&info));
    if (!chosen) return std::wstring();
    wchar_t path[MAX_PATH] = L"";
    if (!::SHGetPathFromIDListW(chosen.get(), path)) return std::wstring();
    return path;
}

std::wstring window_text(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(::GetWindowTextW(window, &text[0], length + 1)));
    return text;
}

// "Directory settings" while it is open: the plug-ins offered and their check states.
struct SettingsState {
    DirectoryWatcher* watcher;
    std::vector<AutoAssignPlugins::plugin_ptr> plugins;
    std::vector<bool> checked;
    UINT dpi = util::default_dpi;
};

LRESULT CALLBACK plugin_list_proc(HWND list, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR, DWORD_PTR data) {
    if (message == WM_LBUTTONDOWN) {
        SettingsState& state = *reinterpret_cast<SettingsState*>(data);
        const int x = static_cast<short>(LOWORD(lparam));
        const int y = static_cast<short>(HIWORD(lparam));
        const LRESULT hit = ::SendMessageW(list, LB_ITEMFROMPOINT, 0, lparam);
        const int index = LOWORD(hit);
        RECT item;
        if (HIWORD(hit) == 0 && index < static_cast<int>(state.checked.size()) &&
            ::SendMessageW(list, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item)) != LB_ERR &&
            x - item.left < util::scaled(check_zone, state.dpi) && y - item.top < util::scaled(check_zone, state.dpi)) {
            state.checked[index] = !state.checked[index];
            ::InvalidateRect(list, &item, TRUE);
            return 0;
        }
    }
    if (message == WM_NCDESTROY) ::RemoveWindowSubclass(list, plugin_list_proc, 0);
    return ::DefSubclassProc(list, message, wparam, lparam);
}

void draw_plugin(const SettingsState& state, const DRAWITEMSTRUCT& draw) {
    if (draw.itemID == static_cast<UINT>(-1) || draw.itemID >= state.plugins.size()) return;
    const AutoAssignPlugins::plugin_info& plugin = *state.plugins[draw.itemID];
    HDC dc = draw.hDC;
    RECT frame = draw.rcItem;
    ::FillRect(dc, &frame, ::GetSysColorBrush(COLOR_WINDOW));
    ::FrameRect(dc, &frame, ::GetSysColorBrush(COLOR_WINDOWTEXT));
    const UINT dpi = state.dpi;
    const int margin = util::scaled(check_margin, dpi);
    const int box_size = util::scaled(check_size, dpi);
    RECT box = {frame.left + margin, frame.top + margin, frame.left + margin + box_size, frame.top + margin + box_size};
    ::DrawFrameControl(dc, &box, DFC_BUTTON, DFCS_BUTTONCHECK | (state.checked[draw.itemID] ? DFCS_CHECKED : 0));
    // Clipped to the item: the band of text would otherwise run into the next one.
    RECT text = {frame.left + util::scaled(text_left, dpi), frame.top + margin, frame.left + util::scaled(text_right, dpi),
                 std::min<LONG>(frame.top + margin + util::scaled(text_height, dpi), frame.bottom - 1)};
    const std::wstring label = plugin.name + L"\r\n\r\n" + plugin.description;
    const int mode = ::SetBkMode(dc, TRANSPARENT);
    const COLORREF colour = ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
    ::DrawTextW(dc, label.c_str(), static_cast<int>(label.size()), &text, DT_WORDBREAK | DT_NOPREFIX | DT_END_ELLIPSIS);
    ::SetTextColor(dc, colour);
    ::SetBkMode(dc, mode);
}

const wchar_t* yes_no(std::int32_t value) {
    return value ? L"Yes" : L"No";
}

}  // namespace

void DirectoryWatcher::choose_directory(bool parse_only) {
    if (g_parse_dialog) {
        show_parse_busy_message();
        return;
    }
    const std::wstring chosen = browse_for_folder();
    if (chosen.empty()) return;
    edit_entry = WatchedDir();
    plugins_.wait_loaded();
    if (parse_only) {
        edit_entry.init_from_path(chosen, plugins_.names());
        edit_entry.recursive = 1;
        if (edit_directory_settings(manage_dialog) == IDOK) start_parse(edit_entry, plugins_, db_);
        return;
    }
    for (const WatchedDir& dir : config_.watch_dirs) {
        if (dir.path == chosen) {
            ::MessageBoxW(nullptr, already_added, L"Notify", MB_OK);
            return;
        }
    }
    edit_entry.init_from_path(chosen, plugins_.names());
    if (edit_directory_settings(manage_dialog) != IDOK) return;
    const WatchedDir added = edit_entry;
    {
        const util::lock_guard held(settings_lock());
        config_.watch_dirs.push_back(added);
    }
    restart_watching();
    save();
    fill_manage_list();
    if (::MessageBoxW(nullptr, apply_now, L"Apply now ?", MB_YESNO) == IDYES) start_parse(added, plugins_, db_);
}

INT_PTR DirectoryWatcher::edit_directory_settings(HWND owner) {
    plugins_.wait_loaded();
    SettingsState state;
    state.watcher = this;
    state.plugins = plugins_.plugins;
    for (const AutoAssignPlugins::plugin_ptr& plugin : state.plugins) {
        state.checked.push_back(std::find(edit_entry.plugins.begin(), edit_entry.plugins.end(), plugin->name) !=
                                edit_entry.plugins.end());
    }
    return ::DialogBoxParamW(util::module_instance(), MAKEINTRESOURCEW(IDD_DIRECTORY_SETTINGS), owner, settings_proc,
                             reinterpret_cast<LPARAM>(&state));
}

INT_PTR CALLBACK DirectoryWatcher::settings_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_MEASUREITEM) {
        // Comes before WM_INITDIALOG, while the list is made.
        reinterpret_cast<MEASUREITEMSTRUCT*>(lparam)->itemHeight = plugin_item_height_for(util::dpi_of(dialog));
        return TRUE;
    }
    if (message == WM_INITDIALOG) ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
    SettingsState* state = reinterpret_cast<SettingsState*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (!state) return FALSE;
    WatchedDir& entry = state->watcher->edit_entry;
    HWND list = ::GetDlgItem(dialog, IDC_PLUGIN_LIST);
    try {
        switch (message) {
        case WM_INITDIALOG:
            state->dpi = util::dpi_of(dialog);
            ::CheckDlgButton(dialog, IDC_RECURSIVE, entry.recursive ? BST_CHECKED : BST_UNCHECKED);
            ::CheckDlgButton(dialog, IDC_ENABLE_DEFAULT_TAG, entry.autotag ? BST_CHECKED : BST_UNCHECKED);
            ::CheckDlgButton(dialog, IDC_ENABLE_PLUGINS, BST_CHECKED);
            ::SetDlgItemTextW(dialog, IDC_DIR_PATH, entry.path.c_str());
            ::SetDlgItemTextW(dialog, IDC_DEFAULT_TAG, entry.autotagname.c_str());
            ::EnableWindow(::GetDlgItem(dialog, IDC_DEFAULT_TAG), entry.autotag != 0);
            for (const AutoAssignPlugins::plugin_ptr& plugin : state->plugins) {
                ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(plugin->name.c_str()));
            }
            ::SetWindowSubclass(list, plugin_list_proc, 0, reinterpret_cast<DWORD_PTR>(state));
            return TRUE;
        case WM_DPICHANGED:
            // Moved to a monitor of another DPI: the window takes the size the system suggests,
            // the owner-drawn items follow.
            util::take_suggested_rect(dialog, lparam);
            state->dpi = util::dpi_of_message(wparam);
            ::SendMessageW(list, LB_SETITEMHEIGHT, 0, plugin_item_height_for(state->dpi));
            ::InvalidateRect(list, nullptr, TRUE);
            return TRUE;
        case WM_DRAWITEM:
            if (wparam == IDC_PLUGIN_LIST) {
                draw_plugin(*state, *reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
                return TRUE;
            }
            return FALSE;
        case WM_COMMAND:
            switch (LOWORD(wparam)) {
            case IDC_BROWSE: {
                const std::wstring chosen = browse_for_folder();
                if (!chosen.empty()) {
                    entry.path = chosen;
                    ::SetDlgItemTextW(dialog, IDC_DIR_PATH, chosen.c_str());
                }
                return TRUE;
            }
            case IDC_ENABLE_DEFAULT_TAG:
                ::EnableWindow(::GetDlgItem(dialog, IDC_DEFAULT_TAG),
                               ::IsDlgButtonChecked(dialog, IDC_ENABLE_DEFAULT_TAG) == BST_CHECKED);
                return TRUE;
            case IDC_ENABLE_PLUGINS:
                ::EnableWindow(list, ::IsDlgButtonChecked(dialog, IDC_ENABLE_PLUGINS) == BST_CHECKED);
                return TRUE;
            case IDOK: {
                entry.recursive = ::IsDlgButtonChecked(dialog, IDC_RECURSIVE) == BST_CHECKED ? 1 : 0;
                entry.autotag = ::IsDlgButtonChecked(dialog, IDC_ENABLE_DEFAULT_TAG) == BST_CHECKED ? 1 : 0;
                const std::wstring name = window_text(::GetDlgItem(dialog, IDC_DEFAULT_TAG));
                entry.autotagname = entry.autotag && name.size() <= longest_tag_name ? name : std::wstring();
                if (entry.autotagname.empty()) entry.autotag = 0;
                entry.plugins.clear();
                if (::IsDlgButtonChecked(dialog, IDC_ENABLE_PLUGINS) == BST_CHECKED) {
                    for (std::size_t i = 0; i < state->plugins.size(); ++i) {
                        if (state->checked[i]) entry.plugins.push_back(state->plugins[i]->name);
                    }
                }
                ::EndDialog(dialog, IDOK);
                return TRUE;
            }
            case IDCANCEL:
                ::EndDialog(dialog, IDCANCEL);
                return TRUE;
            default:
                return FALSE;
            }
        default:
            return FALSE;
        }
    } catch (...) {
        return FALSE;  // nothing may unwind through the system's frames
    }
}

void DirectoryWatcher::show_manage_dialog() {
    if (!manage_dialog) {
        manage_dialog = ::CreateDialogParamW(util::module_instance(), MAKEINTRESOURCEW(IDD_MANAGE_DIRECTORIES), nullptr,
                                             manage_proc, reinterpret_cast<LPARAM>(this));
        if (!manage_dialog) return;
    }
    ::ShowWindow(manage_dialog, SW_SHOW);
    ::SetForegroundWindow(manage_dialog);
}

void DirectoryWatcher::fill_manage_list() {
    if (!manage_dialog) return;
    HWND list = ::GetDlgItem(manage_dialog, IDC_DIRECTORIES);
    ListView_DeleteAllItems(list);
    int row = 0;
    for (const WatchedDir& dir : config_.watch_dirs) {
        LVITEMW item;
        ::ZeroMemory(&item, sizeof item);
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.pszText = const_cast<wchar_t*>(dir.path.c_str());
        if (ListView_InsertItem(list, &item) < 0) break;
        ListView_SetItemText(list, row, 1, const_cast<wchar_t*>(dir.autotagname.c_str()));
        ListView_SetItemText(list, row, 2, const_cast<wchar_t*>(yes_no(dir.autotag)));
        ListView_SetItemText(list, row, 3, const_cast<wchar_t*>(yes_no(dir.recursive)));
        ++row;
    }
    ::CheckDlgButton(manage_dialog, IDC_SHOW_POPUP, config_.show_popup ? BST_CHECKED : BST_UNCHECKED);
}

INT_PTR CALLBACK DirectoryWatcher::manage_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
    DirectoryWatcher* watcher = reinterpret_cast<DirectoryWatcher*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (!watcher) return FALSE;
    try {
        switch (message) {
        case WM_INITDIALOG: {
            watcher->manage_dialog = dialog;
            HWND list = ::GetDlgItem(dialog, IDC_DIRECTORIES);
            ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT);
            const UINT dpi = util::dpi_of(dialog);
            for (int i = 0; i < 4; ++i) {
                LVCOLUMNW column;
                ::ZeroMemory(&column, sizeof column);
                column.mask = LVCF_TEXT | LVCF_WIDTH;
                column.pszText = const_cast<wchar_t*>(directory_columns[i].title);
                column.cx = util::scaled(directory_columns[i].width, dpi);
                ListView_InsertColumn(list, i, &column);
            }
            watcher->fill_manage_list();
            return TRUE;
        }
        case WM_DPICHANGED: {
            util::take_suggested_rect(dialog, lparam);
            HWND list = ::GetDlgItem(dialog, IDC_DIRECTORIES);
            for (int i = 0; i < 4; ++i) {
                ListView_SetColumnWidth(list, i, util::scaled(directory_columns[i].width, util::dpi_of_message(wparam)));
            }
            return TRUE;
        }
        case WM_COMMAND:
            watcher->manage_command(LOWORD(wparam));
            return TRUE;
        case WM_CLOSE:
            ::DestroyWindow(dialog);
            return TRUE;
        case WM_DESTROY:
            if (watcher->manage_dialog == dialog) watcher->manage_dialog = nullptr;
            return FALSE;
        default:
            return FALSE;
        }
    } catch (...) {
        return FALSE;
    }
}

void DirectoryWatcher::manage_command(UINT id) {
    HWND list = ::GetDlgItem(manage_dialog, IDC_DIRECTORIES);
    const int row = ListView_GetNextItem(list, -1, LVNI_SELECTED | LVNI_FOCUSED);
    const bool have_row = row >= 0 && row < static_cast<int>(config_.watch_dirs.size());
    switch (id) {
    case IDC_ADD_DIRECTORY:
        choose_directory(false);
        break;
    case IDC_REMOVE_SELECTED:
        if (!have_row) break;
        {
            const util::lock_guard held(settings_lock());
            config_.watch_dirs.erase(config_.watch_dirs.begin() + row);
        }
        restart_watching();
        fill_manage_list();
        save();
        break;
    case IDC_CLEAR_ALL:
        stop_watching();
        {
            const util::lock_guard held(settings_lock());
            config_.watch_dirs.clear();
        }
        save();
        fill_manage_list();
        break;
    case IDC_EDIT_SELECTED: {
        if (!have_row) break;
        const WatchedDir before = config_.watch_dirs[row];
        edit_entry = before;
        if (edit_directory_settings(manage_dialog) != IDOK) break;
        {
            const util::lock_guard held(settings_lock());
            config_.watch_dirs[row] = edit_entry;
        }
        if (edit_entry.path != before.path || edit_entry.recursive != before.recursive) restart_watching();
        save();
        fill_manage_list();
        break;
    }
    case IDC_SHOW_POPUP: {
        const bool show = ::IsDlgButtonChecked(manage_dialog, IDC_SHOW_POPUP) == BST_CHECKED;
        {
            const util::lock_guard held(settings_lock());
            config_.show_popup = show;
        }
        save();
        break;
    }
    case IDCANCEL:  // Esc
        ::DestroyWindow(manage_dialog);
        break;
    default:
        break;
    }
}

bool DirectoryWatcher::tag_dialog_open() const {
    return tag_dialog_.window && tag_dialog_.window() != nullptr;
}

void DirectoryWatcher::open_tag_dialog(const std::wstring& file) {
    if (!tag_dialog_.open) return;
    // The dialog may answer on a thread of its own: the answer is posted to this one, which
    // owns the list of new files and the Files list.
    HWND window = tray_window;
    TagDialogLink::Completion completion = [window](const std::wstring& done_file, bool done) {
        std::unique_ptr<wchar_t[]> copy(new wchar_t[done_file.size() + 1]);
        std::copy(done_file.c_str(), done_file.c_str() + done_file.size() + 1, copy.get());
        if (window && ::PostMessageW(window, tag_dialog_done_message, reinterpret_cast<WPARAM>(copy.get()), done ? 1 : 0)) {
            copy.release();
        }
    };
    tag_dialog_.open(std::vector<std::wstring>(1, file), completion);
}

void DirectoryWatcher::show_files_list() {
    std::vector<std::wstring> files = new_file_list();
    if (files.empty()) return;
    if (!tag_dialog_open()) open_tag_dialog(files.front());
    HWND owner = tag_dialog_.window ? tag_dialog_.window() : nullptr;
    if (!files_dialog) {
        files_dialog = ::CreateDialogParamW(util::module_instance(), MAKEINTRESOURCEW(IDD_FILES_LIST), owner, files_proc,
                                            reinterpret_cast<LPARAM>(this));
        if (!files_dialog) return;
        ::ShowWindow(files_dialog, SW_SHOWNA);
        RECT beside;
        if (owner && ::GetWindowRect(owner, &beside)) {
            ::SetWindowPos(files_dialog, nullptr, beside.right, beside.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    HWND list = ::GetDlgItem(files_dialog, IDC_FILES);
    ::SendMessageW(list, LB_RESETCONTENT, 0, 0);
    for (const std::wstring& file : files) {
        ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(util::last_component(file).c_str()));
    }
    const std::wstring shown = tag_dialog_.first_file ? tag_dialog_.first_file() : std::wstring();
    std::vector<std::wstring>::const_iterator at = std::find(files.begin(), files.end(), shown);
    if (at == files.end()) {
        ::DestroyWindow(files_dialog);
        return;
    }
    ::SendMessageW(list, LB_SETCURSEL, at - files.begin(), 0);
}

INT_PTR CALLBACK DirectoryWatcher::files_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
    DirectoryWatcher* watcher = reinterpret_cast<DirectoryWatcher*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (!watcher) return FALSE;
    try {
        switch (message) {
        case WM_INITDIALOG:
            watcher->files_dialog = dialog;
            return FALSE;  // the focus stays where it is
        case WM_COMMAND:
            watcher->files_command(LOWORD(wparam), HIWORD(wparam));
            return TRUE;
        case WM_CLOSE:
            ::DestroyWindow(dialog);
            return TRUE;
        case WM_DESTROY:
            if (watcher->files_dialog == dialog) watcher->files_dialog = nullptr;
            return FALSE;
        default:
            return FALSE;
        }
    } catch (...) {
        return FALSE;
    }
}

void DirectoryWatcher::files_command(UINT id, UINT code) {
    HWND dialog = files_dialog;
    if (!dialog) return;
    const std::vector<std::wstring> files = new_file_list();
    const LRESULT row = ::SendDlgItemMessageW(dialog, IDC_FILES, LB_GETCURSEL, 0, 0);
    const bool have_row = row >= 0 && static_cast<std::size_t>(row) < files.size();
    switch (id) {
    case IDC_FILES:
        if (!have_row) break;
        if (code == LBN_SELCHANGE) {
            open_tag_dialog(files[row]);
            ::SetFocus(dialog);
        } else if (code == LBN_DBLCLK) {
            ::ShellExecuteW(nullptr, L"open", files[row].c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        }
        break;
    case IDC_REMOVE_SELECTED:
        if (have_row) tag_dialog_done(files[row], true);
        break;
    case IDC_CLEAR_ALL: {
        {
            util::lock_guard hold(lock_);
            new_files.clear();
        }
        listed_.clear();
        ::DestroyWindow(dialog);
        if (tag_dialog_.close) tag_dialog_.close();
        break;
    }
    case IDCANCEL:  // Esc
        ::DestroyWindow(dialog);
        break;
    default:
        break;
    }
}

void DirectoryWatcher::remove_new_file(const std::wstring& file) {
    util::lock_guard hold(lock_);
    std::deque<std::wstring>::iterator at = std::find(new_files.begin(), new_files.end(), file);
    if (at == new_files.end()) return;
    new_files.erase(at);
    listed_.erase(file);
}

void DirectoryWatcher::tag_dialog_done(const std::wstring& file, bool done) {
    if (!done) {
        if (files_dialog) ::DestroyWindow(files_dialog);
        return;
    }
    remove_new_file(file);
    const std::vector<std::wstring> files = new_file_list();
    if (files.empty()) {
        if (files_dialog) ::DestroyWindow(files_dialog);
        if (tag_dialog_.close) tag_dialog_.close();
        return;
    }
    open_tag_dialog(files.back());
    if (files_dialog) ::SendDlgItemMessageW(files_dialog, IDC_FILES, LB_SETCURSEL, files.size() - 1, 0);
    show_files_list();
}

}  // namespace autotag
