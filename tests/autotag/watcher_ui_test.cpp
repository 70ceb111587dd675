// The watcher's window, tray icon, menu and dialogs, driven by window messages the way a user
// drives them. The program runs itself again on a desktop of its own that Wine shows as a
// virtual desktop with a taskbar, so that the tray icon has a notification area to live in.
#include "autotag/directory_watcher.h"
#include "autotag/parse.h"
#include "shell/manage_tags_dialog.h"

#include "dpi_child.h"
#include "plugin_fixture.h"
#include "resource.h"
#include "util/dpi.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

using autotag::DirectoryWatcher;
using autotag::WatchedDir;

namespace {

typedef std::vector<std::wstring> names;

const wchar_t tray_desktop[] = L"quibrix-tray";
const DWORD poll_ms = 40;

bool eventually(const std::function<bool()>& done, DWORD timeout_ms = 10000) {
    const DWORD started = ::GetTickCount();
    for (;;) {
        if (done()) return true;
        if (::GetTickCount() - started > timeout_ms) return false;
        ::Sleep(10);
    }
}

std::wstring text_of(HWND window) {
    wchar_t text[1024] = L"";
    ::GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring class_of(HWND window) {
    wchar_t name[256] = L"";
    ::GetClassNameW(window, name, 256);
    return name;
}

// The visible top-level window of `thread` with this class and caption, waited for.
HWND wait_window(DWORD thread, const wchar_t* class_name, const std::wstring& caption, DWORD timeout_ms = 10000) {
    struct search {
        const wchar_t* class_name;
        const std::wstring* caption;
        HWND found;
        DWORD thread;
        static BOOL CALLBACK visit(HWND window, LPARAM self) {
            search* s = reinterpret_cast<search*>(self);
            if (::GetWindowThreadProcessId(window, nullptr) == s->thread && ::IsWindowVisible(window) && class_of(window) == s->class_name &&
                (s->caption->empty() || text_of(window) == *s->caption)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        }
    };
    HWND found = nullptr;
    eventually(
        [&] {
            // Every top-level window of the desktop, so that a miss can list them all.
            search s = {class_name, &caption, nullptr, thread};
            ::EnumWindows(search::visit, reinterpret_cast<LPARAM>(&s));
            found = s.found;
            return found != nullptr;
        },
        timeout_ms);
    if (!found) {
        struct all {
            static BOOL CALLBACK visit(HWND window, LPARAM) {
                std::fwprintf(stderr, L"  window %ls '%ls' visible %d\n", class_of(window).c_str(), text_of(window).c_str(),
                              ::IsWindowVisible(window));
                return TRUE;
            }
        };
        std::fwprintf(stderr, L"not found: %ls '%ls' on thread %lu\n", class_name, caption.c_str(), thread);
        ::EnumWindows(all::visit, 0);
    }
    return found;
}

// The text of a message box: its static controls.
std::wstring box_text(HWND box) {
    struct statics {
        std::wstring text;
        static BOOL CALLBACK visit(HWND child, LPARAM self) {
            if (class_of(child) == L"Static") reinterpret_cast<statics*>(self)->text += text_of(child);
            return TRUE;
        }
    } s;
    ::EnumChildWindows(box, statics::visit, reinterpret_cast<LPARAM>(&s));
    return s.text;
}

std::wstring tree_selection(HWND tree) {
    wchar_t text[MAX_PATH] = L"";
    TVITEMW item;
    ::ZeroMemory(&item, sizeof item);
    item.mask = TVIF_TEXT;
    item.hItem = TreeView_GetSelection(tree);
    item.pszText = text;
    item.cchTextMax = MAX_PATH;
    if (!item.hItem || !TreeView_GetItem(tree, &item)) return std::wstring();
    return text;
}

bool gone(HWND window) {
    return eventually([&] { return !::IsWindow(window); });
}

std::wstring list_view_text(HWND list, int row, int column) {
    wchar_t text[512] = L"";
    LVITEMW item;
    ::ZeroMemory(&item, sizeof item);
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 512;
    ::SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    return text;
}

names list_box_rows(HWND list) {
    names rows;
    const int count = static_cast<int>(::SendMessageW(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[512] = L"";
        ::SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        rows.push_back(text);
    }
    return rows;
}

class WatcherUiTest : public PluginTest {
protected:
    WatcherUiTest() {
        autotag::g_first_run = false;
        // The Manage Tags dialog works on the process's database.
        items::TagsHolder& shared = items::tags_holder();
        shared.children.clear();
        shared.set_data_folder(tag_data.path());
        shared.load_store();
        link.open = [](const std::vector<std::wstring>& files, const autotag::TagDialogLink::Completion& completion) {
            open_manage_tags(files, [completion](const std::vector<std::wstring>& done, int from_buttons) {
                for (const std::wstring& file : done) completion(file, from_buttons != 0);
            });
        };
        link.window = [] { return ManageTagsDialog::instance().window(); };
        link.first_file = [] {
            const std::vector<std::wstring>& files = ManageTagsDialog::instance().files();
            return files.empty() ? std::wstring() : files.front();
        };
        link.close = [] {
            if (HWND window = ManageTagsDialog::instance().window()) ::PostMessageW(window, WM_CLOSE, 0, 0);
        };
    }
    ~WatcherUiTest() override {
        if (HWND dialog = ManageTagsDialog::instance().window()) ::SendMessageW(dialog, WM_CLOSE, 0, 0);
        watcher.reset();
    }

    WatchedDir watched_entry(const std::wstring& path) const {
        WatchedDir dir;
        dir.init_from_path(path, plugins.names());
        dir.recursive = 1;
        dir.autotag = 0;
        return dir;
    }
    void start(const std::vector<WatchedDir>& dirs) {
        config.watch_dirs = dirs;
        start_on(config);
    }
    void start_on(autotag::Settings& with) {
        watcher.reset(new DirectoryWatcher(with, plugins, *db, poll_ms));
        watcher->set_settings_folder(settings_folder.path());
        watcher->set_tag_dialog(link);
        watcher->start_watcher();
        ASSERT_TRUE(eventually([&] { return watcher->tray_icon_shown(); })) << "no tray icon";
        ASSERT_TRUE(eventually([&] { return watcher->watched_paths().size() == with.watch_dirs.size(); }));
    }
    DWORD ui_thread() const { return watcher->ui_thread_id.load(); }
    HWND tray() const { return watcher->tray_window.load(); }

    // Right-clicks the tray icon, checks the menu and chooses its entry at `index` by keyboard.
    void choose_from_tray_menu(int index) {
        ::PostMessageW(tray(), autotag::tray_callback_message, 0, WM_RBUTTONDOWN);
        HWND menu = wait_window(ui_thread(), L"#32768", L"");
        ASSERT_TRUE(menu) << "no tray menu";
        HMENU popup = reinterpret_cast<HMENU>(::SendMessageW(menu, MN_GETHMENU, 0, 0));
        names entries;
        for (int i = 0; i < ::GetMenuItemCount(popup); ++i) {
            wchar_t text[128] = L"";
            ::GetMenuStringW(popup, i, text, 128, MF_BYPOSITION);
            entries.push_back(std::to_wstring(::GetMenuItemID(popup, i)) + L" " + text);
        }
        EXPECT_EQ((names{L"253 Parse directory with plugins", L"221 Add directory for watch",
                         L"219 Manage directories for watch", L"222 Close Watcher", L"223 Deactivate Watcher",
                         L"242 What is this ?"}),
                  entries);
        for (int i = 0; i <= index; ++i) ::PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
        ::PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
        EXPECT_TRUE(gone(menu));
    }
    // Answers the folder chooser with `folder`.
    void choose_folder(const std::wstring& folder) {
        HWND chooser = wait_window(ui_thread(), L"#32770", L"");
        ASSERT_TRUE(chooser) << "no folder chooser";
        // Wine's chooser refuses the first selection of a folder deep in a branch it has not
        // opened yet (the attempt opens it): asked again until the folder is the selected item.
        HWND tree = ::FindWindowExW(chooser, nullptr, WC_TREEVIEWW, nullptr);
        ASSERT_TRUE(tree);
        const std::wstring name = folder.substr(folder.rfind(L'\\') + 1);
        ASSERT_TRUE(eventually([&] {
            ::SendMessageW(chooser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(folder.c_str()));
            return tree_selection(tree) == name;
        })) << "the chooser does not select " << folder;
        ::PostMessageW(chooser, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(gone(chooser));
    }
    HWND directory_settings() { return wait_window(ui_thread(), L"#32770", L"Directory settings"); }
    // Waits for a message box and presses `button`; answers its caption and text.
    std::wstring answer_box(const std::wstring& caption, int button) {
        HWND box = wait_window(ui_thread(), L"#32770", caption);
        if (!box) return L"(no box)";
        const std::wstring text = box_text(box);
        ::PostMessageW(box, WM_COMMAND, button, 0);
        gone(box);
        return text;
    }
    HWND open_manage_dialog() {
        choose_from_tray_menu(2);
        return wait_window(ui_thread(), L"#32770", L"Manage Watching Directories");
    }
    // Selects and focuses a row of the Manage list and presses "Edit selected".
    HWND edit_row(HWND manage, int row) {
        HWND list = ::GetDlgItem(manage, IDC_DIRECTORIES);
        LVITEMW state;
        ::ZeroMemory(&state, sizeof state);
        state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        state.state = LVIS_SELECTED | LVIS_FOCUSED;
        ::SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
        ::PostMessageW(manage, WM_COMMAND, IDC_EDIT_SELECTED, 0);
        return directory_settings();
    }
    DWORD watching_thread_id() const { return watcher->watch_thread ? ::GetThreadId(watcher->watch_thread.get()) : 0; }
    autotag::Settings saved() const {
        autotag::Settings read;
        autotag::load_settings(read, settings_folder.path());
        return read;
    }
    size_t balloons_for(const std::wstring& path) const {
        const names shown = watcher->balloons();
        return std::count(shown.begin(), shown.end(), path);
    }

    TempFolder settings_folder;
    TempFolder tag_data;
    autotag::TagDialogLink link;
    autotag::Settings config;
    std::unique_ptr<DirectoryWatcher> watcher;
};

}  // namespace

TEST_F(WatcherUiTest, NewFileIsTaggedAndAnnouncedOnceAndTheIconComesBackWithANewTaskbar) {
    start({watched_entry(watched())});
    EXPECT_EQ(L"Dispatcher", class_of(tray()));
    EXPECT_EQ(968u, watcher->tray_icon.cbSize);
    EXPECT_EQ(autotag::tray_callback_message, watcher->tray_icon.uCallbackMessage);
    EXPECT_EQ(std::wstring(L"Quibrix Directory Watcher"), watcher->tray_icon.szTip);

    const std::wstring song = file(L"song.mp3");
    ASSERT_TRUE(eventually([&] { return balloons_for(song) == 1; })) << "no balloon for the new file";
    EXPECT_EQ(names{L"Metadata/Plugin/A"}, tags_of(song));
    // Renamed away and back: reported twice by the system, announced once.
    const std::wstring away = files.path() + L"away.bin";
    ASSERT_TRUE(::MoveFileW(song.c_str(), away.c_str()));
    ASSERT_TRUE(eventually([&] { return balloons_for(away) == 1; }));
    ASSERT_TRUE(::MoveFileW(away.c_str(), song.c_str()));
    const std::wstring last = file(L"last.bin");
    ASSERT_TRUE(eventually([&] { return balloons_for(last) == 1; }));
    EXPECT_EQ(1u, balloons_for(song));

    // A taskbar made again knows no icons: the watcher adds its own again when told.
    NOTIFYICONDATAW icon = watcher->tray_icon;
    ASSERT_TRUE(::Shell_NotifyIconW(NIM_DELETE, &icon));
    EXPECT_FALSE(::Shell_NotifyIconW(NIM_MODIFY, &icon));
    ::SendMessageW(tray(), ::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(watcher->tray_icon_shown());
    icon = watcher->tray_icon;
    icon.uFlags = NIF_TIP;
    EXPECT_TRUE(::Shell_NotifyIconW(NIM_MODIFY, &icon)) << "icon not added again";
}

TEST_F(WatcherUiTest, WithBalloonsOffNewFilesAreTaggedSilentlyAndListedOnADoubleClick) {
    config.show_popup = false;
    start({watched_entry(watched())});
    // Without new files a double click says so.
    ::PostMessageW(tray(), autotag::tray_callback_message, 0, WM_LBUTTONDBLCLK);
    EXPECT_EQ(L"You do not have new files in watching directories", answer_box(L"Notify", IDOK));

    const std::wstring song = file(L"quiet.mp3");
    ASSERT_TRUE(eventually([&] { return watcher->new_file_list() == names{song}; }));
    EXPECT_TRUE(eventually([&] { return tags_of(song) == names{L"Metadata/Plugin/A"}; }));
    EXPECT_EQ(names(), watcher->balloons());

    ::PostMessageW(tray(), autotag::tray_callback_message, 0, WM_LBUTTONDBLCLK);
    HWND list = wait_window(ui_thread(), L"#32770", L"Files list");
    ASSERT_TRUE(list);
    EXPECT_EQ(names{L"quiet.mp3"}, list_box_rows(::GetDlgItem(list, IDC_FILES)));
    EXPECT_EQ(names{song}, ManageTagsDialog::instance().files());
}

TEST_F(WatcherUiTest, DeactivateWatcherIsStoredSoTheWatcherStaysOffAtTheNextStart) {
    start({watched_entry(watched())});
    ASSERT_TRUE(watcher->is_watching());
    choose_from_tray_menu(3);  // "Close Watcher": stops, stores nothing
    ASSERT_TRUE(eventually([&] { return !watcher->is_watching(); }));
    EXPECT_TRUE(saved().is_watch_dirs);
    EXPECT_TRUE(watcher->tray_icon_shown());

    watcher->restart_watching();
    choose_from_tray_menu(4);  // "Deactivate Watcher"
    ASSERT_TRUE(eventually([&] { return !watcher->is_watching(); }));
    EXPECT_TRUE(watcher->tray_icon_shown());
    autotag::Settings next = saved();
    EXPECT_FALSE(next.is_watch_dirs);
    ASSERT_EQ(1u, next.watch_dirs.size());

    watcher.reset();
    watcher.reset(new DirectoryWatcher(next, plugins, *db, poll_ms));
    watcher->start_watcher();
    ASSERT_TRUE(eventually([&] { return watcher->tray_icon_shown(); }));
    ::Sleep(200);
    EXPECT_FALSE(watcher->is_watching());
}

TEST_F(WatcherUiTest, TheSameFolderIsAddedOnceAnotherLetterCaseIsANewEntry) {
    // Stored earlier with another letter case.
    std::wstring upper = watched();
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    ASSERT_NE(upper, watched());
    start({watched_entry(upper)});

    choose_from_tray_menu(1);  // "Add directory for watch"
    choose_folder(watched());
    HWND settings = directory_settings();
    ASSERT_TRUE(settings);
    EXPECT_EQ(watched(), text_of(::GetDlgItem(settings, IDC_DIR_PATH)));
    ::PostMessageW(settings, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(L"Apply auto tagging for this directory now ?", answer_box(L"Apply now ?", IDNO));
    ASSERT_EQ(2u, config.watch_dirs.size());
    EXPECT_EQ(watched(), config.watch_dirs[1].path);
    EXPECT_EQ(2u, saved().watch_dirs.size());
    EXPECT_TRUE(eventually([&] { return watcher->watched_paths().size() == 2; }));

    choose_from_tray_menu(1);
    choose_folder(watched());
    EXPECT_EQ(L"Directory already added", answer_box(L"Notify", IDOK));
    EXPECT_EQ(2u, config.watch_dirs.size());
    EXPECT_EQ(2u, saved().watch_dirs.size());
}

TEST_F(WatcherUiTest, DirectorySettingsEditsTheTagNameAndThePluginsAndRestartsOnlyForPathOrRecursion) {
    WatchedDir tagged = watched_entry(watched());
    tagged.autotag = 1;  // the folder's name as the default tag, until the name is cleared
    ASSERT_FALSE(tagged.autotagname.empty());
    start({tagged});
    HWND manage = open_manage_dialog();
    ASSERT_TRUE(manage);
    HWND list = ::GetDlgItem(manage, IDC_DIRECTORIES);
    ASSERT_EQ(1, ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    EXPECT_EQ(watched(), list_view_text(list, 0, 0));
    EXPECT_EQ(L"Yes", list_view_text(list, 0, 2));
    const DWORD watching = watching_thread_id();
    ASSERT_NE(0u, watching);

    // The plug-in list: one 75-pixel item per loaded plug-in. A click in an item's top-left
    // corner unchecks it; a click elsewhere in the item does not.
    HWND settings = edit_row(manage, 0);
    ASSERT_TRUE(settings);
    HWND plugin_list = ::GetDlgItem(settings, IDC_PLUGIN_LIST);
    ASSERT_EQ(static_cast<LRESULT>(plugins.plugins.size()), ::SendMessageW(plugin_list, LB_GETCOUNT, 0, 0));
    EXPECT_EQ(75, ::SendMessageW(plugin_list, LB_GETITEMHEIGHT, 0, 0));
    ::SendMessageW(plugin_list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    ::SendMessageW(plugin_list, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    ::SendMessageW(plugin_list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 75 + 40));
    ::SendMessageW(plugin_list, WM_LBUTTONUP, 0, MAKELPARAM(100, 75 + 40));
    // Only the tag name changes otherwise: cleared, which switches the default tag off.
    ::SetDlgItemTextW(settings, IDC_DEFAULT_TAG, L"");
    ::PostMessageW(settings, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(gone(settings));
    // The watcher's thread stores the entry and then fills the list again: the list tells that
    // the step is over.
    ASSERT_TRUE(eventually([&] { return list_view_text(list, 0, 2) == L"No"; }));
    names expected = plugins.names();
    expected.erase(expected.begin());
    EXPECT_EQ(expected, config.watch_dirs[0].plugins);
    EXPECT_EQ(0, config.watch_dirs[0].autotag);
    ASSERT_EQ(1u, saved().watch_dirs.size());
    EXPECT_EQ(0, saved().watch_dirs[0].autotag);
    EXPECT_EQ(watching, watching_thread_id()) << "the watching restarted for a tag name";

    // " Enable plugins" unchecked: an empty list, and new files are tagged by nothing.
    settings = edit_row(manage, 0);
    ASSERT_TRUE(settings);
    ::SendDlgItemMessageW(settings, IDC_ENABLE_PLUGINS, BM_CLICK, 0, 0);
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(settings, IDC_PLUGIN_LIST)));
    ::SendDlgItemMessageW(settings, IDC_RECURSIVE, BM_CLICK, 0, 0);
    ::PostMessageW(settings, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(gone(settings));
    ASSERT_TRUE(eventually([&] { return list_view_text(list, 0, 3) == L"No"; }));
    EXPECT_EQ(names(), config.watch_dirs[0].plugins);
    ASSERT_EQ(1u, saved().watch_dirs.size());
    EXPECT_EQ(names(), saved().watch_dirs[0].plugins);
    EXPECT_TRUE(eventually([&] { return watching_thread_id() != 0 && watching_thread_id() != watching; }))
        << "recursion changed but the watching did not restart";
    ASSERT_TRUE(eventually([&] { return watcher->watched_paths().size() == 1; }));
    const std::wstring song = file(L"untagged.mp3");
    ASSERT_TRUE(eventually([&] { return watcher->new_file_list() == names{song}; }));
    EXPECT_EQ(names(), tags_of(song));
    ::PostMessageW(manage, WM_CLOSE, 0, 0);
    EXPECT_TRUE(gone(manage));
}

// Explorer is per-monitor DPI aware: the tray icon comes at the system's small-icon size, and
// the dialogs' pixel sizes are written for 96 DPI and doubled at 192, also when a dialog moves
// to a monitor of another DPI.
TEST_F(WatcherUiTest, TheTrayIconAndTheDialogsFollowTheDpi) {
    if (!in_dpi_run()) ASSERT_EQ(0, run_current_test_at_dpi(192)) << "the run at 192 DPI failed";
    const UINT dpi = test_dpi();
    start({watched_entry(watched())});
    ICONINFO icon = {};
    ASSERT_TRUE(::GetIconInfo(watcher->tray_icon.hIcon, &icon));
    util::unique_hbitmap colour(icon.hbmColor), mask(icon.hbmMask);
    BITMAP bitmap = {};
    ASSERT_TRUE(::GetObjectW(colour.get(), sizeof bitmap, &bitmap));
    EXPECT_EQ(::GetSystemMetrics(SM_CXSMICON), bitmap.bmWidth);
    EXPECT_EQ(util::scaled(16, dpi), bitmap.bmWidth);

    HWND manage = open_manage_dialog();
    ASSERT_TRUE(manage);
    ASSERT_EQ(dpi, util::dpi_of(manage));
    HWND list = ::GetDlgItem(manage, IDC_DIRECTORIES);
    EXPECT_EQ(util::scaled(200, dpi), ListView_GetColumnWidth(list, 0));
    EXPECT_EQ(util::scaled(70, dpi), ListView_GetColumnWidth(list, 3));

    // The check zone of a plug-in item grows with it: a click just outside it changes nothing,
    // one inside unchecks the first plug-in.
    HWND settings = edit_row(manage, 0);
    ASSERT_TRUE(settings);
    HWND plugin_list = ::GetDlgItem(settings, IDC_PLUGIN_LIST);
    EXPECT_EQ(util::scaled(75, dpi), ::SendMessageW(plugin_list, LB_GETITEMHEIGHT, 0, 0));
    for (const int at : {util::scaled(30, dpi), util::scaled(20, dpi)}) {
        ::SendMessageW(plugin_list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at, at));
        ::SendMessageW(plugin_list, WM_LBUTTONUP, 0, MAKELPARAM(at, at));
    }
    RECT frame;
    ::GetWindowRect(settings, &frame);
    // To a monitor of one and a half times the DPI (a list box item stays below 256 pixels).
    const UINT moved_dpi = dpi * 3 / 2;
    RECT suggested = {frame.left, frame.top, frame.left + 3 * (frame.right - frame.left) / 2,
                      frame.top + 3 * (frame.bottom - frame.top) / 2};
    ::SendMessageW(settings, WM_DPICHANGED, MAKEWPARAM(moved_dpi, moved_dpi), reinterpret_cast<LPARAM>(&suggested));
    RECT moved;
    ::GetWindowRect(settings, &moved);
    EXPECT_EQ(suggested.right - suggested.left, moved.right - moved.left);
    EXPECT_EQ(util::scaled(75, moved_dpi), ::SendMessageW(plugin_list, LB_GETITEMHEIGHT, 0, 0));
    ::PostMessageW(settings, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(gone(settings));
    names expected = plugins.names();
    expected.erase(expected.begin());
    EXPECT_TRUE(eventually([&] {
        const autotag::Settings stored = saved();
        return stored.watch_dirs.size() == 1 && stored.watch_dirs[0].plugins == expected;
    })) << "the click in the check zone did not uncheck the first plug-in";

    ::SendMessageW(manage, WM_DPICHANGED, MAKEWPARAM(moved_dpi, moved_dpi), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(util::scaled(200, moved_dpi), ListView_GetColumnWidth(list, 0));
    ::PostMessageW(manage, WM_CLOSE, 0, 0);
    EXPECT_TRUE(gone(manage));
}

TEST_F(WatcherUiTest, FilesListWalksTheManageTagsDialogThroughTheNewFiles) {
    start({watched_entry(watched())});
    const std::wstring first = file(L"first.mp3");
    ASSERT_TRUE(eventually([&] { return balloons_for(first) == 1; }));
    const std::wstring second = file(L"second.mp3");
    ASSERT_TRUE(eventually([&] { return balloons_for(second) == 1; }));

    // A click on the balloon: the tag dialog for the first file, the list beside it.
    ::PostMessageW(tray(), autotag::tray_callback_message, 0, NIN_BALLOONUSERCLICK);
    HWND list = wait_window(ui_thread(), L"#32770", L"Files list");
    ASSERT_TRUE(list);
    HWND tag_dialog = ManageTagsDialog::instance().window();
    ASSERT_TRUE(tag_dialog);
    RECT beside, own;
    ::GetWindowRect(tag_dialog, &beside);
    ::GetWindowRect(list, &own);
    EXPECT_EQ(beside.right, own.left);
    EXPECT_EQ(beside.top, own.top);
    HWND rows = ::GetDlgItem(list, IDC_FILES);
    EXPECT_EQ((names{L"first.mp3", L"second.mp3"}), list_box_rows(rows));
    EXPECT_EQ(0, ::SendMessageW(rows, LB_GETCURSEL, 0, 0));

    // With the tag dialog open a third file goes to the list, not to a balloon.
    const std::wstring third = file(L"third.mp3");
    ASSERT_TRUE(eventually([&] { return list_box_rows(rows).size() == 3; }));
    EXPECT_EQ(0u, balloons_for(third));

    // "Remove Selected" counts the file as done: the dialog goes on with the last file.
    ::PostMessageW(list, WM_COMMAND, IDC_REMOVE_SELECTED, 0);
    ASSERT_TRUE(eventually([&] { return list_box_rows(rows) == names{L"second.mp3", L"third.mp3"}; }));
    EXPECT_TRUE(eventually([&] { return ManageTagsDialog::instance().files() == names{third}; }));
    EXPECT_EQ(1, ::SendMessageW(rows, LB_GETCURSEL, 0, 0));
    // The tag dialog's own "Cancel" answers done for its file too.
    ::PostMessageW(ManageTagsDialog::instance().window(), WM_COMMAND, IDC_CANCEL_TAGS, 0);
    ASSERT_TRUE(eventually([&] { return list_box_rows(rows) == names{L"second.mp3"}; }));
    EXPECT_TRUE(eventually([&] { return ManageTagsDialog::instance().files() == names{second}; }));
    ::SendMessageW(rows, LB_SETCURSEL, 0, 0);
    ::PostMessageW(list, WM_COMMAND, IDC_REMOVE_SELECTED, 0);
    // None left: both windows close.
    EXPECT_TRUE(gone(list));
    EXPECT_TRUE(eventually([&] { return ManageTagsDialog::instance().window() == nullptr; }));
    EXPECT_EQ(names(), watcher->new_file_list());
}

TEST_F(WatcherUiTest, ParseFromTheTrayMenuTagsAThousandFiles) {
    start({});
    // Of the test plug-ins only alpha claims ".jpeg2": the parse gives each file to one claimant.
    TempFolder photos;
    for (int i = 0; i < 1000; ++i) write_file_bytes(photos.path() + L"photo" + std::to_wstring(i) + L".jpeg2", std::string());
    const std::wstring folder = photos.path().substr(0, photos.path().size() - 1);
    const std::wstring folder_name = folder.substr(folder.rfind(L'\\') + 1);
    const names expected = {L"Metadata/Auto tag/" + folder_name, L"Metadata/Plugin/A"};

    choose_from_tray_menu(0);  // "Parse directory with plugins"
    choose_folder(folder);
    HWND settings = directory_settings();
    ASSERT_TRUE(settings);
    // Another folder must not be parsed: the test stops here if the chooser gave one.
    const std::wstring shown = text_of(::GetDlgItem(settings, IDC_DIR_PATH));
    if (shown != folder) ::PostMessageW(settings, WM_COMMAND, IDCANCEL, 0);
    ASSERT_EQ(folder, shown);
    EXPECT_EQ(BST_CHECKED, ::IsDlgButtonChecked(settings, IDC_RECURSIVE));
    EXPECT_EQ(folder_name, text_of(::GetDlgItem(settings, IDC_DEFAULT_TAG)));
    ::PostMessageW(settings, WM_COMMAND, IDOK, 0);
    HWND progress = wait_window(ui_thread(), L"#32770", L"Parsing directory");
    ASSERT_TRUE(progress);
    ASSERT_TRUE(eventually([&] { return autotag::g_parse_dialog.load() == nullptr; }, 120000));
    for (int i = 0; i < 1000; i += 111) {
        EXPECT_EQ(expected, tags_of(photos.path() + L"photo" + std::to_wstring(i) + L".jpeg2")) << i;
    }
    reload();
    EXPECT_EQ(expected, tags_of(photos.path() + L"photo999.jpeg2"));
    EXPECT_TRUE(config.watch_dirs.empty()) << "a parse stores no directory";
}

namespace {

std::wstring desktop_name() {
    wchar_t name[256] = L"";
    ::GetUserObjectInformationW(::GetThreadDesktop(::GetCurrentThreadId()), UOI_NAME, name, sizeof name, nullptr);
    return name;
}

// Runs this program again on a desktop that Wine shows as a virtual desktop of 1024 x 768
// with a taskbar and its notification area; answers its exit code.
int run_on_tray_desktop() {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, &key, nullptr) == ERROR_SUCCESS) {
        const wchar_t size[] = L"1024x768";
        ::RegSetValueExW(key, tray_desktop, 0, REG_SZ, reinterpret_cast<const BYTE*>(size), sizeof size);
        ::RegCloseKey(key);
    }
    // Wine starts the later threads of a process (the watcher's window thread among them) on the
    // desktop of the thread that created the process; the desktop named in STARTUPINFO gets only
    // the main thread. So this thread moves there first, before it has any window.
    HDESK tray = ::CreateDesktopW(tray_desktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (!tray || !::SetThreadDesktop(tray)) {
        std::fprintf(stderr, "cannot move to the test desktop\n");
        return 1;
    }
    std::wstring desktop = std::wstring(L"WinSta0\\") + tray_desktop;
    STARTUPINFOW startup;
    ::ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.lpDesktop = &desktop[0];
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    std::wstring command = ::GetCommandLineW();
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "cannot start the test on its desktop\n");
        return 1;
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

// Wine's shell32 keeps a few task-allocator blocks from the first folder chooser of a process
// to its end (its caches of the shell namespace). One chooser, picking a folder and closed with
// OK as the tests do, before any test counts the blocks that the plug-ins leave unfreed.
void open_folder_chooser_once() {
    std::thread chooser([] {
        const HRESULT com = ::CoInitialize(nullptr);
        wchar_t temp[MAX_PATH] = L"";
        ::GetTempPathW(MAX_PATH, temp);
        struct answer {
            static int CALLBACK on_event(HWND dialog, UINT event, LPARAM, LPARAM folder) {
                if (event == BFFM_INITIALIZED) {
                    for (int i = 0; i < 2; ++i) ::SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, folder);
                    ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
                }
                return 0;
            }
        };
        BROWSEINFOW info;
        ::ZeroMemory(&info, sizeof info);
        info.ulFlags = BIF_RETURNONLYFSDIRS;
        info.lpfn = answer::on_event;
        info.lParam = reinterpret_cast<LPARAM>(temp);
        if (PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&info)) ::CoTaskMemFree(chosen);
        if (SUCCEEDED(com)) ::CoUninitialize();
    });
    chooser.join();
}

}  // namespace

int main(int argc, char** argv) {
    if (desktop_name() != tray_desktop) return run_on_tray_desktop();
    testing::InitGoogleTest(&argc, argv);
    open_folder_chooser_once();
    return RUN_ALL_TESTS();
}
