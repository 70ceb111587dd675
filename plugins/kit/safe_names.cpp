#include "safe_names.h"

#include "util/file_names.h"

namespace plugin_kit {

namespace {

bool is_high_surrogate(unsigned c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(unsigned c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Characters that no tag name should carry, besides unpaired surrogates.
bool is_refused(unsigned c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;  // C0, DEL, C1 controls
    if (c == 0xFEFF || c == 0xFFFE || c == 0xFFFF) return true;
    if (c >= 0xFDD0 && c <= 0xFDEF) return true;  // noncharacters
    // Direction marks, embeddings, overrides and isolates reorder what the user reads; the
    // line and paragraph separators break a name over lines.
    if (c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) return true;
    return c == 0x2028 || c == 0x2029;
}

bool is_blank(wchar_t c) { return c == L' ' || c == 0x00A0 || c == 0x3000; }

void trim_end(std::wstring& name, bool dots_too) {
    while (!name.empty() && (is_blank(name.back()) || (dots_too && name.back() == L'.'))) name.pop_back();
}

}  // namespace

std::wstring safe_name(const std::wstring& text) {
    std::wstring name(text);
    while (!name.empty() && name.back() == L'\0') name.pop_back();

    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned c = static_cast<unsigned>(name[i]) & 0xFFFF;
        if (is_high_surrogate(c)) {
            if (i + 1 >= name.size() || !is_low_surrogate(static_cast<unsigned>(name[i + 1]) & 0xFFFF)) {
                return std::wstring();
            }
            ++i;
            continue;
        }
        if (is_low_surrogate(c) || is_refused(c)) return std::wstring();
        switch (c) {
        case L'<': case L'>': case L':': case L'"': case L'/': case L'\\':
        case L'|': case L'?': case L'*':
            name[i] = L'.';
            break;
        default:
            break;
        }
    }

    std::size_t start = 0;
    while (start < name.size() && is_blank(name[start])) ++start;
    name.erase(0, start);
    trim_end(name, true);

    if (name.size() > max_name_length) {
        std::size_t cut = max_name_length - 1;
        if (is_high_surrogate(static_cast<unsigned>(name[cut - 1]) & 0xFFFF)) --cut;
        name.resize(cut);
        trim_end(name, true);
        if (!name.empty()) name += L'\x2026';
    }
    if (!util::is_valid_file_name(name)) return std::wstring();
    return name;
}

bool decode_utf8(const char* bytes, std::size_t size, std::wstring& out) {
    out.clear();
    const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t i = 0;
    while (i < size) {
        const unsigned lead = s[i];
        unsigned code = 0;
        std::size_t extra = 0;
        if (lead < 0x80) {
            code = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            code = lead & 0x1F;
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            code = lead & 0x0F;
            extra = 2;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            code = lead & 0x07;
            extra = 3;
        } else {
            return false;  // continuation byte as lead, overlong two-byte lead, or beyond U+10FFFF
        }
        if (size - i - 1 < extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned next = s[i + k];
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF))) return false;
        if (code >= 0xD800 && code <= 0xDFFF) return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (code >> 10));
            out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<wchar_t>(code);
        }
        i += extra + 1;
    }
    return true;
}

std::wstring safe_name_utf8(const char* bytes, std::size_t size) {
    // Fixed-size metadata fields are padded with NULs; they are not part of the text.
    while (size > 0 && bytes[size - 1] == '\0') --size;
    std::wstring text;
    if (!decode_utf8(bytes, size, text)) return std::wstring();
    return safe_name(text);
}

}  // namespace plugin_kit
