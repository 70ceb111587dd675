// The folder layer's side of the database's view notifications: a view is known to the
// database by the window given to CreateViewObject, and what must happen to views happens here.
#pragma once

#include "database/view_listener.h"

#include <windows.h>

namespace ShellNamespace {

inline items::view_key view_key_of(HWND window) { return reinterpret_cast<items::view_key>(window); }
inline HWND window_of(items::view_key view) { return reinterpret_cast<HWND>(view); }

class ViewWindows final : public items::view_listener {
public:
    void views_changed(const std::vector<items::view_key>& views) override;
    void view_path_lost(items::view_key view) override;
    bool view_gone(items::view_key view) override;
};

// The process's one listener, handed to the database at start-up.
ViewWindows& view_windows();

}  // namespace ShellNamespace
