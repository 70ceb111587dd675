// One level of the virtual folder as the shell enumerates it, listed once when it is made:
// every EnumObjects gets an enumerator of its own.
#pragma once

#include "database/shell_item.h"
#include "util/com_object.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace ShellNamespace {

class CEnumIDList final : public util::ComObject<CEnumIDList, IEnumIDList> {
public:
    // An enumerator for the level named by the folder's absolute list; reference count 1.
    // Null when out of memory.
    static CEnumIDList* create(LPCITEMIDLIST folder, HWND owner, SHCONTF flags) noexcept;

    static const QITAB* interface_table();

    // IEnumIDList
    IFACEMETHODIMP Next(ULONG celt, LPITEMIDLIST* items, ULONG* fetched) override;
    IFACEMETHODIMP Skip(ULONG celt) override;
    IFACEMETHODIMP Reset() override;
    IFACEMETHODIMP Clone(IEnumIDList** ppenum) override;

private:
    CEnumIDList(HWND owner, std::vector<std::wstring>&& path, SHCONTF flags);
    ~CEnumIDList() override = default;
    void fill() noexcept;

    HWND owner_;
    std::size_t position_ = 0;
    std::vector<std::wstring> path_;
    // Files (SHCONTF_NONFOLDERS) and the other levels (SHCONTF_FOLDERS) are listed only when
    // asked: the navigation pane asks for folders alone.
    SHCONTF flags_;
    items::shell_item_list items_;
};

}  // namespace ShellNamespace
