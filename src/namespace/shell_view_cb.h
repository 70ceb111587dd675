// The callback of the system's default folder view. It ties the view's life to the database's
// navigation state of the owner window: a view destroyed lowers that window's view count.
#pragma once

#include "util/com_object.h"

#include <windows.h>
#include <shlobj.h>

namespace ShellNamespace {

class CShellFolder;

class CShellViewCB final : public util::ComObject<CShellViewCB, IShellFolderViewCB> {
public:
    // Reference count 0: the view takes the first reference. Null when out of memory.
    static CShellViewCB* create(CShellFolder* folder, HWND owner) noexcept;

    static const QITAB* interface_table();
    IFACEMETHODIMP MessageSFVCB(UINT message, WPARAM wparam, LPARAM lparam) override;

    HWND owner() const { return owner_; }

private:
    // Never freed: the folder that made the callback keeps a plain pointer to it.
    CShellViewCB(CShellFolder* folder, HWND owner)
        : ComObject(util::com_lifetime::process, 0), folder_(folder), owner_(owner) {}
    ~CShellViewCB() override = default;

    CShellFolder* folder_;  // not counted, and not used once the view runs
    HWND owner_;
};

}  // namespace ShellNamespace
