// The moves file: files that followed a move keeping their ids, while the maps of the several
// roots that hold each of them learn the new path. Each map takes its record with an append of
// its own, so a crash between two of them would leave one id at two paths, and a later listing
// of the old folder would miss the roots that still hold the old one. The file is written, and
// flushed, before the first append and emptied once every map is on disk; a process that finds
// one left over gives each id still at its old path the new one.
//
// Layout (little-endian): "QBXMOVE1", u64 block_checksum of the rest, then records: u32 id,
// u16 length of the old path, u16 length of the new one, both paths in UTF-16. A file whose
// checksum does not match was torn while it was written, before any map was touched.
#pragma once

#include "database/id_tables.h"

#include <string>
#include <vector>

namespace items {

struct kept_id_move {
    file_id_t id;
    std::wstring old_path;
    std::wstring new_path;
};

namespace pending_moves {

extern const wchar_t file_name[];

// Replaces the data folder's moves file durably. Throws store_error.
void write(const std::wstring& data_folder, const std::vector<kept_id_move>& moves);
// False when there is none or it is torn.
bool read(const std::wstring& data_folder, std::vector<kept_id_move>& moves);
// Empties the file durably and deletes it (a deletion lost in a crash leaves an empty file,
// which asks for nothing). Throws store_error.
void clear(const std::wstring& data_folder);

}  // namespace pending_moves
}  // namespace items
