#include "util/file_system.h"

#include "util/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

namespace util {

bool folder_exists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool path_exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring common_app_data() {
    wchar_t path[MAX_PATH] = L"";
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) return std::wstring();
    return path;
}

bool remove_folder_tree(const std::wstring& folder, removal mode) {
    if (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    const std::wstring prefix = folder + L'\\';
    bool all_removed = true;
    WIN32_FIND_DATAW entry;
    {
        unique_find find(::FindFirstFileExW((prefix + L'*').c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                            nullptr, FIND_FIRST_EX_LARGE_FETCH));
        if (find) {
            do {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring path = prefix + name;
                bool removed;
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                    if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
                        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    }
                    removed = ::DeleteFileW(path.c_str()) != 0;
                } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                    removed = ::RemoveDirectoryW(path.c_str()) != 0;
                } else {
                    removed = remove_folder_tree(path, mode);
                }
                if (!removed) {
                    if (mode == removal::stop_at_failure) return false;
                    all_removed = false;
                }
            } while (::FindNextFileW(find.get(), &entry));
        }
    }
    return (::RemoveDirectoryW(folder.c_str()) != 0 || !folder_exists(folder)) && all_removed;
}

}  // namespace util
