// Pixel sizes for the DPI of the window they are used in. Explorer is per-monitor DPI aware, so
// the system scales nothing that this extension draws or sizes in pixels there: every size is
// written for 96 DPI and scaled through these.
#pragma once

#include <windows.h>

namespace util {

const UINT default_dpi = USER_DEFAULT_SCREEN_DPI;  // 96: the sizes as written

// Sent to a child window after its parent's WM_DPICHANGED (Windows 10 1703 on); the SDK
// headers define it only for later targets than this module's.
const UINT wm_dpichanged_afterparent = 0x02E3;

// The DPI of the monitor `window` is on, as far as the window's awareness lets it know it;
// from the screen's logical pixels where GetDpiForWindow is missing (before Windows 10 1607).
UINT dpi_of(HWND window);

// `pixels` at 96 DPI, for `dpi`.
inline int scaled(int pixels, UINT dpi) { return ::MulDiv(pixels, static_cast<int>(dpi), default_dpi); }

// The DPI that WM_DPICHANGED brings (the new vertical DPI, in the high word of wParam).
inline UINT dpi_of_message(WPARAM wparam) { return HIWORD(wparam) ? HIWORD(wparam) : default_dpi; }

// Moves and sizes a window to the rectangle WM_DPICHANGED suggests (in lParam).
void take_suggested_rect(HWND window, LPARAM suggested);

}  // namespace util
