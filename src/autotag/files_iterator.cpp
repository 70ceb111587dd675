#include "autotag/files_iterator.h"

#include "util/file_names.h"

namespace autotag {

namespace {

bool is_dot_entry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

}  // namespace

FilesIteratorInDir::FilesIteratorInDir(const std::wstring& path, bool walk_subdirs, const wchar_t* mask)
    : recursive(walk_subdirs), data(), dir(util::with_trailing_backslash(path)) {
    std::wstring pattern = dir + L"*";
    if (mask) pattern += mask;
    find.reset(::FindFirstFileW(pattern.c_str(), &data));
    // Only "." and ".." are dropped: a file whose name merely begins with a dot is still a file
    // to tag, wherever the listing puts it.
    if (find && is_dot_entry(data.cFileName)) advance();
}

bool FilesIteratorInDir::advance() {
    while (find) {
        if (!::FindNextFileW(find.get(), &data)) {
            find.reset();
            return false;
        }
        if (!is_dot_entry(data.cFileName)) return true;
    }
    return false;
}

bool FilesIteratorInDir::next(std::wstring& path, bool& is_dir) {
    if (!find && !sub) return false;
    if (recursive && sub) {
        if (sub->next(path, is_dir)) return true;
        sub.reset();
        if (!advance()) return false;
    }
    if (!find) return false;
    path = dir + data.cFileName;
    is_dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A junction or directory link is reported but not entered: it may lead back to one of its
    // own ancestors, and the walk would never end.
    if (is_dir && recursive && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        sub.reset(new FilesIteratorInDir(path, true));
        return true;
    }
    advance();
    return true;
}

}  // namespace autotag
