// Map file decoding, kept inline so that the load loop adds entries without an indirect call.
#pragma once

#include <cstring>

namespace items {
namespace store {

template <typename Add>
map_read_result decode_map(const std::vector<unsigned char>& bytes, Add add) {
    map_read_result result;
    const unsigned char* p = bytes.data();
    std::size_t left = bytes.size();
    std::wstring path;
    while (left > 0) {
        if (left < 6) {  // torn id or length
            result.needs_rewrite = true;
            break;
        }
        std::uint32_t id;
        std::uint16_t length;
        std::memcpy(&id, p, 4);
        std::memcpy(&length, p + 4, 2);
        if (length > max_stored_path || left - 6 < std::size_t(length) * 2) {
            result.needs_rewrite = true;
            break;
        }
        p += 6;
        left -= 6;
        if (length == 0) {
            result.needs_rewrite = true;  // void record: compaction asked for
            continue;
        }
        // Records are not aligned: copy the path out before it is handed on.
        path.resize(length);
        std::memcpy(&path[0], p, std::size_t(length) * 2);
        p += std::size_t(length) * 2;
        left -= std::size_t(length) * 2;
        add(id, path.data(), path.size());
    }
    return result;
}

}  // namespace store
}  // namespace items
