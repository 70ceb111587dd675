// What tells one file from every other on its volume whatever its path, so that tags can follow
// a file that a program moved without telling the shell: the volume's serial number, the
// file's index on that volume, and its creation time. An index freed by a deleted file is given
// to a later file, whose creation time differs.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace items {

struct file_identity {
    std::uint32_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t created = 0;  // FILETIME, 100 ns units
    bool known = false;

    bool same_file(const file_identity& other) const {
        return known && other.known && volume == other.volume && index == other.index && created == other.created;
    }
};

// The serial numbers of the volumes that paths lie on, each asked once. A volume may be
// replaced by another under the same letter (a removable disk), so a cache lives for one batch
// of work, not for the process.
class volume_serials {
public:
    // False when the volume of `path` cannot be found or asked.
    bool serial_of(const std::wstring& path, std::uint32_t& serial);
    bool serial_of_folder(const std::wstring& folder, std::uint32_t& serial);
    // The root of the volume that `folder` lies on ("C:\\", or a mounted folder), with its
    // trailing backslash.
    bool root_of(const std::wstring& folder, std::wstring& root);

private:
    std::vector<std::pair<std::wstring, std::uint32_t> > known_;
    std::unordered_map<std::wstring, std::wstring> roots_;  // folder -> its volume's root
};

// The identities of files in one folder, read from one listing of it; names are kept upper
// case, as the file system compares them.
class folder_listing {
public:
    enum outcome { listed, gone, unreadable, too_many };
    // Gives up (too_many) once the folder has shown more than `most_entries` entries.
    outcome read(const std::wstring& folder, volume_serials& serials, std::size_t most_entries = SIZE_MAX);
    // The identity of the entry `name`; not known when the folder has none.
    file_identity find(const std::wstring& name) const;

private:
    std::unordered_map<std::wstring, file_identity> entries_;
};

std::wstring upper_case(std::wstring text);
// The folder part of a full path (without its last backslash) and its last component.
std::wstring folder_of(const std::wstring& path);
std::wstring name_of(const std::wstring& path);

// The identity of the file or folder at `path`, opened by its handle without denying others
// any access; not known when it cannot be opened.
file_identity identify(const std::wstring& path, volume_serials& serials);
// The same for many paths. A folder that holds several of them is listed once, as long as the
// listing stays within a few dozen entries per path asked; past that (a few files tagged in a
// folder of 200,000) the paths are opened one by one. Once `stop` is set, the rest are left not
// known.
std::vector<file_identity> identify_all(const std::vector<std::wstring>& paths, volume_serials& serials,
                                        const std::atomic<bool>* stop = nullptr);

// Where the file that had `identity` at `old_path` is now: opened by its index on the volume of
// `old_path`, and taken only when it is the same file. Empty when it is gone, when its index now
// belongs to another file, or when it left that volume.
std::wstring find_moved(const std::wstring& old_path, const file_identity& identity, volume_serials& serials);

// Every look at the file system above (a file opened, a folder listed, a volume asked) is
// counted when the looking thread holds the database lock. None should be: a slow disk or an
// offline share would keep every menu and view of the process waiting behind it.
unsigned long identity_looks_under_lock();
// Called before each look, on the looking thread; null for none. For tests, which hold a look
// back with it or count them.
void observe_identity_looks(void (*observer)());

}  // namespace items
