#include "namespace/view_windows.h"

#include "database/shell_item.h"
#include "namespace/item_ids.h"
#include "namespace/view_watch.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace ShellNamespace {

namespace {

// Wine 8's view acts on created, deleted and renamed items only and lets SHCNE_UPDATEDIR
// pass; it lists again on F5 in its own list, so the key goes to that list, of this view
// alone (never to whatever window has the focus). Windows' view shows its items in a window
// of another class, and where it is a list, F5 only lists once more what the notification
// listed.
BOOL CALLBACK refresh_wine_view(HWND window, LPARAM) {
    if (!is_folder_view_window(window)) return TRUE;
    if (HWND list = ::FindWindowExW(window, nullptr, WC_LISTVIEWW, nullptr)) {
        ::PostMessageW(list, WM_KEYDOWN, VK_F5, 1);
        ::PostMessageW(list, WM_KEYUP, VK_F5, 0xC0000001);
    }
    return TRUE;
}

// The list up to its first item of ours: the place of the top of the virtual folder.
util::unique_pidl top_of(LPCITEMIDLIST folder) {
    std::size_t size = 0;
    for (LPCITEMIDLIST item = folder; item_size(item) >= sizeof(USHORT); item = next_item(item)) {
        items::shell_item_fields fields;
        if (read_own_item(item, fields)) break;
        size += item_size(item);
    }
    util::unique_pidl top(static_cast<LPITEMIDLIST>(::CoTaskMemAlloc(size + sizeof(USHORT))));
    if (!top) return top;
    if (size) std::memcpy(top.get(), folder, size);
    std::memset(reinterpret_cast<BYTE*>(top.get()) + size, 0, sizeof(USHORT));
    return top;
}

util::unique_pidl clone(LPCITEMIDLIST list) {
    return util::unique_pidl(list ? ::ILClone(list) : nullptr);
}

}  // namespace

ViewWindows& view_windows() {
    // Never freed: the database may call it from its threads while statics are torn down.
    static ViewWindows* windows = new ViewWindows;
    return *windows;
}

void ViewWindows::folder_placed(LPCITEMIDLIST folder) {
    if (!folder) return;
    util::unique_pidl top = top_of(folder);
    if (!top) return;
    const util::lock_guard held(lock_);
    top_ = std::move(top);
}

void ViewWindows::level_shown(HWND owner, LPCITEMIDLIST folder) {
    util::unique_pidl level = clone(folder);
    if (!owner || !level) return;
    const util::lock_guard held(lock_);
    // Windows that are gone took their views with them.
    levels_.erase(std::remove_if(levels_.begin(), levels_.end(),
                                 [owner](const std::pair<HWND, util::unique_pidl>& shown) {
                                     return shown.first == owner || !::IsWindow(shown.first);
                                 }),
                  levels_.end());
    try {
        levels_.emplace_back(owner, std::move(level));
    } catch (const std::bad_alloc&) {
        // The window's changes then go unannounced; its view still works.
    }
}

void ViewWindows::views_changed(const std::vector<items::view_key>& views) {
    // A view lists its items for its own window (Wine's view, and Windows' too) and is created
    // for its frame: the window itself or any view window below it may be Wine's.
    for (items::view_key view : views) {
        HWND window = window_of(view);
        if (!::IsWindow(window)) continue;
        refresh_wine_view(window, 0);
        ::EnumChildWindows(window, refresh_wine_view, 0);
    }
    // The view's window lies in the frame that its level was made for.
    const util::lock_guard held(lock_);
    for (items::view_key view : views) {
        HWND window = window_of(view);
        for (const std::pair<HWND, util::unique_pidl>& shown : levels_) {
            if (shown.first == window || ::IsChild(shown.first, window)) {
                queue(SHCNE_UPDATEDIR, clone(shown.second.get()));
            }
        }
    }
}

void ViewWindows::root_changed(const std::wstring& root_name, items::root_change change) {
    // The root's list is the top's with the root's item, as the top's listing makes it.
    items::shell_item_list made;
    made.add(items::item_root, 0, 0, root_name);
    util::unique_pidl item(copy_first_item(reinterpret_cast<LPCITEMIDLIST>(made.at(0))));
    const util::lock_guard held(lock_);
    if (!top_ || !item) return;
    util::unique_pidl root(::ILCombine(top_.get(), item.get()));
    if (!root) return;
    const LONG event = change == items::root_made  ? SHCNE_MKDIR
                       : change == items::root_gone ? SHCNE_RMDIR
                                                    : SHCNE_UPDATEDIR;
    queue(event, std::move(root));
}

void ViewWindows::queue(LONG event, util::unique_pidl list) {
    if (!list) return;
    queued_.emplace_back(event, std::move(list));
    if (sending_) return;
    sending_ = ::QueueUserWorkItem(send_queued, nullptr, WT_EXECUTEDEFAULT) != FALSE;
    // No thread to send them: these changes go unheard; the next one tries again.
    if (!sending_) queued_.clear();
}

DWORD WINAPI ViewWindows::send_queued(void*) {
    ViewWindows& self = view_windows();
    for (;;) {
        std::vector<std::pair<LONG, util::unique_pidl> > batch;
        {
            const util::lock_guard held(self.lock_);
            if (self.queued_.empty()) {
                self.sending_ = false;
                return 0;
            }
            batch.swap(self.queued_);
        }
        // Not flushed: nothing here waits for the views to list again.
        for (const std::pair<LONG, util::unique_pidl>& change : batch) {
            ::SHChangeNotify(change.first, SHCNF_IDLIST, change.second.get(), nullptr);
        }
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
