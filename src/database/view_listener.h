// How the tag database speaks to the layer that owns Explorer's windows. The engine keeps the
// navigation state of every window that shows the virtual folder, but it never touches a
// window: it knows each one by a key that the folder layer chose, and tells that layer what
// the windows must do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace items {

// Names one window showing the virtual folder; the engine only compares keys. 0 is a caller
// without a window (a listing made for no view).
typedef std::uintptr_t view_key;

// What a change did to a root tag as a whole.
enum root_change {
    root_kept,  // the root is still there; its tags or files changed
    root_made,  // the change made the root
    root_gone,  // the change left the root without files, so it went
};

// Called with the database lock held, possibly on a thread that is not the window's: an
// implementation must not wait for another thread (that thread may be waiting for the lock).
class view_listener {
public:
    virtual ~view_listener() = default;
    // These views show a root tag that changed: they must list their items again.
    virtual void views_changed(const std::vector<view_key>& views) = 0;
    // The root tag `root_name` changed, whether or not a view shows it: whatever lists the
    // roots or this root's tags (the navigation pane) must hear of it. Called after
    // views_changed for the same change. A layer that tells nothing beyond views ignores it.
    virtual void root_changed(const std::wstring& root_name, root_change change) {
        (void)root_name;
        (void)change;
    }
    // The path this view shows names something that no longer exists.
    virtual void view_path_lost(view_key view) = 0;
    // True when the view's window is gone without having closed its views, so its state can go.
    virtual bool view_gone(view_key view) = 0;
};

}  // namespace items
