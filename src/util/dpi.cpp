#include "util/dpi.h"

namespace util {

namespace {

typedef UINT(WINAPI* dpi_for_window_fn)(HWND);

dpi_for_window_fn dpi_for_window() {
    static const dpi_for_window_fn function = reinterpret_cast<dpi_for_window_fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    return function;
}

}  // namespace

UINT dpi_of(HWND window) {
    if (const dpi_for_window_fn function = dpi_for_window()) {
        if (const UINT dpi = window ? function(window) : 0) return dpi;
    }
    HDC dc = ::GetDC(window);
    const int dpi = dc ? ::GetDeviceCaps(dc, LOGPIXELSY) : 0;
    if (dc) ::ReleaseDC(window, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : default_dpi;
}

void take_suggested_rect(HWND window, LPARAM suggested) {
    const RECT* rect = reinterpret_cast<const RECT*>(suggested);
    if (!rect) return;
    ::SetWindowPos(window, nullptr, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace util
