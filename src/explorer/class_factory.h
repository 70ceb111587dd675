// The module's one class factory. It builds the object that serves the requested interface,
// whatever class identifier the caller asked for.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace explorer {

class CShellExtClassFactory : public IClassFactory {
public:
    CShellExtClassFactory() = default;
    virtual ~CShellExtClassFactory() = default;

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;
    IFACEMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    IFACEMETHODIMP LockServer(BOOL lock) override;

    // The count as it stands, for tests.
    ULONG references() const { return refs_; }

private:
    CShellExtClassFactory(const CShellExtClassFactory&) = delete;
    CShellExtClassFactory& operator=(const CShellExtClassFactory&) = delete;

    // Plain, not interlocked: the factory is never destroyed, so a lost count does no harm.
    ULONG refs_ = 0;
};

// The one instance, built by static initialisation and never freed by Release.
CShellExtClassFactory& class_factory();

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
