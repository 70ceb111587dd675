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
    const std::wstring name = util::last_component(file);
    std::wstring path = util::with_trailing_backslash(folder) + name;
    for (int n = 2; exists(path); ++n) {
        const std::wstring::size_type dot = name.rfind(L'.');
        const std::wstring stem = dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot);
        const std::wstring extension = stem.size() == name.size() ? std::wstring() : name.substr(dot);
        path = util::with_trailing_backslash(folder) + stem + L" (" + std::to_wstring(n) + L")" + extension;
    }
    return path;
}

// Makes one link at a time, each a symbolic link where the system lets this user make one and
// a hard link where it does not.
class link_maker {
public:
    explicit link_maker(const link_folder_options& options)
        : create_(options.create_symbolic_link), hard_link_(options.create_hard_link) {
        if (!create_) {
            if (const create_symbolic_link_fn system = symbolic_link_function()) create_ = system;
        }
    }

    bool make(const std::wstring& link, const std::wstring& target) {
        const DWORD kind = ::PathIsDirectoryW(target.c_str()) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
        if (symbolic(link, target, kind)) return true;
        // Without the right to make symbolic links (a standard user without Developer Mode), a
        // file on the temporary folder's volume still gets a hard link; a folder gets none.
        if (kind) return false;
        const BOOL linked = hard_link_ ? hard_link_(link.c_str(), target.c_str())
                                       : ::CreateHardLinkW(link.c_str(), target.c_str(), nullptr);
        return linked && exists(link);
    }

private:
    bool symbolic(const std::wstring& link, const std::wstring& target, DWORD kind) {
        if (!create_) return false;
        if (unprivileged_) {
            // With Developer Mode on, this flag lets a standard user make the link.
            if (create_(link.c_str(), target.c_str(), kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
                return made(link);
            }
            if (::GetLastError() != ERROR_INVALID_PARAMETER) return false;
            // Systems before Windows 10 1703 refuse the flag itself; they are asked without it
            // from now on.
            unprivileged_ = false;
        }
        return create_(link.c_str(), target.c_str(), kind) && made(link);
    }

    // Wine 8's CreateSymbolicLinkW answers TRUE and makes nothing: only a link that is there
    // counts.
    static bool made(const std::wstring& link) { return exists(link); }

    boost::function<BOOLEAN(const wchar_t*, const wchar_t*, DWORD)> create_;
    boost::function<BOOL(const wchar_t*, const wchar_t*)> hard_link_;
    bool unprivileged_ = true;
};

std::wstring unlinked_message(const std::vector<std::wstring>& files) {
    std::wstring text = L"No link could be made to these files:";
    for (const std::wstring& file : files) text += L"\n" + file;
    return text;
}

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
    link_maker maker(options);
    std::vector<std::wstring> unlinked;
    for (const std::wstring& file : files) {
        if (!maker.make(link_path(folder, file), file)) unlinked.push_back(file);
    }
    if (unlinked.size() == files.size()) {
        ::RemoveDirectoryW(folder.c_str());
    } else {
        made_folders().push_back(folder);
        made.push_back(folder);
        options.open(folder);
    }
    if (!unlinked.empty()) options.tell(unlinked_message(unlinked));
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

// Removes the links of one link folder, and then the folder if nothing else was in it. Nothing
// is ever entered: a link to a folder, removed by walking through it, would take the user's
// files with it. Each entry is checked and removed through one handle opened on the entry
// itself, so that another user cannot put a link to something else in its place between the
// two.
void remove_links(const std::wstring& folder_path, util::opened_entry& folder) {
    std::vector<std::pair<std::wstring, DWORD> > entries;
    if (!folder.list(entries)) return;
    bool emptied = true;
    for (const auto& listed : entries) {
        util::opened_entry entry(folder_path + L'\\' + listed.first, listed.second);
        const bool removed = entry.valid() ? is_removable_link(entry.attributes(), entry.link_count()) && entry.remove()
                                           : entry.gone();
        if (!removed) emptied = false;
    }
    if (emptied) folder.remove();
}

}  // namespace

link_kind link_kind_of_system() {
    return LOBYTE(LOWORD(::GetVersion())) >= 6 ? link_kind::symbolic : link_kind::hard;
}

bool is_removable_link(DWORD attributes, DWORD link_count) {
    if (util::is_link(attributes)) return true;  // the link goes, what it points to stays
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    return link_count > 1;
}

void clean_link_folders(const std::wstring& base, DWORD min_age_ms) {
    // Held while it is cleaned: the base lies where other users may write (a drive's root), and
    // a link in its place would lead the clean-up into another folder.
    const util::opened_entry held = util::opened_entry::folder_to_hold(base);
    if (!held.valid() || held.is_link() || !held.is_folder()) return;
    std::vector<std::pair<std::wstring, DWORD> > entries;
    if (!held.list(entries)) return;
    const std::wstring prefix = util::with_trailing_backslash(base);
    for (const auto& listed : entries) {
        const std::wstring& name = listed.first;
        if (!(listed.second & FILE_ATTRIBUTE_DIRECTORY) || util::is_link(listed.second) || !is_link_folder_name(name)) {
            continue;
        }
        util::opened_entry folder(prefix + name, listed.second);
        if (!folder.valid() || folder.is_link() || !folder.is_folder()) continue;
        // Last written when it was filled: creation times are not kept by every file system.
        if (age_ms(folder.last_write_time()) < min_age_ms || shown_by_a_window(name)) continue;
        remove_links(prefix + name, folder);
    }
}

std::vector<std::wstring> open_in_real_folder(const std::vector<std::wstring>& files,
                                              const link_folder_options& given) {
    link_folder_options options = given;
    if (!options.tell) {
        const HWND owner = options.owner;
        options.tell = [owner](const std::wstring& text) { ::MessageBoxW(owner, text.c_str(), nullptr, MB_OK); };
    }
    if (!options.open) options.open = open_by_shell;
    if (options.kind == link_kind::symbolic) return symbolic_variant(files, options);
    return hard_variant(files, options);
}

void open_in_real_folder(const std::vector<std::wstring>& files, HWND owner) {
    link_folder_options options;
    options.kind = link_kind_of_system();
    options.owner = owner;
    open_in_real_folder(files, options);
}

}  // namespace ShellNamespace
