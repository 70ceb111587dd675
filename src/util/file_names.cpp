#include "util/file_names.h"

#include <windows.h>

#include <cstdint>
#include <cwctype>

namespace util {

namespace {

bool is_reserved_device_name(const std::wstring& name) {
    // The device names are reserved with any extension ("nul.txt" is still NUL).
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const fixed[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* reserved : fixed) {
        if (stem == reserved) return true;
    }
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
        return stem[3] >= L'1' && stem[3] <= L'9';
    }
    return false;
}

}  // namespace

bool is_valid_file_name(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name) {
        if (c < 32) return false;
        switch (c) {
        case L'<': case L'>': case L':': case L'"': case L'/': case L'\\':
        case L'|': case L'?': case L'*':
            return false;
        default:
            break;
        }
    }
    if (name.back() == L'.' || name.back() == L' ') return false;
    return !is_reserved_device_name(name);
}

std::wstring last_component(const std::wstring& path) {
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring with_trailing_backslash(const std::wstring& path) {
    if (path.empty() || path.back() == L'\\') return path;
    return path + L'\\';
}

// The tag store is a folder tree (a root or a scope is a folder, a tag a file) and Windows'
// file systems give "Rock" and "rock" one folder or file. Two nodes of those names would share
// it: the last save of either would replace the other's ids, and emptying one would delete the
// other's file. Memory therefore matches names as the file system does, not exactly, and a name
// keeps the spelling it was first stored with. Paths follow the same rule: C:\Docs\a.pdf and
// c:\docs\A.PDF are one file.
bool same_name(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;  // an ordinal case fold maps one unit to one unit
    if (a == b) return true;
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

namespace {

// The hash of `name` with ASCII letters folded, four units to a multiplication; false, with
// nothing hashed, when `ascii_only` and the name holds a unit beyond ASCII.
bool folded_hash(std::wstring_view name, bool ascii_only, std::uint64_t& out) {
    const std::uint64_t multiplier = 0xff51afd7ed558ccdull;
    std::uint64_t h = 0x9e3779b97f4a7c15ull ^ name.size();
    std::uint64_t block = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        std::uint16_t unit = static_cast<std::uint16_t>(name[i]);
        if (unit >= 0x80 && ascii_only) return false;
        if (unit >= L'a' && unit <= L'z') unit = static_cast<std::uint16_t>(unit - (L'a' - L'A'));
        block = block << 16 | unit;
        if ((i & 3) == 3) {
            h = (h ^ block) * multiplier;
            block = 0;
        }
    }
    // A product's low bits depend on its factors' low bits alone: the high ones are folded in.
    h = (h ^ block) * multiplier;
    h = (h ^ (h >> 33)) * 0xc4ceb9fe1a85ec53ull;
    out = h ^ (h >> 33);
    return true;
}

}  // namespace

std::size_t name_hash(std::wstring_view name) {
    std::uint64_t h = 0;
    if (folded_hash(name, true, h)) return static_cast<std::size_t>(h);
    // Beyond ASCII the letters are upper-cased by the file system's table, as
    // CompareStringOrdinal does (LCMapStringEx uses it unless told to be linguistic).
    std::wstring upper(name);
    ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(), static_cast<int>(name.size()), &upper[0],
                    static_cast<int>(upper.size()), nullptr, nullptr, 0);
    folded_hash(upper, false, h);
    return static_cast<std::size_t>(h);
}

bool is_same_or_below(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || path.size() < folder.size()) return false;
    if (!same_name(std::wstring_view(path).substr(0, folder.size()), folder)) return false;
    if (path.size() == folder.size()) return true;
    return folder.back() == L'\\' || path[folder.size()] == L'\\';
}

}  // namespace util
