// End to end in Wine's own Explorer: the DLL registered with regsvr32, a few files tagged
// through the database, then the Quibrix folder opened in Explorer's tree and read back from
// the tree and list controls of Explorer's window through window messages.
#include "com_fixture.h"
#include "explorer_window.h"
#include "database/store_io.h"
#include "database/tags_holder.h"
#include "explorer/registration.h"

#include <string>
#include <utility>
#include <vector>

namespace {

const std::wstring data_folder = L"C:\\ProgramData\\Quibrix";

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
        HTREEITEM quibrix = tree.quibrix_roots(roots);
        EXPECT_NE(nullptr, quibrix) << "Explorer shows no Quibrix folder with tags";

        HTREEITEM music = nullptr, filtered = nullptr;
        if (quibrix) {
            EXPECT_EQ((std::vector<std::wstring>{L"Music", L"Photos"}), roots);
            music = tree.child_named(quibrix, L"Music");
            EXPECT_NE(nullptr, music);
        }
        if (music) {
            EXPECT_EQ((std::vector<std::wstring>{L"Filtered Items", L"Jazz", L"Rock"}), tree.unfold(music));
            filtered = tree.child_named(music, L"Filtered Items");
            EXPECT_NE(nullptr, filtered);
        }
        if (filtered) {
            // Opening "Filtered Items" shows the tagged files in the view, with their folder and tags.
            tree.select(filtered);
            const std::wstring folder = files.path().substr(0, files.path().size() - 1);
            const std::vector<std::pair<std::wstring, std::wstring>> expected = {{folder, L"( Jazz, Rock )"},
                                                                                 {folder, L"( Rock )"}};
            std::vector<std::pair<std::wstring, std::wstring>> rows;
            EXPECT_TRUE(wait_for([&] {
                HWND list = find_visible_child(window, L"SysListView32");
                // The Path and Tags columns.
                if (list) rows = list_rows(list, 2, 3);
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
