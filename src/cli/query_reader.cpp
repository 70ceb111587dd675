#include "cli/query_reader.h"

#include "database/store_io.h"
#include "database/store_lock.h"
#include "util/file_names.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace query_reader {

namespace {

// Thrown where the store is in a state that the engine's load repairs.
struct declined {};

struct listed {
    std::wstring name;
    bool folder;
};

// The entries of `folder` but links (the load skips them too). Two spellings of one name are
// folded by the load, on disk: declined.
std::vector<listed> list_folder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    util::unique_find find(items::store::find_first(folder + L"\\*", data));
    if (!find) throw declined();
    std::vector<listed> entries;
    std::vector<std::pair<std::size_t, std::size_t> > hashed;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || util::is_link(data.dwFileAttributes)) continue;
        hashed.emplace_back(util::name_hash(name), entries.size());
        entries.push_back(listed{name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (::FindNextFileW(find.get(), &data));
    std::sort(hashed.begin(), hashed.end());
    for (std::size_t i = 1; i < hashed.size(); ++i) {
        if (hashed[i].first == hashed[i - 1].first &&
            util::same_name(entries[hashed[i].second].name, entries[hashed[i - 1].second].name)) {
            throw declined();
        }
    }
    return entries;
}

const listed* find_entry(const std::vector<listed>& entries, const std::wstring& name) {
    for (const listed& entry : entries) {
        if (util::same_name(entry.name, name)) return &entry;
    }
    return nullptr;
}

// Where one wanted id's path lies in its root's map: the last record of the id wins.
struct record {
    items::file_id_t id = 0;
    std::uint32_t offset = 0;  // in the root's pool of paths
    std::uint16_t length = 0;  // 0: the map holds no record of the id
};

// A radix sort: the ids of a large tag are hashes, in no order, and a comparison sort of
// them cost as much as the rest of reading them.
void sort_unique(std::vector<items::file_id_t>& ids) {
    if (ids.size() < 1024) {
        std::sort(ids.begin(), ids.end());
    } else {
        std::vector<items::file_id_t> sorted(ids.size());
        for (unsigned shift = 0; shift < 32; shift += 11) {
            std::vector<std::size_t> start(2049, 0);
            for (items::file_id_t id : ids) ++start[(id >> shift & 2047) + 1];
            for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
            for (items::file_id_t id : ids) sorted[start[id >> shift & 2047]++] = id;
            ids.swap(sorted);
        }
    }
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

}  // namespace

// One root that the query names, as far as the query needs it.
struct answer::root {
    std::wstring name;
    std::wstring folder;
    std::wstring map_file;
    std::map<std::wstring, std::vector<listed> > listings;        // by folder path
    std::map<std::wstring, std::vector<items::file_id_t> > tags;  // by file path
    std::unique_ptr<wchar_t[]> pool;  // the paths of the wanted ids' records
    std::vector<record> index;  // open addressing on the wanted ids
    unsigned index_bits = 4;
    bool used = false;  // a name of the query leads into it

    const std::vector<listed>& listing(const std::wstring& path) {
        auto found = listings.find(path);
        if (found == listings.end()) found = listings.emplace(path, list_folder(path)).first;
        return found->second;
    }

    const std::vector<items::file_id_t>& tag_ids(const std::wstring& path) {
        auto found = tags.find(path);
        if (found != tags.end()) return found->second;
        std::vector<unsigned char> bytes;
        std::vector<items::file_id_t> ids;
        // A torn append is rewritten by the load.
        if (!items::store::read_file(path, bytes) || !items::store::decode_ids(bytes, ids)) throw declined();
        return tags.emplace(path, std::move(ids)).first->second;
    }

    // The tag files at and below `path`: what a load makes nodes of. A folder without one
    // below it is no scope.
    bool gather(const std::wstring& path, bool folder, std::vector<std::wstring>& files) {
        if (!folder) {
            files.push_back(path);
            return true;
        }
        bool any = false;
        for (const listed& entry : listing(path)) any = gather(path + L'\\' + entry.name, entry.folder, files) || any;
        return any;
    }

    record* slot(items::file_id_t id) {
        const std::size_t mask = index.size() - 1;
        // The product's high bits: an id's low bits follow the last units of its path.
        const std::uint32_t mixed = static_cast<std::uint32_t>(id * 2654435761u);
        for (std::size_t at = mixed >> (32 - index_bits);; at = (at + 1) & mask) {
            if (index[at].id == id || index[at].id == 0) return &index[at];
        }
    }
    const record* find(items::file_id_t id) const { return const_cast<root*>(this)->slot(id); }

    // Indexes the map's records of `wanted` ids: those of every root's tags, since the first
    // root whose map knows an id gives its path. The map is read a piece at a time and only
    // the paths of those ids are kept: the answer is written after the store's lock is let go.
    void read_map(const std::vector<std::unique_ptr<root> >& roots) {
        std::size_t wanted = 0;
        for (const std::unique_ptr<root>& r : roots) {
            for (const auto& tag : r->tags) wanted += tag.second.size();
        }
        std::size_t capacity = 16;
        for (index_bits = 4; capacity < wanted * 2; ++index_bits) capacity *= 2;
        index.assign(capacity, record());
        for (const std::unique_ptr<root>& r : roots) {
            for (const auto& tag : r->tags) {
                for (items::file_id_t id : tag.second) {
                    if (id) slot(id)->id = id;
                }
            }
        }
        if (map_file.empty()) throw declined();
        util::unique_file file(::CreateFileW(map_file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER size;
        if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x7fffffff) throw declined();
        // As large as every path of the map; only the pages the kept paths fill are touched.
        pool.reset(new wchar_t[static_cast<std::size_t>(size.QuadPart) / 2 + 1]);
        std::size_t pooled = 0;
        const std::size_t piece = 1 << 20;
        std::vector<unsigned char> bytes(piece + 6 + items::max_stored_path * 2);
        std::size_t held = 0;
        for (;;) {
            DWORD got = 0;
            if (!::ReadFile(file.get(), bytes.data() + held, static_cast<DWORD>(piece), &got, nullptr)) throw declined();
            if (got == 0) break;
            held += got;
            std::size_t at = 0;
            while (held - at >= 6) {
                items::file_id_t id;
                std::uint16_t length;
                std::memcpy(&id, bytes.data() + at, 4);
                std::memcpy(&length, bytes.data() + at + 4, 2);
                // A damaged record is rewritten by the load.
                if (length > items::max_stored_path) throw declined();
                if (held - at - 6 < std::size_t(length) * 2) break;
                // A void record only asks for a compaction, and names no file.
                record* r = length && id ? slot(id) : nullptr;
                if (r && r->id == id) {
                    r->offset = static_cast<std::uint32_t>(pooled);
                    r->length = length;
                    std::memcpy(pool.get() + pooled, bytes.data() + at + 6, std::size_t(length) * 2);
                    pooled += length;
                }
                at += 6 + std::size_t(length) * 2;
            }
            std::memmove(bytes.data(), bytes.data() + at, held - at);
            held -= at;
        }
        // A torn tail too.
        if (held != 0) throw declined();
    }

    std::wstring_view path_of(const record& r) const { return std::wstring_view(pool.get() + r.offset, r.length); }
};

answer::answer() {}
answer::~answer() {}

namespace {

// Where a name of the query leads: the tag files a load would hold at or below it, of one root.
struct resolved {
    answer::root* owner = nullptr;
    std::vector<std::wstring> files;
    bool is_tag = false;
};

}  // namespace

outcome answer::read(const std::wstring& data_folder, const items::tag_query& query) {
    items::store_lock lock;
    try {
        lock.set_folder(data_folder);
        if (lock.acquire(items::background_wait_ms) == items::store_lock::busy) return outcome::busy;
    } catch (const items::store_error&) {
        return outcome::busy;
    }
    struct release {
        items::store_lock& lock;
        ~release() { lock.release(); }
    } held{lock};
    try {
        const std::wstring top = data_folder.substr(0, data_folder.size() - 1);
        const std::vector<listed> entries = list_folder(top);
        // A journal a crash may have left is applied by the engine's load before it reads.
        WIN32_FILE_ATTRIBUTE_DATA journal;
        if (::GetFileAttributesExW((data_folder + items::store::journal_file_name).c_str(), GetFileExInfoStandard,
                                   &journal) &&
            (journal.nFileSizeLow || journal.nFileSizeHigh)) {
            throw declined();
        }
        std::map<std::vector<std::wstring>, resolved> names;
        for (const std::vector<std::wstring>& chain : query.names()) {
            resolved& where = names[chain];
            if (where.owner) continue;
            const listed* folder = find_entry(entries, chain.front());
            if (!folder || !folder->folder) continue;
            root* owner = nullptr;
            for (const std::unique_ptr<root>& known : roots_) {
                if (known->name == folder->name) owner = known.get();
            }
            if (!owner) {
                roots_.emplace_back(new root);
                owner = roots_.back().get();
                owner->name = folder->name;
                owner->folder = data_folder + folder->name;
                for (const listed& file : entries) {
                    if (file.folder || !util::same_name(file.name, folder->name + L".dat")) continue;
                    owner->map_file = data_folder + file.name;
                }
            }
            std::wstring path = owner->folder;
            bool is_folder = true;
            bool found = true;
            for (std::size_t i = 1; found && i < chain.size(); ++i) {
                const listed* next = is_folder ? find_entry(owner->listing(path), chain[i]) : nullptr;
                found = next != nullptr;
                if (found) {
                    path += L'\\' + next->name;
                    is_folder = next->folder;
                }
            }
            if (!found || !owner->gather(path, is_folder, where.files)) continue;
            where.owner = owner;
            where.is_tag = !is_folder;
            owner->used = true;
            for (const std::wstring& file : where.files) owner->tag_ids(file);
        }
        for (const std::unique_ptr<root>& r : roots_) {
            if (r->used) r->read_map(roots_);
        }

        // The roots in the order their names are first found: an id two roots hold (stores
        // written before ids were unique) takes its path from the first.
        std::vector<const root*> order;
        const std::vector<items::file_id_t> ids = query.ids([&](const std::vector<std::wstring>& chain) {
            std::vector<items::file_id_t> out;
            const resolved& where = names[chain];
            if (!where.owner) return out;
            for (const std::wstring& file : where.files) {
                for (items::file_id_t id : where.owner->tags[file]) {
                    if (id && where.owner->find(id)->length) out.push_back(id);
                }
            }
            // A tag all of whose ids the map lacks is dropped by the load: no name leads to it.
            if (out.empty() && where.is_tag) return out;
            if (std::find(order.begin(), order.end(), where.owner) == order.end()) order.push_back(where.owner);
            sort_unique(out);
            return out;
        });

        std::vector<path_entry> entries_found;
        entries_found.reserve(ids.size());
        for (items::file_id_t id : ids) {
            for (const root* r : order) {
                const record* at = r->find(id);
                if (!at->length) continue;
                const std::wstring_view path = r->path_of(*at);
                entries_found.push_back(path_entry{0, path.data(), static_cast<std::uint32_t>(path.size()), id});
                break;
            }
        }
        sort_by_path(entries_found);
        entries_.swap(entries_found);
        return outcome::answered;
    } catch (const declined&) {
        roots_.clear();
        entries_.clear();
        return outcome::declined;
    }
}

namespace {

std::uint64_t key_at(const path_entry& entry, std::size_t depth) {
    std::uint64_t key = 0;
    for (std::size_t i = depth; i < depth + 4; ++i) key = key << 16 | (i < entry.length ? entry.path[i] : 0u);
    return key;
}

bool less_from(const path_entry& a, const path_entry& b, std::size_t depth) {
    const int order = std::wstring_view(a.path, a.length).substr(depth).compare(std::wstring_view(b.path, b.length).substr(depth));
    return order < 0 || (order == 0 && a.id < b.id);
}

// Where the paths of entries [begin, end) first differ, or the end of the shortest, from
// `depth` on: the units before it all of them share.
std::size_t shared_to(const std::vector<path_entry>& entries, std::size_t begin, std::size_t end, std::size_t depth) {
    const path_entry& first = entries[begin];
    std::size_t common = first.length;
    for (std::size_t k = begin + 1; k < end && common > depth; ++k) {
        const path_entry& other = entries[k];
        const std::size_t limit = std::min<std::size_t>(common, other.length);
        std::size_t at = depth;
        while (at < limit && first.path[at] == other.path[at]) ++at;
        common = at;
    }
    return std::max(common, depth);
}

}  // namespace

// A multikey quicksort whose entries carry the next four units of their path: a partition
// compares integers in the entries' own array, and a path is read again only once per four
// units of the prefix its group shares, not once per unit. A group skips what all its paths
// share (the drive and the user's folder, a common parent) in one pass.
void sort_by_path(std::vector<path_entry>& entries) {
    struct range {
        std::size_t begin, end, depth;
    };
    const std::size_t start = entries.empty() ? 0 : shared_to(entries, 0, entries.size(), 0);
    for (path_entry& entry : entries) entry.key = key_at(entry, start);
    std::vector<range> pending;
    if (entries.size() > 1) pending.push_back(range{0, entries.size(), start});
    const auto by_path = [](std::size_t depth) {
        return [depth](const path_entry& a, const path_entry& b) { return less_from(a, b, depth); };
    };
    while (!pending.empty()) {
        const range r = pending.back();
        pending.pop_back();
        const auto first = entries.begin() + static_cast<std::ptrdiff_t>(r.begin);
        const auto last = entries.begin() + static_cast<std::ptrdiff_t>(r.end);
        if (r.end - r.begin < 12) {
            std::sort(first, last, by_path(r.depth));
            continue;
        }
        const std::uint64_t a = first->key, b = entries[r.begin + (r.end - r.begin) / 2].key, c = (last - 1)->key;
        const std::uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        std::size_t below = r.begin, i = r.begin, above = r.end;
        while (i < above) {
            if (entries[i].key < pivot) {
                std::swap(entries[below++], entries[i++]);
            } else if (entries[i].key > pivot) {
                std::swap(entries[i], entries[--above]);
            } else {
                ++i;
            }
        }
        if (below - r.begin > 1) pending.push_back(range{r.begin, below, r.depth});
        if (r.end - above > 1) pending.push_back(range{above, r.end, r.depth});
        if (above - below < 2) continue;
        // Paths that end within these four units are a prefix of every other path here (or
        // the same path): they come first, in full order; the others go on four units deeper.
        const std::size_t next = r.depth + 4;
        const auto ends = std::partition(entries.begin() + static_cast<std::ptrdiff_t>(below),
                                         entries.begin() + static_cast<std::ptrdiff_t>(above),
                                         [next](const path_entry& e) { return e.length <= next; });
        std::sort(entries.begin() + static_cast<std::ptrdiff_t>(below), ends, by_path(r.depth));
        const std::size_t longer = static_cast<std::size_t>(ends - entries.begin());
        if (above - longer < 2) continue;
        const std::size_t deeper = shared_to(entries, longer, above, next);
        for (std::size_t k = longer; k < above; ++k) entries[k].key = key_at(entries[k], deeper);
        pending.push_back(range{longer, above, deeper});
    }
}

}  // namespace query_reader
