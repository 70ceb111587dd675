#include "util/apartment.h"

#include "util/unique_resource.h"

#include <objbase.h>

#include <memory>

namespace util {

namespace {

typedef HRESULT(WINAPI* get_apartment_type_fn)(APTTYPE*, APTTYPEQUALIFIER*);

// From Windows 7 on; asked by name so that the module still loads on older systems.
get_apartment_type_fn apartment_type_function() {
    static const get_apartment_type_fn function = reinterpret_cast<get_apartment_type_fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ole32.dll"), "CoGetApartmentType")));
    return function;
}

// Older systems: joining a single-threaded apartment again answers S_FALSE in one, and
// RPC_E_CHANGED_MODE in the multithreaded one. Every success is balanced at once.
bool probed_single_threaded() {
    const HRESULT joined = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(joined)) ::CoUninitialize();
    return joined == S_FALSE;
}

struct sta_start {
    boost::function<void()> work;
    HMODULE module;  // held until the thread ends, so that the code it runs stays loaded
};

DWORD WINAPI sta_main(void* param) {
    std::unique_ptr<sta_start> start(static_cast<sta_start*>(param));
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    try {
        start->work();
    } catch (...) {
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    const HMODULE module = start->module;
    start.reset();
    if (module) ::FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

bool in_single_threaded_apartment() {
    const get_apartment_type_fn get_type = apartment_type_function();
    if (!get_type) return probed_single_threaded();
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    // Fails with CO_E_NOTINITIALIZED on a thread without COM while the process has no
    // multithreaded apartment.
    if (FAILED(get_type(&type, &qualifier))) return false;
    if (type == APTTYPE_STA || type == APTTYPE_MAINSTA) return true;
    return type == APTTYPE_NA &&
           (qualifier == APTTYPEQUALIFIER_NA_ON_STA || qualifier == APTTYPEQUALIFIER_NA_ON_MAINSTA);
}

bool run_in_single_threaded_apartment(const boost::function<void()>& work) {
    if (in_single_threaded_apartment()) {
        work();
        return true;
    }
    std::unique_ptr<sta_start> start(new sta_start{work, nullptr});
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&sta_main),
                         &start->module);
    const unique_handle thread(::CreateThread(nullptr, 0, sta_main, start.get(), 0, nullptr));
    if (!thread) {
        if (start->module) ::FreeLibrary(start->module);
        return false;
    }
    start.release();
    return true;
}

}  // namespace util
