#include "namespace/enum_id_list.h"

#include "database/tags_holder.h"
#include "namespace/view_windows.h"
#include "namespace/item_ids.h"

#include <shlwapi.h>

#include <cstring>
#include <new>

namespace ShellNamespace {

CEnumIDList::CEnumIDList(HWND owner, std::vector<std::wstring>&& path, SHCONTF flags)
    : owner_(owner), path_(std::move(path)), flags_(flags) {}

CEnumIDList* CEnumIDList::create(LPCITEMIDLIST folder, HWND owner, SHCONTF flags) noexcept {
    try {
        CEnumIDList* list = new (std::nothrow) CEnumIDList(owner, own_names(folder), flags);
        if (list) list->fill();
        return list;
    } catch (...) {
        return nullptr;
    }
}

void CEnumIDList::fill() noexcept {
    position_ = 0;
    items_.clear();
    const bool folders = (flags_ & SHCONTF_FOLDERS) != 0;
    const bool files = (flags_ & SHCONTF_NONFOLDERS) != 0;
    // No level has storage of its own to offer.
    if ((!folders && !files) || (flags_ & SHCONTF_STORAGE)) return;
    try {
        items::shell_item_list level;
        items::tags_holder().list_level(path_, view_key_of(owner_), level);
        if (folders && files) {
            items_ = std::move(level);
            return;
        }
        for (std::size_t i = 0; i < level.size(); ++i) {
            const items::shell_item_fields item = level.fields(i);
            if (item.kind == items::item_file ? files : folders) {
                items_.add(static_cast<items::ItemKind>(item.kind), item.file_id, item.count, item.name);
            }
        }
    } catch (...) {
        // A listing that fails half-way shows nothing rather than half a level.
        items_.clear();
    }
}

const QITAB* CEnumIDList::interface_table() {
    static const QITAB table[] = {
        QITABENT(CEnumIDList, IEnumIDList),
        {nullptr, 0},
    };
    return table;
}

IFACEMETHODIMP CEnumIDList::Next(ULONG celt, LPITEMIDLIST* out, ULONG* fetched) {
    if (celt > 1 && !fetched) return E_INVALIDARG;
    if (!out && celt) return E_POINTER;
    ULONG given = 0;
    for (; given < celt; ++given) {
        if (position_ >= items_.size()) {
            if (fetched) *fetched = given;
            return S_FALSE;
        }
        const USHORT cb = items_.cb(position_);
        // The item, the list's two zero bytes and a spare one.
        BYTE* copy = static_cast<BYTE*>(::CoTaskMemAlloc(cb + 3));
        if (!copy) {
            for (ULONG i = 0; i < given; ++i) {
                ::CoTaskMemFree(out[i]);
                out[i] = nullptr;
            }
            position_ -= given;
            if (fetched) *fetched = 0;
            return E_OUTOFMEMORY;
        }
        std::memset(copy, 0, cb + 3);
        std::memcpy(copy, items_.at(position_), cb);
        out[given] = reinterpret_cast<LPITEMIDLIST>(copy);
        ++position_;
    }
    if (fetched) *fetched = given;
    return S_OK;
}

IFACEMETHODIMP CEnumIDList::Skip(ULONG celt) {
    for (ULONG i = 0; i < celt; ++i) {
        if (position_ >= items_.size()) return S_FALSE;
        ++position_;
    }
    return S_OK;
}

IFACEMETHODIMP CEnumIDList::Reset() {
    position_ = 0;
    return S_OK;
}

IFACEMETHODIMP CEnumIDList::Clone(IEnumIDList** ppenum) {
    if (ppenum) *ppenum = nullptr;
    return E_NOTIMPL;
}

}  // namespace ShellNamespace
