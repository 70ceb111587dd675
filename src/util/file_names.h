// Checks and pieces of Windows file names and paths.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace util {

// True when `name` can be used as one file or folder name inside a parent folder without
// escaping it or being changed by the file system: not empty, not "." or "..", no path
// separator, no character Windows forbids (control characters, < > : " / \ | ? *), no
// trailing dot or blank (Windows would strip them and reach another name), and not a
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension).
bool is_valid_file_name(const std::wstring& name);

// The text after the last backslash or forward slash, which Windows takes as a backslash too
// (the whole string when there is neither).
std::wstring last_component(const std::wstring& path);

// `path` with exactly one trailing backslash (an empty path stays empty).
std::wstring with_trailing_backslash(const std::wstring& path);

// Whether two names (or two paths) name one file or folder: an ordinal comparison that
// ignores letter case, the file system's own rule. Every name and path the tag store and the
// views match goes through here; see file_names.cpp for why memory does not match exactly.
bool same_name(std::wstring_view a, std::wstring_view b);
// A hash that is equal for every two names that same_name takes for one, for indexes whose
// hits are then confirmed with same_name.
std::size_t name_hash(std::wstring_view name);

// True when `path` equals `folder` or lies below it: `folder` followed by a backslash, in any
// letter case. A plain prefix test would take C:\Photos2\x.jpg for a member of C:\Photos.
bool is_same_or_below(const std::wstring& path, const std::wstring& folder);

}  // namespace util
