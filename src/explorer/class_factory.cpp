#include "explorer/class_factory.h"

#include "explorer/menu_provider.h"
#include "explorer/overlay_icon_provider.h"
#include "namespace/shell_folder.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace explorer {

namespace {

const factory_entry factory_table[] = {
    {&IID_IContextMenu, &create_object<CMenuProvider, IContextMenu>},
    {&IID_IShellExtInit, &create_object<CMenuProvider, IShellExtInit>},
    {&IID_IShellFolder, &create_object<ShellNamespace::CShellFolder, IShellFolder>},
    {&IID_IShellIconOverlayIdentifier, &create_object<COverlayIconProvider, IShellIconOverlayIdentifier>},
};

// Static storage: constructed before DllMain runs and alive until the module is unloaded.
CShellExtClassFactory the_factory;

}  // namespace

CShellExtClassFactory& class_factory() { return the_factory; }

const QITAB* CShellExtClassFactory::interface_table() {
    static const QITAB table[] = {
        QITABENT(CShellExtClassFactory, IClassFactory),
        {nullptr, 0},
    };
    return table;
}

IFACEMETHODIMP CShellExtClassFactory::CreateInstance(IUnknown*, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (const factory_entry& entry : factory_table) {
        if (riid != *entry.iid) continue;
        IUnknown* object = entry.create();
        if (!object) return E_OUTOFMEMORY;
        // The object's own reference goes; a failed QueryInterface thus destroys it at once.
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    return E_NOINTERFACE;
}

IFACEMETHODIMP CShellExtClassFactory::LockServer(BOOL) { return S_OK; }

bool StartOnce::succeeded() {
    // The callback always reports success, even for a failed start-up: on FALSE the system would
    // let the next waiting thread run the routine again.
    ::InitOnceExecuteOnce(&once_, &StartOnce::run_once, this, nullptr);
    return succeeded_;
}

BOOL CALLBACK StartOnce::run_once(PINIT_ONCE, PVOID self, PVOID*) {
    StartOnce& start = *static_cast<StartOnce*>(self);
    // No exception may unwind through the system's frames, nor reach the shell.
    try {
        start.succeeded_ = start.run_() != FALSE;
    } catch (...) {
        start.succeeded_ = false;
    }
    return TRUE;
}

}  // namespace explorer
