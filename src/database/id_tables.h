// Hash tables keyed by file id, laid out flat: open addressing with linear probing in one
// array; the maps' paths in one store that all of them share, each folder's text once. A
// store of 100,000 tagged files holds hundreds of thousands of entries; a node-based table
// pays one or two heap blocks for each of them, and the host's heap makes that the largest
// cost of a load.
//
// The id 0 never names a file, so it marks an empty slot.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace items {

typedef std::uint32_t file_id_t;

// The file id of a path: h = h * 33 + c over its UTF-16 units from h = 0, modulo 2^32.
// No case folding: two spellings of one file are two ids. 0 never names a file. `from`
// continues the hash of what comes before `path`.
file_id_t file_id(std::wstring_view path, file_id_t from = 0);

// A path as a map keeps it: its folder (up to and with its last backslash) and its name apart,
// so that the files of one folder share one copy of the folder's path.
struct stored_path {
    std::wstring_view folder;
    std::wstring_view name;

    bool empty() const { return folder.empty() && name.empty(); }
    std::size_t size() const { return folder.size() + name.size(); }
    wchar_t operator[](std::size_t i) const { return i < folder.size() ? folder[i] : name[i - folder.size()]; }
    // The path from its unit `depth` on.
    stored_path from(std::size_t depth) const {
        if (depth <= folder.size()) return stored_path{folder.substr(depth), name};
        return stored_path{std::wstring_view(), name.substr(depth - folder.size())};
    }
    std::wstring str() const;
    // The whole path, written into `scratch`.
    std::wstring_view in(std::wstring& scratch) const;
    bool operator==(std::wstring_view path) const;
    bool operator!=(std::wstring_view path) const { return !(*this == path); }
    bool operator==(const stored_path& other) const;
    // Ordinal order of the whole paths, as std::wstring::compare.
    int compare(const stored_path& other) const;
};
file_id_t file_id(const stored_path& path);

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
    // Asks for the slot where `key`'s ids start, ahead of a lookup.
    void prefetch(std::uint32_t key) const;

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

// The paths of every map of one store, each kept once: a file tagged under several roots is one
// entry, and the files of a folder share that folder's text. An entry lives while some map
// holds it.
class path_store {
public:
    typedef std::uint32_t ref;

    // The entry of `path`, made when new, held once more. `likely` is what file_id(path)
    // probably is (a map's id for the path mostly is): a path held already is then found
    // without hashing it.
    ref hold(std::wstring_view path, file_id_t likely);
    // `settle_now` false: one of many releases, with settle() after the last, so that letting a
    // whole map go compacts the text once rather than again and again as it empties.
    void release(ref entry, bool settle_now = true);
    void settle();
    // For a table of distinct paths read back whole (the snapshot's): a new entry held once,
    // found under `key` from then on. A path already held under that key becomes a second
    // entry of the same text, which costs memory only: a lookup answers with either.
    ref add(std::uint32_t folder, std::wstring_view name, file_id_t key);
    // Room for `entries` more entries with `name_units` units of names in all.
    void reserve(std::size_t entries, std::size_t name_units);
    void hold(ref entry) { ++entries_[entry].holders; }
    // The index of the folder of that text, made when new.
    std::uint32_t folder(std::wstring_view text) { return folder_of(file_id(text), text); }
    std::wstring_view folder_text(std::uint32_t folder) const {
        const folder_data& f = folders_[folder];
        return std::wstring_view(folder_units_.data() + f.offset, f.length);
    }
    std::wstring_view name(ref entry) const {
        const entry_data& e = entries_[entry];
        return std::wstring_view(names_.data() + e.name + 1, static_cast<std::uint16_t>(names_[e.name]));
    }
    file_id_t key(ref entry) const { return entries_[entry].key; }
    // Entries and folders are numbered below these, the free among them too.
    std::size_t entry_count() const { return entries_.size(); }
    stored_path at(ref entry) const { return stored_path{folder_text(entries_[entry].folder), name(entry)}; }
    void prefetch(ref entry) const;
    // Asks for the index slot that hold(path, likely) will look in.
    void prefetch_key(file_id_t likely) const { by_path_.prefetch(likely); }
    std::uint32_t folder_index(ref entry) const { return entries_[entry].folder; }
    std::size_t folder_count() const { return folders_.size(); }
    // file_id of the entry's path, from its folder's, which the store keeps.
    file_id_t hash(ref entry) const;
    // hash() of every entry, by entry (0 for a free one), in one pass in the entries' order:
    // for indexing many maps at once, which hold the same paths and in another order.
    std::vector<file_id_t> entry_hashes() const;
    std::size_t size() const { return live_; }

private:
    struct entry_data {
        std::uint32_t folder;
        std::uint32_t name;     // in names_: the name's length, then its units
        std::uint32_t holders;  // 0: a free entry
        file_id_t key;          // its key in by_path_
    };
    struct folder_data {
        std::uint32_t offset;
        std::uint32_t length;
        file_id_t key;  // file_id of the folder
    };
    bool is(ref entry, std::wstring_view folder, std::wstring_view name) const;
    // The entry + 1 of the path under `key`, or 0.
    ref find(file_id_t key, std::wstring_view folder, std::wstring_view name) const;
    std::uint32_t folder_of(file_id_t key, std::wstring_view folder);
    // Drops the names and folders no entry uses any more, when they are most of the text.
    void compact();

    std::vector<entry_data> entries_;
    std::vector<ref> free_;
    std::vector<wchar_t> names_;
    std::vector<folder_data> folders_;
    std::vector<wchar_t> folder_units_;
    std::uint32_t last_folder_ = 0;  // the folder last held into, + 1: a map's next path is mostly in it
    std::size_t cursor_ = 0;         // after the entry last found by hold()
    keyed_ids by_path_;    // the `likely` the path was first held with -> entry + 1
    keyed_ids by_folder_;  // file_id of the folder -> folder + 1
    std::size_t live_ = 0;
    std::size_t dead_units_ = 0;  // names_ units of free entries
};

// File id -> path, for one root's map; the paths themselves live in a path_store that the
// maps of one store share.
class path_map {
public:
    // With a store of its own.
    path_map();
    explicit path_map(std::shared_ptr<path_store> paths);
    ~path_map();
    path_map(path_map&& other) noexcept;
    path_map& operator=(path_map&& other) noexcept;
    path_map(const path_map&) = delete;
    path_map& operator=(const path_map&) = delete;

    // The path of `id`, or an empty one. Valid until a map of the store next changes.
    stored_path find(file_id_t id) const;
    bool contains(file_id_t id) const;
    // Asks the processor for the slot of `id`, and then for its path, ahead of a lookup: the
    // lookups of a bulk request miss the cache one after another otherwise.
    void prefetch_slot(file_id_t id) const;
    void prefetch_path(file_id_t id) const;
    // Adds id -> path unless the id is present; true when added.
    bool insert(file_id_t id, std::wstring_view path);
    // Adds or replaces.
    void set(file_id_t id, std::wstring_view path);
    // The same with an entry of the store, held once more.
    void set(file_id_t id, path_store::ref entry);
    bool erase(file_id_t id);
    void clear();
    void reserve(std::size_t count);
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::shared_ptr<path_store>& paths() const { return paths_; }

    // Calls f(id, path) for every entry, in table order.
    template <typename F>
    void for_each(F f) const {
        for (const slot& s : slots_) {
            if (s.id) f(s.id, paths_->at(s.path));
        }
    }
    // The same, folder by folder in the order the store made its folders: a map written so is
    // read back into the store in the order its entries lie in memory, where table order sends
    // every record of a load to a cache miss of its own.
    template <typename F>
    void for_each_by_folder(F f) const {
        for (const slot& s : by_folder()) f(s.id, paths_->at(s.path));
    }
    // Calls f(id, entry) for every entry, in table order.
    template <typename F>
    void for_each_entry(F f) const {
        for (const slot& s : slots_) {
            if (s.id) f(s.id, s.path);
        }
    }
    // The same with file_id(path), hashing only the path's name.
    template <typename F>
    void for_each_hashed(F f) const {
        for (const slot& s : slots_) {
            if (s.id) f(s.id, paths_->at(s.path), paths_->hash(s.path));
        }
    }

private:
    struct slot {
        file_id_t id;
        path_store::ref path;
    };
    std::size_t slot_of(file_id_t id) const;
    void rehash(std::size_t capacity);
    std::vector<slot> by_folder() const;
    // Sets `id` to an entry held for it already.
    void place(file_id_t id, path_store::ref held);

    std::vector<slot> slots_;
    std::size_t size_ = 0;
    std::shared_ptr<path_store> paths_;
};

}  // namespace items
