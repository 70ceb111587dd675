#include "util/module.h"

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

}  // namespace util
