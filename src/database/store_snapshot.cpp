#include "database/store_snapshot.h"

#include "util/byte_fields.h"
#include "util/hashes.h"

#include <algorithm>
#include <cstring>

namespace items {

namespace {

const char magic[8] = {'Q', 'B', 'X', 'S', 'N', 'A', 'P', '2'};
const std::size_t section_header = 24;
const std::uint32_t kind_folders = 1;
const std::uint32_t kind_paths = 2;
const std::uint32_t kind_map = 3;
const std::uint32_t kind_tags = 4;
const std::uint32_t kind_end = 5;
// Sections are written at about this size, so that neither side holds the snapshot whole; one
// larger than the limit is not read (a damaged size must not make a load allocate at will).
const std::size_t section_target = 256 * 1024;
const std::size_t section_limit = 16 * 1024 * 1024;

std::size_t padded_bytes(std::size_t units) {
    return (units + (units & 1)) * 2;
}

// Walks a section's payload; every take is checked against its end.
struct fields {
    const unsigned char* at;
    const unsigned char* end;

    template <typename T>
    bool take(T& value) {
        if (static_cast<std::size_t>(end - at) < sizeof(T)) return false;
        value = util::take<T>(at);
        at += sizeof(T);
        return true;
    }
    bool take_text(std::uint32_t units, std::wstring_view& text) {
        const std::size_t bytes = padded_bytes(units);
        if (static_cast<std::size_t>(end - at) < bytes) return false;
        text = std::wstring_view(reinterpret_cast<const wchar_t*>(at), units);
        at += bytes;
        return true;
    }
};

// Sections written one after another, each from a buffer of about section_target bytes.
class section_writer {
public:
    explicit section_writer(HANDLE file) : file_(file) { payload.reserve(section_target + 64 * 1024); }
    std::vector<unsigned char> payload;
    std::uint32_t count = 0;

    bool full() const { return payload.size() >= section_target; }
    // Room for a record of `bytes` at the end, zeroed: one resize for all of its fields.
    unsigned char* room(std::size_t bytes) {
        const std::size_t at = payload.size();
        payload.resize(at + bytes);
        return payload.data() + at;
    }
    // A text field, padded, at `at`.
    static void put_text(unsigned char* at, std::wstring_view text) {
        if (!text.empty()) std::memcpy(at, text.data(), text.size() * 2);
    }
    bool flush(std::uint32_t kind) {
        std::vector<unsigned char> header;
        util::append<std::uint32_t>(header, kind);
        util::append<std::uint32_t>(header, count);
        util::append<std::uint64_t>(header, payload.size());
        util::append<std::uint64_t>(header, util::block_checksum(payload.data(), payload.size()));
        const bool written = store::write_all(file_, header) && store::write_all(file_, payload);
        payload.clear();
        count = 0;
        ++sections_;
        return written;
    }
    std::uint32_t sections() const { return sections_; }

private:
    HANDLE file_;
    std::uint32_t sections_ = 0;
};

}  // namespace

// What a read has built so far. Every path of the table is held once by the reader while the
// maps take theirs, and let go at the end: a damaged snapshot leaves the store as it found it.
class store_snapshot::reader {
public:
    explicit reader(const std::shared_ptr<path_store>& paths) : paths_(paths) {}
    ~reader() {
        maps.clear();
        for (path_store::ref entry : entries_) paths_->release(entry, false);
        paths_->settle();
    }

    bool read(const std::wstring& file_path) {
        std::size_t left = 0;
        const util::unique_file file = store::open_to_read(file_path, left);
        if (!file || left < sizeof magic) return false;
        file_size_ = left;
        char head[sizeof magic];
        if (!store::read_exactly(file.get(), reinterpret_cast<unsigned char*>(head), sizeof magic) ||
            std::memcmp(head, magic, sizeof magic) != 0) {
            return false;
        }
        left -= sizeof magic;
        std::vector<unsigned char> payload;
        for (std::uint32_t sections = 0;; ++sections) {
            unsigned char header[section_header];
            if (left < section_header || !store::read_exactly(file.get(), header, section_header)) return false;
            left -= section_header;
            const std::uint32_t kind = util::take<std::uint32_t>(header);
            const std::uint32_t count = util::take<std::uint32_t>(header + 4);
            const std::uint64_t size = util::take<std::uint64_t>(header + 8);
            if (size > left || size > section_limit) return false;
            payload.resize(static_cast<std::size_t>(size));
            if (size && !store::read_exactly(file.get(), payload.data(), payload.size())) return false;
            left -= payload.size();
            if (util::take<std::uint64_t>(header + 16) != util::block_checksum(payload.data(), payload.size())) {
                return false;
            }
            // The end counts the sections before it: nothing lost between, nothing after it.
            if (kind == kind_end) return count == sections && left == 0;
            fields in{payload.data(), payload.data() + payload.size()};
            if (!section(kind, count, in) || in.at != in.end) return false;
        }
    }

    std::vector<file_id_t> tag_ids;
    std::unordered_map<std::wstring, tag_entry> tags;
    std::unordered_map<std::wstring, map_entry> maps;

private:
    bool section(std::uint32_t kind, std::uint32_t count, fields& in) {
        // In the order they are written: a path names folders before it, a map paths before it.
        if (kind < last_kind_) return false;
        last_kind_ = kind;
        if (kind == kind_map) return map(count, in);
        if (kind != kind_folders && kind != kind_paths && kind != kind_tags) return false;
        if (kind == kind_paths) {
            // The table's size comes first: the store takes its room at once, not doubling
            // through a hundred thousand paths (at most what the file can hold).
            std::uint64_t paths = 0, units = 0;
            if (!in.take(paths) || !in.take(units)) return false;
            if (entries_.empty()) {
                paths_->reserve(static_cast<std::size_t>(std::min<std::uint64_t>(paths, file_size_ / 12)),
                                static_cast<std::size_t>(std::min<std::uint64_t>(units, file_size_ / 2)));
            }
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            if (!(kind == kind_folders ? folder(in) : kind == kind_paths ? path(in) : tag(in))) return false;
        }
        return true;
    }
    bool folder(fields& in) {
        std::uint32_t length = 0;
        std::wstring_view text;
        if (!in.take(length) || !in.take_text(length, text)) return false;
        folders_.push_back(paths_->folder(text));
        return true;
    }
    bool path(fields& in) {
        std::uint32_t folder = 0, key = 0, length = 0;
        std::wstring_view name;
        if (!in.take(folder) || !in.take(key) || !in.take(length) || length > 0xFFFF || folder >= folders_.size() ||
            key == 0 || !in.take_text(length, name)) {
            return false;
        }
        entries_.push_back(paths_->add(folders_[folder], name, key));
        return true;
    }
    bool tag(fields& in) {
        tag_entry e;
        std::uint32_t length = 0;
        std::wstring_view name;
        if (!in.take(e.size) || !in.take(e.write_time) || !in.take(length) || !in.take(e.count) ||
            !in.take_text(length, name) || static_cast<std::size_t>(in.end - in.at) / 4 < e.count) {
            return false;
        }
        e.first = tag_ids.size();
        tag_ids.resize(e.first + e.count);
        if (e.count) std::memcpy(tag_ids.data() + e.first, in.at, static_cast<std::size_t>(e.count) * 4);
        in.at += static_cast<std::size_t>(e.count) * 4;
        tags[std::wstring(name)] = e;
        return true;
    }
    bool map(std::uint32_t count, fields& in) {
        std::uint64_t size = 0, write_time = 0;
        std::uint32_t length = 0, superseded = 0, content = 0, total = 0;
        std::wstring_view name;
        if (!in.take(size) || !in.take(write_time) || !in.take(length) || !in.take(superseded) ||
            !in.take(content) || !in.take(total) || !in.take_text(length, name) ||
            static_cast<std::size_t>(in.end - in.at) / 8 < count || (!content && count)) {
            return false;
        }
        const std::wstring key(name);
        auto found = maps.find(key);
        if (found == maps.end()) {
            found = maps.emplace(key, map_entry()).first;
            map_entry& e = found->second;
            e.size = size;
            e.write_time = write_time;
            e.superseded = superseded;
            if (content) {
                e.records.reset(new path_map(paths_));
                // Sized once for all its sections, at most for what the file can hold.
                e.records->reserve(std::min<std::size_t>(total, file_size_ / 8));
            }
        } else if (found->second.size != size || found->second.write_time != write_time || !found->second.records ||
                   !content) {
            return false;  // the rest of a map goes on as it began
        }
        map_entry& e = found->second;
        for (std::uint32_t i = 0; i < count; ++i) {
            const file_id_t id = util::take<std::uint32_t>(in.at);
            const std::uint32_t number = util::take<std::uint32_t>(in.at + 4);
            in.at += 8;
            if (id == 0 || number >= entries_.size()) return false;
            e.records->set(id, entries_[number]);
        }
        return true;
    }

    std::shared_ptr<path_store> paths_;
    std::uint32_t last_kind_ = 0;
    std::size_t file_size_ = 0;
    std::vector<std::uint32_t> folders_;    // the store's folder of each folder number
    std::vector<path_store::ref> entries_;  // the store's entry of each path number
};

bool store_snapshot::read(const std::wstring& data_folder, const std::shared_ptr<path_store>& paths) {
    tag_ids_.clear();
    tags_.clear();
    maps_.clear();
    map_order_.clear();
    reader built(paths);
    if (!built.read(path_in(data_folder))) return false;
    tag_ids_.swap(built.tag_ids);
    tags_.swap(built.tags);
    maps_.swap(built.maps);
    return true;
}

bool store_snapshot::find_tag(const std::wstring& relative, const store::file_stamp& now,
                              std::vector<file_id_t>& ids) const {
    const auto found = tags_.find(relative);
    if (found == tags_.end() || !found->second.same_as(now)) return false;
    const tag_entry& e = found->second;
    ids.assign(tag_ids_.begin() + e.first, tag_ids_.begin() + e.first + e.count);
    return true;
}

bool store_snapshot::map_unchanged(const std::wstring& root_name, const store::file_stamp& now) const {
    const auto found = maps_.find(root_name);
    return found != maps_.end() && found->second.same_as(now);
}

bool store_snapshot::take_map(const std::wstring& root_name, const store::file_stamp& now, path_map& map,
                              std::size_t& records) {
    const auto found = maps_.find(root_name);
    if (found == maps_.end() || !found->second.records || !found->second.same_as(now)) return false;
    map_entry& e = found->second;
    map = std::move(*e.records);
    records = map.size() + e.superseded;
    // Its stamp stays: the tags recorded with it need no new check against it.
    e.records.reset();
    return true;
}

void store_snapshot::add_map(const std::wstring& root_name, const store::file_stamp& stamp,
                             const path_map* content, std::size_t superseded) {
    if (!stamp.known || !stamp.settled || maps_.count(root_name)) return;
    map_entry& e = maps_[root_name];
    e.size = stamp.size;
    e.write_time = stamp.write_time;
    e.superseded = superseded;
    e.to_write = content;
    map_order_.push_back(root_name);
}

void store_snapshot::add_tag(const std::wstring& relative, const store::file_stamp& stamp,
                             const std::vector<file_id_t>& ids) {
    if (!stamp.known || !stamp.settled) return;
    tag_entry& e = tags_[relative];
    e.size = stamp.size;
    e.write_time = stamp.write_time;
    e.first = tag_ids_.size();
    e.count = static_cast<std::uint32_t>(ids.size());
    tag_ids_.insert(tag_ids_.end(), ids.begin(), ids.end());
}

bool store_snapshot::write_sections(HANDLE file, const std::shared_ptr<path_store>& paths) const {
    if (!store::write_all(file, std::vector<unsigned char>(magic, magic + sizeof magic))) return false;
    section_writer out(file);
    // Numbers for the paths the maps hold and for their folders, given in the store's order.
    std::vector<std::uint32_t> number, folder_number;  // + 1; 0: not written
    std::uint32_t table_size = 0;
    if (paths) {
        number.assign(paths->entry_count(), 0);
        folder_number.assign(paths->folder_count(), 0);
        for (const std::wstring& name : map_order_) {
            const path_map* content = maps_.at(name).to_write;
            if (!content) continue;
            content->for_each_entry([&](file_id_t, path_store::ref entry) {
                number[entry] = 1;
                folder_number[paths->folder_index(entry)] = 1;
            });
        }
        std::uint32_t folders = 0;
        for (std::uint32_t folder = 0; folder < folder_number.size(); ++folder) {
            if (!folder_number[folder]) continue;
            folder_number[folder] = ++folders;
            const std::wstring_view text = paths->folder_text(folder);
            unsigned char* at = out.room(4 + padded_bytes(text.size()));
            util::put<std::uint32_t>(at, static_cast<std::uint32_t>(text.size()));
            out.put_text(at + 4, text);
            ++out.count;
            if (out.full() && !out.flush(kind_folders)) return false;
        }
        if (out.count && !out.flush(kind_folders)) return false;
        std::uint64_t table_paths = 0, table_units = 0;
        for (std::size_t entry = 0; entry < number.size(); ++entry) {
            if (!number[entry]) continue;
            ++table_paths;
            table_units += 1 + paths->name(static_cast<path_store::ref>(entry)).size();
        }
        std::uint32_t written = 0;
        for (std::size_t entry = 0; entry < number.size(); ++entry) {
            if (!number[entry]) continue;
            number[entry] = ++written;
            const path_store::ref ref = static_cast<path_store::ref>(entry);
            const std::wstring_view name = paths->name(ref);
            if (out.payload.empty()) {
                unsigned char* sizes = out.room(16);
                util::put<std::uint64_t>(sizes, table_paths);
                util::put<std::uint64_t>(sizes + 8, table_units);
            }
            unsigned char* at = out.room(12 + padded_bytes(name.size()));
            util::put<std::uint32_t>(at, folder_number[paths->folder_index(ref)] - 1);
            util::put<std::uint32_t>(at + 4, paths->key(ref));
            util::put<std::uint32_t>(at + 8, static_cast<std::uint32_t>(name.size()));
            out.put_text(at + 12, name);
            ++out.count;
            if (out.full() && !out.flush(kind_paths)) return false;
        }
        if (out.count && !out.flush(kind_paths)) return false;
        table_size = written;
    }
    std::vector<std::uint32_t> start;  // where each path number's records begin, for a counting sort
    for (const std::wstring& name : map_order_) {
        const map_entry& e = maps_.at(name);
        // In the order of the path numbers, never in table order: a table filled in another
        // table's order, at a smaller size, piles its entries into long runs, which made a load
        // of a million files take seconds. The paths' entries are then also held in order.
        std::vector<std::uint64_t> pairs;  // path number, id
        if (e.to_write) {
            // A counting sort: linear, where sorting every map added to each first load.
            start.assign(table_size + 1, 0);
            e.to_write->for_each_entry([&](file_id_t, path_store::ref entry) { ++start[number[entry]]; });
            for (std::size_t n = 1; n < start.size(); ++n) start[n] += start[n - 1];
            pairs.resize(e.to_write->size());
            e.to_write->for_each_entry([&](file_id_t id, path_store::ref entry) {
                pairs[start[number[entry] - 1]++] = static_cast<std::uint64_t>(number[entry] - 1) << 32 | id;
            });
        }
        std::size_t done = 0;
        do {
            unsigned char* at = out.room(32 + padded_bytes(name.size()));
            util::put<std::uint64_t>(at, e.size);
            util::put<std::uint64_t>(at + 8, e.write_time);
            util::put<std::uint32_t>(at + 16, static_cast<std::uint32_t>(name.size()));
            util::put<std::uint32_t>(at + 20, static_cast<std::uint32_t>(e.superseded));
            util::put<std::uint32_t>(at + 24, e.to_write ? 1 : 0);
            util::put<std::uint32_t>(at + 28, static_cast<std::uint32_t>(pairs.size()));
            out.put_text(at + 32, name);
            const std::size_t now = std::min(pairs.size() - done, section_target / 8);
            at = out.room(now * 8);
            for (std::size_t i = 0; i < now; ++i) {
                const std::uint64_t pair = pairs[done + i];
                util::put<std::uint32_t>(at + i * 8, static_cast<std::uint32_t>(pair));
                util::put<std::uint32_t>(at + i * 8 + 4, static_cast<std::uint32_t>(pair >> 32));
            }
            out.count = static_cast<std::uint32_t>(now);
            done += now;
            if (!out.flush(kind_map)) return false;
        } while (done < pairs.size());
    }
    for (const auto& t : tags_) {
        const std::size_t text = padded_bytes(t.first.size()), ids = static_cast<std::size_t>(t.second.count) * 4;
        unsigned char* at = out.room(24 + text + ids);
        util::put<std::uint64_t>(at, t.second.size);
        util::put<std::uint64_t>(at + 8, t.second.write_time);
        util::put<std::uint32_t>(at + 16, static_cast<std::uint32_t>(t.first.size()));
        util::put<std::uint32_t>(at + 20, t.second.count);
        out.put_text(at + 24, t.first);
        if (ids) std::memcpy(at + 24 + text, tag_ids_.data() + t.second.first, ids);
        ++out.count;
        if (out.full() && !out.flush(kind_tags)) return false;
    }
    if (out.count && !out.flush(kind_tags)) return false;
    out.count = out.sections();
    return out.flush(kind_end);
}

void store_snapshot::write(const std::wstring& data_folder) {
    std::shared_ptr<path_store> paths;  // the store of the maps' paths, which they all share
    for (const std::wstring& name : map_order_) {
        if (const path_map* content = maps_.at(name).to_write) {
            paths = content->paths();
            break;
        }
    }
    try {
        store::replace_file(
            path_in(data_folder), [&](HANDLE file) { return write_sections(file, paths); }, data_folder,
            store::replacement::cache);
    } catch (const store_error&) {
        // The next load reads the files themselves.
    }
}

}  // namespace items
