// Map file decoding, kept inline so that the load loop adds entries without an indirect call.
// Every record is 6 bytes plus whole UTF-16 units, so in a buffer that starts aligned each path
// starts on a 2-byte boundary.
#pragma once

#include "util/byte_fields.h"

namespace items {
namespace store {

template <typename Add>
std::size_t decode_map_piece(const unsigned char* bytes, std::size_t size, bool last, map_read_result& result,
                             Add add) {
    std::size_t at = 0;
    while (at < size && !result.damaged) {
        const std::size_t left = size - at;
        if (left < 6) {  // torn id or length
            if (!last) break;
            result.needs_rewrite = result.damaged = true;
            break;
        }
        const std::uint32_t id = util::take<std::uint32_t>(bytes + at);
        const std::uint16_t length = util::take<std::uint16_t>(bytes + at + 4);
        if (length > max_stored_path) {
            result.needs_rewrite = result.damaged = true;
            break;
        }
        if (left - 6 < std::size_t(length) * 2) {  // a torn path, or one the next piece ends
            if (!last) break;
            result.needs_rewrite = result.damaged = true;
            break;
        }
        if (length == 0) result.needs_rewrite = true;  // void record: compaction asked for
        else add(id, at + 6, std::size_t(length));
        at += 6 + std::size_t(length) * 2;
    }
    return at;
}

template <typename Add>
map_read_result decode_map(const unsigned char* bytes, std::size_t size, Add add) {
    map_read_result result;
    decode_map_piece(bytes, size, true, result, add);
    return result;
}

}  // namespace store
}  // namespace items
