// Map file decoding, kept inline so that the load loop adds entries without an indirect call.
// Every record is 6 bytes plus whole UTF-16 units, so in a buffer that starts aligned each path
// starts on a 2-byte boundary.
#pragma once

#include "util/byte_fields.h"

namespace items {
namespace store {

// Whether the piece of `size` bytes holds the whole record at `at`, whose id and path length
// it gives; `length` is set whenever the record's header is there, cut off or not.
inline bool map_record_at(const unsigned char* bytes, std::size_t size, std::size_t at, std::uint32_t& id,
                          std::uint16_t& length) {
    const std::size_t left = size - at;
    if (left < 6) return false;
    length = util::take<std::uint16_t>(bytes + at + 4);
    if (left - 6 < std::size_t(length) * 2) return false;
    id = util::take<std::uint32_t>(bytes + at);
    return true;
}

template <typename Add>
std::size_t decode_map_piece(const unsigned char* bytes, std::size_t size, bool last, map_read_result& result,
                             Add add) {
    std::size_t at = 0;
    while (at < size && !result.damaged) {
        std::uint32_t id = 0;
        std::uint16_t length = 0;
        // A record cut off (torn, or ended by the next piece), or a length no record has.
        const bool cut = !map_record_at(bytes, size, at, id, length);
        if (length > max_stored_path || (cut && last)) result.needs_rewrite = result.damaged = true;
        if (cut || result.damaged) break;
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
