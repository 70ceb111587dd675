// Conversions between UTF-16, as Windows spells names, and UTF-8, as files and pipes carry them.
#pragma once

#include <string>
#include <string_view>

namespace util {

std::string to_utf8(std::wstring_view text);
// Invalid sequences become U+FFFD.
std::wstring from_utf8(std::string_view bytes);

}  // namespace util
