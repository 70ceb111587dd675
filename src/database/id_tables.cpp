#include "database/id_tables.h"

#include <algorithm>

#if defined(_M_X64) || defined(_M_IX86) || defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define QUIBRIX_PREFETCH(address) _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#else
#define QUIBRIX_PREFETCH(address) static_cast<void>(address)
#endif

namespace items {

namespace {

// File ids are multiplicative hashes whose low bits follow the last characters of the path
// closely; mix them before taking a slot.
inline std::size_t mix(file_id_t id) {
    std::uint32_t x = id;
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

std::size_t capacity_for(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity < count * 2) capacity *= 2;  // at most half full
    return capacity;
}

// Backward-shift deletion for linear probing: moves later entries of the same run into the
// gap, so lookups never need tombstones. `empty` tells a free slot, `key` gives a slot's id.
template <typename Slot, typename Empty, typename Key>
void remove_at(std::vector<Slot>& slots, std::size_t hole, Empty empty, Key key) {
    const std::size_t mask = slots.size() - 1;
    std::size_t next = (hole + 1) & mask;
    while (!empty(slots[next])) {
        const std::size_t home = mix(key(slots[next])) & mask;
        // The entry may fill the hole when its home does not lie cyclically in (hole, next].
        const bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
        if (movable) {
            slots[hole] = slots[next];
            hole = next;
        }
        next = (next + 1) & mask;
    }
    slots[hole] = Slot();
}

// The slot of `id` in a table of slots keyed by their `id` field: its own, or the free one
// where it would go.
template <typename Slot>
std::size_t slot_of_id(const std::vector<Slot>& slots, file_id_t id) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = mix(id) & mask;
    while (slots[i].id != 0 && slots[i].id != id) i = (i + 1) & mask;
    return i;
}

template <typename Slot>
void rehash_by_id(std::vector<Slot>& slots, std::size_t capacity) {
    std::vector<Slot> old;
    old.swap(slots);
    slots.assign(capacity, Slot());
    for (const Slot& s : old) {
        if (s.id) slots[slot_of_id(slots, s.id)] = s;
    }
}

}  // namespace

// ---- keyed_ids

std::size_t keyed_ids::home(std::uint32_t key, std::size_t mask) {
    return mix(key) & mask;
}

void keyed_ids::rehash(std::size_t capacity) {
    std::vector<slot> old;
    old.swap(slots_);
    slots_.assign(capacity, slot());
    const std::size_t mask = capacity - 1;
    for (const slot& s : old) {
        if (!s.id) continue;
        std::size_t i = home(s.key, mask);
        while (slots_[i].id != 0) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

void keyed_ids::insert(std::uint32_t key, file_id_t id) {
    if (id == 0) return;
    if ((size_ + 1) * 2 > slots_.size()) rehash(capacity_for(size_ + 1));
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = home(key, mask);
    while (slots_[i].id != 0) i = (i + 1) & mask;
    slots_[i] = slot{key, id};
    ++size_;
}

bool keyed_ids::erase(std::uint32_t key, file_id_t id) {
    if (id == 0 || slots_.empty()) return false;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(key, mask); slots_[i].id != 0; i = (i + 1) & mask) {
        if (slots_[i].key != key || slots_[i].id != id) continue;
        remove_at(slots_, i, [](const slot& s) { return s.id == 0; }, [](const slot& s) { return s.key; });
        --size_;
        return true;
    }
    return false;
}

void keyed_ids::clear() {
    std::vector<slot>().swap(slots_);
    size_ = 0;
}

void keyed_ids::reserve(std::size_t count) {
    if (capacity_for(count) > slots_.size()) rehash(capacity_for(count));
}

// ---- id_numbers

std::size_t id_numbers::slot_of(file_id_t id) const {
    return slot_of_id(slots_, id);
}

std::uint64_t id_numbers::find(file_id_t id) const {
    if (id == 0 || slots_.empty()) return 0;
    const slot& s = slots_[slot_of(id)];
    return s.id == id ? s.number : 0;
}

void id_numbers::rehash(std::size_t capacity) {
    rehash_by_id(slots_, capacity);
}

void id_numbers::set(file_id_t id, std::uint64_t number) {
    if (id == 0) return;
    if (number == 0) {
        erase(id);
        return;
    }
    if ((size_ + 1) * 2 > slots_.size()) rehash(capacity_for(size_ + 1));
    slot& s = slots_[slot_of(id)];
    if (s.id != id) ++size_;
    s.id = id;
    s.number = number;
}

bool id_numbers::erase(file_id_t id) {
    if (id == 0 || slots_.empty()) return false;
    const std::size_t at = slot_of(id);
    if (slots_[at].id != id) return false;
    remove_at(slots_, at, [](const slot& s) { return s.id == 0; }, [](const slot& s) { return s.id; });
    // The last mark gone: the table's memory goes too (a bulk request made it large).
    if (--size_ == 0) clear();
    return true;
}

void id_numbers::clear() {
    std::vector<slot>().swap(slots_);
    size_ = 0;
}

// ---- id_set

std::size_t id_set::slot_of(file_id_t id) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = mix(id) & mask;
    while (slots_[i] != 0 && slots_[i] != id) i = (i + 1) & mask;
    return i;
}

bool id_set::contains(file_id_t id) const {
    return id != 0 && !slots_.empty() && slots_[slot_of(id)] == id;
}

void id_set::rehash(std::size_t capacity) {
    std::vector<file_id_t> old;
    old.swap(slots_);
    slots_.assign(capacity, 0);
    for (file_id_t id : old) {
        if (id) slots_[slot_of(id)] = id;
    }
}

bool id_set::insert(file_id_t id) {
    if (id == 0) return false;
    if ((size_ + 1) * 2 > slots_.size()) rehash(capacity_for(size_ + 1));
    const std::size_t i = slot_of(id);
    if (slots_[i] == id) return false;
    slots_[i] = id;
    ++size_;
    return true;
}

bool id_set::erase(file_id_t id) {
    if (!contains(id)) return false;
    remove_at(slots_, slot_of(id), [](file_id_t s) { return s == 0; }, [](file_id_t s) { return s; });
    --size_;
    return true;
}

void id_set::clear() {
    slots_.clear();
    size_ = 0;
}

void id_set::reserve(std::size_t count) {
    if (capacity_for(count) > slots_.size()) rehash(capacity_for(count));
}

// ---- path_map

std::size_t path_map::slot_of(file_id_t id) const {
    return slot_of_id(slots_, id);
}

std::wstring_view path_map::find(file_id_t id) const {
    if (id == 0 || slots_.empty()) return std::wstring_view();
    const slot& s = slots_[slot_of(id)];
    if (s.id != id) return std::wstring_view();
    return std::wstring_view(pool_.data() + s.offset, s.length);
}

void path_map::prefetch_slot(file_id_t id) const {
    if (!slots_.empty()) QUIBRIX_PREFETCH(&slots_[mix(id) & (slots_.size() - 1)]);
}

void path_map::prefetch_path(file_id_t id) const {
    if (slots_.empty()) return;
    const slot& s = slots_[mix(id) & (slots_.size() - 1)];
    if (s.id == id) QUIBRIX_PREFETCH(pool_.data() + s.offset);
}

bool path_map::contains(file_id_t id) const {
    return id != 0 && !slots_.empty() && slots_[slot_of(id)].id == id;
}

void path_map::rehash(std::size_t capacity) {
    rehash_by_id(slots_, capacity);
}

void path_map::store(slot& s, std::wstring_view path) {
    s.offset = static_cast<std::uint32_t>(pool_.size());
    s.length = static_cast<std::uint32_t>(path.size());
    pool_.insert(pool_.end(), path.begin(), path.end());
}

bool path_map::insert(file_id_t id, std::wstring_view path) {
    if (id == 0) return false;
    if ((size_ + 1) * 2 > slots_.size()) rehash(capacity_for(size_ + 1));
    slot& s = slots_[slot_of(id)];
    if (s.id == id) return false;
    s.id = id;
    store(s, path);
    ++size_;
    return true;
}

path_map::slot& path_map::place(file_id_t id) {
    if ((size_ + 1) * 2 > slots_.size()) rehash(capacity_for(size_ + 1));
    slot& s = slots_[slot_of(id)];
    if (s.id == id) {
        dead_characters_ += s.length;  // the path it replaces
    } else {
        s.id = id;
        ++size_;
    }
    return s;
}

void path_map::set(file_id_t id, std::wstring_view path) {
    if (id == 0) return;
    store(place(id), path);
    if (dead_characters_ > pool_.size() / 2 + 4096) compact();
}

bool path_map::erase(file_id_t id) {
    if (!contains(id)) return false;
    const std::size_t i = slot_of(id);
    dead_characters_ += slots_[i].length;
    remove_at(slots_, i, [](const slot& s) { return s.id == 0; }, [](const slot& s) { return s.id; });
    --size_;
    if (size_ == 0) {
        pool_.clear();
        dead_characters_ = 0;
    } else if (dead_characters_ > pool_.size() / 2 + 4096) {
        compact();
    }
    return true;
}

void path_map::compact() {
    std::vector<wchar_t> pool;
    pool.reserve(pool_.size() - dead_characters_);
    for (slot& s : slots_) {
        if (!s.id) continue;
        const std::uint32_t offset = static_cast<std::uint32_t>(pool.size());
        pool.insert(pool.end(), pool_.begin() + s.offset, pool_.begin() + s.offset + s.length);
        s.offset = offset;
    }
    pool_.swap(pool);
    dead_characters_ = 0;
}

void path_map::adopt_pool(std::vector<wchar_t>&& units) {
    clear();
    pool_.swap(units);
    dead_characters_ = pool_.size();  // nothing refers to any of it yet
}

void path_map::set_in_pool(file_id_t id, std::size_t offset, std::size_t length) {
    if (id == 0) return;
    slot& s = place(id);
    s.offset = static_cast<std::uint32_t>(offset);
    s.length = static_cast<std::uint32_t>(length);
    dead_characters_ -= length;
}

void path_map::compact_if_sparse() {
    if (dead_characters_ > pool_.size() / 2) compact();
}

void path_map::clear() {
    slots_.clear();
    pool_.clear();
    size_ = 0;
    dead_characters_ = 0;
}

void path_map::reserve(std::size_t count, std::size_t characters) {
    reserve_growing(pool_, characters);
    if (capacity_for(count) > slots_.size()) rehash(capacity_for(count));
}

}  // namespace items
