#include "database/identity_file.h"

#include "database/store_io.h"
#include "util/byte_fields.h"
#include "util/hashes.h"

#include <cstring>

namespace items {

namespace {

const char magic[8] = {'Q', 'B', 'X', 'I', 'D', 'S', '0', '1'};
const std::size_t header_size = 8;
const std::size_t record_size = 32;

std::uint32_t path_check(std::wstring_view path) {
    return util::fnv1a_32(path);
}

// Over the record's bytes other than the check itself (offsets 12..15).
std::uint32_t record_check(const unsigned char* record) {
    const std::uint32_t before = util::fnv1a_32(record, 12, util::fnv1a_32_basis ^ 0x5bd1e995u);
    return util::fnv1a_32(record + 16, record_size - 16, before);
}

}  // namespace

std::wstring identity_table::path_for(const std::wstring& data_folder, const std::wstring& root_name) {
    return data_folder + L"~quibrix-" + root_name + L".ids";
}

void identity_table::encode(file_id_t id, std::wstring_view path, const file_identity& identity,
                            std::vector<unsigned char>& out) {
    const std::size_t start = out.size();
    out.resize(start + record_size);
    unsigned char* record = out.data() + start;
    util::put<std::uint32_t>(record, id);
    util::put<std::uint32_t>(record + 4, path_check(path));
    util::put<std::uint32_t>(record + 8, identity.volume);
    util::put<std::uint64_t>(record + 16, identity.index);
    util::put<std::uint64_t>(record + 24, identity.created);
    util::put<std::uint32_t>(record + 12, record_check(record));
}

void identity_table::append(const std::wstring& file, const std::vector<unsigned char>& records) {
    if (records.empty()) return;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    std::vector<unsigned char> bytes;
    if (!::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &attributes)) {
        bytes.assign(magic, magic + header_size);
    } else {
        const std::uint64_t size = (static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
        if (size < header_size || (size - header_size) % record_size != 0) return;
    }
    bytes.insert(bytes.end(), records.begin(), records.end());
    store::append_file(file, bytes);
}

bool identity_table::read(const std::wstring& file) {
    entries_.clear();
    damaged_ = false;
    records_read_ = 0;
    std::vector<unsigned char> bytes;
    if (!store::read_file(file, bytes)) return false;
    if (bytes.size() < header_size || std::memcmp(bytes.data(), magic, header_size) != 0) {
        damaged_ = true;
        return true;
    }
    std::size_t at = header_size;
    for (; at + record_size <= bytes.size(); at += record_size) {
        const unsigned char* record = bytes.data() + at;
        if (util::take<std::uint32_t>(record + 12) != record_check(record)) break;
        entry e;
        e.path_check = util::take<std::uint32_t>(record + 4);
        e.identity.volume = util::take<std::uint32_t>(record + 8);
        e.identity.index = util::take<std::uint64_t>(record + 16);
        e.identity.created = util::take<std::uint64_t>(record + 24);
        e.identity.known = true;
        entries_[util::take<std::uint32_t>(record)] = e;
        ++records_read_;
    }
    damaged_ = at != bytes.size();
    return true;
}

file_identity identity_table::find(file_id_t id, std::wstring_view path) const {
    const auto found = entries_.find(id);
    if (found == entries_.end() || found->second.path_check != path_check(path)) return file_identity();
    return found->second.identity;
}

void identity_table::set(file_id_t id, std::wstring_view path, const file_identity& identity) {
    entry e;
    e.path_check = path_check(path);
    e.identity = identity;
    entries_[id] = e;
}

std::size_t identity_table::live_in(const path_map& map) const {
    std::size_t live = 0;
    std::wstring scratch;
    for (const auto& item : entries_) {
        const std::wstring_view path = map.find(item.first).in(scratch);
        if (!path.empty() && path_check(path) == item.second.path_check) ++live;
    }
    return live;
}

void identity_table::write(const std::wstring& file, const path_map& map, const std::wstring& temp_folder) const {
    std::vector<unsigned char> bytes(magic, magic + header_size);
    bytes.reserve(header_size + entries_.size() * record_size);
    std::wstring scratch;
    for (const auto& item : entries_) {
        const std::wstring_view path = map.find(item.first).in(scratch);
        if (path.empty() || path_check(path) != item.second.path_check) continue;
        encode(item.first, path, item.second.identity, bytes);
    }
    store::replace_file(file, bytes, temp_folder);
}

}  // namespace items
