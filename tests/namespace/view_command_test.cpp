// A double click and Enter in the system's real folder view over the folder, as Wine's
// Explorer delivers them: the list's notification to the view window, with the browser of the
// frame recording where the view goes.
#include "menu_fixture.h"

#include "database/tags_holder.h"
#include "namespace/view_watch.h"

#include <commctrl.h>

#include <thread>

namespace {

void pump() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

int row_named(HWND list, const std::wstring& name) {
    const int rows = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row) {
        wchar_t text[128] = L"";
        LVITEMW item = {};
        item.pszText = text;
        item.cchTextMax = 128;
        ::SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
        if (name == text) return row;
    }
    return -1;
}

void select_only(HWND list, const std::vector<int>& rows) {
    LVITEMW none = {};
    none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    for (int row : rows) {
        LVITEMW chosen = {};
        chosen.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        chosen.state = LVIS_SELECTED | LVIS_FOCUSED;
        ::SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&chosen));
    }
}

// What the list sends its parent for a double click on `row` (NM_DBLCLK) or for Enter.
void notify(HWND view, HWND list, UINT code, int row) {
    NMITEMACTIVATE activate = {};
    activate.hdr.hwndFrom = list;
    activate.hdr.idFrom = ::GetDlgCtrlID(list);
    activate.hdr.code = code;
    activate.iItem = row;
    ::SendMessageW(view, WM_NOTIFY, activate.hdr.idFrom, reinterpret_cast<LPARAM>(&activate));
}

// What Windows' view does for a double click: the default that the selection's menu names
// (GetMenuDefaultItem, -1 for none) and, when `run`, its invoke.
UINT view_default(IShellView* view, bool run) {
    util::com_ptr<IContextMenu> menu;
    if (FAILED(view->GetItemObject(SVGIO_SELECTION, IID_IContextMenu, menu.put_void()))) return 0;
    util::unique_hmenu popup(::CreatePopupMenu());
    if (FAILED(menu->QueryContextMenu(popup.get(), 0, 0x20, 0x7FFF, CMF_DEFAULTONLY))) return 0;
    const UINT chosen = ::GetMenuDefaultItem(popup.get(), FALSE, 0);
    if (run && chosen != static_cast<UINT>(-1)) {
        CMINVOKECOMMANDINFO invocation = {};
        invocation.cbSize = sizeof invocation;
        invocation.lpVerb = MAKEINTRESOURCEA(chosen - 0x20);
        menu->InvokeCommand(&invocation);
    }
    return chosen;
}

}  // namespace

TEST_F(MenuTest, InTheSystemsViewADoubleClickOrEnterOnATagBrowsesIntoIt) {
    util::com_ptr<IShellFolder2> genre = open({L"Music", L"Genre"});
    util::com_ptr<IShellView> view;
    ASSERT_EQ(S_OK, genre->CreateViewObject(frame_, IID_IShellView, view.put_void()));
    browser_.active = view.get();
    FOLDERSETTINGS settings = {FVM_DETAILS, 0};
    RECT area = {0, 0, 300, 200};
    HWND view_window = nullptr;
    ASSERT_EQ(S_OK, view->CreateViewWindow(nullptr, &settings, &browser_, &area, &view_window));
    pump();
    HWND list = ::FindWindowExW(view_window, nullptr, WC_LISTVIEWW, nullptr);
    ASSERT_NE(nullptr, list);
    const int rock = row_named(list, L"Rock");
    const int jazz = row_named(list, L"Jazz");
    ASSERT_TRUE(rock >= 0 && jazz >= 0);

    select_only(list, {rock});
    notify(view_window, list, NM_DBLCLK, rock);
    ASSERT_EQ(1u, browser_.browsed.size());
    EXPECT_EQ(std::vector<std::wstring>({L"Music", L"Genre", L"Rock"}), browser_.names(0));
    EXPECT_EQ(UINT(SBSP_SAMEBROWSER), browser_.flags[0]);
    // A view that also asks for the default of that double click, as Windows' view does,
    // finds none; once the input is behind it, the default is back.
    EXPECT_EQ(static_cast<UINT>(-1), view_default(view.get(), true));
    EXPECT_EQ(1u, browser_.browsed.size());
    pump();
    EXPECT_EQ(0x20u, view_default(view.get(), false));

    select_only(list, {jazz});
    notify(view_window, list, NM_RETURN, -1);
    ASSERT_EQ(2u, browser_.browsed.size());
    EXPECT_EQ(std::vector<std::wstring>({L"Music", L"Genre", L"Jazz"}), browser_.names(1));

    // Two tags have no default: a double click leaves the view where it is.
    select_only(list, {rock, jazz});
    notify(view_window, list, NM_DBLCLK, rock);
    EXPECT_EQ(2u, browser_.browsed.size());

    // A view that is not the browser's active one is not the one the user clicked in.
    browser_.active = nullptr;
    select_only(list, {rock});
    EXPECT_FALSE(ShellNamespace::run_default_command(view_window));
    EXPECT_EQ(2u, browser_.browsed.size());

    EXPECT_EQ(S_OK, view->DestroyViewWindow());
    pump();
}

TEST_F(MenuTest, TheBrowserOfAViewIsFoundFromAnyWindowInsideItsFrame) {
    HWND inner = ::CreateWindowExW(0, L"STATIC", L"view", WS_CHILD, 0, 0, 10, 10, frame_, nullptr, nullptr, nullptr);
    HWND innermost = ::CreateWindowExW(0, L"STATIC", L"list", WS_CHILD, 0, 0, 5, 5, inner, nullptr, nullptr, nullptr);
    ASSERT_TRUE(inner && innermost);
    EXPECT_EQ(static_cast<IShellBrowser*>(&browser_), ShellNamespace::shell_browser_of(innermost));
    EXPECT_EQ(static_cast<IShellBrowser*>(&browser_), ShellNamespace::shell_browser_of(frame_));
    // A frame of its own without a browser, owned by ours: ownership is not parenthood.
    HWND popup = ::CreateWindowExW(0, L"STATIC", L"popup", WS_POPUP, 0, 0, 5, 5, frame_, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, popup);
    EXPECT_EQ(nullptr, ShellNamespace::shell_browser_of(popup));
    ::DestroyWindow(popup);
}

TEST_F(MenuTest, AViewWhoseLevelIsDeletedGoesUpInItsFrame) {
    util::com_ptr<IShellFolder2> rock = open({L"Music", L"Genre", L"Rock"});
    util::com_ptr<IShellView> view;
    ASSERT_EQ(S_OK, rock->CreateViewObject(frame_, IID_IShellView, view.put_void()));
    browser_.active = view.get();
    FOLDERSETTINGS settings = {FVM_DETAILS, 0};
    RECT area = {0, 0, 300, 200};
    HWND view_window = nullptr;
    ASSERT_EQ(S_OK, view->CreateViewWindow(nullptr, &settings, &browser_, &area, &view_window));
    pump();
    ASSERT_TRUE(browser_.browsed.empty());

    // Another thread deletes the shown tag, as a second window's "Delete node" does; the view
    // lists again and finds its level gone.
    std::thread([] {
        ASSERT_TRUE(items::tags_holder().delete_node(*items::make_chain({L"Music", L"Genre", L"Rock"})));
    }).join();
    pump();
    view->Refresh();
    pump();
    // A real browser replaces the view with its parent's at the first move; this one keeps it,
    // so each listing of the lost level asked once more. Every move was one level up.
    ASSERT_FALSE(browser_.browsed.empty());
    for (std::size_t i = 0; i < browser_.browsed.size(); ++i) {
        EXPECT_TRUE(browser_.browsed[i].empty());
        EXPECT_EQ(UINT(SBSP_PARENT | SBSP_SAMEBROWSER), browser_.flags[i]);
    }
    EXPECT_TRUE(::IsWindow(frame_));
    EXPECT_TRUE(::IsWindow(view_window));

    // Once the browser shows another view, a late request moves nothing.
    browser_.clear();
    browser_.active = nullptr;
    view->Refresh();
    pump();
    EXPECT_TRUE(browser_.browsed.empty());

    EXPECT_EQ(S_OK, view->DestroyViewWindow());
    pump();
}
