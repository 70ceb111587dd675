// Registration and unregistration against the test prefix's real registry, the offer to remove
// the tag data (answered in the real message box), and the removal of the data folder.
#include "com_fixture.h"
#include "folder_link.h"
#include "util/class_id.h"
#include "explorer/registration.h"

#include <olectl.h>
#include <shlwapi.h>

namespace {

const std::wstring clsid = L"{6A1F3C52-9D4E-4B7A-8C21-3E5D7F9A0B64}";
const std::wstring module = L"C:\\Program Files\\Quibrix\\Quibrix.dll";
const std::wstring desktop_key = std::wstring(explorer::desktop_namespace_key) + L'\\' + clsid;
const std::wstring my_computer_key = std::wstring(explorer::my_computer_namespace_key) + L'\\' + clsid;
const std::wstring overlay_key = std::wstring(explorer::overlay_identifiers_key) + L"\\Quibrix";

struct expected_value {
    HKEY root;
    std::wstring key;
    const wchar_t* name;
    DWORD type;
    std::wstring text;
    DWORD number;
};

// Everything registration writes, spelled out independently of the product's table.
std::vector<expected_value> expected_values() {
    return {
        {HKEY_CLASSES_ROOT, L"CLSID\\" + clsid, nullptr, REG_SZ, L"Quibrix", 0},
        {HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\InprocServer32", nullptr, REG_SZ, module, 0},
        {HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\InprocServer32", L"ThreadingModel", REG_SZ, L"Both", 0},
        {HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\DefaultIcon", nullptr, REG_SZ, module + L",1", 0},
        {HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\ShellFolder", L"Attributes", REG_DWORD, L"", 0xA0000020},
        {HKEY_CLASSES_ROOT, L"Folder\\shellex\\ContextMenuHandlers\\Quibrix", nullptr, REG_SZ, clsid, 0},
        {HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\Quibrix", nullptr, REG_SZ, clsid, 0},
        {HKEY_LOCAL_MACHINE, explorer::approved_key, clsid.c_str(), REG_SZ, L"Quibrix", 0},
        {HKEY_LOCAL_MACHINE, overlay_key, nullptr, REG_SZ, clsid, 0},
        {HKEY_LOCAL_MACHINE, desktop_key, nullptr, REG_SZ, L"Quibrix", 0},
        {HKEY_LOCAL_MACHINE, my_computer_key, nullptr, REG_SZ, L"Quibrix", 0},
    };
}

std::wstring describe(const expected_value& v) { return v.key + L" : " + (v.name ? v.name : L"(default)"); }

void expect_registered() {
    for (const expected_value& v : expected_values()) {
        SCOPED_TRACE(testing::Message() << describe(v));
        const registry_value found = read_value(v.root, v.key, v.name);
        ASSERT_TRUE(found.exists);
        EXPECT_EQ(v.type, found.type);
        if (v.type == REG_SZ) {
            EXPECT_EQ(v.text, found.text());
            // Stored with its terminating NUL counted.
            EXPECT_EQ((v.text.size() + 1) * sizeof(wchar_t), found.bytes.size());
        } else {
            EXPECT_EQ(v.number, found.number());
        }
    }
}

void expect_unregistered() {
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"Folder\\shellex\\ContextMenuHandlers\\Quibrix"));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\Quibrix"));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, overlay_key));
    EXPECT_FALSE(read_value(HKEY_LOCAL_MACHINE, explorer::approved_key, clsid.c_str()).exists);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, desktop_key));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, my_computer_key));
    // The parents that other software shares stay.
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, explorer::desktop_namespace_key));
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, explorer::my_computer_namespace_key));
}

void make_file(const std::wstring& path) {
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
    DWORD written = 0;
    ::WriteFile(file.get(), "tag", 3, &written, nullptr);
}

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class RegistrationTest : public ::testing::Test {
protected:
    RegistrationTest() {
        remove_registration_keys();
        overlay_parent_existed_ = key_exists(HKEY_LOCAL_MACHINE, explorer::overlay_identifiers_key);
    }
    ~RegistrationTest() override {
        remove_registration_keys();
        if (!overlay_parent_existed_) ::SHDeleteEmptyKeyW(HKEY_LOCAL_MACHINE, explorer::overlay_identifiers_key);
    }

    // Unregisters with the data folder looked for under `app_data`, pressing `button` in the
    // question; checks the question's words.
    HRESULT unregister(const std::wstring& app_data, int button) {
        MessageBoxAnswer answer(L"Deinstalation", button);
        explorer::unregistration_places places;
        places.common_app_data = app_data;
        const HRESULT hr = explorer::unregister_server(places);
        EXPECT_TRUE(answer.answered());
        EXPECT_EQ(std::vector<std::wstring>{L"    Remove all tags data ?"}, answer.texts());
        return hr;
    }

    bool overlay_parent_existed_ = false;
};

}  // namespace

TEST(RegistrationIdentity, ClassIdentifierTextIsWhatStringFromGUID2Prints) {
    EXPECT_EQ(clsid, explorer::class_id_string());
    EXPECT_EQ(clsid, std::wstring(util::class_id_text));
}

TEST_F(RegistrationTest, RegisteringTwiceWritesTheSameValues) {
    ASSERT_EQ(S_OK, explorer::register_server(module));
    expect_registered();
    const std::vector<std::wstring> class_keys = subkeys(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid);

    // A stale value is overwritten, not kept beside the new one.
    ::RegSetKeyValueW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid + L"\\InprocServer32").c_str(), L"ThreadingModel", REG_SZ,
                      L"Apartment", sizeof L"Apartment");
    ASSERT_EQ(S_OK, explorer::register_server(module));
    expect_registered();
    EXPECT_EQ(class_keys, subkeys(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid));
    EXPECT_EQ((std::vector<std::wstring>{L"DefaultIcon", L"InprocServer32", L"ShellFolder"}), class_keys);
}

TEST_F(RegistrationTest, NamespacePlacementFollowsTheMask) {
    struct {
        DWORD mask;
        bool desktop, my_computer;
    } const cases[] = {{3, true, true}, {1, true, false}, {2, false, true}, {0, false, false}, {2, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask " << c.mask);
        EXPECT_EQ(S_OK, explorer::NamespacePlacement(c.mask));
        EXPECT_EQ(c.desktop, key_exists(HKEY_LOCAL_MACHINE, desktop_key));
        EXPECT_EQ(c.my_computer, key_exists(HKEY_LOCAL_MACHINE, my_computer_key));
        if (c.desktop) {
            EXPECT_EQ(L"Quibrix", read_value(HKEY_LOCAL_MACHINE, desktop_key, nullptr).text());
        }
        if (c.my_computer) {
            EXPECT_EQ(L"Quibrix", read_value(HKEY_LOCAL_MACHINE, my_computer_key, nullptr).text());
        }
    }
}

TEST_F(RegistrationTest, UnregisteringRemovesEverythingAndNoKeepsTheData) {
    TempFolder app_data;
    const std::wstring data = app_data.path() + L"Quibrix\\";
    ASSERT_TRUE(::CreateDirectoryW(data.c_str(), nullptr));
    make_file(data + L"settings.xml");

    ASSERT_EQ(S_OK, explorer::register_server(module));
    // Something else under the overlay parent: it must survive our removal.
    const std::wstring other_overlay = std::wstring(explorer::overlay_identifiers_key) + L"\\QuibrixTestNeighbour";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, other_overlay.c_str(), nullptr, REG_SZ, L"x", 4));

    EXPECT_EQ(S_OK, unregister(app_data.path(), IDNO));
    expect_unregistered();
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, other_overlay));
    EXPECT_TRUE(exists(data + L"settings.xml"));
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, other_overlay.c_str());
}

TEST_F(RegistrationTest, UnregisteringRemovesAnEmptyOverlayParentAndYesRemovesTheData) {
    const std::vector<std::wstring> neighbours = subkeys(HKEY_LOCAL_MACHINE, explorer::overlay_identifiers_key);
    if (!neighbours.empty()) GTEST_SKIP() << "the prefix has other overlay identifiers";

    TempFolder app_data;
    const std::wstring data = app_data.path() + L"Quibrix\\";
    ASSERT_TRUE(::CreateDirectoryW(data.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((data + L"Music").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((data + L"Music\\Genre").c_str(), nullptr));
    make_file(data + L"Music.dat");
    make_file(data + L"Music\\Genre\\Rock");
    make_file(data + L"settings.xml");

    ASSERT_EQ(S_OK, explorer::register_server(module));
    EXPECT_EQ(S_OK, unregister(app_data.path(), IDYES));
    expect_unregistered();
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, explorer::overlay_identifiers_key));
    EXPECT_FALSE(exists(app_data.path() + L"Quibrix"));
    EXPECT_TRUE(exists(app_data.path()));  // only the data folder goes, not its parent
}

TEST_F(RegistrationTest, UnregisteringWhenNothingIsRegisteredStillAsks) {
    TempFolder app_data;
    // Nothing to delete and no data folder: a success code all the same, and the question.
    EXPECT_TRUE(SUCCEEDED(unregister(app_data.path(), IDYES)));
    expect_unregistered();
}

TEST_F(RegistrationTest, AnAnswerGivenInAdvanceIsTakenWithoutAsking) {
    struct {
        const wchar_t* answer;
        int wrong_button;  // how a box shown despite the answer gets answered: the data would tell
        bool data_kept;
    } const cases[] = {{L"no", IDYES, true}, {L"NO", IDYES, true}, {L"yes", IDNO, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.answer, c.answer + ::lstrlenW(c.answer)));
        TempFolder app_data;
        const std::wstring data = app_data.path() + L"Quibrix\\";
        ASSERT_TRUE(::CreateDirectoryW(data.c_str(), nullptr));
        make_file(data + L"settings.xml");
        ASSERT_EQ(S_OK, explorer::register_server(module));

        ::SetEnvironmentVariableW(explorer::remove_data_answer_variable, c.answer);
        HRESULT hr;
        {
            MessageBoxAnswer wrong(L"Deinstalation", c.wrong_button);
            explorer::unregistration_places places;
            places.common_app_data = app_data.path();
            hr = explorer::unregister_server(places);
        }
        ::SetEnvironmentVariableW(explorer::remove_data_answer_variable, nullptr);
        EXPECT_EQ(S_OK, hr);
        expect_unregistered();
        EXPECT_EQ(c.data_kept, exists(data + L"settings.xml"));
    }
}

TEST(RemoveDataFolder, StopsAtALockedFileAndLeavesTheRest) {
    TempFolder root;
    const std::wstring data = root.path() + L"Quibrix";
    ASSERT_TRUE(::CreateDirectoryW(data.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((data + L"\\Music").c_str(), nullptr));
    make_file(data + L"\\Music\\Rock");
    make_file(data + L"\\Music.dat");
    {
        // Open without sharing delete: the file cannot go while this handle lives.
        util::unique_file lock(::CreateFileW((data + L"\\Music\\Rock").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock.valid());
        EXPECT_FALSE(explorer::RemoveDataFolder(data));
        EXPECT_TRUE(exists(data + L"\\Music\\Rock"));
        EXPECT_TRUE(exists(data + L"\\Music"));
        EXPECT_TRUE(exists(data));
    }
    EXPECT_TRUE(explorer::RemoveDataFolder(data));
    EXPECT_FALSE(exists(data));
    // Already gone: nothing to do, and that is success.
    EXPECT_TRUE(explorer::RemoveDataFolder(data));
}

TEST(RemoveDataFolder, RemovesALinkedFolderButNotWhatItPointsAt) {
    TempFolder root;
    const std::wstring data = root.path() + L"Quibrix";
    const std::wstring outside = root.path() + L"Outside";
    ASSERT_TRUE(::CreateDirectoryW(data.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
    make_file(outside + L"\\precious.txt");
    if (!::CreateSymbolicLinkW((data + L"\\link").c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "no directory symbolic links here (error " << ::GetLastError() << ")";
    }
    WIN32_FIND_DATAW entry;
    util::unique_find find(::FindFirstFileW((data + L"\\link").c_str(), &entry));
    // Wine answers TRUE without making the link.
    if (!find) GTEST_SKIP() << "CreateSymbolicLinkW succeeded but made no link";
    const DWORD linked_folder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((entry.dwFileAttributes & linked_folder) != linked_folder) {
        GTEST_SKIP() << "the link is listed with attributes 0x" << std::hex << entry.dwFileAttributes
                     << ", not as a linked folder";
    }
    EXPECT_TRUE(explorer::RemoveDataFolder(data));
    EXPECT_FALSE(exists(data));
    EXPECT_TRUE(exists(outside + L"\\precious.txt"));
}

// Unregistration runs as administrator over a data folder that every user may write: a link
// another user put there, deep in it or in its place, is removed as a link (where the system
// can remove it: Wine cannot remove a Linux link), never gone through.
TEST(RemoveDataFolder, GoesThroughNoLinkAtAnyDepthNorAtTheTop) {
    TempFolder root;
    const std::wstring data = root.path() + L"Quibrix";
    const std::wstring outside = root.path() + L"Documents";
    ASSERT_TRUE(::CreateDirectoryW(data.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((data + L"\\Music").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((outside + L"\\Drafts").c_str(), nullptr));
    make_file(data + L"\\Music.dat");
    make_file(data + L"\\Music\\Rock");
    make_file(outside + L"\\letter.txt");
    make_file(outside + L"\\Drafts\\draft.txt");
    const auto outside_whole = [&] {
        EXPECT_TRUE(exists(outside + L"\\letter.txt"));
        EXPECT_TRUE(exists(outside + L"\\Drafts\\draft.txt"));
    };
    {
        FolderLink genre(data + L"\\Music\\Genre", outside);
        if (!genre.made()) GTEST_SKIP() << "no links to folders can be made here";
        EXPECT_EQ(genre.removable(), explorer::RemoveDataFolder(data));
        outside_whole();
        EXPECT_EQ(!genre.removable(), exists(data));
    }
    // Without the link what is left goes.
    ASSERT_TRUE(explorer::RemoveDataFolder(data));
    outside_whole();
    FolderLink whole(data, outside);
    ASSERT_TRUE(whole.made());
    EXPECT_EQ(whole.removable(), explorer::RemoveDataFolder(data));
    outside_whole();
    EXPECT_EQ(!whole.removable(), exists(data));
}
