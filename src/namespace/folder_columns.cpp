#include "namespace/folder_columns.h"

#include "database/tags_holder.h"
#include "namespace/item_ids.h"

#include <oleauto.h>
#include <shlwapi.h>

#include <vector>

namespace ShellNamespace {

namespace {

// The system's keys for the name, folder path and keywords, as Microsoft's property schema defines
// them; MinGW's propkey.h lacks the first two, and keys of our own namespace clash with no SDK.
const SHCOLUMNID key_item_name_display = {
    {0xB725F130, 0x47EF, 0x101A, {0xA5, 0xF1, 0x02, 0x60, 0x8C, 0x9E, 0xEB, 0xAC}}, 10};
const SHCOLUMNID key_item_folder_path_display = {
    {0xE3E0584C, 0xB788, 0x4A5A, {0xBB, 0x20, 0x7F, 0x5A, 0x44, 0xC9, 0xAC, 0xDD}}, 6};
const SHCOLUMNID key_keywords = {
    {0xF29F85E0, 0x4FF9, 0x1068, {0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9}}, 5};
// The number of files under an entry is a value of our own: the system's file count is a 64-bit
// value that is not meant as a column.
const SHCOLUMNID key_items_count = {
    {0xE6F61BD2, 0x3B1D, 0x42CE, {0xB7, 0xCC, 0x87, 0x06, 0x3E, 0x51, 0x75, 0x3A}}, 2};

// "Path" is typed as a number and "Items count" as text: the view sorts and aligns them so.
const column_info columns[column_count] = {
    {L"Name", SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT, 30, key_item_name_display},
    {L"Items count", SHCOLSTATE_TYPE_STR, 10, key_items_count},
    {L"Path", SHCOLSTATE_TYPE_INT, 40, key_item_folder_path_display},
    {L"Tags", SHCOLSTATE_TYPE_STR, 30, key_keywords},
};

// The leaves of a name tree in depth-first order.
void collect_leaves(const items::tree_node& node, std::vector<std::wstring>& leaves) {
    if (node.children.empty()) {
        leaves.push_back(node.name);
        return;
    }
    for (const items::tree_ptr& child : node.children) {
        if (child) collect_leaves(*child, leaves);
    }
}

// The file's tags under the root that holds it, in tree order.
bool tags_of_file(std::uint32_t id, const std::wstring& in_root, std::vector<std::wstring>& tags) {
    // Held across both calls so the root found cannot be dropped before it is asked.
    const util::lock_guard held = items::tags_holder().lock();
    std::wstring path;
    items::root_scope* root = items::tags_holder().find_path(id, path, in_root);
    if (!root) return false;
    items::tree_ptr tree = root->tags_of(id);
    if (!tree) return false;
    collect_leaves(*tree, tags);
    return true;
}

// "( Rock, Jazz )".
std::wstring tags_text(const std::vector<std::wstring>& tags) {
    std::wstring text = L"( ";
    for (std::size_t i = 0; i < tags.size(); ++i) {
        if (i != 0) text += L", ";
        text += tags[i];
    }
    return text + L" )";
}

bool folder_of_file(std::uint32_t id, const std::wstring& in_root, std::wstring& folder) {
    std::wstring path;
    if (!items::tags_holder().find_path(id, path, in_root)) return false;
    const std::wstring::size_type slash = path.rfind(L'\\');
    folder = slash == std::wstring::npos ? path : path.substr(0, slash);
    return true;
}

HRESULT make_bstr(const std::wstring& text, VARIANT* value) {
    BSTR copy = ::SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
    if (!copy) return E_OUTOFMEMORY;
    value->vt = VT_BSTR;
    value->bstrVal = copy;
    return S_OK;
}

HRESULT make_bstr_array(const std::vector<std::wstring>& texts, VARIANT* value) {
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
    if (!array) return E_OUTOFMEMORY;
    BSTR* elements = nullptr;
    if (FAILED(::SafeArrayAccessData(array, reinterpret_cast<void**>(&elements)))) {
        ::SafeArrayDestroy(array);
        return E_OUTOFMEMORY;
    }
    bool complete = true;
    for (std::size_t i = 0; i < texts.size() && complete; ++i) {
        elements[i] = ::SysAllocStringLen(texts[i].c_str(), static_cast<UINT>(texts[i].size()));
        complete = elements[i] != nullptr;
    }
    ::SafeArrayUnaccessData(array);
    if (!complete) {
        // Frees the strings made so far with it.
        ::SafeArrayDestroy(array);
        return E_OUTOFMEMORY;
    }
    value->vt = VT_ARRAY | VT_BSTR;
    value->parray = array;
    return S_OK;
}

// The text a column sorts by; empty where the item has none.
std::wstring sort_text(const items::shell_item_fields& item, const std::wstring& in_root, UINT column) {
    std::wstring text;
    if (FAILED(cell_text(item, in_root, column, text))) text.clear();
    return text;
}

int sign(int value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

}  // namespace

const column_info* column_at(UINT index) { return index < column_count ? &columns[index] : nullptr; }

bool column_of_key(const SHCOLUMNID& key, UINT& index) {
    for (UINT i = 0; i < column_count; ++i) {
        if (key.pid == columns[i].key.pid && ::IsEqualGUID(key.fmtid, columns[i].key.fmtid)) {
            index = i;
            return true;
        }
    }
    return false;
}

HRESULT cell_text(const items::shell_item_fields& item, const std::wstring& in_root, UINT column, std::wstring& text) {
    switch (column) {
    case column_name:
        // Windows' view names items through GetDisplayNameOf, but Wine's takes every cell from
        // here: without the name its list shows blank rows.
        text = shown_name(item.name);
        return S_OK;
    case column_items_count:
        if (item.count == 0) return E_FAIL;
        text = std::to_wstring(item.count);
        return S_OK;
    case column_path:
        if (item.kind != items::item_file) return E_FAIL;
        return folder_of_file(item.file_id, in_root, text) ? S_OK : E_FAIL;
    case column_tags: {
        if (item.kind != items::item_file) return E_FAIL;
        std::vector<std::wstring> tags;
        if (!tags_of_file(item.file_id, in_root, tags)) return E_FAIL;
        text = tags_text(tags);
        return S_OK;
    }
    default:
        return E_FAIL;
    }
}

HRESULT cell_value(const items::shell_item_fields& item, const std::wstring& in_root, UINT column, VARIANT* value) {
    switch (column) {
    case column_name:
        return make_bstr(shown_name(item.name), value);
    case column_items_count:
        if (item.count == 0) return E_FAIL;
        value->vt = VT_UI4;
        value->ulVal = item.count;
        return S_OK;
    case column_path: {
        std::wstring folder;
        if (item.kind != items::item_file || !folder_of_file(item.file_id, in_root, folder)) return E_FAIL;
        return make_bstr(folder, value);
    }
    case column_tags: {
        // The keywords of the property system are many strings, not one.
        std::vector<std::wstring> tags;
        if (item.kind != items::item_file || !tags_of_file(item.file_id, in_root, tags)) return E_FAIL;
        return make_bstr_array(tags, value);
    }
    default:
        return E_FAIL;
    }
}

int canonical_order(const items::shell_item_fields& a, const items::shell_item_fields& b) {
    // The shell matches items by it (selection, change notifications) and drops one of two
    // distinct items that compare equal, so two items with one name (a tag and a file, two
    // files) are told apart by kind, then file id.
    int order = compare_names(a.name, b.name);
    if (order == 0 && a.kind != b.kind) order = a.kind < b.kind ? -1 : 1;
    if (order == 0 && a.file_id != b.file_id) order = a.file_id < b.file_id ? -1 : 1;
    return order;
}

int column_order(const items::shell_item_fields& a, const items::shell_item_fields& b, const std::wstring& in_root,
                 UINT column) {
    int order = 0;
    switch (column) {
    case column_items_count:
        if (a.count != b.count) order = a.count < b.count ? -1 : 1;
        break;
    case column_path:
    case column_tags:
        // As Explorer orders names: digits by their value, case ignored.
        order = sign(::StrCmpLogicalW(sort_text(a, in_root, column).c_str(), sort_text(b, in_root, column).c_str()));
        break;
    default:
        break;
    }
    return order != 0 ? order : canonical_order(a, b);
}

}  // namespace ShellNamespace
