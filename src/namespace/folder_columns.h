// The columns of the virtual folder's details view: their headers, default states and property
// keys, the value of each cell as text and as a typed VARIANT, and the order of two items of one
// level by a column. Values come from the item's identifier or from the tag database by its file id.
#pragma once

#include "database/shell_item.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace ShellNamespace {

enum column_index : UINT {
    column_name = 0,
    column_items_count = 1,
    column_path = 2,
    column_tags = 3,
    column_count = 4,
};

struct column_info {
    const wchar_t* header;
    SHCOLSTATEF state;
    int width;  // characters
    SHCOLUMNID key;
};

// The column at `index`; null past the last.
const column_info* column_at(UINT index);

// The column a property key names; false for a key no column has.
bool column_of_key(const SHCOLUMNID& key, UINT& index);

// The cell of `item` as the view shows it. `in_root`: the root tag the listing lies below.
// E_FAIL where the item has no value in that column.
HRESULT cell_text(const items::shell_item_fields& item, const std::wstring& in_root, UINT column, std::wstring& text);

// The same cell typed as its property key asks: VT_BSTR text, VT_UI4 for the count, VT_ARRAY |
// VT_BSTR for the tags. `value` must be VT_EMPTY and stays so when the call fails.
HRESULT cell_value(const items::shell_item_fields& item, const std::wstring& in_root, UINT column, VARIANT* value);

// The order of two items of one level: by the column's values (no value sorts first), then by
// name, kind and file id, so that 0 means one and the same item.
int column_order(const items::shell_item_fields& a, const items::shell_item_fields& b, const std::wstring& in_root,
                 UINT column);

// The order that depends on no column nor on the database: name, kind, file id.
int canonical_order(const items::shell_item_fields& a, const items::shell_item_fields& b);

}  // namespace ShellNamespace
