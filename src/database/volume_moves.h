// Drives that come back under another letter: an external or removable disk that had E:
// yesterday may have F: today. Its volume serial, recorded with each tagged file's identity,
// tells which letter the volume has now (volume_moves.cpp).
#pragma once

#include "database/file_identity.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace items {

struct volume_lookup {
    std::wstring path;  // a tagged path on a drive letter ("E:\...") not at its place
    file_identity recorded;
    std::wstring found;  // out: the same file under the letter its volume has now
};

// For the paths whose letter no longer holds the volume recorded for them: when exactly one
// other letter holds it, the same path under that letter, taken only when the file there is
// the recorded one (volume serial, file index and creation time) and no link. A volume that
// no letter holds, or that two hold, leaves its paths as they are.
void find_on_other_letters(std::vector<volume_lookup>& lookups);

// The drive root of a path ("E:\" of "e:\docs\a.txt", upper case); empty for other paths.
std::wstring drive_root_of(const std::wstring& path);

}  // namespace items
