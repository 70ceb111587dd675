// One level of the virtual folder as the shell enumerates it. The folder keeps its enumerator
// and hands it out again for every later EnumObjects, refilled and rewound.
#pragma once

#include "database/shell_item.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace ShellNamespace {

class CEnumIDList final : public IEnumIDList {
public:
    // An enumerator for the level named by the folder's absolute list; reference count 1.
    // Null when out of memory.
    static CEnumIDList* create(LPCITEMIDLIST folder, HWND owner, SHCONTF flags) noexcept;

    // Empties the list, asks the database again for the same level and rewinds.
    void refill() noexcept;

    // IUnknown
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;

    // IEnumIDList
    IFACEMETHODIMP Next(ULONG celt, LPITEMIDLIST* items, ULONG* fetched) override;
    IFACEMETHODIMP Skip(ULONG celt) override;
    IFACEMETHODIMP Reset() override;
    IFACEMETHODIMP Clone(IEnumIDList** ppenum) override;

private:
    CEnumIDList(HWND owner, std::vector<std::wstring>&& path, bool listed);
    ~CEnumIDList() = default;
    void fill() noexcept;

    volatile LONG refs_ = 1;
    HWND owner_;
    std::size_t position_ = 0;
    std::vector<std::wstring> path_;
    // Files are listed with the folders: a request without folders gets nothing.
    bool listed_;
    items::shell_item_list items_;
};

}  // namespace ShellNamespace
