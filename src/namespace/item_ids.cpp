#include "namespace/item_ids.h"

#include "database/navigation.h"

#include <cstring>

namespace ShellNamespace {

USHORT item_size(LPCITEMIDLIST pidl) {
    if (!pidl) return 0;
    USHORT cb;
    std::memcpy(&cb, pidl, sizeof cb);
    return cb;
}

bool read_own_item(LPCITEMIDLIST pidl, items::shell_item_fields& out) {
    const USHORT cb = item_size(pidl);
    // The caller gives no buffer size: cb is all there is to go by, and parse_shell_item
    // checks that header, signature and name all fit inside it.
    return cb != 0 && items::parse_shell_item(pidl, cb, out);
}

LPCITEMIDLIST next_item(LPCITEMIDLIST pidl) {
    const USHORT cb = item_size(pidl);
    // A cb of 1 cannot even hold itself; walking on would read the next byte as a size.
    if (cb < sizeof(USHORT)) return nullptr;
    return reinterpret_cast<LPCITEMIDLIST>(reinterpret_cast<const BYTE*>(pidl) + cb);
}

bool is_single_item(LPCITEMIDLIST pidl) {
    return item_size(pidl) != 0 && item_size(next_item(pidl)) == 0;
}

std::vector<std::wstring> own_names(LPCITEMIDLIST pidl) {
    std::vector<std::wstring> names;
    for (LPCITEMIDLIST item = pidl; item_size(item) >= sizeof(USHORT); item = next_item(item)) {
        items::shell_item_fields fields;
        if (read_own_item(item, fields)) names.push_back(fields.name);
    }
    return names;
}

std::wstring root_of(LPCITEMIDLIST pidl) {
    const std::vector<std::wstring> names = own_names(pidl);
    return names.empty() ? std::wstring() : names.front();
}

LPITEMIDLIST copy_first_item(LPCITEMIDLIST pidl) {
    const USHORT cb = item_size(pidl);
    if (cb < sizeof(USHORT)) return nullptr;
    // The item, then the two zero bytes that end the list.
    BYTE* copy = static_cast<BYTE*>(::CoTaskMemAlloc(cb + sizeof(USHORT)));
    if (!copy) return nullptr;
    std::memcpy(copy, pidl, cb);
    std::memset(copy + cb, 0, sizeof(USHORT));
    return reinterpret_cast<LPITEMIDLIST>(copy);
}

HRESULT make_strret(const std::wstring& text, STRRET* out) {
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(::CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, text.c_str(), bytes);
    out->uType = STRRET_WSTR;
    out->pOleStr = copy;
    return S_OK;
}

int compare_names(const std::wstring& a, const std::wstring& b) {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const unsigned short ua = static_cast<unsigned short>(a[i]);
        const unsigned short ub = static_cast<unsigned short>(b[i]);
        if (ua != ub) return ua < ub ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() > b.size() ? -1 : 1;
    return 0;
}

std::wstring shown_name(const std::wstring& name) {
    return items::is_query_name(name) ? name.substr(1) : name;
}

}  // namespace ShellNamespace
