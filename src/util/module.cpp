#include "util/module.h"

#include <vector>

namespace util {

HINSTANCE module_instance() {
    static HMODULE module = nullptr;
    if (!module) {
        // The address of this function lies inside the module whatever its name.
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&module_instance), &module);
    }
    return module;
}

std::wstring module_file_path(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::wstring();
        // A cut path fills the buffer exactly (and XP leaves it unterminated).
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        if (buffer.size() >= 32768) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring module_folder() {
    const std::wstring path = module_file_path(module_instance());
    const std::wstring::size_type slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace util
