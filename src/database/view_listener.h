// How the tag database speaks to the layer that owns Explorer's windows. The engine keeps the
// navigation state of every window that shows the virtual folder, but it never touches a
// window: it knows each one by a key that the folder layer chose, and tells that layer what
// the windows must do.
#pragma once

#include <cstdint>
#include <vector>

namespace items {

// Names one window showing the virtual folder; the engine only compares keys. 0 is a caller
// without a window (a listing made for no view).
typedef std::uintptr_t view_key;

// Called with the database lock held, possibly on a thread that is not the window's: an
// implementation must not wait for another thread (that thread may be waiting for the lock).
class view_listener {
public:
    virtual ~view_listener() = default;
    // These views show a root tag that changed: they must list their items again.
    virtual void views_changed(const std::vector<view_key>& views) = 0;
    // The path this view shows names something that no longer exists.
    virtual void view_path_lost(view_key view) = 0;
    // True when the view's window is gone without having closed its views, so its state can go.
    virtual bool view_gone(view_key view) = 0;
};

}  // namespace items
