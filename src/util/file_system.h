// File-system helpers that several subsystems share.
#pragma once

#include <string>

namespace util {

bool folder_exists(const std::wstring& path);
// A file or a folder.
bool path_exists(const std::wstring& path);

// The folder common to all users' application data (C:\ProgramData); empty when unknown.
std::wstring common_app_data();

enum class removal {
    best_effort,      // go on past a file that cannot be removed
    stop_at_failure,  // leave everything after the first file that cannot be removed
};

// Removes `folder` with everything in it. A linked folder inside is removed as a link: going
// through it would delete files that lie elsewhere. True when the folder is gone (or was never
// there).
bool remove_folder_tree(const std::wstring& folder, removal mode);

}  // namespace util
