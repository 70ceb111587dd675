// QuibrixInstall.exe on a machine that has never seen Quibrix (a Wine prefix made for this run):
// silent install, the Quibrix folder listed by Wine's Explorer from the installed module, a
// second install while Explorer holds that module, with the restart of Explorer after it, then the
// silent uninstall.
#include "com_fixture.h"
#include "explorer_window.h"
#include "database/store_io.h"
#include "database/tags_holder.h"
#include "quibrix_version.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

namespace {

const std::wstring clsid = L"{6A1F3C52-9D4E-4B7A-8C21-3E5D7F9A0B64}";
const std::wstring program_folder = L"C:\\Program Files\\Quibrix";
const std::wstring installed_module = program_folder + L"\\Quibrix.dll";
const std::wstring uninstaller = program_folder + L"\\uninstall.exe";
const std::wstring data_folder = L"C:\\ProgramData\\Quibrix";
const std::wstring uninstall_key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quibrix";
const std::wstring explorer_key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer";

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string file_bytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names of the files (not folders) in `folder` matching `pattern`, sorted.
std::vector<std::wstring> file_names(const std::wstring& folder, const wchar_t* pattern = L"*") {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    util::unique_find find(::FindFirstFileW((folder + L'\\' + pattern).c_str(), &entry));
    if (!find) return names;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
    } while (::FindNextFileW(find.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

// Every file under `folder`, as paths relative to it.
void list_tree(const std::wstring& folder, const std::wstring& relative, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW entry;
    util::unique_find find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            list_tree(folder + L'\\' + name, relative + name + L'\\', out);
        } else {
            out.push_back(relative + name);
        }
    } while (::FindNextFileW(find.get(), &entry));
}

std::vector<std::wstring> tree_files(const std::wstring& folder) {
    std::vector<std::wstring> files;
    list_tree(folder, L"", files);
    std::sort(files.begin(), files.end());
    return files;
}

// A string of a version resource's English (US, Unicode) table, or empty.
std::wstring version_string(const std::wstring& file, const wchar_t* name) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) return std::wstring();
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return std::wstring();
    void* text = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!::VerQueryValueW(block.data(), query.c_str(), &text, &length) || length == 0) return std::wstring();
    return static_cast<const wchar_t*>(text);
}

DWORD fixed_file_version_ms(const std::wstring& file) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    std::vector<BYTE> block(size ? size : 1);
    void* fixed = nullptr;
    UINT length = 0;
    if (!size || !::GetFileVersionInfoW(file.c_str(), 0, size, block.data()) ||
        !::VerQueryValueW(block.data(), L"\\", &fixed, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        return 0;
    }
    return static_cast<const VS_FIXEDFILEINFO*>(fixed)->dwFileVersionMS;
}

// The module paths loaded in process `id`, lower-cased.
std::vector<std::wstring> loaded_modules(DWORD id) {
    std::vector<std::wstring> paths;
    // INVALID_HANDLE_VALUE on failure, as CreateFile answers.
    util::unique_file snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, id));
    if (!snapshot) return paths;
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    for (BOOL more = ::Module32FirstW(snapshot.get(), &module); more; more = ::Module32NextW(snapshot.get(), &module)) {
        std::wstring path = module.szExePath;
        ::CharLowerBuffW(&path[0], static_cast<DWORD>(path.size()));
        paths.push_back(path);
    }
    return paths;
}

// Every explorer.exe process, with the process that started it.
std::map<DWORD, DWORD> explorer_processes() {
    std::map<DWORD, DWORD> parents;
    util::unique_file snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return parents;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (::lstrcmpiW(entry.szExeFile, L"explorer.exe") == 0) parents[entry.th32ProcessID] = entry.th32ParentProcessID;
    }
    return parents;
}

// The Explorer window of process `id`, or null.
HWND explorer_window_of(DWORD id) {
    struct search {
        DWORD id;
        HWND found;
    } wanted = {id, nullptr};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            search& wanted = *reinterpret_cast<search*>(context);
            DWORD owner = 0;
            wchar_t name[32] = {};
            ::GetWindowThreadProcessId(window, &owner);
            if (owner != wanted.id || !::GetClassNameW(window, name, 32) || ::lstrcmpW(name, L"ExplorerWClass")) return TRUE;
            wanted.found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&wanted));
    return wanted.found;
}

void make_file(const std::wstring& path) {
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
}

// What the installer was built from (scripts/package's payload folder), as Windows paths.
struct payload {
    std::wstring folder;
    std::wstring installer;
};

void expect_installed_files(const payload& built) {
    // The module that was packaged, byte for byte, and exactly the tool and plug-ins that were.
    const std::string module = file_bytes(installed_module);
    EXPECT_FALSE(module.empty());
    EXPECT_TRUE(module == file_bytes(built.folder + L"\\Quibrix.dll")) << "Quibrix.dll differs from the payload";
    EXPECT_EQ(exists(built.folder + L"\\quibrix.exe"), exists(program_folder + L"\\quibrix.exe"));
    EXPECT_TRUE(exists(program_folder + L"\\plugins\\"));
    EXPECT_EQ(file_names(built.folder + L"\\plugins", L"*.dll"), file_names(program_folder + L"\\plugins", L"*.dll"));
    EXPECT_TRUE(exists(uninstaller));
}

void expect_registered() {
    const std::wstring class_key = L"CLSID\\" + clsid;
    EXPECT_EQ(L"Quibrix", read_value(HKEY_CLASSES_ROOT, class_key, nullptr).text());
    EXPECT_EQ(installed_module, read_value(HKEY_CLASSES_ROOT, class_key + L"\\InprocServer32", nullptr).text());
    EXPECT_EQ(L"Both", read_value(HKEY_CLASSES_ROOT, class_key + L"\\InprocServer32", L"ThreadingModel").text());
    EXPECT_EQ(installed_module + L",1", read_value(HKEY_CLASSES_ROOT, class_key + L"\\DefaultIcon", nullptr).text());
    EXPECT_EQ(0xA0000020u, read_value(HKEY_CLASSES_ROOT, class_key + L"\\ShellFolder", L"Attributes").number());
    EXPECT_EQ(clsid, read_value(HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\Quibrix", nullptr).text());
    EXPECT_EQ(clsid, read_value(HKEY_CLASSES_ROOT, L"Folder\\shellex\\ContextMenuHandlers\\Quibrix", nullptr).text());
    EXPECT_EQ(clsid, read_value(HKEY_LOCAL_MACHINE, explorer_key + L"\\ShellIconOverlayIdentifiers\\Quibrix", nullptr).text());
    EXPECT_EQ(L"Quibrix", read_value(HKEY_LOCAL_MACHINE,
                                     L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved",
                                     clsid.c_str()).text());
    EXPECT_EQ(L"Quibrix", read_value(HKEY_LOCAL_MACHINE, explorer_key + L"\\Desktop\\Namespace\\" + clsid, nullptr).text());
    EXPECT_EQ(L"Quibrix",
              read_value(HKEY_LOCAL_MACHINE, explorer_key + L"\\MyComputer\\Namespace\\" + clsid, nullptr).text());
}

void expect_unregistered() {
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\Quibrix"));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"Folder\\shellex\\ContextMenuHandlers\\Quibrix"));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, explorer_key + L"\\ShellIconOverlayIdentifiers\\Quibrix"));
    EXPECT_FALSE(read_value(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved",
                            clsid.c_str()).exists);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, explorer_key + L"\\Desktop\\Namespace\\" + clsid));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, explorer_key + L"\\MyComputer\\Namespace\\" + clsid));
}

void expect_add_remove_programs_entry() {
    const std::wstring version = QUIBRIX_VERSION_WSTRING;
    EXPECT_EQ(L"Quibrix", read_value(HKEY_LOCAL_MACHINE, uninstall_key, L"DisplayName").text());
    EXPECT_EQ(version, read_value(HKEY_LOCAL_MACHINE, uninstall_key, L"DisplayVersion").text());
    EXPECT_EQ(L"Quibrix", read_value(HKEY_LOCAL_MACHINE, uninstall_key, L"Publisher").text());
    EXPECT_EQ(L"\"" + uninstaller + L"\"", read_value(HKEY_LOCAL_MACHINE, uninstall_key, L"UninstallString").text());
    EXPECT_EQ(L"\"" + uninstaller + L"\" /S", read_value(HKEY_LOCAL_MACHINE, uninstall_key, L"QuietUninstallString").text());
    EXPECT_EQ(installed_module + L",1", read_value(HKEY_LOCAL_MACHINE, uninstall_key, L"DisplayIcon").text());
    EXPECT_EQ(program_folder, read_value(HKEY_LOCAL_MACHINE, uninstall_key, L"InstallLocation").text());
    // In KiB: at least the module, at most all that the folder holds with room for rounding.
    const registry_value size = read_value(HKEY_LOCAL_MACHINE, uninstall_key, L"EstimatedSize");
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), size.type);
    std::size_t bytes = 0;
    std::vector<std::wstring> installed = tree_files(program_folder);
    for (const std::wstring& file : installed) bytes += file_bytes(program_folder + L'\\' + file).size();
    EXPECT_GE(size.number(), file_bytes(installed_module).size() / 1024);
    EXPECT_LE(size.number(), bytes / 1024 + installed.size());
}

void expect_version_everywhere(const payload& built) {
    const std::wstring version = QUIBRIX_VERSION_WSTRING;
    EXPECT_EQ(version, version_string(installed_module, L"ProductVersion"));
    EXPECT_EQ(static_cast<DWORD>(QUIBRIX_VERSION_MAJOR << 16 | QUIBRIX_VERSION_MINOR),
              fixed_file_version_ms(installed_module));
    EXPECT_EQ(version, version_string(built.installer, L"ProductVersion"));
    const std::wstring tool = program_folder + L"\\quibrix.exe";
    if (exists(tool)) {
        const process_result printed = run_process(tool, L"--version");
        EXPECT_EQ(0u, printed.exit_code);
        EXPECT_NE(std::string::npos, printed.output.find(QUIBRIX_VERSION_STRING)) << printed.output;
    }
}

}  // namespace

TEST(Installer, InstallsListsInExplorerUpgradesInUseAndUninstallsKeepingTheTags) {
    payload built = {windows_path_from_environment("QUIBRIX_PAYLOAD"),
                     windows_path_from_environment("QUIBRIX_INSTALLER")};
    if (built.installer.empty()) GTEST_SKIP() << "QUIBRIX_INSTALLER and QUIBRIX_PAYLOAD are set by the test suite";
    ASSERT_TRUE(exists(built.installer));
    ASSERT_FALSE(exists(program_folder)) << "the prefix must be new";

    // Tag data from before the installation, as a user of an earlier copy would have it.
    TempFolder files;
    {
        const std::wstring song = files.path() + L"song.mp3", beach = files.path() + L"beach.jpg";
        make_file(song);
        make_file(beach);
        ASSERT_TRUE(::CreateDirectoryW(data_folder.c_str(), nullptr));
        items::g_immediate_write = true;
        items::TagsHolder& db = items::tags_holder();
        db.set_data_folder(data_folder);
        db.load_store();
        ASSERT_TRUE(db.set_tags({song}, items::make_chain({L"Music", L"Rock"}), items::tree_ptr()));
        ASSERT_TRUE(db.set_tags({beach}, items::make_chain({L"Photos", L"Holiday"}), items::tree_ptr()));
        // The identity files are written in the background: the data is compared once they are.
        ASSERT_TRUE(db.wait_relinked(30000));
    }
    const std::vector<std::wstring> tag_data = tree_files(data_folder);
    ASSERT_FALSE(tag_data.empty());

    // Silent install.
    ASSERT_EQ(0u, run_process(built.installer, L"/S").exit_code);
    expect_installed_files(built);
    expect_registered();
    expect_add_remove_programs_entry();
    expect_version_everywhere(built);

    // Wine's Explorer lists the Quibrix folder with the roots of the tag data, from the module in
    // Program Files.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    wchar_t command[] = L"C:\\windows\\explorer.exe";
    ASSERT_TRUE(::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    util::unique_handle explorer_process(info.hProcess), explorer_thread(info.hThread);
    HWND window = nullptr, tree_window = nullptr;
    EXPECT_TRUE(wait_for([&] {
        window = ::FindWindowW(L"ExplorerWClass", nullptr);
        tree_window = window ? find_visible_child(window, L"SysTreeView32") : nullptr;
        return tree_window != nullptr;
    }));
    if (tree_window) {
        ExplorerTree tree(tree_window);
        EXPECT_TRUE(tree.valid());
        std::vector<std::wstring> roots;
        EXPECT_NE(nullptr, tree.quibrix_roots(roots)) << "Explorer shows no Quibrix folder with tags";
        EXPECT_EQ((std::vector<std::wstring>{L"Music", L"Photos"}), roots);
    }
    std::wstring lowered = installed_module;
    ::CharLowerBuffW(&lowered[0], static_cast<DWORD>(lowered.size()));
    const std::vector<std::wstring> modules = loaded_modules(info.dwProcessId);
    EXPECT_NE(modules.end(), std::find(modules.begin(), modules.end(), lowered)) << "Explorer did not load the installed module";

    // A second install while Explorer holds the module: it cannot be overwritten there (as on
    // Windows), so it moves aside for deletion at the next reboot and the new copy takes its place.
    // Then Explorer restarts, to load the new copy. Setup is elevated on Windows, so whatever
    // Explorer it starts must come from the user's shell, not from Setup: Wine's Restart
    // Manager lists no process and Wine has no shell window, so here the new Explorer is the
    // one that the desktop's shell (Wine's desktop process) starts through IShellDispatch2.
    const bool held = !util::unique_file(::CreateFileW(installed_module.c_str(), GENERIC_WRITE, 0, nullptr,
                                                       OPEN_EXISTING, 0, nullptr)).valid();
    const std::map<DWORD, DWORD> before_restart = explorer_processes();
    DWORD shell_process = 0;
    ::GetWindowThreadProcessId(::GetDesktopWindow(), &shell_process);
    EXPECT_EQ(0u, run_process(built.installer, L"/S /RESTARTEXPLORER").exit_code);
    DWORD restarted = 0, restarted_by = 0;
    EXPECT_TRUE(wait_for([&] {
        for (const auto& process : explorer_processes()) {
            if (before_restart.count(process.first)) continue;
            restarted = process.first;
            restarted_by = process.second;
            return true;
        }
        return false;
    })) << "no Explorer was started";
    EXPECT_NE(0u, shell_process);
    EXPECT_EQ(shell_process, restarted_by) << "Explorer was not started by the user's shell";
    // It shows the Quibrix folder from the new copy, while the old Explorer keeps the old one.
    HWND restarted_tree = nullptr;
    EXPECT_TRUE(restarted && wait_for([&] {
        const HWND restarted_window = explorer_window_of(restarted);
        restarted_tree = restarted_window ? find_visible_child(restarted_window, L"SysTreeView32") : nullptr;
        return restarted_tree != nullptr;
    }));
    if (restarted_tree) {
        ExplorerTree tree(restarted_tree);
        std::vector<std::wstring> roots;
        EXPECT_NE(nullptr, tree.quibrix_roots(roots)) << "the restarted Explorer shows no Quibrix folder";
        const std::vector<std::wstring> loaded = loaded_modules(restarted);
        EXPECT_NE(loaded.end(), std::find(loaded.begin(), loaded.end(), lowered)) << "it did not load the new module";
    }
    expect_installed_files(built);
    expect_registered();
    expect_add_remove_programs_entry();
    const std::vector<std::wstring> set_aside = file_names(program_folder, L"ns*.tmp");
    std::printf("Explorer %s the module during the upgrade; %u file(s) set aside\n", held ? "held" : "did not hold",
                static_cast<unsigned>(set_aside.size()));
    if (held) {
        // The module, and the plug-ins that Explorer loaded with it.
        EXPECT_FALSE(set_aside.empty());
        const registry_value pending = read_value(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                                                  L"PendingFileRenameOperations");
        const std::wstring operations(reinterpret_cast<const wchar_t*>(pending.bytes.data()),
                                      pending.bytes.size() / sizeof(wchar_t));
        for (const std::wstring& copy : set_aside) {
            EXPECT_NE(std::wstring::npos, operations.find(program_folder + L'\\' + copy))
                << narrow(copy) << " is not deleted at the next reboot";
        }
    } else {
        EXPECT_TRUE(set_aside.empty());
    }

    if (window) ::PostMessageW(window, WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(explorer_process.get(), 10000) != WAIT_OBJECT_0) ::TerminateProcess(explorer_process.get(), 1);
    // The restarted Explorer holds the new module, which the uninstaller must be free to delete.
    util::unique_handle restarted_process(restarted ? ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, restarted)
                                                    : nullptr);
    if (restarted_process) {
        ::TerminateProcess(restarted_process.get(), 1);
        ::WaitForSingleObject(restarted_process.get(), 10000);
    }

    // Silent uninstall. The uninstaller hands its work to a copy of itself in the temporary
    // folder and returns at once; its last step removes the Add or Remove Programs entry.
    // A question about the tag data, wrongly shown, would be answered Yes: the data would go.
    {
        MessageBoxAnswer wrongly_asked(L"Deinstalation", IDYES);
        EXPECT_EQ(0u, run_process(uninstaller, L"/S").exit_code);
        EXPECT_TRUE(wait_for([] { return !key_exists(HKEY_LOCAL_MACHINE, uninstall_key); }, 60));
    }
    expect_unregistered();
    EXPECT_TRUE(wait_for([] { return !exists(program_folder); }, 10)) << "program files left behind";
    // Explorer's start-up may have added its settings file; the tags are all still there.
    const std::vector<std::wstring> kept = tree_files(data_folder);
    EXPECT_TRUE(std::includes(kept.begin(), kept.end(), tag_data.begin(), tag_data.end()));
}
