// What a re-link pass (relink.cpp) reads of the folders that hold tagged files, and what it
// remembers of them between passes.
#pragma once

#include "database/file_identity.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace items {

// One listing of a folder with each entry's identity, kept with the names as the file system
// spells them: a file renamed within its folder is found, by its index, in the very listing
// that shows its old name missing.
class folder_contents {
public:
    enum outcome { listed, gone, unreadable };
    // `serial`: the folder's volume (folder_facts).
    outcome read(const std::wstring& folder, std::uint32_t serial);
    // The identity of the entry `name` (in any case); not known when the folder has none.
    file_identity find(const std::wstring& name) const;
    // The name of the entry that is the file `identity` names; empty when there is none. A
    // link (reparse point) is never the file: it is not followed.
    std::wstring name_of(const file_identity& identity);
    // The names of the folders in it, links left out.
    std::vector<std::wstring> subfolders() const;

private:
    struct entry {
        std::wstring name;
        file_identity identity;
        bool link;
        bool folder;
    };
    std::vector<entry> entries_;
    std::unordered_map<std::wstring, std::size_t> by_name_;  // upper case
    std::unordered_map<std::uint64_t, std::size_t> by_index_;  // made when first asked
};

// The folders whose tagged files were all in their places, with the identities recorded for
// them, at an earlier pass, each with its last-write time then. Adding, removing or renaming an
// entry changes a folder's write time on the file systems that keep it (NTFS, ReFS; every Linux
// file system under Wine), so a folder whose time and tagged files are as they were need not be
// listed again. Kept in the data folder as "~quibrix-folders"; only ever a shortcut: a missing
// or damaged file costs one full pass.
//
// Layout (little-endian): "QBXFLD01", u64 checksum of the records, then records of 24 bytes:
// u64 hash of the folder's path, u64 digest of its tagged files, u64 its last-write time.
class folder_states {
public:
    static std::wstring path_in(const std::wstring& data_folder) { return data_folder + L"~quibrix-folders"; }
    // The digest of a folder's tagged files: the same set of names with the same recorded
    // identities gives the same digest, in whatever order they come.
    static std::uint64_t add_to_digest(std::uint64_t digest, const std::wstring& name, const file_identity& recorded);

    void read(const std::wstring& file);
    bool unchanged(const std::wstring& folder, std::uint64_t digest, std::uint64_t write_time) const;
    void set(const std::wstring& folder, std::uint64_t digest, std::uint64_t write_time);
    bool operator==(const folder_states& other) const { return entries_ == other.entries_; }
    // Replaces the file; a failure only costs the next pass some listings.
    void write(const std::wstring& file, const std::wstring& temp_folder) const;

private:
    struct state {
        std::uint64_t digest;
        std::uint64_t write_time;
        bool operator==(const state& other) const { return digest == other.digest && write_time == other.write_time; }
    };
    std::unordered_map<std::uint64_t, state> entries_;
};

// What one look at a folder's attributes tells, for the folders of one pass.
class folder_facts {
public:
    explicit folder_facts(volume_serials& serials) : serials_(serials) {}
    // False when the folder's attributes cannot be read (it is gone, say).
    bool look_at(const std::wstring& folder);
    // Its last-write time, when its volume keeps folder times (see folder_states), it is a
    // folder of its own (a link's time says nothing of what it shows), and it was last written
    // longer ago than a clock step: a folder written just before may be written again within
    // the same tick and keep its time.
    bool write_time(std::uint64_t& time);
    // The serial of its volume. A volume begins at a drive's root or at a mount point, which is
    // a link: any other folder lies on its parent's volume, which is asked once for all its
    // folders (finding a folder's volume by its path is a walk up that path under Wine).
    bool serial(std::uint32_t& serial);

private:
    bool root(std::wstring& root);

    volume_serials& serials_;
    std::wstring folder_;
    WIN32_FILE_ATTRIBUTE_DATA data_ = {};
    std::unordered_map<std::wstring, bool> kept_;  // volume root -> whether it keeps folder times
};

}  // namespace items
