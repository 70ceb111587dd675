// The module's entry point and its four COM exports.
#include "explorer/class_factory.h"
#include "explorer/host_rule.h"
#include "explorer/registration.h"
#include "explorer/startup.h"
#include "util/module.h"

#include <objbase.h>

namespace {

// Explorer's start-up runs on its first request for an object, never inside the entry point:
// the loader lock is held there, and the start-up's folder look-up, registry and file writes,
// window calls and new threads can each deadlock the shell, which loads the module at sign-in
// for the overlay identifier.
BOOL start_in_explorer() {
    if (!explorer::start_up()) return FALSE;
    // From now on the module must stay until the process ends, whatever FreeLibrary calls
    // the host makes: the shell delivers change notifications to a window procedure of it and
    // the threads that start-up began run its code.
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(util::module_instance()), &self);
    return TRUE;
}

explorer::StartOnce explorer_start(&start_in_explorer);

// Set by the entry point, which runs before any export can be called.
bool start_on_first_request = false;

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // Remembered before anything else: resources, dialogs and the module path all come from it.
    util::module_instance();
    // Nothing is torn down at detach: threads of the host may still be inside the module.
    if (reason != DLL_PROCESS_ATTACH) return TRUE;

    switch (explorer::HostRule(util::module_file_path(nullptr))) {
    case explorer::host_action::start:
        start_on_first_request = true;
        return TRUE;
    case explorer::host_action::load_only:
        return TRUE;
    case explorer::host_action::refuse:
        break;
    }
    return FALSE;
}

STDAPI DllGetClassObject(REFCLSID, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // Every object reaches the shell through the factory: after a failed start-up there is
    // none, as there was none when such a module refused to load.
    if (start_on_first_request && !explorer_start.succeeded()) return CLASS_E_CLASSNOTAVAILABLE;
    // One class serves every role, so the class identifier is not looked at.
    return explorer::class_factory().QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() {
    // Once started, threads and a window procedure of the host run from the module; before that,
    // nothing counts the objects it handed out. Either way it stays until the host ends.
    return S_FALSE;
}

STDAPI DllRegisterServer() {
    const std::wstring path = util::module_file_path(util::module_instance());
    if (path.empty()) return HRESULT_FROM_WIN32(::GetLastError());
    // The registry values hold at most MAX_PATH characters: a cut path would name another file.
    if (path.size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    return explorer::register_server(path);
}

STDAPI DllUnregisterServer() {
    return explorer::unregister_server();
}
