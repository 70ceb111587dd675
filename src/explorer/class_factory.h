// The module's one class factory. It builds the object that serves the requested interface,
// whatever class identifier the caller asked for.
#pragma once

#include "util/com_object.h"

#include <windows.h>
#include <unknwn.h>

namespace explorer {

class CShellExtClassFactory final : public util::ComObject<CShellExtClassFactory, IClassFactory> {
public:
    // The module's own: a count that would reach 0 rests at 1.
    CShellExtClassFactory() : ComObject(util::com_lifetime::process) {}

    static const QITAB* interface_table();
    IFACEMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    IFACEMETHODIMP LockServer(BOOL lock) override;
};

// The one instance, built by static initialisation and never freed by Release.
CShellExtClassFactory& class_factory();

// Runs a start-up routine once, for the first caller that needs it. Threads that ask while it
// runs wait for that one run, and every caller, then and later, gets its result: a failed
// start-up is not tried again, just as a module that refused to load stayed unloaded.
class StartOnce {
public:
    typedef BOOL (*routine)();
    explicit StartOnce(routine run) : run_(run) {}
    StartOnce(const StartOnce&) = delete;
    StartOnce& operator=(const StartOnce&) = delete;

    // Runs the routine unless it has run; true when that run succeeded.
    bool succeeded();

private:
    static BOOL CALLBACK run_once(PINIT_ONCE, PVOID self, PVOID*);

    INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
    routine run_;
    bool succeeded_ = false;  // written inside the one run, read only after it
};

// Creates an object with a reference count of 1, or answers null when out of memory.
typedef IUnknown* (*object_creator)();

// Which object serves which interface.
struct factory_entry {
    const IID* iid;
    object_creator create;
};

// Adapts an object class with a `static Object* create() noexcept` to the table.
template <typename Object, typename Interface>
IUnknown* create_object() {
    Interface* object = Object::create();
    return object;
}

}  // namespace explorer
