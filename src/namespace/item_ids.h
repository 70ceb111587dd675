// Reading and building the identifier lists that the virtual folder hands to the shell and
// gets back from it. Everything that arrives from the shell is untrusted: an item is accepted
// only when its header, signature and NUL-terminated name all lie inside its cb, and fields
// are copied out, never read in place (identifiers may be unaligned).
#pragma once

#include "database/shell_item.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace ShellNamespace {

// The cb of the first item of a list (0 for a null list or its terminator).
USHORT item_size(LPCITEMIDLIST pidl);

// Reads the first item of `pidl` as one of the folder's own identifiers.
bool read_own_item(LPCITEMIDLIST pidl, items::shell_item_fields& out);

// The list without its first item (its terminator when it has only one), or null.
LPCITEMIDLIST next_item(LPCITEMIDLIST pidl);

// True when `pidl` holds exactly one item.
bool is_single_item(LPCITEMIDLIST pidl);

// The names of every own identifier of an absolute list, from the top. Items of other
// folders (My Computer, the Desktop) are passed over; a malformed cb ends the walk.
std::vector<std::wstring> own_names(LPCITEMIDLIST pidl);
// The first of them: the root tag a folder's list lies below; empty at the top.
std::wstring root_of(LPCITEMIDLIST pidl);

// A list holding a copy of the first item of `pidl` only; null when it cannot be made.
LPITEMIDLIST copy_first_item(LPCITEMIDLIST pidl);

// What the user sees of an item's name: a query level shows its query without the mark.
std::wstring shown_name(const std::wstring& name);

// A CoTaskMemAlloc copy of `text` with its NUL, as a STRRET_WSTR.
HRESULT make_strret(const std::wstring& text, STRRET* out);

// The CompareIDs order of two names: unit by unit as unsigned 16-bit values; when one name is
// a prefix of the other the longer sorts first. Equal names give 0.
int compare_names(const std::wstring& a, const std::wstring& b);

}  // namespace ShellNamespace
