#include "database/shell_item.h"

#include <cstring>

namespace items {

bool has_shell_item_signature(const void* bytes) {
    if (!bytes) return false;
    std::uint16_t cb;
    std::memcpy(&cb, bytes, 2);
    return cb >= 6 && std::memcmp(static_cast<const unsigned char*>(bytes) + 2, shell_item_signature, 4) == 0;
}

bool parse_shell_item(const void* bytes, std::size_t size, shell_item_fields& out) {
    if (!bytes || size < shell_item_header + 2) return false;
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    std::uint16_t cb;
    std::memcpy(&cb, p, 2);
    if (cb < shell_item_header + 2 || cb > size) return false;
    if (std::memcmp(p + 2, shell_item_signature, 4) != 0) return false;
    const std::size_t units = (cb - shell_item_header) / 2;
    std::wstring name(units, L'\0');
    std::memcpy(&name[0], p + shell_item_header, units * 2);
    const std::wstring::size_type end = name.find(L'\0');
    if (end == std::wstring::npos) return false;
    name.resize(end);
    out.cb = cb;
    std::memcpy(&out.kind, p + 6, 2);
    std::memcpy(&out.file_id, p + 8, 4);
    std::memcpy(&out.count, p + 12, 4);
    out.name.swap(name);
    return true;
}

void shell_item_list::add(ItemKind kind, std::uint32_t file_id, std::uint32_t count, const wchar_t* name,
                          std::size_t length) {
    // Longer names cannot be expressed in the 16-bit cb.
    if (length > (0xFFFF - shell_item_header - 2) / 2) length = (0xFFFF - shell_item_header - 2) / 2;
    const std::uint16_t cb = static_cast<std::uint16_t>(shell_item_header + (length + 1) * 2);
    const std::size_t start = bytes_.size();
    bytes_.resize(start + cb, 0);
    unsigned char* p = bytes_.data() + start;
    const std::uint16_t kind_value = kind;
    std::memcpy(p, &cb, 2);
    std::memcpy(p + 2, shell_item_signature, 4);
    std::memcpy(p + 6, &kind_value, 2);
    std::memcpy(p + 8, &file_id, 4);
    std::memcpy(p + 12, &count, 4);
    if (length) std::memcpy(p + shell_item_header, name, length * 2);
    offsets_.push_back(static_cast<std::uint32_t>(start));
}

void shell_item_list::clear() {
    bytes_.clear();
    offsets_.clear();
}

void shell_item_list::reserve(std::size_t items, std::size_t bytes) {
    offsets_.reserve(items);
    bytes_.reserve(bytes);
}

std::uint16_t shell_item_list::cb(std::size_t i) const {
    std::uint16_t value;
    std::memcpy(&value, at(i), 2);
    return value;
}

shell_item_fields shell_item_list::fields(std::size_t i) const {
    shell_item_fields out;
    parse_shell_item(at(i), cb(i), out);
    return out;
}

}  // namespace items
