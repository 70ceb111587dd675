#include "database/file_identity.h"

#include "database/tags_holder.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <winternl.h>

#include <string_view>

namespace items {

namespace {

const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A listing costs a few calls for a small folder where opening each file costs three, but reads
// every entry of a big one: it is tried from two paths on, and given up past this many entries
// for each path asked, for the files to be opened one by one.
const std::size_t entries_per_path = 64;

std::atomic<unsigned long> g_looks_under_lock{0};
std::atomic<void (*)()> g_look_observer{nullptr};

void looking() {
    if (database_lock().held_by_this_thread()) ++g_looks_under_lock;
    if (void (*observer)() = g_look_observer.load()) observer();
}

std::uint64_t to_number(const LARGE_INTEGER& value) {
    return static_cast<std::uint64_t>(value.QuadPart);
}

// "C:" names the current folder of drive C; the drive's root needs its backslash.
std::wstring openable(const std::wstring& folder) {
    if (!folder.empty() && folder.back() == L':') return folder + L'\\';
    return folder;
}

typedef LONG(WINAPI* query_information_file)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, FILE_INFORMATION_CLASS);

query_information_file internal_information_query() {
    static const query_information_file query = reinterpret_cast<query_information_file>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    return query;
}

// The index and creation time of an open file. GetFileInformationByHandle would give the index
// too, but it asks the volume for its serial on every call, which under Wine is a round trip to
// the mount manager costing more than the rest together; the serial is taken once per volume.
bool read_identity(HANDLE file, std::uint32_t volume, file_identity& out) {
    FILE_BASIC_INFO basic;
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) return false;
    std::uint64_t index = 0;
    const FILE_INFORMATION_CLASS internal_information = static_cast<FILE_INFORMATION_CLASS>(6);
    IO_STATUS_BLOCK status;
    LARGE_INTEGER number;
    if (query_information_file query = internal_information_query()) {
        if (query(file, &status, &number, sizeof number, internal_information) >= 0) index = to_number(number);
    }
    if (index == 0) {
        BY_HANDLE_FILE_INFORMATION information;
        if (!::GetFileInformationByHandle(file, &information)) return false;
        index = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    }
    out.volume = volume;
    out.index = index;
    out.created = to_number(basic.CreationTime);
    out.known = true;
    return true;
}

std::wstring without_long_prefix(const std::wstring& path) {
    static const wchar_t unc[] = L"\\\\?\\UNC\\";
    static const wchar_t local[] = L"\\\\?\\";
    if (path.compare(0, 8, unc) == 0) return L"\\\\" + path.substr(8);
    if (path.compare(0, 4, local) == 0) return path.substr(4);
    return path;
}

}  // namespace

std::wstring upper_case(std::wstring text) {
    if (!text.empty()) ::CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::wstring folder_of(const std::wstring& path) {
    const std::wstring::size_type slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring name_of(const std::wstring& path) {
    const std::wstring::size_type slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool volume_serials::root_of(const std::wstring& folder, std::wstring& root) {
    const auto found = roots_.find(folder);
    if (found != roots_.end()) {
        root = found->second;
        return !root.empty();
    }
    looking();
    std::wstring buffer(folder.size() + MAX_PATH + 2, L'\0');
    const std::wstring asked = folder + L'\\';
    if (::GetVolumePathNameW(asked.c_str(), &buffer[0], static_cast<DWORD>(buffer.size()))) {
        buffer.resize(wcslen(buffer.c_str()));
    } else {
        buffer.clear();
    }
    roots_.emplace(folder, buffer);
    root = buffer;
    return !root.empty();
}

bool volume_serials::serial_of_folder(const std::wstring& folder, std::uint32_t& serial) {
    std::wstring root;
    if (!root_of(folder, root)) return false;
    for (const auto& known : known_) {
        if (known.first == root) {
            serial = known.second;
            return true;
        }
    }
    looking();
    DWORD number = 0;
    if (!::GetVolumeInformationW(root.c_str(), nullptr, 0, &number, nullptr, nullptr, nullptr, 0)) return false;
    known_.emplace_back(root, number);
    serial = number;
    return true;
}

bool volume_serials::serial_of(const std::wstring& path, std::uint32_t& serial) {
    return serial_of_folder(folder_of(path), serial);
}

folder_listing::outcome folder_listing::read(const std::wstring& folder, volume_serials& serials,
                                             std::size_t most_entries) {
    entries_.clear();
    looking();
    util::unique_file handle(::CreateFileW(openable(folder).c_str(), FILE_LIST_DIRECTORY, share_all, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY ? gone
                                                                                                           : unreadable;
    }
    std::uint32_t serial = 0;
    if (!serials.serial_of_folder(folder, serial)) return unreadable;
    // 8-byte aligned, as the entries' 64-bit fields need.
    std::vector<std::uint64_t> buffer(64 * 1024 / 8);
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(handle.get(), request, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
        request = FileIdBothDirectoryInfo;
        const unsigned char* at = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const FILE_ID_BOTH_DIR_INFO* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            file_identity identity;
            identity.volume = serial;
            identity.index = to_number(entry->FileId);
            identity.created = to_number(entry->CreationTime);
            identity.known = true;
            entries_[upper_case(std::wstring(entry->FileName, entry->FileNameLength / sizeof(wchar_t)))] = identity;
            if (entries_.size() > most_entries) {
                entries_.clear();
                return too_many;
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    return ::GetLastError() == ERROR_NO_MORE_FILES ? listed : unreadable;
}

file_identity folder_listing::find(const std::wstring& name) const {
    const auto found = entries_.find(upper_case(name));
    return found == entries_.end() ? file_identity() : found->second;
}

file_identity identify(const std::wstring& path, volume_serials& serials) {
    file_identity identity;
    looking();
    util::unique_file file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::uint32_t serial = 0;
    if (!file || !serials.serial_of(path, serial) || !read_identity(file.get(), serial, identity)) return file_identity();
    return identity;
}

std::vector<file_identity> identify_all(const std::vector<std::wstring>& paths, volume_serials& serials,
                                        const std::atomic<bool>* stop) {
    std::vector<file_identity> result(paths.size());
    std::unordered_map<std::wstring, std::vector<std::size_t> > by_folder;
    for (std::size_t i = 0; i < paths.size(); ++i) by_folder[folder_of(paths[i])].push_back(i);
    folder_listing listing;
    for (const auto& group : by_folder) {
        // A path that several roots hold comes once per root.
        std::unordered_map<std::wstring_view, std::size_t> first_of;
        for (std::size_t i : group.second) first_of.emplace(paths[i], i);
        folder_listing::outcome read = folder_listing::unreadable;
        if (first_of.size() >= 2 && !group.first.empty()) {
            if (stop && *stop) break;
            read = listing.read(group.first, serials, first_of.size() * entries_per_path);
        }
        for (std::size_t i : group.second) {
            if (read == folder_listing::listed) {
                result[i] = listing.find(name_of(paths[i]));
            } else if (read == folder_listing::unreadable || read == folder_listing::too_many) {
                const std::size_t first = first_of[paths[i]];
                if (first != i) {
                    result[i] = result[first];
                    continue;
                }
                if (stop && *stop) return result;
                result[i] = identify(paths[i], serials);
            }
        }
    }
    return result;
}

std::wstring find_moved(const std::wstring& old_path, const file_identity& identity, volume_serials& serials) {
    if (!identity.known) return std::wstring();
    looking();
    std::wstring root;
    std::uint32_t serial = 0;
    const std::wstring old_folder = folder_of(old_path);
    if (old_folder.empty() || !serials.root_of(old_folder, root) || !serials.serial_of(old_path, serial)) {
        return std::wstring();
    }
    // Another volume under the old path's letter cannot hold the file.
    if (serial != identity.volume) return std::wstring();
    std::wstring hint = old_folder;
    while (hint.size() >= root.size() && !util::folder_exists(openable(hint))) hint = folder_of(hint);
    if (hint.size() < root.size()) hint = root;

    FILE_ID_DESCRIPTOR id = {};
    id.dwSize = sizeof id;
    id.Type = FileIdType;
    id.FileId.QuadPart = static_cast<LONGLONG>(identity.index);
    for (;;) {
        util::unique_file folder(::CreateFileW(openable(hint).c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (folder) {
            util::unique_file file(
                ::OpenFileById(folder.get(), &id, FILE_READ_ATTRIBUTES, share_all, nullptr, FILE_FLAG_BACKUP_SEMANTICS));
            if (file) {
                // The index may have been given to a file made since: only the same file counts.
                file_identity now;
                if (!read_identity(file.get(), serial, now) || !now.same_file(identity)) return std::wstring();
                std::wstring found(32768, L'\0');
                const DWORD length = ::GetFinalPathNameByHandleW(file.get(), &found[0], static_cast<DWORD>(found.size()),
                                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
                if (length == 0 || length >= found.size()) return std::wstring();
                found.resize(length);
                return without_long_prefix(found);
            }
        }
        // Windows finds an index anywhere on the volume, whatever folder the handle names;
        // Wine searches only below that folder, so the search widens up to the volume's root.
        if (hint.size() <= root.size()) return std::wstring();
        hint = folder_of(hint);
        if (hint.size() < root.size()) hint = root;
    }
}

unsigned long identity_looks_under_lock() {
    return g_looks_under_lock.load();
}

void observe_identity_looks(void (*observer)()) {
    g_look_observer = observer;
}

}  // namespace items
