// Tag names made from text found inside files. Such text is untrusted: a tag or scope name
// becomes a file or folder name in the data folder, so it must be one harmless file name,
// whatever the file's metadata holds.
#pragma once

#include <cstddef>
#include <string>

namespace plugin_kit {

// Longest name handed to the host, in UTF-16 units. A name is a path component of the data
// folder, below a root and a scope; long album titles still fit in a short path.
const std::size_t max_name_length = 80;

// The tag name for a metadata text, or an empty string when the text cannot give one.
// - Padding is dropped: trailing NULs, and blanks at both ends.
// - Damaged or deceptive text gives no name: an embedded NUL, any control character (C0, DEL,
//   C1), an unpaired surrogate, a noncharacter, a byte order mark inside the text, and the
//   invisible direction and line-separator marks that can make a name look like another.
// - The nine characters that Windows forbids in names (< > : " / \ | ? *) become full stops,
//   as the host does; trailing full stops and blanks, which Windows would strip, are dropped.
// - A text longer than max_name_length is cut at a character boundary and ends in "…".
// - What is left must be a valid file name: not empty, not "." or "..", not a device name.
std::wstring safe_name(const std::wstring& text);

// The same for text stored as UTF-8 (or ASCII): invalid UTF-8 (bad sequences, overlong forms,
// encoded surrogates, code points above U+10FFFF) gives no name.
std::wstring safe_name_utf8(const char* bytes, std::size_t size);

// Strict UTF-8 to UTF-16; false on any invalid sequence.
bool decode_utf8(const char* bytes, std::size_t size, std::wstring& out);

}  // namespace plugin_kit
