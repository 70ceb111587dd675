#include "namespace/view_watch.h"

#include "util/hresult.h"
#include "util/unique_resource.h"

#include <commctrl.h>

#include <cwchar>

namespace ShellNamespace {

namespace {

// Answered by a shell browser's window: its IShellBrowser, not AddRef'ed.
const UINT get_shell_browser = WM_USER + 7;
const UINT_PTR subclass_id = 0x51424458;  // one subclass per view window
const UINT first_command = 1;
const UINT last_command = 0x7FFF;

// The view whose default command the watch ran for the input being handled, until the
// message posted behind that input comes back. Each view runs on one thread.
thread_local HWND answered_view = nullptr;

UINT default_done_message() {
    static const UINT message = ::RegisterWindowMessageW(L"Quibrix view default done");
    return message;
}

// Posted; wparam: the browse flags, lparam: an absolute list that the message owns.
UINT browse_message() {
    static const UINT message = ::RegisterWindowMessageW(L"Quibrix view browse");
    return message;
}

// Set on every watched view, so that other threads can tell which windows take the messages
// above: a list posted to a window that ignores it would be lost.
const wchar_t watched_property[] = L"QuibrixViewWatch";

UINT level_up_message() {
    static const UINT message = ::RegisterWindowMessageW(L"Quibrix view level up");
    return message;
}

bool has_class(HWND window, const wchar_t* name) {
    wchar_t found[64] = L"";
    return ::GetClassNameW(window, found, 64) && std::wcscmp(found, name) == 0;
}

LRESULT CALLBACK view_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR id, DWORD_PTR) {
    if (message == WM_NCDESTROY) {
        if (answered_view == window) answered_view = nullptr;
        // A browse still queued owns its list; the system drops the message with the window.
        MSG pending;
        while (browse_message() && ::PeekMessageW(&pending, window, browse_message(), browse_message(), PM_REMOVE)) {
            ::ILFree(reinterpret_cast<LPITEMIDLIST>(pending.lParam));
        }
        ::RemovePropW(window, watched_property);
        ::RemoveWindowSubclass(window, view_proc, id);
    } else if (message == default_done_message() && message != 0) {
        if (answered_view == window) answered_view = nullptr;
        return 0;
    } else if (message == browse_message() && message != 0) {
        const util::unique_pidl target(reinterpret_cast<LPITEMIDLIST>(lparam));
        IShellBrowser* browser = shell_browser_of(window);
        if (browser) browser->BrowseObject(target.get(), static_cast<UINT>(wparam));
        return 0;
    } else if (message == level_up_message() && message != 0) {
        go_up(window);
        return 0;
    } else if (message == WM_NOTIFY && lparam) {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lparam);
        if ((header->code == static_cast<UINT>(NM_DBLCLK) || header->code == static_cast<UINT>(NM_RETURN)) &&
            ::GetParent(header->hwndFrom) == window && has_class(header->hwndFrom, WC_LISTVIEWW) &&
            run_default_command(window)) {
            return 0;
        }
    }
    return ::DefSubclassProc(window, message, wparam, lparam);
}

}  // namespace

bool is_folder_view_window(HWND window) {
    return has_class(window, L"SHELLDLL_DefView");
}

void watch_view_window(HWND view) {
    if (!::IsWindow(view) || ::GetWindowThreadProcessId(view, nullptr) != ::GetCurrentThreadId()) return;
    if (!is_folder_view_window(view)) return;
    if (::SetWindowSubclass(view, view_proc, subclass_id, 0)) ::SetPropW(view, watched_property, view);
}

namespace {

BOOL CALLBACK post_level_up(HWND window, LPARAM) {
    if (is_folder_view_window(window)) ::PostMessageW(window, level_up_message(), 0, 0);
    return TRUE;
}

// The browser's active view when it is `view`; null otherwise.
util::com_ptr<IShellView> active_view(IShellBrowser* browser, HWND view) {
    util::com_ptr<IShellView> active;
    HWND shown = nullptr;
    if (FAILED(browser->QueryActiveShellView(active.put())) || !active || FAILED(active->GetWindow(&shown)) ||
        shown != view) {
        return util::com_ptr<IShellView>();
    }
    return active;
}

}  // namespace

void request_level_up(HWND window) {
    if (!::IsWindow(window) || !level_up_message()) return;
    post_level_up(window, 0);
    ::EnumChildWindows(window, post_level_up, 0);
}

namespace {

BOOL CALLBACK find_watched(HWND window, LPARAM found) {
    if (!::GetPropW(window, watched_property)) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

}  // namespace

bool request_browse(HWND window, LPCITEMIDLIST target, UINT flags) {
    if (!::IsWindow(window) || !browse_message()) return false;
    HWND view = ::GetPropW(window, watched_property) ? window : nullptr;
    if (!view) ::EnumChildWindows(window, find_watched, reinterpret_cast<LPARAM>(&view));
    if (!view) return false;
    util::unique_pidl copy(::ILClone(target));
    if (!copy || !::PostMessageW(view, browse_message(), flags, reinterpret_cast<LPARAM>(copy.get()))) return false;
    copy.release();
    return true;
}

bool go_up(HWND view) {
    return util::guarded([&] {
        IShellBrowser* browser = shell_browser_of(view);
        if (!browser || !active_view(browser, view)) return S_FALSE;
        return browser->BrowseObject(nullptr, SBSP_PARENT | SBSP_SAMEBROWSER);
    }) == S_OK;
}

IShellBrowser* shell_browser_of(HWND window) {
    for (HWND at = window; at; at = ::GetAncestor(at, GA_PARENT)) {
        if (at == ::GetDesktopWindow()) break;
        if (LRESULT answer = ::SendMessageW(at, get_shell_browser, 0, 0)) return reinterpret_cast<IShellBrowser*>(answer);
    }
    return nullptr;
}

bool view_default_just_ran() {
    return answered_view != nullptr;
}

bool run_default_command(HWND view) {
    // A new double click or Enter: the view's own request for it is still to come.
    answered_view = nullptr;
    return util::guarded([&] {
        IShellBrowser* browser = shell_browser_of(view);
        if (!browser) return S_FALSE;
        util::com_ptr<IShellView> active = active_view(browser, view);
        if (!active) return S_FALSE;
        // A file dialog's browser chooses files itself, as the system's view lets it.
        util::com_ptr<ICommDlgBrowser> dialog;
        if (SUCCEEDED(browser->QueryInterface(IID_ICommDlgBrowser, dialog.put_void())) && dialog &&
            dialog->OnDefaultCommand(active.get()) == S_OK) {
            return S_OK;
        }
        util::com_ptr<IContextMenu> menu;
        if (FAILED(active->GetItemObject(SVGIO_SELECTION, IID_IContextMenu, menu.put_void())) || !menu) {
            return S_FALSE;
        }
        util::unique_hmenu popup(::CreatePopupMenu());
        if (!popup) return E_OUTOFMEMORY;
        // The folder's menu and a menu of any other kind both name their default entry.
        QBX_RETURN_IF_FAILED(menu->QueryContextMenu(popup.get(), 0, first_command, last_command, CMF_DEFAULTONLY));
        const UINT chosen = ::GetMenuDefaultItem(popup.get(), FALSE, 0);
        if (chosen != static_cast<UINT>(-1) && chosen >= first_command) {
            CMINVOKECOMMANDINFO invocation = {};
            invocation.cbSize = sizeof invocation;
            invocation.hwnd = view;
            invocation.lpVerb = MAKEINTRESOURCEA(chosen - first_command);
            invocation.nShow = SW_SHOWNORMAL;
            menu->InvokeCommand(&invocation);
            if (::IsWindow(view) && default_done_message() && ::PostMessageW(view, default_done_message(), 0, 0)) {
                answered_view = view;
            }
        }
        return S_OK;
    }) == S_OK;
}

}  // namespace ShellNamespace
