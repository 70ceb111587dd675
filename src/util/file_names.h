// Checks and pieces of Windows file names and paths.
#pragma once

#include <string>

namespace util {

// True when `name` can be used as one file or folder name inside a parent folder without
// escaping it or being changed by the file system: not empty, not "." or "..", no path
// separator, no character Windows forbids (control characters, < > : " / \ | ? *), no
// trailing dot or blank (Windows would strip them and reach another name), and not a
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension).
bool is_valid_file_name(const std::wstring& name);

// The text after the last backslash (the whole string when there is none).
std::wstring last_component(const std::wstring& path);

// `path` with exactly one trailing backslash (an empty path stays empty).
std::wstring with_trailing_backslash(const std::wstring& path);

// True when `path` equals `folder` or lies below it: `folder` followed by a backslash.
// A plain prefix test would take C:\Photos2\x.jpg for a member of C:\Photos.
bool is_same_or_below(const std::wstring& path, const std::wstring& folder);

}  // namespace util
