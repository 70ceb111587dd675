// "Open in real folder": several tagged files gathered as links in one new folder under
// "qbx_tmp", opened in Explorer. Symbolic links from version 6 of the system on, hard links
// (one link folder per drive) before. Old link folders are cleaned up as the command runs.
#pragma once

#include <windows.h>

#include <boost/function.hpp>

#include <string>
#include <vector>

namespace ShellNamespace {

enum class link_kind { symbolic, hard };

// Symbolic links from major version 6 on, hard links before.
link_kind link_kind_of_system();

struct link_folder_options {
    link_kind kind = link_kind::symbolic;
    // The symbolic variant's base is this folder's "qbx_tmp"; empty: the user's temporary folder.
    std::wstring temp_folder;
    // How failures are told and how a folder made is opened; empty: a message box, and
    // ShellExecuteW "open".
    boost::function<void(const std::wstring& text)> tell;
    boost::function<void(const std::wstring& folder)> open;
};

// Makes the link folder(s) for `files` and opens each; returns the folders made.
std::vector<std::wstring> open_in_real_folder(const std::vector<std::wstring>& files,
                                              const link_folder_options& options);
void open_in_real_folder(const std::vector<std::wstring>& files);

// Removes the link folders under `base` that no open window shows and that were made more than
// `min_age_ms` ago. Only the links go, never what they point to; a folder holding anything
// that is not a link stays.
void clean_link_folders(const std::wstring& base, DWORD min_age_ms);

}  // namespace ShellNamespace
