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

// At most three quarters full: linear probing stays a probe or two for the lookups that find
// their id, and the tables of a large store (a slot for each file of each root) take a third
// less than at half.
std::size_t capacity_for(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity * 3 < count * 4) capacity *= 2;
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

void keyed_ids::prefetch(std::uint32_t key) const {
    if (!slots_.empty()) QUIBRIX_PREFETCH(&slots_[home(key, slots_.size() - 1)]);
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
    if (capacity_for(size_ + 1) > slots_.size()) rehash(capacity_for(size_ + 1));
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
    if (capacity_for(size_ + 1) > slots_.size()) rehash(capacity_for(size_ + 1));
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
    if (capacity_for(size_ + 1) > slots_.size()) rehash(capacity_for(size_ + 1));
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

// ---- stored_path

file_id_t file_id(std::wstring_view path, file_id_t from) {
    // Four units per step: h * 33^4 plus the four units' own terms, the same sum modulo 2^32,
    // without a multiplication chained through every unit (each path is hashed at every lookup).
    const std::size_t size = path.size();
    const wchar_t* const units = path.data();
    file_id_t h = from;
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        h = h * 1185921u + static_cast<std::uint16_t>(units[i]) * 35937u +
            static_cast<std::uint16_t>(units[i + 1]) * 1089u + static_cast<std::uint16_t>(units[i + 2]) * 33u +
            static_cast<std::uint16_t>(units[i + 3]);
    }
    for (; i < size; ++i) h = h * 33 + static_cast<std::uint16_t>(units[i]);
    return h;
}


file_id_t file_id(const stored_path& path) {
    return file_id(path.name, file_id(path.folder));
}

std::wstring stored_path::str() const {
    std::wstring whole;
    whole.reserve(size());
    whole.append(folder).append(name);
    return whole;
}

std::wstring_view stored_path::in(std::wstring& scratch) const {
    // Always a copy, even of a path without a folder: the caller may change the maps while it
    // holds the view.
    scratch.assign(folder).append(name);
    return scratch;
}

bool stored_path::operator==(std::wstring_view path) const {
    return path.size() == size() && path.substr(0, folder.size()) == folder && path.substr(folder.size()) == name;
}

bool stored_path::operator==(const stored_path& other) const {
    return size() == other.size() && compare(other) == 0;
}

int stored_path::compare(const stored_path& other) const {
    // Walks both as two runs each, comparing the longest stretch both have in one run.
    std::wstring_view a = folder, a_next = name, b = other.folder, b_next = other.name;
    for (;;) {
        if (a.empty() && !a_next.empty()) a.swap(a_next);
        if (b.empty() && !b_next.empty()) b.swap(b_next);
        if (a.empty() || b.empty()) return a.empty() ? (b.empty() ? 0 : -1) : 1;
        const std::size_t n = std::min(a.size(), b.size());
        const int c = a.substr(0, n).compare(b.substr(0, n));
        if (c != 0) return c;
        a.remove_prefix(n);
        b.remove_prefix(n);
    }
}

// ---- path_store

namespace {

// Where a path's folder ends: after its last backslash. A name longer than a name length can
// say (never on a real disk) keeps its head with the folder.
std::size_t folder_length(std::wstring_view path) {
    const std::size_t slash = path.rfind(L'\\');
    std::size_t length = slash == std::wstring_view::npos ? 0 : slash + 1;
    if (path.size() - length > 0xFFFF) length = path.size() - 0xFFFF;
    return length;
}

}  // namespace

bool path_store::is(ref entry, std::wstring_view folder, std::wstring_view name) const {
    const stored_path known = at(entry);
    return known.name == name && known.folder == folder;
}

path_store::ref path_store::find(file_id_t key, std::wstring_view folder, std::wstring_view name) const {
    ref found = 0;
    by_path_.for_key(key, [&](file_id_t entry) {
        if (!found && is(entry - 1, folder, name)) found = entry;
    });
    return found;
}

std::uint32_t path_store::folder_of(file_id_t key, std::wstring_view folder) {
    if (last_folder_ && folder_text(last_folder_ - 1) == folder) return last_folder_ - 1;
    std::uint32_t found = 0;
    by_folder_.for_key(key, [&](file_id_t index) {
        if (!found && folder_text(index - 1) == folder) found = index;
    });
    if (found) {
        last_folder_ = found;
        return found - 1;
    }
    folders_.push_back(folder_data{static_cast<std::uint32_t>(folder_units_.size()),
                                   static_cast<std::uint32_t>(folder.size()), key});
    folder_units_.insert(folder_units_.end(), folder.begin(), folder.end());
    by_folder_.insert(key, static_cast<file_id_t>(folders_.size()));
    last_folder_ = static_cast<std::uint32_t>(folders_.size());
    return last_folder_ - 1;
}

path_store::ref path_store::hold(std::wstring_view path, file_id_t likely) {
    const std::size_t split = folder_length(path);
    const std::wstring_view folder = path.substr(0, split), name = path.substr(split);
    // Maps are written in the order of this store's entries (path_map::for_each_by_folder), so
    // a load meets the paths that another root holds already in the order they were made: a
    // short walk forwards from the last one found reads memory in order, where the index sends
    // each lookup to a cache miss. The key and the text decide, as in the index: any entry
    // they find is this path.
    ref found = 0;
    const std::size_t end = std::min<std::size_t>(entries_.size(), cursor_ + 8);
    for (std::size_t i = cursor_; i < end; ++i) {
        const entry_data& e = entries_[i];
        if (e.key == likely && e.holders && is(static_cast<ref>(i), folder, name)) {
            found = static_cast<ref>(i + 1);
            break;
        }
    }
    if (!found) found = find(likely, folder, name);
    if (found) {
        cursor_ = found;
        ++entries_[found - 1].holders;
        return found - 1;
    }
    // The path is keyed by `likely`, not by its own hash: a map's id is the hash of its path but
    // for moved files, which every map of theirs holds under the same id. Only sharing depends
    // on the key, never what a lookup returns.
    return add(folder_of(file_id(folder), folder), name, likely);
}

path_store::ref path_store::add(std::uint32_t folder, std::wstring_view name, file_id_t key) {
    ref entry;
    if (free_.empty()) {
        entry = static_cast<ref>(entries_.size());
        entries_.push_back(entry_data());
    } else {
        entry = free_.back();
        free_.pop_back();
    }
    entries_[entry] = entry_data{folder, static_cast<std::uint32_t>(names_.size()), 1, key};
    names_.push_back(static_cast<wchar_t>(name.size()));
    names_.insert(names_.end(), name.begin(), name.end());
    by_path_.insert(key, entry + 1);
    ++live_;
    return entry;
}

void path_store::reserve(std::size_t entries, std::size_t name_units) {
    entries_.reserve(entries_.size() + entries);
    names_.reserve(names_.size() + name_units);
    by_path_.reserve(live_ + entries);
}

void path_store::release(ref entry, bool settle_now) {
    entry_data& e = entries_[entry];
    if (--e.holders != 0) return;
    by_path_.erase(e.key, entry + 1);
    dead_units_ += 1u + static_cast<std::uint16_t>(names_[e.name]);
    free_.push_back(entry);
    --live_;
    if (settle_now) settle();
}

void path_store::settle() {
    if (live_ == 0) {
        *this = path_store();
    } else if (dead_units_ > names_.size() / 2 + 4096) {
        compact();
    }
}

void path_store::compact() {
    std::vector<wchar_t> names;
    names.reserve(names_.size() - dead_units_);
    std::vector<std::uint32_t> renumbered(folders_.size(), 0);  // new index + 1
    std::vector<folder_data> folders;
    std::vector<wchar_t> folder_units;
    keyed_ids by_folder;
    for (entry_data& e : entries_) {
        if (!e.holders) continue;
        const std::size_t length = 1u + static_cast<std::uint16_t>(names_[e.name]);
        const std::uint32_t offset = static_cast<std::uint32_t>(names.size());
        names.insert(names.end(), names_.begin() + e.name, names_.begin() + e.name + length);
        e.name = offset;
        std::uint32_t& index = renumbered[e.folder];
        if (!index) {
            const folder_data& f = folders_[e.folder];
            folders.push_back(folder_data{static_cast<std::uint32_t>(folder_units.size()), f.length, f.key});
            folder_units.insert(folder_units.end(), folder_units_.begin() + f.offset,
                                folder_units_.begin() + f.offset + f.length);
            index = static_cast<std::uint32_t>(folders.size());
            by_folder.insert(f.key, index);
        }
        e.folder = index - 1;
    }
    names_.swap(names);
    folders_.swap(folders);
    folder_units_.swap(folder_units);
    by_folder_ = std::move(by_folder);
    last_folder_ = 0;
    dead_units_ = 0;
}

file_id_t path_store::hash(ref entry) const {
    return file_id(name(entry), folders_[entries_[entry].folder].key);
}

std::vector<file_id_t> path_store::entry_hashes() const {
    std::vector<file_id_t> hashes(entries_.size(), 0);
    for (std::size_t entry = 0; entry < entries_.size(); ++entry) {
        if (entries_[entry].holders) hashes[entry] = hash(static_cast<ref>(entry));
    }
    return hashes;
}

void path_store::prefetch(ref entry) const {
    QUIBRIX_PREFETCH(&entries_[entry]);
}

// ---- path_map

path_map::path_map() : paths_(std::make_shared<path_store>()) {}

path_map::path_map(std::shared_ptr<path_store> paths) : paths_(std::move(paths)) {}

path_map::~path_map() {
    clear();
}

path_map::path_map(path_map&& other) noexcept
    : slots_(std::move(other.slots_)), size_(other.size_), paths_(other.paths_) {
    other.slots_.clear();
    other.size_ = 0;
}

path_map& path_map::operator=(path_map&& other) noexcept {
    if (this != &other) {
        clear();
        slots_.swap(other.slots_);
        size_ = other.size_;
        other.size_ = 0;
        paths_ = other.paths_;
    }
    return *this;
}

std::size_t path_map::slot_of(file_id_t id) const {
    return slot_of_id(slots_, id);
}

stored_path path_map::find(file_id_t id) const {
    if (id == 0 || slots_.empty()) return stored_path();
    const slot& s = slots_[slot_of(id)];
    if (s.id != id) return stored_path();
    return paths_->at(s.path);
}

void path_map::prefetch_slot(file_id_t id) const {
    if (!slots_.empty()) QUIBRIX_PREFETCH(&slots_[mix(id) & (slots_.size() - 1)]);
}

void path_map::prefetch_path(file_id_t id) const {
    if (slots_.empty()) return;
    const slot& s = slots_[mix(id) & (slots_.size() - 1)];
    if (s.id == id) paths_->prefetch(s.path);
}

bool path_map::contains(file_id_t id) const {
    return id != 0 && !slots_.empty() && slots_[slot_of(id)].id == id;
}

void path_map::rehash(std::size_t capacity) {
    rehash_by_id(slots_, capacity);
}

bool path_map::insert(file_id_t id, std::wstring_view path) {
    if (id == 0) return false;
    if (capacity_for(size_ + 1) > slots_.size()) rehash(capacity_for(size_ + 1));
    slot& s = slots_[slot_of(id)];
    if (s.id == id) return false;
    s.path = paths_->hold(path, id);
    s.id = id;
    ++size_;
    return true;
}

void path_map::set(file_id_t id, std::wstring_view path) {
    if (id != 0) place(id, paths_->hold(path, id));
}

void path_map::set(file_id_t id, path_store::ref entry) {
    if (id == 0) return;
    paths_->hold(entry);
    place(id, entry);
}

void path_map::place(file_id_t id, path_store::ref held) {
    if (capacity_for(size_ + 1) > slots_.size()) rehash(capacity_for(size_ + 1));
    slot& s = slots_[slot_of(id)];
    // The new entry is held before the old one goes: the same path set again stays where it is.
    if (s.id == id) {
        paths_->release(s.path);
    } else {
        s.id = id;
        ++size_;
    }
    s.path = held;
}

bool path_map::erase(file_id_t id) {
    if (!contains(id)) return false;
    const std::size_t i = slot_of(id);
    paths_->release(slots_[i].path);
    remove_at(slots_, i, [](const slot& s) { return s.id == 0; }, [](const slot& s) { return s.id; });
    --size_;
    return true;
}

void path_map::clear() {
    if (size_) {
        for (const slot& s : slots_) {
            if (s.id) paths_->release(s.path, false);
        }
        paths_->settle();
    }
    std::vector<slot>().swap(slots_);
    size_ = 0;
}

std::vector<path_map::slot> path_map::by_folder() const {
    // A counting sort by folder index: linear, where a comparison sort of a large map would
    // add to every rewrite of it.
    std::vector<std::uint32_t> start(paths_->folder_count() + 1, 0);
    for (const slot& s : slots_) {
        if (s.id) ++start[paths_->folder_index(s.path) + 1];
    }
    for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
    std::vector<slot> ordered(size_);
    for (const slot& s : slots_) {
        if (s.id) ordered[start[paths_->folder_index(s.path)]++] = s;
    }
    // Within a folder in the order of the store's entries, which a load then walks forwards.
    std::size_t from = 0;
    for (std::size_t i = 0; i + 1 < start.size(); ++i) {
        if (start[i] - from > 1) {
            std::sort(ordered.begin() + from, ordered.begin() + start[i],
                      [](const slot& a, const slot& b) { return a.path < b.path; });
        }
        from = start[i];
    }
    return ordered;
}

void path_map::reserve(std::size_t count) {
    // Only the slots: most paths a map takes are in the store already, held by another root
    // or by the map it replaces.
    if (capacity_for(count) > slots_.size()) rehash(capacity_for(count));
}

}  // namespace items
