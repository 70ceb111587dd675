// End to end in Wine's own Explorer: the DLL registered with regsvr32, a few files tagged
// through the database, then the Quibrix folder opened in Explorer's tree and read back from
// the tree and list controls of Explorer's window through window messages.
#include "com_fixture.h"
#include "database/store_io.h"
#include "database/tags_holder.h"
#include "explorer/registration.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <functional>

namespace {

const std::wstring data_folder = L"C:\\ProgramData\\Quibrix";

bool wait_for(const std::function<bool()>& done, int seconds = 15) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        ::Sleep(100);
    }
    return done();
}

HWND find_child(HWND parent, const wchar_t* class_name) {
    struct search {
        const wchar_t* class_name;
        HWND found;
    } s = {class_name, nullptr};
    ::EnumChildWindows(
        parent,
        [](HWND child, LPARAM param) -> BOOL {
            search* s = reinterpret_cast<search*>(param);
            wchar_t name[64] = L"";
            ::GetClassNameW(child, name, 64);
            if (::lstrcmpiW(name, s->class_name) != 0 || !::IsWindowVisible(child)) return TRUE;
            s->found = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

// A scratch block inside Explorer's process: the controls read and write their structures
// there, since a pointer into this process means nothing to them.
class RemoteBlock {
public:
    explicit RemoteBlock(HWND window) {
        DWORD process_id = 0;
        ::GetWindowThreadProcessId(window, &process_id);
        process_.reset(::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process_id));
        if (process_) block_ = ::VirtualAllocEx(process_.get(), nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    }
    ~RemoteBlock() {
        if (block_) ::VirtualFreeEx(process_.get(), block_, 0, MEM_RELEASE);
    }
    bool valid() const { return block_ != nullptr; }
    BYTE* at(std::size_t offset) const { return static_cast<BYTE*>(block_) + offset; }
    void write(std::size_t offset, const void* data, std::size_t bytes) const {
        ::WriteProcessMemory(process_.get(), at(offset), data, bytes, nullptr);
    }
    void read(std::size_t offset, void* data, std::size_t bytes) const {
        ::ReadProcessMemory(process_.get(), at(offset), data, bytes, nullptr);
    }
    static const std::size_t size = 4096;

private:
    util::unique_handle process_;
    void* block_ = nullptr;
};

const std::size_t text_offset = 1024;
const int text_chars = 256;

std::wstring tree_text(HWND tree, const RemoteBlock& remote, HTREEITEM item) {
    TVITEMW tv = {};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = reinterpret_cast<wchar_t*>(remote.at(text_offset));
    tv.cchTextMax = text_chars;
    remote.write(0, &tv, sizeof tv);
    if (!::SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote.at(0)))) return L"<none>";
    wchar_t text[text_chars] = L"";
    remote.read(text_offset, text, sizeof text);
    text[text_chars - 1] = 0;
    return text;
}

std::vector<HTREEITEM> tree_children(HWND tree, HTREEITEM parent) {
    std::vector<HTREEITEM> children;
    HTREEITEM child = reinterpret_cast<HTREEITEM>(
        ::SendMessageW(tree, TVM_GETNEXTITEM, parent ? TVGN_CHILD : TVGN_ROOT, reinterpret_cast<LPARAM>(parent)));
    while (child) {
        children.push_back(child);
        child = reinterpret_cast<HTREEITEM>(
            ::SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(child)));
    }
    return children;
}

std::vector<std::wstring> tree_names(HWND tree, const RemoteBlock& remote, HTREEITEM parent) {
    std::vector<std::wstring> names;
    for (HTREEITEM child : tree_children(tree, parent)) names.push_back(tree_text(tree, remote, child));
    return names;
}

HTREEITEM tree_child_named(HWND tree, const RemoteBlock& remote, HTREEITEM parent, const std::wstring& name) {
    for (HTREEITEM child : tree_children(tree, parent)) {
        if (tree_text(tree, remote, child) == name) return child;
    }
    return nullptr;
}

// Unfolds `item` and names its children as the tree shows them.
std::vector<std::wstring> unfold(HWND tree, const RemoteBlock& remote, HTREEITEM item) {
    std::vector<std::wstring> names;
    wait_for([&] {
        ::SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
        names = tree_names(tree, remote, item);
        return !names.empty();
    }, 5);
    return names;
}

std::wstring list_text(HWND list, const RemoteBlock& remote, int item, int column) {
    LVITEMW lv = {};
    lv.iSubItem = column;
    lv.pszText = reinterpret_cast<wchar_t*>(remote.at(text_offset));
    lv.cchTextMax = text_chars;
    remote.write(0, &lv, sizeof lv);
    ::SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(remote.at(0)));
    wchar_t text[text_chars] = L"";
    remote.read(text_offset, text, sizeof text);
    text[text_chars - 1] = 0;
    return text;
}

// The list view of the folder shown now: its rows as (Path, Tags) columns, sorted.
std::vector<std::pair<std::wstring, std::wstring>> list_rows(HWND list, const RemoteBlock& remote) {
    std::vector<std::pair<std::wstring, std::wstring>> rows;
    const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) rows.emplace_back(list_text(list, remote, i, 2), list_text(list, remote, i, 3));
    std::sort(rows.begin(), rows.end());
    return rows;
}

void make_file(const std::wstring& path) {
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
}

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

TEST(ExplorerEndToEnd, QuibrixFolderListsRootsTagsAndTaggedFiles) {
    const std::wstring dll = windows_path_from_environment("QUIBRIX_DLL");
    if (dll.empty()) GTEST_SKIP() << "QUIBRIX_DLL is set by the test suite";
    // Explorer's extension reads the prefix's own data folder: the test must own it.
    if (exists(data_folder)) {
        ASSERT_TRUE(explorer::RemoveDataFolder(data_folder)) << "a data folder from elsewhere is in the way";
    }
    remove_registration_keys();

    TempFolder files;
    const std::wstring song = files.path() + L"song.mp3", tune = files.path() + L"tune.mp3",
                       beach = files.path() + L"beach.jpg";
    for (const std::wstring& path : {song, tune, beach}) make_file(path);
    {
        // The tags go in through the database, as the tag dialog would put them.
        ASSERT_TRUE(::CreateDirectoryW(data_folder.c_str(), nullptr));
        items::g_immediate_write = true;
        items::TagsHolder& db = items::tags_holder();
        db.set_data_folder(data_folder);
        db.load_store();
        ASSERT_TRUE(db.set_tags({song, tune}, items::make_chain({L"Music", L"Rock"}), items::tree_ptr()));
        ASSERT_TRUE(db.set_tags({tune}, items::make_chain({L"Music", L"Jazz"}), items::tree_ptr()));
        ASSERT_TRUE(db.set_tags({beach}, items::make_chain({L"Photos", L"Holiday"}), items::tree_ptr()));
    }

    const process_result registered = run_process(L"C:\\windows\\system32\\regsvr32.exe", L"/s \"" + dll + L"\"");
    ASSERT_EQ(0u, registered.exit_code);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    wchar_t command[] = L"C:\\windows\\explorer.exe";
    ASSERT_TRUE(::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    util::unique_handle process(info.hProcess), thread(info.hThread);

    HWND window = nullptr, tree = nullptr;
    EXPECT_TRUE(wait_for([&] {
        window = ::FindWindowW(L"ExplorerWClass", nullptr);
        tree = window ? find_child(window, L"SysTreeView32") : nullptr;
        return tree != nullptr;
    }));
    if (tree) {
        RemoteBlock remote(tree);
        EXPECT_TRUE(remote.valid());
        HTREEITEM desktop = nullptr;
        EXPECT_TRUE(wait_for([&] { return (desktop = tree_child_named(tree, remote, nullptr, L"Desktop")) != nullptr; }));
        // The first unfolding of Quibrix loads the extension into Explorer, whose start-up loads
        // the database on a thread of its own: a level listed before that finished is empty, and
        // the tree does not list an unfolded entry again. Folding Desktop away drops its
        // entries; unfolding it again makes them anew, so that Quibrix is listed afresh.
        HTREEITEM quibrix = nullptr;
        std::vector<std::wstring> roots;
        EXPECT_TRUE(wait_for([&] {
            ::SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(desktop));
            quibrix = tree_child_named(tree, remote, desktop, L"Quibrix");
            if (!quibrix) return false;
            ::SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(quibrix));
            roots = tree_names(tree, remote, quibrix);
            if (!roots.empty()) return true;
            ::SendMessageW(tree, TVM_EXPAND, TVE_COLLAPSE | TVE_COLLAPSERESET, reinterpret_cast<LPARAM>(desktop));
            ::Sleep(500);
            return false;
        })) << "Explorer shows no Quibrix folder with tags";

        HTREEITEM music = nullptr, filtered = nullptr;
        if (quibrix) {
            EXPECT_EQ((std::vector<std::wstring>{L"Music", L"Photos"}), roots);
            music = tree_child_named(tree, remote, quibrix, L"Music");
            EXPECT_NE(nullptr, music);
        }
        if (music) {
            EXPECT_EQ((std::vector<std::wstring>{L"Filtered Items", L"Jazz", L"Rock"}), unfold(tree, remote, music));
            filtered = tree_child_named(tree, remote, music, L"Filtered Items");
            EXPECT_NE(nullptr, filtered);
        }
        if (filtered) {
            // Opening "Filtered Items" shows the tagged files in the view, with their folder and tags.
            ::SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(filtered));
            const std::wstring folder = files.path().substr(0, files.path().size() - 1);
            const std::vector<std::pair<std::wstring, std::wstring>> expected = {{folder, L"( Jazz, Rock )"},
                                                                                 {folder, L"( Rock )"}};
            std::vector<std::pair<std::wstring, std::wstring>> rows;
            EXPECT_TRUE(wait_for([&] {
                HWND list = find_child(window, L"SysListView32");
                if (list) rows = list_rows(list, RemoteBlock(list));
                return rows.size() == expected.size();
            }));
            EXPECT_EQ(expected.size(), rows.size());
            for (std::size_t i = 0; i < rows.size() && i < expected.size(); ++i) {
                EXPECT_EQ(expected[i].first, rows[i].first);
                // Tag order follows the tree; both tags must be named.
                EXPECT_TRUE(rows[i].second == expected[i].second ||
                            (i == 0 && rows[i].second == L"( Rock, Jazz )"))
                    << std::string(rows[i].second.begin(), rows[i].second.end());
            }
        }
    }

    if (window) ::PostMessageW(window, WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) ::TerminateProcess(process.get(), 1);

    MessageBoxAnswer answer(L"Deinstalation", IDYES);
    const process_result unregistered = run_process(L"C:\\windows\\system32\\regsvr32.exe", L"/s /u \"" + dll + L"\"");
    EXPECT_TRUE(answer.answered());
    EXPECT_EQ(0u, unregistered.exit_code);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"CLSID\\{6A1F3C52-9D4E-4B7A-8C21-3E5D7F9A0B64}"));
    // Yes: the data folder the test made is gone again.
    EXPECT_FALSE(exists(data_folder));
    remove_registration_keys();
}
