#include "namespace/link_folder.h"

#include "util/file_names.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cwctype>
#include <map>

namespace ShellNamespace {

namespace {

const wchar_t link_base_name[] = L"qbx_tmp";
// A window that Explorer is still opening for a new link folder may not carry its title yet.
const DWORD cleanup_age_ms = 60 * 1000;

typedef BOOLEAN(WINAPI* create_symbolic_link_fn)(LPCWSTR, LPCWSTR, DWORD);

create_symbolic_link_fn symbolic_link_function() {
    static const create_symbolic_link_fn function = reinterpret_cast<create_symbolic_link_fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
    return function;
}

// Every link folder this process made.
std::vector<std::wstring>& made_folders() {
    static std::vector<std::wstring>* folders = new std::vector<std::wstring>;
    return *folders;
}

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring file_name_of(const std::wstring& path) {
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// A new folder "<n>dir" under `base`. A name that is taken is no failure: another is drawn.
bool make_numbered_folder(const std::wstring& base, std::wstring& folder) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        folder = util::with_trailing_backslash(base) + std::to_wstring(std::rand() % 10000) + L"dir";
        if (::CreateDirectoryW(folder.c_str(), nullptr)) return true;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// The link's path in `folder`: the file's own name; two files of one name from different
// folders get "name (2)", "name (3)".
std::wstring link_path(const std::wstring& folder, const std::wstring& file) {
    const std::wstring name = file_name_of(file);
    std::wstring path = util::with_trailing_backslash(folder) + name;
    for (int n = 2; exists(path); ++n) {
        const std::wstring::size_type dot = name.rfind(L'.');
        const std::wstring stem = dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot);
        const std::wstring extension = stem.size() == name.size() ? std::wstring() : name.substr(dot);
        path = util::with_trailing_backslash(folder) + stem + L" (" + std::to_wstring(n) + L")" + extension;
    }
    return path;
}

bool make_symbolic_link(const std::wstring& link, const std::wstring& target) {
    const create_symbolic_link_fn create = symbolic_link_function();
    const DWORD flags = ::PathIsDirectoryW(target.c_str()) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (create && create(link.c_str(), target.c_str(), flags) && exists(link)) return true;
    // A user without the right to make symbolic links (or a system that answers success and
    // makes none) still gets a link for a file on the same drive.
    return !flags && ::CreateHardLinkW(link.c_str(), target.c_str(), nullptr) && exists(link);
}

void tell_by_box(const std::wstring& text) { ::MessageBoxW(nullptr, text.c_str(), nullptr, MB_OK); }

void open_by_shell(const std::wstring& folder) {
    ::ShellExecuteW(nullptr, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

std::wstring temp_folder() {
    wchar_t path[MAX_PATH + 1] = L"";
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, path);
    return length && length <= MAX_PATH ? std::wstring(path, length) : std::wstring();
}

std::vector<std::wstring> symbolic_variant(const std::vector<std::wstring>& files, const link_folder_options& options) {
    std::vector<std::wstring> made;
    if (!symbolic_link_function()) {
        options.tell(L"Unknown error");
        return made;
    }
    const std::wstring base =
        util::with_trailing_backslash(options.temp_folder.empty() ? temp_folder() : options.temp_folder) +
        link_base_name;
    clean_link_folders(base, cleanup_age_ms);
    std::wstring folder;
    if ((!util::folder_exists(base) && !::CreateDirectoryW(base.c_str(), nullptr)) ||
        !make_numbered_folder(base, folder)) {
        options.tell(L"Can't create temporary directory");
        return made;
    }
    bool linked = false;
    for (const std::wstring& file : files) {
        if (make_symbolic_link(link_path(folder, file), file)) linked = true;
    }
    if (!linked) {
        ::RemoveDirectoryW(folder.c_str());
        options.tell(L"Unknown error");
        return made;
    }
    made_folders().push_back(folder);
    made.push_back(folder);
    options.open(folder);
    return made;
}

std::vector<std::wstring> hard_variant(const std::vector<std::wstring>& files, const link_folder_options& options) {
    // Hard links cannot cross drives: one link folder per drive, in the order first seen.
    std::vector<std::wstring> drives;
    std::map<std::wstring, std::vector<std::wstring> > by_drive;
    for (const std::wstring& file : files) {
        if (file.size() < 3 || file[1] != L':') continue;
        const std::wstring drive(1, static_cast<wchar_t>(std::towupper(file[0])));
        if (by_drive.find(drive) == by_drive.end()) drives.push_back(drive);
        by_drive[drive].push_back(file);
    }
    std::vector<std::wstring> made;
    for (const std::wstring& drive : drives) {
        const std::wstring base = drive + L":\\" + link_base_name;
        clean_link_folders(base, cleanup_age_ms);
        if (!util::folder_exists(base) && !::CreateDirectoryW(base.c_str(), nullptr)) {
            // This drive is skipped; the others still get their folders.
            options.tell(L"Can't create temp directory for disk - " + drive);
            continue;
        }
        std::wstring folder;
        if (!make_numbered_folder(base, folder)) {
            options.tell(L"Can't create temp directory \n" + folder);
            continue;
        }
        for (const std::wstring& file : by_drive[drive]) {
            if (!::CreateHardLinkW(link_path(folder, file).c_str(), file.c_str(), nullptr)) {
                options.tell(L"Can't create hardlink to file \n" + file);
            }
        }
        made_folders().push_back(folder);
        made.push_back(folder);
    }
    for (const std::wstring& folder : made) options.open(folder);
    return made;
}

struct title_search {
    const std::wstring* name;
    bool found;
};

BOOL CALLBACK find_title(HWND window, LPARAM search_address) {
    title_search& search = *reinterpret_cast<title_search*>(search_address);
    wchar_t title[1024] = L"";
    if (::GetWindowTextW(window, title, 1024) && ::StrStrIW(title, search.name->c_str())) {
        search.found = true;
        return FALSE;
    }
    return TRUE;
}

// True when a top-level window's title names the folder (Explorer titles a window with the
// folder's name or its whole path).
bool shown_by_a_window(const std::wstring& folder_name) {
    title_search search = {&folder_name, false};
    ::EnumWindows(find_title, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool is_link_folder_name(const std::wstring& name) {
    if (name.size() < 4 || name.compare(name.size() - 3, 3, L"dir") != 0) return false;
    for (std::size_t i = 0; i + 3 < name.size(); ++i) {
        if (name[i] < L'0' || name[i] > L'9') return false;
    }
    return true;
}

ULONGLONG age_ms(const FILETIME& written) {
    FILETIME now_time;
    ::GetSystemTimeAsFileTime(&now_time);
    ULARGE_INTEGER now, then;
    now.LowPart = now_time.dwLowDateTime;
    now.HighPart = now_time.dwHighDateTime;
    then.LowPart = written.dwLowDateTime;
    then.HighPart = written.dwHighDateTime;
    return now.QuadPart > then.QuadPart ? (now.QuadPart - then.QuadPart) / 10000 : 0;
}

// Removes the links of one link folder and then the folder. Nothing is ever entered: a link to
// a folder, removed by walking through it, would take the user's files with it.
void remove_links(const std::wstring& folder) {
    const std::wstring prefix = util::with_trailing_backslash(folder);
    WIN32_FIND_DATAW entry;
    util::unique_find find(::FindFirstFileW((prefix + L'*').c_str(), &entry));
    if (find) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = prefix + name;
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                ::DeleteFileW(path.c_str());
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // A directory link goes as a directory; its target is not touched.
                ::RemoveDirectoryW(path.c_str());
            }
            // A real folder inside was not made by "Open in real folder": it stays, and so
            // does the link folder around it.
        } while (::FindNextFileW(find.get(), &entry));
    }
    find.reset();
    ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

link_kind link_kind_of_system() {
    return LOBYTE(LOWORD(::GetVersion())) >= 6 ? link_kind::symbolic : link_kind::hard;
}

void clean_link_folders(const std::wstring& base, DWORD min_age_ms) {
    const std::wstring prefix = util::with_trailing_backslash(base);
    std::vector<std::wstring> old_folders;
    WIN32_FIND_DATAW entry;
    {
        util::unique_find find(::FindFirstFileW((prefix + L'*').c_str(), &entry));
        if (!find) return;
        do {
            const std::wstring name = entry.cFileName;
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !is_link_folder_name(name)) {
                continue;
            }
            // Last written when it was filled: creation times are not kept by every file system.
            if (age_ms(entry.ftLastWriteTime) < min_age_ms || shown_by_a_window(name)) continue;
            old_folders.push_back(prefix + name);
        } while (::FindNextFileW(find.get(), &entry));
    }
    for (const std::wstring& folder : old_folders) remove_links(folder);
}

std::vector<std::wstring> open_in_real_folder(const std::vector<std::wstring>& files,
                                              const link_folder_options& given) {
    link_folder_options options = given;
    if (!options.tell) options.tell = tell_by_box;
    if (!options.open) options.open = open_by_shell;
    if (options.kind == link_kind::symbolic) return symbolic_variant(files, options);
    return hard_variant(files, options);
}

void open_in_real_folder(const std::vector<std::wstring>& files) {
    link_folder_options options;
    options.kind = link_kind_of_system();
    open_in_real_folder(files, options);
}

}  // namespace ShellNamespace
