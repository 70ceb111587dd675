// The callback of the system's default folder view. It ties the view's life to the database's
// navigation state of the owner window: a view destroyed lowers that window's view count.
#pragma once

#include <windows.h>
#include <shlobj.h>

namespace ShellNamespace {

class CShellFolder;

class CShellViewCB final : public IShellFolderViewCB {
public:
    // Reference count 0: the view takes the first reference. Null when out of memory.
    static CShellViewCB* create(CShellFolder* folder, HWND owner) noexcept;

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    // Never frees: the folder that made the callback keeps a plain pointer to it.
    IFACEMETHODIMP_(ULONG) Release() override;
    IFACEMETHODIMP MessageSFVCB(UINT message, WPARAM wparam, LPARAM lparam) override;

    HWND owner() const { return owner_; }

private:
    CShellViewCB(CShellFolder* folder, HWND owner) : folder_(folder), owner_(owner) {}
    ~CShellViewCB() = default;

    volatile LONG refs_ = 0;
    CShellFolder* folder_;  // not counted, and not used once the view runs
    HWND owner_;
};

}  // namespace ShellNamespace
