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

// Room for `size` elements, growing at least twofold as push_back would: a bulk request
// reserves once, and small requests one after another do not copy the whole vector each time.
template <typename T>
void reserve_growing(std::vector<T>& v, std::size_t size) {
    if (size > v.capacity()) v.reserve(size > v.capacity() * 2 ? size : v.capacity() * 2);
}

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

// Ids under a 32-bit key that several ids may share (a hash of their path): the indexes a root
// builds over every path of its map at the first lookup that needs one, and keeps up to date
// with each entry after it. A node-based multimap paid a heap block per path for them.
class keyed_ids {
public:
    void insert(std::uint32_t key, file_id_t id);
    bool erase(std::uint32_t key, file_id_t id);
    // Calls f(id) for every id under `key`.
    template <typename F>
    void for_key(std::uint32_t key, F f) const {
        if (slots_.empty()) return;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(key, mask); slots_[i].id != 0; i = (i + 1) & mask) {
            if (slots_[i].key == key) f(slots_[i].id);
        }
    }
    void clear();
    void reserve(std::size_t count);
    bool empty() const { return size_ == 0; }

private:
    struct slot {
        std::uint32_t key;
        file_id_t id;  // 0: a free slot
    };
    static std::size_t home(std::uint32_t key, std::size_t mask);
    void rehash(std::size_t capacity);

    std::vector<slot> slots_;
    std::size_t size_ = 0;
};

// File id -> a 64-bit number (the identity pass's marks): one registration per new file of a
// bulk request, where a node-based table paid a heap block each.
class id_numbers {
public:
    // The number of `id`, or 0 when it has none (0 is never stored).
    std::uint64_t find(file_id_t id) const;
    void set(file_id_t id, std::uint64_t number);
    bool erase(file_id_t id);
    void clear();
    bool empty() const { return size_ == 0; }

private:
    struct slot {
        file_id_t id;
        std::uint64_t number;
    };
    std::size_t slot_of(file_id_t id) const;
    void rehash(std::size_t capacity);

    std::vector<slot> slots_;
    std::size_t size_ = 0;
};

class path_map {
public:
    // The path of `id`, or an empty view. Valid until the map next changes.
    std::wstring_view find(file_id_t id) const;
    bool contains(file_id_t id) const;
    // Asks the processor for the slot of `id`, and then for its path, ahead of a lookup: the
    // lookups of a bulk request miss the cache one after another otherwise.
    void prefetch_slot(file_id_t id) const;
    void prefetch_path(file_id_t id) const;
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
