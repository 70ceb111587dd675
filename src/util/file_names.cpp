#include "util/file_names.h"

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
    std::wstring::size_type slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring with_trailing_backslash(const std::wstring& path) {
    if (path.empty() || path.back() == L'\\') return path;
    return path + L'\\';
}

bool is_same_or_below(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || path.size() < folder.size()) return false;
    if (path.compare(0, folder.size(), folder) != 0) return false;
    if (path.size() == folder.size()) return true;
    return folder.back() == L'\\' || path[folder.size()] == L'\\';
}

}  // namespace util
