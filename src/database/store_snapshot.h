// The snapshot: a copy of the loaded tree written beside the maps, so that a load reads only the
// files that changed since. It is a shortcut, never the store: each tag's ids in it count only
// while that tag file's stamp in the folder listing is still the one recorded with them, and a
// snapshot whose checksum does not match is not used at all.
//
// Layout (little-endian): "QBXSNAP1", u64 payload size, u64 checksum of the payload; then
// entries, each u32 kind (1 map, 2 tag), u32 name length (UTF-16 units), u64 size, u64 write
// time, u32 id count, the name padded to an even number of units, the ids.
#pragma once

#include "database/store_io.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace items {

class store_snapshot {
public:
    // Reads the snapshot of the data folder; false (and nothing kept) when it is missing or
    // damaged.
    bool read(const std::wstring& data_folder);

    // The ids recorded for the tag file at `relative` (its path below the data folder) if the
    // file still has the stamp they were recorded with.
    bool find_tag(const std::wstring& relative, const store::file_stamp& now, std::vector<file_id_t>& ids) const;
    // True when the root's map file still has the stamp that the recorded tags were checked
    // against: their ids need no new check against the map.
    bool map_unchanged(const std::wstring& root_name, const store::file_stamp& now) const;

    // Building a new snapshot: only stamps that are settled are recorded.
    void add_map(const std::wstring& root_name, const store::file_stamp& stamp);
    void add_tag(const std::wstring& relative, const store::file_stamp& stamp, const std::vector<file_id_t>& ids);
    // Replaces the snapshot in the data folder; a failure only costs the next load some reads.
    // The header is filled in in place: a snapshot is as large as every id of the store.
    void write(const std::wstring& data_folder);

    static std::wstring path_in(const std::wstring& data_folder) { return data_folder + L"~quibrix-snapshot"; }

private:
    struct entry {
        std::uint64_t size;
        std::uint64_t write_time;
        std::size_t ids;  // offset of the first id in bytes_
        std::uint32_t count;
    };
    void add(std::uint32_t kind, const std::wstring& name, const store::file_stamp& stamp,
             const std::vector<file_id_t>* ids);

    std::vector<unsigned char> bytes_;
    std::unordered_map<std::wstring, entry> maps_;
    std::unordered_map<std::wstring, entry> tags_;
};

}  // namespace items
