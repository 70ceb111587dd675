// One move-only owner for every kind of Win32 handle, each kind described by a small traits
// struct (its invalid value and how it is closed). Error paths never call CloseHandle by hand.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <utility>

namespace util {

template <typename Traits>
class unique_resource {
public:
    typedef typename Traits::type type;

    unique_resource() noexcept : value_(Traits::invalid()) {}
    explicit unique_resource(type value) noexcept : value_(value) {}
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    ~unique_resource() { reset(); }

    type get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    type release() noexcept {
        type value = value_;
        value_ = Traits::invalid();
        return value;
    }
    void reset(type value = Traits::invalid()) noexcept {
        if (valid()) Traits::close(value_);
        value_ = value;
    }
    // For APIs that fill a handle through an out-parameter.
    type* put() noexcept {
        reset();
        return &value_;
    }

private:
    type value_;
};

struct handle_traits {  // CreateThread, CreateEvent: NULL on failure
    typedef HANDLE type;
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};
struct file_handle_traits {  // CreateFile: INVALID_HANDLE_VALUE on failure
    typedef HANDLE type;
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};
struct find_traits {
    typedef HANDLE type;
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { ::FindClose(h); }
};
struct hkey_traits {
    typedef HKEY type;
    static HKEY invalid() { return nullptr; }
    static void close(HKEY h) { ::RegCloseKey(h); }
};
struct hicon_traits {
    typedef HICON type;
    static HICON invalid() { return nullptr; }
    static void close(HICON h) { ::DestroyIcon(h); }
};
struct hmenu_traits {
    typedef HMENU type;
    static HMENU invalid() { return nullptr; }
    static void close(HMENU h) { ::DestroyMenu(h); }
};
struct hbitmap_traits {
    typedef HBITMAP type;
    static HBITMAP invalid() { return nullptr; }
    static void close(HBITMAP h) { ::DeleteObject(h); }
};
struct hmodule_traits {
    typedef HMODULE type;
    static HMODULE invalid() { return nullptr; }
    static void close(HMODULE h) { ::FreeLibrary(h); }
};
struct pidl_traits {
    typedef LPITEMIDLIST type;
    static LPITEMIDLIST invalid() { return nullptr; }
    static void close(LPITEMIDLIST p) { ::ILFree(p); }
};
struct cotaskmem_traits {
    typedef void* type;
    static void* invalid() { return nullptr; }
    static void close(void* p) { ::CoTaskMemFree(p); }
};
struct local_traits {
    typedef HLOCAL type;
    static HLOCAL invalid() { return nullptr; }
    static void close(HLOCAL p) { ::LocalFree(p); }
};

typedef unique_resource<handle_traits> unique_handle;
typedef unique_resource<file_handle_traits> unique_file;
typedef unique_resource<find_traits> unique_find;
typedef unique_resource<hkey_traits> unique_hkey;
typedef unique_resource<hicon_traits> unique_hicon;
typedef unique_resource<hmenu_traits> unique_hmenu;
typedef unique_resource<hbitmap_traits> unique_hbitmap;
typedef unique_resource<hmodule_traits> unique_hmodule;
typedef unique_resource<pidl_traits> unique_pidl;
typedef unique_resource<cotaskmem_traits> unique_cotaskmem;
typedef unique_resource<local_traits> unique_hlocal;

struct hglobal_traits {
    typedef HGLOBAL type;
    static HGLOBAL invalid() { return nullptr; }
    static void close(HGLOBAL p) { ::GlobalFree(p); }
};
typedef unique_resource<hglobal_traits> unique_hglobal;

// A re-entrant critical section; the scoped guard below is the only way code takes it, so every
// path out of a locked region leaves it. It knows which thread holds it, so that code can tell
// whether waiting for another thread that needs it would deadlock.
class critical_section {
public:
    critical_section() noexcept : owner_(0), depth_(0) { ::InitializeCriticalSection(&cs_); }
    ~critical_section() { ::DeleteCriticalSection(&cs_); }
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;

    void enter() noexcept {
        ::EnterCriticalSection(&cs_);
        taken();
    }
    bool try_enter() noexcept {
        if (!::TryEnterCriticalSection(&cs_)) return false;
        taken();
        return true;
    }
    void leave() noexcept {
        if (--depth_ == 0) owner_ = 0;
        ::LeaveCriticalSection(&cs_);
    }
    bool held_by_this_thread() const noexcept { return owner_ == ::GetCurrentThreadId(); }

private:
    void taken() noexcept {
        if (depth_++ == 0) owner_ = ::GetCurrentThreadId();
    }

    CRITICAL_SECTION cs_;
    std::atomic<DWORD> owner_;
    long depth_;  // changed only by the owner
};

class lock_guard {
public:
    explicit lock_guard(critical_section& cs) noexcept : cs_(&cs) { cs_->enter(); }
    ~lock_guard() { if (cs_) cs_->leave(); }
    lock_guard(const lock_guard&) = delete;
    lock_guard& operator=(const lock_guard&) = delete;

    // Takes the lock only if it is free; owns_lock() tells which happened.
    static lock_guard try_lock(critical_section& cs) noexcept {
        return lock_guard(cs.try_enter() ? &cs : nullptr);
    }
    bool owns_lock() const noexcept { return cs_ != nullptr; }
    lock_guard(lock_guard&& other) noexcept : cs_(other.cs_) { other.cs_ = nullptr; }

private:
    explicit lock_guard(critical_section* taken) noexcept : cs_(taken) {}
    critical_section* cs_;
};

// Counted COM reference.
template <typename T>
class com_ptr {
public:
    com_ptr() noexcept : p_(nullptr) {}
    com_ptr(T* p) noexcept : p_(p) { if (p_) p_->AddRef(); }  // NOLINT: shares the reference
    com_ptr(const com_ptr& other) noexcept : p_(other.p_) { if (p_) p_->AddRef(); }
    com_ptr(com_ptr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    com_ptr& operator=(com_ptr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~com_ptr() { if (p_) p_->Release(); }

    // Takes over a reference the caller already owns (from a creation function).
    static com_ptr attach(T* p) noexcept {
        com_ptr result;
        result.p_ = p;
        return result;
    }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    void reset() noexcept {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T* detach() noexcept {
        T* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    T* p_;
};

}  // namespace util
