// Two spellings of one name side by side in the store: "Rock" and "rock" are one file or folder
// for Windows, but a folder made case-sensitive can hold both, and an older version that matched
// names exactly wrote such pairs. A load folds each pair into one (the ids of both, in the kept
// spelling's file), so that the tree can have one node per name.
#pragma once

#include "database/id_tables.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace items {

// Ids that a folded root's map had to give another number, because the kept root's map knew
// the same id as another path: old -> new.
typedef std::unordered_map<file_id_t, file_id_t> id_renumbering;

// Folds the tag file or scope folder `alias` into `kept`, its other spelling in the same folder:
// a file's ids are united in `kept`, a folder's entries move into `kept` (folding again where
// both hold a spelling of one name). True when `alias` is gone. Store errors are not thrown:
// what could not be folded stays on disk as it was.
bool fold_case_alias(const std::wstring& kept, const std::wstring& alias, const std::wstring& data_folder,
                     const id_renumbering& renumbered = id_renumbering());

// Folds the root tag `alias` into `kept` (names in the data folder): the map records of both
// go to the kept map, and then the folders are folded. `files` are the plain files listed in the
// data folder, where the maps lie under the spellings they were written with.
bool fold_case_alias_root(const std::wstring& data_folder, const std::wstring& kept, const std::wstring& alias,
                          const std::vector<std::wstring>& files);

}  // namespace items
