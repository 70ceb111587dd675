// The tool's `files` for a query that names its roots, read straight from the store: under the
// store's lock it lists only the folders along the query's names and below them, reads only the
// tag files there and the named roots' maps, and of a map keeps only the paths of the ids those
// tags hold. The answer is the one the engine's query
// gives after a load of those roots. A store that such a load would repair on the way (two
// spellings of one name, a torn file, a map missing or damaged, a folder that cannot be listed)
// is declined, and left to it.
#pragma once

#include "database/tag_query.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace query_reader {

enum class outcome {
    answered,
    busy,      // another process held the store's lock for the whole wait
    declined,  // the engine's load must answer
};

// One path and the id it was found under, ordered as the engine orders its answers: by path in
// UTF-16 units, then by id.
struct path_entry {
    std::uint64_t key;  // the four units from the sort's depth on, packed
    const wchar_t* path;
    std::uint32_t length;
    items::file_id_t id;
};
void sort_by_path(std::vector<path_entry>& entries);

class answer {
public:
    answer();
    ~answer();
    // `data_folder` with its trailing backslash. For a query that does not reach every root.
    outcome read(const std::wstring& data_folder, const items::tag_query& query);
    // Calls f(path) for the answer's paths, sorted by path in UTF-16 units, each path once (of
    // two ids with one path, the lower answers). Each path is compared with the one before as
    // it is printed: read once, while it is at hand.
    template <typename F>
    std::size_t each_path(F f) const {
        std::size_t count = 0;
        std::wstring_view before;
        for (const path_entry& entry : entries_) {
            const std::wstring_view path(entry.path, entry.length);
            if (count && path == before) continue;
            f(path);
            before = path;
            ++count;
        }
        return count;
    }

    struct root;

private:
    std::vector<std::unique_ptr<root> > roots_;
    std::vector<path_entry> entries_;
};

}  // namespace query_reader
