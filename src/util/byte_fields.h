// Fixed-size fields of the store's binary files. The formats are little-endian, the byte order
// of every machine Windows runs on, so a field is copied as it lies in memory; with memcpy,
// since a field inside a byte buffer need not be aligned for its type.
#pragma once

#include <cstring>
#include <type_traits>
#include <vector>

namespace util {

template <typename T>
T take(const unsigned char* at) {
    static_assert(std::is_trivially_copyable<T>::value, "a field is plain bytes");
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
void put(unsigned char* at, T value) {
    static_assert(std::is_trivially_copyable<T>::value, "a field is plain bytes");
    std::memcpy(at, &value, sizeof value);
}

// Adds the field at the end of `out`.
template <typename T>
void append(std::vector<unsigned char>& out, T value) {
    const std::size_t at = out.size();
    out.resize(at + sizeof value);
    put(out.data() + at, value);
}

}  // namespace util
