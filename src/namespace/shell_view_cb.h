// The callback of the system's default folder view. It ties the view's life to the database's
// navigation state of the owner window: a view destroyed lowers that window's view count.
#pragma once

#include "util/com_object.h"

#include <windows.h>
#include <shlobj.h>

namespace ShellNamespace {

class CShellViewCB final : public util::ComObject<CShellViewCB, IShellFolderViewCB> {
public:
    // Reference count 1, the caller's. Null when out of memory. `folder`: the absolute list of
    // the folder the view shows, which `owner` shows from now on (null: not known).
    static CShellViewCB* create(HWND owner, LPCITEMIDLIST folder = nullptr) noexcept;

    static const QITAB* interface_table();
    IFACEMETHODIMP MessageSFVCB(UINT message, WPARAM wparam, LPARAM lparam) override;

    HWND owner() const { return owner_; }

private:
    // Counted: the view holds it as long as it runs, and the folder that made it holds the
    // last one it made. It holds nothing back, so neither is kept alive by it.
    explicit CShellViewCB(HWND owner) : owner_(owner) {}
    ~CShellViewCB() override = default;

    HWND owner_;
};

}  // namespace ShellNamespace
