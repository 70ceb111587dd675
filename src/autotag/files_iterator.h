// Walks the files and folders of a directory, optionally with its sub-directories, one entry
// per call. Directories come before their contents, and a listing is held open only while it
// is being walked.
#pragma once

#include "util/unique_resource.h"

#include <boost/shared_ptr.hpp>

#include <windows.h>

#include <string>

namespace autotag {

class FilesIteratorInDir {
public:
    // `mask` is appended to the pattern after "*" (null: every name).
    FilesIteratorInDir(const std::wstring& path, bool recursive, const wchar_t* mask = nullptr);
    FilesIteratorInDir(const FilesIteratorInDir&) = delete;
    FilesIteratorInDir& operator=(const FilesIteratorInDir&) = delete;

    // The next entry's full path and whether it is a directory; false when the walk is over.
    // A directory that cannot be listed gives an empty walk.
    bool next(std::wstring& path, bool& is_dir);

private:
    // Moves to the next entry other than "." and ".."; closes the listing at its end.
    bool advance();

    util::unique_find find;
    bool recursive;
    WIN32_FIND_DATAW data;
    std::wstring dir;  // always ends with a backslash
    boost::shared_ptr<FilesIteratorInDir> sub;
};

}  // namespace autotag
