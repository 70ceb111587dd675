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
    // How failures are told and how a folder made is opened; empty: a message box owned by
    // `owner`, and ShellExecuteW "open".
    boost::function<void(const std::wstring& text)> tell;
    boost::function<void(const std::wstring& folder)> open;
    HWND owner = nullptr;
    // Makes a symbolic link as CreateSymbolicLinkW does, last error included; empty: kernel32's.
    boost::function<BOOLEAN(const wchar_t* link, const wchar_t* target, DWORD flags)> create_symbolic_link;
    // Makes a hard link as CreateHardLinkW does (without security attributes); empty: that.
    boost::function<BOOL(const wchar_t* link, const wchar_t* target)> create_hard_link;
};

// Makes the link folder(s) for `files` and opens each; returns the folders made. With symbolic
// links each file gets a symbolic link where the user may make one, else a hard link; the files
// that got neither are named in one message once the folder is open.
std::vector<std::wstring> open_in_real_folder(const std::vector<std::wstring>& files,
                                              const link_folder_options& options);
// The menu command of the view whose window is `owner`. Its message box and ShellExecuteW need
// a caller in a single-threaded apartment that pumps messages; the folder's menu sees to that.
void open_in_real_folder(const std::vector<std::wstring>& files, HWND owner);

// Removes the link folders under `base` that no open window shows and that were made more than
// `min_age_ms` ago. Only the links go, never what they point to; a folder holding anything
// that is not a link stays.
void clean_link_folders(const std::wstring& base, DWORD min_age_ms);

// Whether the clean-up removes an entry of a link folder, from the attributes and the number of
// names that a handle opened on the entry itself gives: a symbolic link (or a junction) goes as
// a link, a file only while it keeps another name (a hard link). Anything else stays, with its
// folder: an editor that saves by renaming a new file over the old one leaves the user's edits
// there in an ordinary file.
bool is_removable_link(DWORD attributes, DWORD link_count);

}  // namespace ShellNamespace
