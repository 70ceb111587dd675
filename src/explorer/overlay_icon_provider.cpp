#include "explorer/overlay_icon_provider.h"

#include <new>

COverlayIconProvider* COverlayIconProvider::create() noexcept { return new (std::nothrow) COverlayIconProvider; }

IFACEMETHODIMP COverlayIconProvider::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // Only the overlay interface: the shell never asks this object for anything else.
    if (riid != IID_IShellIconOverlayIdentifier) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IShellIconOverlayIdentifier*>(this);
    return S_OK;
}

IFACEMETHODIMP_(ULONG) COverlayIconProvider::AddRef() { return ::InterlockedIncrement(&refs_); }

IFACEMETHODIMP_(ULONG) COverlayIconProvider::Release() {
    const LONG refs = ::InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return refs;
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
