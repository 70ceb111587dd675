#include "namespace/shell_view_cb.h"

#include "database/tags_holder.h"
#include "namespace/view_windows.h"

#include <shlwapi.h>

#include <cwchar>
#include <new>

namespace ShellNamespace {

namespace {
// The view sends this while its window is being destroyed.
const UINT view_window_closing = 16;
}  // namespace

CShellViewCB* CShellViewCB::create(CShellFolder* folder, HWND owner) noexcept {
    return new (std::nothrow) CShellViewCB(folder, owner);
}

IFACEMETHODIMP CShellViewCB::QueryInterface(REFIID riid, void** ppv) {
    static const QITAB table[] = {
        QITABENTMULTI2(CShellViewCB, IID_IShellFolderViewCB, IShellFolderViewCB),
        {nullptr, 0},
    };
    return QISearch(this, table, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CShellViewCB::AddRef() { return ::InterlockedIncrement(&refs_); }

IFACEMETHODIMP_(ULONG) CShellViewCB::Release() {
    const LONG refs = ::InterlockedDecrement(&refs_);
    if (refs <= 0) {
        ::InterlockedExchange(&refs_, 1);
        return 0;
    }
    return refs;
}

IFACEMETHODIMP CShellViewCB::MessageSFVCB(UINT message, WPARAM, LPARAM) {
    wchar_t line[40];
    std::swprintf(line, sizeof line / sizeof line[0], L" message = %d\n", static_cast<int>(message));
    ::OutputDebugStringW(line);
    if (message == view_window_closing) {
        try {
            items::tags_holder().view_closed(view_key_of(owner_));
        } catch (...) {
        }
    }
    // The view's defaults are right for every message.
    return E_NOTIMPL;
}

}  // namespace ShellNamespace
