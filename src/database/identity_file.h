// The identity file of a root tag: the file system identity of each file of the root's map,
// kept beside the map in the data folder as "~quibrix-" + root name + ".ids", so that a file
// moved by a program that told no one can be found again. The loader skips plain files of the
// data folder, so readers that do not know this file are not disturbed by it. It is only ever a
// help: a missing or damaged one is rebuilt from the paths of the map that still exist.
//
// Layout (little-endian): "QBXIDS01", then records of 32 bytes: u32 file id, u32 check of the
// path the id stood for, u32 volume serial, u32 check of the record's other bytes, u64 file
// index, u64 creation time. The last record of an id wins; a record whose path check is not that
// of the map's path for the id belongs to an earlier file and counts for nothing.
#pragma once

#include "database/file_identity.h"
#include "database/id_tables.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace items {

class identity_table {
public:
    static std::wstring path_for(const std::wstring& data_folder, const std::wstring& root_name);
    static void encode(file_id_t id, std::wstring_view path, const file_identity& identity,
                       std::vector<unsigned char>& out);
    // Writes encoded records at the end of the file, a missing one getting its header first.
    // A file that is not whole is left alone: records behind damage could not be read, and the
    // next re-link pass rewrites it. Throws store_error when the file cannot be written.
    static void append(const std::wstring& file, const std::vector<unsigned char>& records);

    // False when the file is missing. What comes before a damaged record is kept.
    bool read(const std::wstring& file);
    bool damaged() const { return damaged_; }
    std::size_t records() const { return records_read_; }
    std::size_t size() const { return entries_.size(); }

    // The identity recorded for the file `id` at `path`; not known when there is none.
    file_identity find(file_id_t id, std::wstring_view path) const;
    void set(file_id_t id, std::wstring_view path, const file_identity& identity);
    // How many entries belong to the files of `map` as it is now.
    std::size_t live_in(const path_map& map) const;
    // Replaces the file, as one step, with a record for each entry that belongs to `map`.
    void write(const std::wstring& file, const path_map& map, const std::wstring& temp_folder) const;

private:
    struct entry {
        std::uint32_t path_check;
        file_identity identity;
    };
    std::unordered_map<file_id_t, entry> entries_;
    bool damaged_ = false;
    std::size_t records_read_ = 0;
};

}  // namespace items
