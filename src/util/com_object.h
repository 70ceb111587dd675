// The one base of every COM object in the module.
//
// ComObject<Derived, Interfaces...> implements IUnknown once for all the interfaces it lists:
// an interlocked count, and a QueryInterface driven by the QITAB that Derived hands out through
// `static const QITAB* interface_table()`. IUnknown is always answered, through the first
// entry of the table, so every interface of one object gives the same IUnknown pointer.
#pragma once

#include "util/hresult.h"

#include <windows.h>
#include <shlwapi.h>


namespace util {

enum class com_lifetime {
    counted,  // deleted when the last reference goes
    process,  // owned by the module and never freed: a count that would reach 0 rests at 1
};

template <typename Derived, typename... Interfaces>
class ComObject : public Interfaces... {
public:
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        Derived* self = static_cast<Derived*>(this);
        const QITAB* table = Derived::interface_table();
        if (riid == IID_IUnknown) {
            IUnknown* unknown = reinterpret_cast<IUnknown*>(reinterpret_cast<BYTE*>(self) + table[0].dwOffset);
            unknown->AddRef();
            *ppv = unknown;
            return S_OK;
        }
        return ::QISearch(self, table, riid, ppv);
    }

    IFACEMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }

    IFACEMETHODIMP_(ULONG) Release() override {
        const LONG refs = ::InterlockedDecrement(&refs_);
        if (refs > 0) return static_cast<ULONG>(refs);
        if (lifetime_ == com_lifetime::process) {
            ::InterlockedExchange(&refs_, 1);
            return 0;
        }
        delete this;
        return 0;
    }

    // The count as it stands, for tests.
    ULONG references() const { return static_cast<ULONG>(refs_); }

protected:
    explicit ComObject(com_lifetime lifetime = com_lifetime::counted, LONG references = 1)
        : refs_(references), lifetime_(lifetime) {}
    // Objects go only through Release; the derived class's destructor is private or protected.
    virtual ~ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

private:
    volatile LONG refs_;
    const com_lifetime lifetime_;
};

}  // namespace util
