#include "database/case_aliases.h"

#include "database/store_io.h"
#include "util/file_names.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <windows.h>

#include <algorithm>

namespace items {

namespace {

std::vector<std::wstring> entries_of(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    util::unique_find find(store::find_first(folder + L"\\*", data));
    if (!find) return names;
    do {
        const std::wstring name = data.cFileName;
        // A link is nothing of the store's: it is neither folded nor walked through.
        if (name != L"." && name != L".." && !util::is_link(data.dwFileAttributes)) names.push_back(name);
    } while (::FindNextFileW(find.get(), &data));
    return names;
}

bool read_ids(const std::wstring& file, std::vector<file_id_t>& ids) {
    std::vector<unsigned char> bytes;
    if (!store::read_file(file, bytes)) return false;
    store::decode_ids(bytes, ids);  // a torn tail is dropped, as a load drops it
    return true;
}

void write_ids(const std::wstring& file, const std::vector<file_id_t>& ids, const std::wstring& data_folder) {
    std::vector<unsigned char> bytes;
    store::encode_ids(ids, 0, bytes);
    store::replace_file(file, bytes, data_folder);
}

file_id_t renumber(file_id_t id, const id_renumbering& renumbered) {
    const auto it = renumbered.find(id);
    return it == renumbered.end() ? id : it->second;
}

// Gives the renumbered ids their new numbers in every tag file at or below `path`.
void renumber_below(const std::wstring& path, const std::wstring& data_folder, const id_renumbering& renumbered) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const std::wstring& name : entries_of(path)) renumber_below(path + L'\\' + name, data_folder, renumbered);
        return;
    }
    std::vector<file_id_t> ids;
    if (!read_ids(path, ids)) throw store_error(error_cannot_open);
    bool changed = false;
    for (file_id_t& id : ids) {
        const file_id_t now = renumber(id, renumbered);
        changed = changed || now != id;
        id = now;
    }
    if (changed) write_ids(path, ids, data_folder);
}

bool fold_tree(const std::wstring& kept, const std::wstring& alias, const std::wstring& data_folder,
               const id_renumbering& renumbered) {
    const DWORD kept_attributes = ::GetFileAttributesW(kept.c_str());
    const DWORD alias_attributes = ::GetFileAttributesW(alias.c_str());
    if (kept_attributes == INVALID_FILE_ATTRIBUTES || alias_attributes == INVALID_FILE_ATTRIBUTES) return false;
    const bool folder = (alias_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A file and a folder cannot become one node: both stay.
    if (folder != ((kept_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) return false;
    if (!folder) {
        std::vector<file_id_t> ids;
        std::vector<file_id_t> more;
        if (!read_ids(kept, ids) || !read_ids(alias, more)) return false;
        id_set present;
        present.reserve(ids.size() + more.size());
        for (file_id_t id : ids) present.insert(id);
        for (file_id_t id : more) {
            id = renumber(id, renumbered);
            if (present.insert(id)) ids.push_back(id);
        }
        // The union is in place before the other spelling goes: a crash between the two steps
        // leaves both files, and the next load folds them again.
        write_ids(kept, ids, data_folder);
        return store::delete_file(alias, data_folder);
    }
    std::vector<std::wstring> kept_names = entries_of(kept);
    for (const std::wstring& name : entries_of(alias)) {
        const std::wstring from = alias + L'\\' + name;
        const auto same = std::find_if(kept_names.begin(), kept_names.end(),
                                       [&name](const std::wstring& other) { return util::same_name(other, name); });
        if (same != kept_names.end()) {
            fold_tree(kept + L'\\' + *same, from, data_folder, renumbered);
            continue;
        }
        if (!renumbered.empty()) renumber_below(from, data_folder, renumbered);
        if (store::move_path(from, kept + L'\\' + name)) kept_names.push_back(name);
    }
    return store::remove_empty_folder(alias, data_folder);
}

// Reads a map file into `map`; false when it cannot be read.
bool read_map(const std::wstring& file, path_map& map) {
    std::vector<wchar_t> units;
    std::size_t size = 0;
    if (!store::read_file(file, units, size)) return false;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(units.data());
    store::decode_map(bytes, size, [&](file_id_t id, std::size_t offset, std::size_t length) {
        map.set(id, std::wstring_view(units.data() + offset / 2, length));
    });
    return true;
}

}  // namespace

bool fold_case_alias(const std::wstring& kept, const std::wstring& alias, const std::wstring& data_folder,
                     const id_renumbering& renumbered) {
    try {
        return fold_tree(kept, alias, data_folder, renumbered);
    } catch (const store_error&) {
        return false;
    }
}

bool fold_case_alias_root(const std::wstring& data_folder, const std::wstring& kept, const std::wstring& alias,
                          const std::vector<std::wstring>& files) {
    const std::wstring kept_map_name = kept + L".dat";
    const std::wstring kept_identities = L"~quibrix-" + kept + L".ids";
    std::wstring kept_map;
    std::vector<std::wstring> other_maps;
    for (const std::wstring& file : files) {
        if (util::same_name(file, kept_map_name)) other_maps.push_back(file);
    }
    if (!other_maps.empty()) {
        auto chosen = std::find(other_maps.begin(), other_maps.end(), kept_map_name);
        if (chosen == other_maps.end()) chosen = other_maps.begin();
        kept_map = *chosen;
        other_maps.erase(chosen);
    }
    try {
        id_renumbering renumbered;
        if (!other_maps.empty()) {
            path_map known;
            if (!read_map(data_folder + kept_map, known)) return false;
            std::vector<path_map> others(other_maps.size());
            id_set taken;
            for (std::size_t i = 0; i < other_maps.size(); ++i) {
                if (!read_map(data_folder + other_maps[i], others[i])) return false;
                others[i].for_each([&taken](file_id_t id, const stored_path&) { taken.insert(id); });
            }
            std::unordered_map<std::wstring, file_id_t> by_path;
            known.for_each([&by_path](file_id_t id, const stored_path& path) { by_path.emplace(path.str(), id); });
            for (const path_map& other : others) {
                std::vector<std::pair<file_id_t, std::wstring> > records;
                other.for_each([&records](file_id_t id, const stored_path& path) { records.emplace_back(id, path.str()); });
                for (const auto& record : records) {
                    const auto same_path = by_path.find(record.second);
                    if (same_path != by_path.end()) {
                        // One file under two ids: the alias's tags take the kept one.
                        if (same_path->second != record.first) renumbered[record.first] = same_path->second;
                        continue;
                    }
                    file_id_t id = record.first;
                    if (known.contains(id)) {
                        // The kept map knows this id as another file: this one takes an id
                        // that neither map uses, as a new file whose hash is taken would.
                        do {
                            ++id;
                        } while (id == 0 || known.contains(id) || taken.contains(id));
                        renumbered[record.first] = id;
                    }
                    known.set(id, record.second);
                    by_path.emplace(record.second, id);
                }
            }
            std::vector<unsigned char> bytes;
            std::wstring scratch;
            known.for_each([&](file_id_t id, const stored_path& path) {
                store::encode_map_record(id, path.in(scratch), bytes);
            });
            // The kept map knows every file before any tag moves over, and the other maps go last:
            // whatever step a crash interrupts, each id on disk stays known to a map.
            store::replace_file(data_folder + kept_map, bytes, data_folder);
        }
        if (!fold_tree(data_folder + kept, data_folder + alias, data_folder, renumbered)) return false;
        for (const std::wstring& map : other_maps) store::delete_file(data_folder + map, data_folder);
        // Identity files are only ever a help: the other spellings' are dropped, and the next
        // re-link pass records their files again.
        for (const std::wstring& file : files) {
            if (file != kept_identities && util::same_name(file, kept_identities)) store::delete_file(data_folder + file, data_folder);
        }
        return true;
    } catch (const store_error&) {
        return false;
    }
}

}  // namespace items
