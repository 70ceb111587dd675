// The boundary between the folder's COM methods and code that may throw: no C++ exception
// reaches Explorer, and each is answered by the code that names its cause.
#pragma once

#include <windows.h>

#include <new>

namespace ShellNamespace {

template <typename Body>
HRESULT guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace ShellNamespace
