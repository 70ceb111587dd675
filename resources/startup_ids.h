// Resources of this area: see resource.h.
#pragma once

// The confirmation with "Don't show this dialog again".
#define IDD_CONFIRM 109
#define IDC_DONT_SHOW_AGAIN 210
#define IDC_CONFIRM_TEXT 213
