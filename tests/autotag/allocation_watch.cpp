#include "allocation_watch.h"

#include "util/unique_resource.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <objidl.h>

#include <set>

namespace {

class Spy : public IMallocSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IMallocSpy) {
            *ppv = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Lives as long as the program.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T request) override { return request; }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override {
        if (actual) {
            util::lock_guard lock(cs_);
            live_.insert(actual);
            ++allocated_;
        }
        return actual;
    }
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL) override {
        if (!request) return request;
        util::lock_guard lock(cs_);
        if (live_.erase(request) == 0) {
            ++bad_frees_;
            return nullptr;
        }
        return request;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** new_request, BOOL) override {
        util::lock_guard lock(cs_);
        if (request) live_.erase(request);
        *new_request = request;
        return size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override {
        util::lock_guard lock(cs_);
        if (actual) live_.insert(actual);
        return actual;
    }
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

    long live() {
        util::lock_guard lock(cs_);
        return static_cast<long>(live_.size());
    }
    long bad_frees() {
        util::lock_guard lock(cs_);
        return bad_frees_;
    }
    long allocated() {
        util::lock_guard lock(cs_);
        return allocated_;
    }

private:
    util::critical_section cs_;
    std::set<void*> live_;
    long bad_frees_ = 0;
    long allocated_ = 0;
};

Spy& spy() {
    static Spy* registered = [] {
        Spy* s = new Spy;
        const HRESULT hr = ::CoRegisterMallocSpy(s);
        if (FAILED(hr)) ADD_FAILURE() << "CoRegisterMallocSpy failed: 0x" << std::hex << hr;
        return s;
    }();
    return *registered;
}

}  // namespace

AllocationWatch::AllocationWatch()
    : live_at_start_(spy().live()), bad_at_start_(spy().bad_frees()), allocated_at_start_(spy().allocated()) {}

long AllocationWatch::leaked() const { return spy().live() - live_at_start_; }
long AllocationWatch::bad_frees() const { return spy().bad_frees() - bad_at_start_; }
long AllocationWatch::allocations() const { return spy().allocated() - allocated_at_start_; }
