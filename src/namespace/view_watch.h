// The double click and Enter of the system's folder view over the virtual folder. Windows'
// view asks the folder's menu for its default entry (CMF_DEFAULTONLY, GetMenuDefaultItem) and
// invokes it. Wine 8's view never does: on NM_DBLCLK and NM_RETURN it asks its browser's
// ICommDlgBrowser, whose Explorer browser only recognises the file system's own item layouts,
// and then opens only items that are not folders, each by ShellExecuteEx(SEE_MASK_INVOKEIDLIST)
// on its list, which Wine's shell32 resolves to a path instead of asking the folder's menu. A
// tag would stay where it is and a file would reach ShellExecuteEx as a "Quibrix\..." name.
// So the view's window is watched and follows the order of Windows' view itself: the
// browser's default command when it takes it, else the menu's default. The notification is
// then not passed on, and a request of the view for the default of that same input finds none,
// so that a view which also asks, as Windows' view does, runs it once.
#pragma once

#include <windows.h>
#include <shlobj.h>

namespace ShellNamespace {

// True when `window` is a window of the system's folder view ("SHELLDLL_DefView").
bool is_folder_view_window(HWND window);

// Watches `view`, the window that the view gives the folder's EnumObjects, when it is the
// system's folder view window and belongs to the calling thread; idempotent.
void watch_view_window(HWND view);

// What a double click or Enter in the list of `view` runs: the browser's ICommDlgBrowser
// default command if it takes it (S_OK), else the default of the selection's menu. False when
// the view's browser or active view cannot be reached, or `view` is not the active view.
bool run_default_command(HWND view);

// True on the thread of a view whose double click or Enter run_default_command has just run,
// until the messages already queued behind that input have been handled.
bool view_default_just_ran();

// Asks the view window `window`, or every view window below it, to go up one level: posted,
// never sent, so a caller holding the database lock on any thread never waits for a window.
// The view's own thread then browses its frame to the parent (SBSP_PARENT) if that view is
// still the one shown; a parent that is gone too sends the next request when it is listed.
void request_level_up(HWND window);

// What that request runs on the view's thread; false when `view` is not its browser's active
// view or has no browser.
bool go_up(HWND view);

// Asks the thread of `window` to browse its frame to `target` (an absolute list, copied) with
// `flags`: the browser belongs to that thread and may be called only there. Posted to the
// watched view that is `window` or lies below it; false when there is none.
bool request_browse(HWND window, LPCITEMIDLIST target, UINT flags);

// The browser of the frame that `window` lies in: the first of the window and its ancestors
// that answers WM_USER + 7. Wine's view window answers nothing; its browser's window does.
// Not AddRef'ed, and to be called only on the thread of `window`; null when no window answers.
IShellBrowser* shell_browser_of(HWND window);

}  // namespace ShellNamespace
