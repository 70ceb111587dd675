// File-system helpers that several subsystems share.
//
// Links: a directory junction, a mount point or a symbolic link carries a reparse point. The
// store and the link folders lie where other users may write (ProgramData, a drive's root), so
// such a link may lead anywhere, another user's documents included. Whatever walks or removes
// those folders removes a link as itself and never goes through it.
#pragma once

#include "util/unique_resource.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace util {

bool folder_exists(const std::wstring& path);
// A file or a folder.
bool path_exists(const std::wstring& path);

// The attributes (of a listing, GetFileAttributesW or a handle) are those of a link.
inline bool is_link(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
// `path` itself is a link (the last part of it; what lies above is not looked at).
bool is_link(const std::wstring& path);

// The folder common to all users' application data (C:\ProgramData); empty when unknown.
std::wstring common_app_data();

// A file or folder opened as itself (FILE_FLAG_OPEN_REPARSE_POINT): for a link, the link and not
// what it points to. What is checked on the handle is what the handle removes, whatever another
// process does to the path meanwhile. A folder is held without sharing delete: it can be neither
// renamed nor replaced while open, so that paths into it lead into the folder checked.
class opened_entry {
public:
    // `listed`: the attributes a listing or GetFileAttributesW gave for `path`; they tell how to
    // open it.
    opened_entry(const std::wstring& path, DWORD listed);
    // Opened to be walked only, not removed: for the folders above the one a walk starts at.
    static opened_entry folder_to_hold(const std::wstring& path);

    bool valid() const { return handle_.valid(); }
    // Why it could not be opened; gone() when there was nothing there.
    DWORD error() const { return error_; }
    bool gone() const { return error_ == ERROR_FILE_NOT_FOUND || error_ == ERROR_PATH_NOT_FOUND; }

    DWORD attributes() const { return info_.dwFileAttributes; }
    DWORD link_count() const { return info_.nNumberOfLinks; }  // names of the file (hard links)
    FILETIME last_write_time() const { return info_.ftLastWriteTime; }
    bool is_folder() const { return (attributes() & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // Listed as a link, or a link on the handle.
    bool is_link() const { return listed_link_ || util::is_link(attributes()); }

    // The names in the folder (without "." and ".."), each with the attributes it is listed with.
    bool list(std::vector<std::pair<std::wstring, DWORD> >& entries) const;
    // Removes what the handle is when the handle closes: a link itself, a file, an empty folder
    // (the call fails for a folder that is not empty). A read-only entry loses that attribute.
    bool remove();
    void close() { handle_.reset(); }

private:
    opened_entry() : error_(0), listed_link_(false), info_() {}
    void open(const std::wstring& path, DWORD access, DWORD share);

    unique_file handle_;
    DWORD error_;
    bool listed_link_;
    BY_HANDLE_FILE_INFORMATION info_;
};

enum class removal {
    best_effort,      // go on past a file that cannot be removed
    stop_at_failure,  // leave everything after the first file that cannot be removed
};

// Removes `folder` with everything in it. A link, at any depth or `folder` itself, is removed
// as a link, never entered. With `within` (a folder above it), every folder between the two
// must be a real folder too, or nothing is removed. True when the folder is gone (or was never
// there).
bool remove_folder_tree(const std::wstring& folder, removal mode, const std::wstring& within = std::wstring());

// Removes `folder` when it is empty (or a link, as itself), checking the folders from `within`
// down as remove_folder_tree does.
bool remove_empty_folder(const std::wstring& folder, const std::wstring& within);

// Removes the file `path` (a link as itself, never a folder), checking the folders from
// `within` down as remove_folder_tree does.
bool remove_file(const std::wstring& path, const std::wstring& within);

}  // namespace util
