// Hash tables keyed by file id, laid out flat: open addressing with linear probing in one
// array, and, for paths, one pool of characters per table. A store of 100,000 tagged files
// holds hundreds of thousands of entries; a node-based table pays one or two heap blocks for
// each of them, and the host's heap makes that the largest cost of a load.
//
// The id 0 never names a file, so it marks an empty slot.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace items {

typedef std::uint32_t file_id_t;

class id_set {
public:
    bool contains(file_id_t id) const;
    // False when the id was present already (or is 0).
    bool insert(file_id_t id);
    bool erase(file_id_t id);
    void clear();
    void reserve(std::size_t count);
    std::size_t size() const { return size_; }

private:
    std::size_t slot_of(file_id_t id) const;
    void rehash(std::size_t capacity);

    std::vector<file_id_t> slots_;
    std::size_t size_ = 0;
};

class path_map {
public:
    // The path of `id`, or an empty view. Valid until the map next changes.
    std::wstring_view find(file_id_t id) const;
    bool contains(file_id_t id) const;
    // Adds id -> path unless the id is present; true when added.
    bool insert(file_id_t id, std::wstring_view path);
    // Adds or replaces.
    void set(file_id_t id, std::wstring_view path);
    bool erase(file_id_t id);
    void clear();
    void reserve(std::size_t count, std::size_t characters);
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Takes `units` as the character pool (a map file read whole), for entries then made with
    // set_in_pool: a load keeps each path where the file put it instead of copying it.
    // Only for an empty map.
    void adopt_pool(std::vector<wchar_t>&& units);
    const std::vector<wchar_t>& pool() const { return pool_; }
    // Adds or replaces id -> the `length` characters at `offset` of the pool.
    void set_in_pool(file_id_t id, std::size_t offset, std::size_t length);
    // Drops the pool characters no entry uses when they are most of it.
    void compact_if_sparse();

    // Calls f(id, path) for every entry, in table order.
    template <typename F>
    void for_each(F f) const {
        for (const slot& s : slots_) {
            if (s.id) f(s.id, std::wstring_view(pool_.data() + s.offset, s.length));
        }
    }

private:
    struct slot {
        file_id_t id;
        std::uint32_t offset;
        std::uint32_t length;
    };
    std::size_t slot_of(file_id_t id) const;
    void rehash(std::size_t capacity);
    // The slot of `id`, made when missing; a path it held counts as dead.
    slot& place(file_id_t id);
    void store(slot& s, std::wstring_view path);
    void compact();

    std::vector<slot> slots_;
    std::vector<wchar_t> pool_;
    std::size_t size_ = 0;
    std::size_t dead_characters_ = 0;  // pool space of replaced and erased paths
};

}  // namespace items
