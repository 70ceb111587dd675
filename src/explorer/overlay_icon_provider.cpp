#include "explorer/overlay_icon_provider.h"

#include <new>

COverlayIconProvider* COverlayIconProvider::create() noexcept { return new (std::nothrow) COverlayIconProvider; }

const QITAB* COverlayIconProvider::interface_table() {
    static const QITAB table[] = {
        QITABENTMULTI2(COverlayIconProvider, IID_IShellIconOverlayIdentifier, IShellIconOverlayIdentifier),
        {nullptr, 0},
    };
    return table;
}

IFACEMETHODIMP COverlayIconProvider::IsMemberOf(LPCWSTR, DWORD) { return E_FAIL; }

IFACEMETHODIMP COverlayIconProvider::GetOverlayInfo(LPWSTR file, int size, int* index, DWORD* flags) {
    if (file && size > 0) file[0] = L'\0';
    if (index) *index = 0;
    if (flags) *flags = 0;
    return E_NOTIMPL;
}

IFACEMETHODIMP COverlayIconProvider::GetPriority(int* priority) {
    if (!priority) return E_POINTER;
    *priority = 20;
    return S_OK;
}
