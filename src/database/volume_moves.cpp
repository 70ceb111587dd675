#include "database/volume_moves.h"

#include "database/relink_folders.h"

#include <cwctype>
#include <unordered_map>

namespace items {

namespace {

// The volume serial of each drive letter that has a volume now, asked once per pass and only
// when some path needs it: under Wine each question is a round trip to the mount manager.
class drive_serials {
public:
    bool serial_of(wchar_t letter, std::uint32_t& serial) {
        read();
        const auto found = serials_.find(letter);
        if (found == serials_.end()) return false;
        serial = found->second;
        return true;
    }
    std::vector<wchar_t> letters_with(std::uint32_t serial) {
        read();
        std::vector<wchar_t> letters;
        for (const auto& drive : serials_) {
            if (drive.second == serial) letters.push_back(drive.first);
        }
        return letters;
    }

private:
    void read() {
        if (read_) return;
        read_ = true;
        const DWORD drives = ::GetLogicalDrives();
        for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
            if (!(drives & (1u << (letter - L'A')))) continue;
            const wchar_t root[] = {letter, L':', L'\\', L'\0'};
            const UINT type = ::GetDriveTypeW(root);
            // A network drive's serial is the server's to give; a letter of no volume has none.
            if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN || type == DRIVE_REMOTE) continue;
            DWORD serial = 0;
            if (::GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
                serials_[letter] = serial;
            }
        }
    }

    bool read_ = false;
    std::unordered_map<wchar_t, std::uint32_t> serials_;
};

}  // namespace

std::wstring drive_root_of(const std::wstring& path) {
    if (path.size() < 4 || path[1] != L':' || path[2] != L'\\') return std::wstring();
    const wchar_t letter = static_cast<wchar_t>(std::towupper(path[0]));
    if (letter < L'A' || letter > L'Z') return std::wstring();
    return std::wstring{letter, L':', L'\\'};
}

void find_on_other_letters(std::vector<volume_lookup>& lookups) {
    drive_serials drives;
    // The new paths, by folder: one listing of a folder checks all its files.
    std::unordered_map<std::wstring, std::vector<std::size_t> > by_folder;
    for (std::size_t i = 0; i < lookups.size(); ++i) {
        volume_lookup& lookup = lookups[i];
        lookup.found.clear();
        const std::wstring root = drive_root_of(lookup.path);
        if (root.empty() || !lookup.recorded.known) continue;
        std::uint32_t serial = 0;
        if (drives.serial_of(root[0], serial) && serial == lookup.recorded.volume) continue;  // not moved
        const std::vector<wchar_t> letters = drives.letters_with(lookup.recorded.volume);
        if (letters.size() != 1) continue;
        lookup.found = lookup.path;
        lookup.found[0] = letters[0];
        by_folder[folder_of(lookup.found)].push_back(i);
    }
    volume_serials serials;
    folder_facts facts(serials);
    folder_contents listing;
    for (const auto& group : by_folder) {
        std::uint32_t serial = 0;
        const bool listed = facts.look_at(group.first) && facts.serial(serial) &&
                            listing.read(group.first, serial) == folder_contents::listed;
        for (std::size_t i : group.second) {
            volume_lookup& lookup = lookups[i];
            // The same file, found by its index in the listing, at the same name.
            const std::wstring name = listed ? listing.name_of(lookup.recorded) : std::wstring();
            if (name.empty() || upper_case(name) != upper_case(name_of(lookup.found))) {
                lookup.found.clear();
            } else {
                lookup.found = group.first + L'\\' + name;
            }
        }
    }
}

}  // namespace items
