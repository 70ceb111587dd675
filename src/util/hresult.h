// Early-return helpers for COM and Win32 code, so failures leave at once instead of
// nesting SUCCEEDED() checks.
#pragma once

#include <windows.h>

#define QBX_RETURN_IF_FAILED(expr)              \
    do {                                        \
        const HRESULT qbx_hr_ = (expr);         \
        if (FAILED(qbx_hr_)) return qbx_hr_;    \
    } while (0)

#define QBX_RETURN_HR_IF(hr, condition)         \
    do {                                        \
        if (condition) return (hr);             \
    } while (0)

#define QBX_RETURN_HR_IF_NULL(hr, pointer)      \
    do {                                        \
        if ((pointer) == nullptr) return (hr);  \
    } while (0)

#define QBX_RETURN_LAST_ERROR_IF_FALSE(expr)                            \
    do {                                                                \
        if (!(expr)) return HRESULT_FROM_WIN32(::GetLastError());       \
    } while (0)
