// The folder layer's side of the database's view notifications: a view is known to the
// database by the window given to CreateViewObject, and what must happen to views happens here.
//
// Windows' views and navigation pane learn of a change to the virtual folder only from
// SHChangeNotify with the absolute item lists of the levels that changed. Those lists are where
// the shell placed the folder, so they are remembered here as folders are placed and views
// made: the database knows names only.
#pragma once

#include "database/view_listener.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <utility>
#include <vector>

namespace ShellNamespace {

inline items::view_key view_key_of(HWND window) { return reinterpret_cast<items::view_key>(window); }
inline HWND window_of(items::view_key view) { return reinterpret_cast<HWND>(view); }

class ViewWindows final : public items::view_listener {
public:
    void views_changed(const std::vector<items::view_key>& views) override;
    void root_changed(const std::wstring& root_name, items::root_change change) override;
    void view_path_lost(items::view_key view) override;
    bool view_gone(items::view_key view) override;

    // A folder got its absolute list (IPersistFolder::Initialize): the list without the
    // folder's own items is where the shell placed the top of the virtual folder.
    void folder_placed(LPCITEMIDLIST folder);
    // A view was made for `owner` over the folder at `folder`: the level that window shows.
    void level_shown(HWND owner, LPCITEMIDLIST folder);

private:
    // The shell hears of the queued changes on a thread of the system's pool, never from the
    // caller: it holds the database lock, and SHChangeNotify may wait for the windows that
    // receive it (Wine 8 sends to each of them, flush or not), whose threads may be waiting
    // for that lock.
    void queue(LONG event, util::unique_pidl list);
    static DWORD WINAPI send_queued(void*);

    // Guards the members below; taken under the database lock, never held while waiting.
    util::critical_section lock_;
    util::unique_pidl top_;
    std::vector<std::pair<HWND, util::unique_pidl> > levels_;
    std::vector<std::pair<LONG, util::unique_pidl> > queued_;
    bool sending_ = false;
};

// The process's one listener, handed to the database at start-up.
ViewWindows& view_windows();

}  // namespace ShellNamespace
