// The snapshot: a copy of the loaded tree written beside the maps, so that a load reads only the
// files that changed since. It is a shortcut, never the store: each tag's ids and each map's
// records in it count only while that file's stamp in the folder listing is still the one
// recorded with them, and a snapshot with a section whose checksum does not match, or without
// its end, is not used at all.
//
// The maps' paths are kept once, as the path store keeps them: a table of folders and one of
// names, and each map a list of (file id, path number). A load then takes every map that did
// not change without reading or comparing a path of it.
//
// Layout (little-endian): "QBXSNAP2", then sections, each a u32 kind, a u32 count, a u64
// payload size, a u64 checksum of the payload, and the payload:
//   1 folders: `count` folders, each a u32 length and its units;
//   2 paths:   u64 paths and u64 name units in all paths sections, then `count` paths, each
//              a u32 folder number, u32 key (the id the path is found by in the path store),
//              u32 name length and the name's units;
//   3 map:     u64 size, u64 write time, u32 name length, u32 superseded records, u32 1 when
//              the records follow (0: the stamp alone), u32 records in all its sections, the
//              root's name, then `count` (u32 id, u32 path number) in the order of the path
//              numbers; a map may go on in further sections of its name;
//   4 tags:    `count` tags, each a u64 size, u64 write time, u32 name length, u32 id count,
//              the name (its path below the data folder), the ids;
//   5 end:     `count` is the number of sections before it.
// Folders and paths are numbered in the order of their sections; texts are padded to an even
// number of units, so that every field stays 4-byte aligned.
#pragma once

#include "database/id_tables.h"
#include "database/store_io.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace items {

class store_snapshot {
public:
    // Reads the snapshot of the data folder, its maps over `paths` (the store's); false (and
    // nothing kept) when it is missing or damaged.
    bool read(const std::wstring& data_folder, const std::shared_ptr<path_store>& paths);

    // The ids recorded for the tag file at `relative` (its path below the data folder) if the
    // file still has the stamp they were recorded with.
    bool find_tag(const std::wstring& relative, const store::file_stamp& now, std::vector<file_id_t>& ids) const;
    // True when the root's map file still has the stamp that the recorded tags were checked
    // against: their ids need no new check against the map.
    bool map_unchanged(const std::wstring& root_name, const store::file_stamp& now) const;
    // Hands over the root's map as its file held it, if the file still has the stamp recorded
    // with it: `records` is the number of records in the file, those a later one replaced too.
    bool take_map(const std::wstring& root_name, const store::file_stamp& now, path_map& map, std::size_t& records);

    // Building a new snapshot: only stamps that are settled are recorded. `content` is the map
    // exactly as its file holds it, or null; it must live until write().
    void add_map(const std::wstring& root_name, const store::file_stamp& stamp, const path_map* content,
                 std::size_t superseded);
    void add_tag(const std::wstring& relative, const store::file_stamp& stamp, const std::vector<file_id_t>& ids);
    // Replaces the snapshot in the data folder, a section at a time; a failure only costs the
    // next load some reads.
    void write(const std::wstring& data_folder);

    static std::wstring path_in(const std::wstring& data_folder) { return data_folder + L"~quibrix-snapshot"; }

private:
    struct stamp_entry {
        std::uint64_t size = 0;
        std::uint64_t write_time = 0;
        bool same_as(const store::file_stamp& now) const {
            return now.known && size == now.size && write_time == now.write_time;
        }
    };
    struct tag_entry : stamp_entry {
        std::size_t first = 0;  // in tag_ids_
        std::uint32_t count = 0;
    };
    struct map_entry : stamp_entry {
        std::size_t superseded = 0;
        // Its records, read (null: the stamp alone, or handed over), or to be written.
        std::unique_ptr<path_map> records;
        const path_map* to_write = nullptr;
    };
    class reader;
    bool write_sections(HANDLE file, const std::shared_ptr<path_store>& paths) const;

    std::vector<file_id_t> tag_ids_;
    std::unordered_map<std::wstring, tag_entry> tags_;
    std::unordered_map<std::wstring, map_entry> maps_;
    std::vector<std::wstring> map_order_;  // the maps to write, in the order added
};

}  // namespace items
