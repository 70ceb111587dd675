#include "util/file_system.h"

#include <shlobj.h>

namespace util {

namespace {

// The handle of a folder being walked does not share delete, so no one renames it away (to put a
// link in its place) until the walk is done with it. What is only removed shares everything.
const DWORD folder_access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
const DWORD folder_share = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD removal_access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
const DWORD removal_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FILE_DISPOSITION_INFO_EX and its flags (delete, POSIX semantics, ignore read-only), which the
// headers declare only for Windows 10 builds.
struct posix_disposition {
    DWORD flags;
};
const DWORD posix_delete = 0x1 | 0x2 | 0x10;
const FILE_INFO_BY_HANDLE_CLASS file_disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

bool gone_error(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

std::wstring without_trailing_backslash(const std::wstring& path) {
    // "C:\" stays: the drive's root is a folder, "C:" is not.
    if (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) return path.substr(0, path.size() - 1);
    return path;
}

// Opens each folder from `within` down to the parent of `path` and keeps them open in `held`.
// False when one of them is a link (or not a folder), or cannot be opened for another reason
// than being absent; `absent` tells that a folder on the way is not there.
bool hold_folders_above(const std::wstring& path, const std::wstring& within, std::vector<opened_entry>& held,
                        bool& absent) {
    absent = false;
    if (within.empty()) return true;
    const std::wstring top = without_trailing_backslash(within);
    if (path.size() <= top.size() || path.compare(0, top.size(), top) != 0 ||
        (path[top.size()] != L'\\' && top.back() != L'\\')) {
        return false;
    }
    std::wstring::size_type end = top.size();
    while (end != std::wstring::npos) {
        opened_entry folder = opened_entry::folder_to_hold(path.substr(0, end));
        if (!folder.valid()) {
            absent = folder.gone();
            return false;
        }
        if (folder.is_link() || !folder.is_folder()) {
            // What stands there is not the store's: the store's entry below it is not there,
            // and nothing is removed through it.
            absent = true;
            ::SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        held.push_back(std::move(folder));
        end = path.find(L'\\', end + 1);
    }
    return true;
}

bool remove_contents(const std::wstring& folder, const opened_entry& opened, removal mode) {
    std::vector<std::pair<std::wstring, DWORD> > entries;
    if (!opened.list(entries)) return false;
    bool all_removed = true;
    for (const auto& listed : entries) {
        const std::wstring path = folder + L'\\' + listed.first;
        opened_entry entry(path, listed.second);
        bool removed;
        if (!entry.valid()) {
            removed = entry.gone();
        } else if (entry.is_link()) {
            removed = entry.remove();
        } else if (entry.is_folder()) {
            removed = remove_contents(path, entry, mode) && entry.remove();
        } else {
            removed = entry.remove();
        }
        if (!removed) {
            if (mode == removal::stop_at_failure) return false;
            all_removed = false;
        }
    }
    return all_removed;
}

}  // namespace

bool folder_exists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool path_exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool is_link(const std::wstring& path) {
    return is_link(::GetFileAttributesW(without_trailing_backslash(path).c_str()));
}

std::wstring common_app_data() {
    wchar_t path[MAX_PATH] = L"";
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) return std::wstring();
    return path;
}

opened_entry::opened_entry(const std::wstring& path, DWORD listed)
    : error_(0), listed_link_(util::is_link(listed)), info_() {
    const bool folder = listed != INVALID_FILE_ATTRIBUTES && (listed & FILE_ATTRIBUTE_DIRECTORY);
    open(path, folder ? removal_access | folder_access : removal_access, folder ? folder_share : removal_share);
}

opened_entry opened_entry::folder_to_hold(const std::wstring& path) {
    opened_entry entry;
    entry.listed_link_ = util::is_link(::GetFileAttributesW(path.c_str()));
    entry.open(path, folder_access, folder_share);
    return entry;
}

void opened_entry::open(const std::wstring& path, DWORD access, DWORD share) {
    handle_.reset(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle_) {
        error_ = ::GetLastError();
    } else if (!::GetFileInformationByHandle(handle_.get(), &info_)) {
        error_ = ::GetLastError();
        handle_.reset();
    }
}

bool opened_entry::list(std::vector<std::pair<std::wstring, DWORD> >& entries) const {
    entries.clear();
    // Listed through the handle, so that the names are those of the folder that was checked.
    std::vector<LONGLONG> buffer(64 * 1024 / sizeof(LONGLONG));
    while (::GetFileInformationByHandleEx(handle_.get(), FileIdBothDirectoryInfo, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof(LONGLONG)))) {
        const unsigned char* at = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const FILE_ID_BOTH_DIR_INFO* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") entries.emplace_back(name, info->FileAttributes);
            if (!info->NextEntryOffset) break;
            at += info->NextEntryOffset;
        }
    }
    return ::GetLastError() == ERROR_NO_MORE_FILES;
}

bool opened_entry::remove() {
    // Wine 8 opens what a Linux symbolic link points to even with FILE_FLAG_OPEN_REPARSE_POINT
    // (only listings show the link): removing through such a handle would remove the target.
    // On Windows the handle shows a link listed as one, unless it was replaced meanwhile.
    if (listed_link_ && !util::is_link(attributes())) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // POSIX semantics take the name away at once, even while another program still has the
    // file open, so that its folder can go too; systems before Windows 10 know only the older
    // call, which also needs the read-only attribute cleared first.
    posix_disposition posix = {posix_delete};
    if (!::SetFileInformationByHandle(handle_.get(), file_disposition_info_ex, &posix, sizeof posix)) {
        if (attributes() & FILE_ATTRIBUTE_READONLY) {
            FILE_BASIC_INFO basic = {};  // times left at zero stay as they are
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
            ::SetFileInformationByHandle(handle_.get(), FileBasicInfo, &basic, sizeof basic);
        }
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (!::SetFileInformationByHandle(handle_.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
            return false;
        }
    }
    handle_.reset();
    return true;
}

namespace {

// Removes the entry at `path` when `accept` takes it; the folders from `within` down stay held.
template <typename Accept>
bool remove_entry(const std::wstring& path, const std::wstring& within, Accept accept) {
    std::vector<opened_entry> above;
    bool absent = false;
    if (!hold_folders_above(path, within, above, absent)) return absent;
    const DWORD listed = ::GetFileAttributesW(path.c_str());
    if (listed == INVALID_FILE_ATTRIBUTES) return gone_error(::GetLastError());
    opened_entry entry(path, listed);
    if (!entry.valid()) return entry.gone();
    return accept(entry) && entry.remove();
}

}  // namespace

bool remove_folder_tree(const std::wstring& folder, removal mode, const std::wstring& within) {
    const std::wstring path = without_trailing_backslash(folder);
    bool file_there = false;
    const bool removed = remove_entry(path, within, [&](const opened_entry& top) {
        if (top.is_link()) return true;
        // A file of that name is not the folder: it stays, and the folder is not there.
        file_there = !top.is_folder();
        return !file_there && remove_contents(path, top, mode);
    });
    return removed || file_there;
}

bool remove_empty_folder(const std::wstring& folder, const std::wstring& within) {
    return remove_entry(without_trailing_backslash(folder), within,
                        [](const opened_entry& entry) { return entry.is_link() || entry.is_folder(); });
}

bool remove_file(const std::wstring& path, const std::wstring& within) {
    return remove_entry(path, within, [](const opened_entry& entry) { return entry.is_link() || !entry.is_folder(); });
}

}  // namespace util
