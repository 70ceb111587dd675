// HRESULTs at the COM boundary: the guard that every COM method runs its work in, and
// early-return helpers for COM and Win32 code, so failures leave at once instead of nesting
// SUCCEEDED() checks.
#pragma once

#include <windows.h>

#include <new>
#include <stdexcept>

namespace util {

// An exception that knows the HRESULT a COM caller should get for it.
class hresult_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual HRESULT hresult() const = 0;
};

// Runs `body` (which returns an HRESULT) so that no C++ exception reaches the caller: each is
// answered by the code that names its cause.
template <typename Body>
HRESULT guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const hresult_error& error) {
        return error.hresult();
    } catch (const std::invalid_argument&) {
        return E_INVALIDARG;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace util

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
