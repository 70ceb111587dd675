#include "namespace/shell_view_cb.h"

#include "database/tags_holder.h"
#include "namespace/view_windows.h"

#include <shlwapi.h>

#include <new>

namespace ShellNamespace {

namespace {
// The view sends this while its window is being destroyed.
const UINT view_window_closing = 16;
}  // namespace

CShellViewCB* CShellViewCB::create(HWND owner, LPCITEMIDLIST folder) noexcept {
    CShellViewCB* made = new (std::nothrow) CShellViewCB(owner);
    // Where the window's changes are announced: the view's own folder list, as the shell
    // placed it (the database knows the level by names only).
    if (made && folder) view_windows().level_shown(owner, folder);
    return made;
}

const QITAB* CShellViewCB::interface_table() {
    static const QITAB table[] = {
        QITABENTMULTI2(CShellViewCB, IID_IShellFolderViewCB, IShellFolderViewCB),
        {nullptr, 0},
    };
    return table;
}

IFACEMETHODIMP CShellViewCB::MessageSFVCB(UINT message, WPARAM, LPARAM) {
    if (message == view_window_closing) {
        util::guarded([&] {
            items::tags_holder().view_closed(view_key_of(owner_));
            return S_OK;
        });
    }
    // The view's defaults are right for every message.
    return E_NOTIMPL;
}

}  // namespace ShellNamespace
