// The hashes that the store's files and shared names are made of: an identity file's checks,
// the snapshot's checksum, the name of a data folder's lock. Their values are part of those
// formats, which other processes and earlier versions read: they must never change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace util {

const std::uint32_t fnv1a_32_basis = 0x811C9DC5u;
const std::uint64_t fnv1a_64_basis = 0xCBF29CE484222325ull;

// FNV-1a over a text's UTF-16 units, one unit at a time (not byte by byte), going on from `h`.
inline std::uint32_t fnv1a_32(std::wstring_view text, std::uint32_t h = fnv1a_32_basis) {
    for (wchar_t c : text) h = (h ^ static_cast<std::uint16_t>(c)) * 0x01000193u;
    return h;
}

inline std::uint64_t fnv1a_64(std::wstring_view text, std::uint64_t h = fnv1a_64_basis) {
    for (wchar_t c : text) h = (h ^ static_cast<std::uint16_t>(c)) * 0x00000100000001B3ull;
    return h;
}

// FNV-1a over bytes, going on from `h`: a record can be hashed around a field it leaves out.
inline std::uint32_t fnv1a_32(const unsigned char* bytes, std::size_t size, std::uint32_t h = fnv1a_32_basis) {
    for (std::size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * 0x01000193u;
    return h;
}

// Catches a torn or damaged block of any size: a multiply-xorshift over 8-byte words, then the
// tail byte by byte.
inline std::uint64_t block_checksum(const unsigned char* bytes, std::size_t size) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ size;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        h = (h ^ word) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    for (; i < size; ++i) h = (h ^ bytes[i]) * 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

}  // namespace util
