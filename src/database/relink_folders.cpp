#include "database/relink_folders.h"

#include "database/store_io.h"
#include "util/byte_fields.h"
#include "util/file_system.h"
#include "util/hashes.h"
#include "util/unique_resource.h"

#include <cstring>

namespace items {

namespace {

const char magic[8] = {'Q', 'B', 'X', 'F', 'L', 'D', '0', '1'};
const std::size_t header_size = 16;
const std::size_t record_size = 24;

// A folder written this recently may be written again within the same tick of its clock and
// keep its time: it is listed again at the next pass. In 100 ns units.
const std::uint64_t settle_time = 3ull * 10000000ull;

std::uint64_t to_number(const LARGE_INTEGER& value) {
    return static_cast<std::uint64_t>(value.QuadPart);
}

std::uint64_t to_number(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// "C:" names the current folder of drive C; the drive's root needs its backslash.
std::wstring openable(const std::wstring& folder) {
    if (!folder.empty() && folder.back() == L':') return folder + L'\\';
    return folder;
}

std::uint64_t mixed(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
}

}  // namespace

folder_contents::outcome folder_contents::read(const std::wstring& folder, std::uint32_t serial) {
    entries_.clear();
    by_name_.clear();
    by_index_.clear();
    const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    util::unique_file handle(::CreateFileW(openable(folder).c_str(), FILE_LIST_DIRECTORY, share_all, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY ? gone
                                                                                                           : unreadable;
    }
    // 8-byte aligned, as the entries' 64-bit fields need.
    std::vector<std::uint64_t> buffer(64 * 1024 / 8);
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(handle.get(), request, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
        request = FileIdBothDirectoryInfo;
        const unsigned char* at = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const FILE_ID_BOTH_DIR_INFO* listed = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            entry e;
            e.name.assign(listed->FileName, listed->FileNameLength / sizeof(wchar_t));
            e.identity.volume = serial;
            e.identity.index = to_number(listed->FileId);
            e.identity.created = to_number(listed->CreationTime);
            e.identity.known = true;
            e.link = util::is_link(listed->FileAttributes);
            e.folder = (listed->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            by_name_[upper_case(e.name)] = entries_.size();
            entries_.push_back(std::move(e));
            if (listed->NextEntryOffset == 0) break;
            at += listed->NextEntryOffset;
        }
    }
    return ::GetLastError() == ERROR_NO_MORE_FILES ? listed : unreadable;
}

file_identity folder_contents::find(const std::wstring& name) const {
    const auto found = by_name_.find(upper_case(name));
    return found == by_name_.end() ? file_identity() : entries_[found->second].identity;
}

std::wstring folder_contents::name_of(const file_identity& identity) {
    if (by_index_.empty()) {
        for (std::size_t i = 0; i < entries_.size(); ++i) by_index_.emplace(entries_[i].identity.index, i);
    }
    const auto found = by_index_.find(identity.index);
    if (found == by_index_.end()) return std::wstring();
    const entry& e = entries_[found->second];
    // The index may have been given to a file made since: only the same file counts.
    if (e.link || !e.identity.same_file(identity) || e.name == L"." || e.name == L"..") return std::wstring();
    return e.name;
}

std::vector<std::wstring> folder_contents::subfolders() const {
    std::vector<std::wstring> names;
    for (const entry& e : entries_) {
        if (e.folder && !e.link && e.name != L"." && e.name != L"..") names.push_back(e.name);
    }
    return names;
}

std::uint64_t folder_states::add_to_digest(std::uint64_t digest, const std::wstring& name,
                                           const file_identity& recorded) {
    std::uint64_t h = util::fnv1a_64(name);
    h = mixed(h ^ recorded.index);
    h = mixed(h ^ recorded.created);
    h = mixed(h ^ recorded.volume);
    return digest + h;
}

void folder_states::read(const std::wstring& file) {
    entries_.clear();
    std::vector<unsigned char> bytes;
    if (!store::read_file(file, bytes)) return;
    if (bytes.size() < header_size || std::memcmp(bytes.data(), magic, sizeof magic) != 0) return;
    const std::size_t body = bytes.size() - header_size;
    if (body % record_size != 0) return;
    if (util::take<std::uint64_t>(bytes.data() + 8) != util::block_checksum(bytes.data() + header_size, body)) return;
    for (std::size_t at = header_size; at < bytes.size(); at += record_size) {
        const unsigned char* record = bytes.data() + at;
        state s;
        s.digest = util::take<std::uint64_t>(record + 8);
        s.write_time = util::take<std::uint64_t>(record + 16);
        entries_[util::take<std::uint64_t>(record)] = s;
    }
}

bool folder_states::unchanged(const std::wstring& folder, std::uint64_t digest, std::uint64_t write_time) const {
    const auto found = entries_.find(util::fnv1a_64(folder));
    return found != entries_.end() && found->second.digest == digest && found->second.write_time == write_time;
}

void folder_states::set(const std::wstring& folder, std::uint64_t digest, std::uint64_t write_time) {
    entries_[util::fnv1a_64(folder)] = state{digest, write_time};
}

void folder_states::write(const std::wstring& file, const std::wstring& temp_folder) const {
    std::vector<unsigned char> bytes(header_size + entries_.size() * record_size);
    std::memcpy(bytes.data(), magic, sizeof magic);
    unsigned char* record = bytes.data() + header_size;
    for (const auto& item : entries_) {
        util::put<std::uint64_t>(record, item.first);
        util::put<std::uint64_t>(record + 8, item.second.digest);
        util::put<std::uint64_t>(record + 16, item.second.write_time);
        record += record_size;
    }
    util::put<std::uint64_t>(bytes.data() + 8, util::block_checksum(bytes.data() + header_size, bytes.size() - header_size));
    try {
        store::replace_file(file, bytes, temp_folder, store::replacement::cache);
    } catch (const store_error&) {
    }
}

bool folder_facts::look_at(const std::wstring& folder) {
    folder_ = folder;
    if (!::GetFileAttributesExW(openable(folder).c_str(), GetFileExInfoStandard, &data_)) return false;
    if (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    ::SetLastError(ERROR_DIRECTORY);
    return false;
}

bool folder_facts::root(std::wstring& root) {
    const std::wstring parent = folder_of(folder_);
    if (!util::is_link(data_.dwFileAttributes) && !parent.empty() && serials_.root_of(parent, root)) return true;
    return serials_.root_of(folder_, root);
}

bool folder_facts::serial(std::uint32_t& serial) {
    std::wstring volume;
    return root(volume) && serials_.serial_of_folder(volume.size() > 1 && volume.back() == L'\\'
                                                         ? volume.substr(0, volume.size() - 1)
                                                         : volume,
                                                     serial);
}

bool folder_facts::write_time(std::uint64_t& time) {
    if (util::is_link(data_.dwFileAttributes)) return false;
    std::wstring volume;
    if (!root(volume)) return false;
    auto kept = kept_.find(volume);
    if (kept == kept_.end()) {
        // FAT and exFAT leave a folder's time as it was made; a network share's times come
        // from a server whose clock is not ours.
        wchar_t file_system[MAX_PATH + 1] = L"";
        const bool known = ::GetVolumeInformationW(volume.c_str(), nullptr, 0, nullptr, nullptr, nullptr, file_system,
                                                   MAX_PATH + 1) != FALSE;
        const bool keeps = known && ::GetDriveTypeW(volume.c_str()) != DRIVE_REMOTE &&
                           (::lstrcmpiW(file_system, L"NTFS") == 0 || ::lstrcmpiW(file_system, L"ReFS") == 0);
        kept = kept_.emplace(volume, keeps).first;
    }
    if (!kept->second) return false;
    time = to_number(data_.ftLastWriteTime);
    return time + settle_time < store::file_time_now();
}

}  // namespace items
