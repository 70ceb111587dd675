#include "util/utf8.h"

#include <windows.h>

namespace util {

std::string to_utf8(std::wstring_view text) {
    if (text.empty()) return std::string();
    const int size = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

std::wstring from_utf8(std::string_view bytes) {
    if (bytes.empty()) return std::wstring();
    const int size = static_cast<int>(bytes.size());
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring text(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, &text[0], units);
    return text;
}

}  // namespace util
