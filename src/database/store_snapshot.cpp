#include "database/store_snapshot.h"

#include "util/byte_fields.h"
#include "util/hashes.h"

#include <cstring>

namespace items {

namespace {

const char magic[8] = {'Q', 'B', 'X', 'S', 'N', 'A', 'P', '1'};
const std::size_t header_size = 24;
const std::uint32_t kind_map = 1;
const std::uint32_t kind_tag = 2;

}  // namespace

bool store_snapshot::read(const std::wstring& data_folder) {
    bytes_.clear();
    maps_.clear();
    tags_.clear();
    std::vector<unsigned char> bytes;
    if (!store::read_file(path_in(data_folder), bytes) || bytes.size() < header_size) return false;
    if (std::memcmp(bytes.data(), magic, sizeof magic) != 0) return false;
    const std::uint64_t payload = util::take<std::uint64_t>(bytes.data() + 8);
    if (payload != bytes.size() - header_size) return false;
    const std::uint64_t sum = util::block_checksum(bytes.data() + header_size, bytes.size() - header_size);
    if (util::take<std::uint64_t>(bytes.data() + 16) != sum) return false;
    std::unordered_map<std::wstring, entry> maps;
    std::unordered_map<std::wstring, entry> tags;
    std::size_t at = header_size;
    while (at < bytes.size()) {
        if (bytes.size() - at < 28) return false;
        const std::uint32_t kind = util::take<std::uint32_t>(bytes.data() + at);
        const std::uint32_t length = util::take<std::uint32_t>(bytes.data() + at + 4);
        entry e;
        e.size = util::take<std::uint64_t>(bytes.data() + at + 8);
        e.write_time = util::take<std::uint64_t>(bytes.data() + at + 16);
        e.count = util::take<std::uint32_t>(bytes.data() + at + 24);
        at += 28;
        const std::size_t name_bytes = (static_cast<std::size_t>(length) + (length & 1)) * 2;
        if (bytes.size() - at < name_bytes || (bytes.size() - at - name_bytes) / 4 < e.count) return false;
        std::wstring name(length, L'\0');
        if (length) std::memcpy(&name[0], bytes.data() + at, length * 2);
        at += name_bytes;
        e.ids = at;
        at += static_cast<std::size_t>(e.count) * 4;
        if (kind == kind_map) {
            maps[name] = e;
        } else if (kind == kind_tag) {
            tags[name] = e;
        } else {
            return false;
        }
    }
    bytes_.swap(bytes);
    maps_.swap(maps);
    tags_.swap(tags);
    return true;
}

bool store_snapshot::find_tag(const std::wstring& relative, const store::file_stamp& now,
                              std::vector<file_id_t>& ids) const {
    const auto found = tags_.find(relative);
    if (found == tags_.end() || !now.known) return false;
    const entry& e = found->second;
    if (e.size != now.size || e.write_time != now.write_time) return false;
    ids.resize(e.count);
    if (e.count) std::memcpy(ids.data(), bytes_.data() + e.ids, static_cast<std::size_t>(e.count) * 4);
    return true;
}

bool store_snapshot::map_unchanged(const std::wstring& root_name, const store::file_stamp& now) const {
    const auto found = maps_.find(root_name);
    return found != maps_.end() && now.known && found->second.size == now.size &&
           found->second.write_time == now.write_time;
}

void store_snapshot::add(std::uint32_t kind, const std::wstring& name, const store::file_stamp& stamp,
                         const std::vector<file_id_t>* ids) {
    if (!stamp.known || !stamp.settled) return;
    if (bytes_.empty()) bytes_.resize(header_size);
    const std::uint32_t count = ids ? static_cast<std::uint32_t>(ids->size()) : 0;
    util::append<std::uint32_t>(bytes_, kind);
    util::append<std::uint32_t>(bytes_, static_cast<std::uint32_t>(name.size()));
    util::append<std::uint64_t>(bytes_, stamp.size);
    util::append<std::uint64_t>(bytes_, stamp.write_time);
    util::append<std::uint32_t>(bytes_, count);
    const std::size_t at = bytes_.size();
    bytes_.resize(at + (name.size() + (name.size() & 1)) * 2, 0);
    if (!name.empty()) std::memcpy(bytes_.data() + at, name.data(), name.size() * 2);
    if (count) {
        const std::size_t start = bytes_.size();
        bytes_.resize(start + static_cast<std::size_t>(count) * 4);
        std::memcpy(bytes_.data() + start, ids->data(), static_cast<std::size_t>(count) * 4);
    }
}

void store_snapshot::add_map(const std::wstring& root_name, const store::file_stamp& stamp) {
    add(kind_map, root_name, stamp, nullptr);
}

void store_snapshot::add_tag(const std::wstring& relative, const store::file_stamp& stamp,
                             const std::vector<file_id_t>& ids) {
    add(kind_tag, relative, stamp, &ids);
}

void store_snapshot::write(const std::wstring& data_folder) {
    std::vector<unsigned char>& bytes = bytes_;
    if (bytes.empty()) bytes.resize(header_size);
    std::memcpy(bytes.data(), magic, sizeof magic);
    const std::uint64_t payload = bytes.size() - header_size;
    util::put<std::uint64_t>(bytes.data() + 8, payload);
    const std::uint64_t sum = util::block_checksum(bytes.data() + header_size, bytes.size() - header_size);
    util::put<std::uint64_t>(bytes.data() + 16, sum);
    try {
        store::replace_file(path_in(data_folder), bytes, data_folder, store::replacement::cache);
    } catch (const store_error&) {
        // The next load reads the files themselves.
    }
}

}  // namespace items
