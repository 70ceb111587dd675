// Start-up with an application-data folder and a registry root of the test's own: the data
// folder, the state left behind, the store's folder security, and the threads it starts.
#include "explorer/bit_settings.h"
#include "explorer/startup.h"
#include "tracking_fixture.h"


namespace {

// A DACL of exactly one ACE that grants authenticated users full access, inherited by folders
// and files.
bool grants_authenticated_users_everything(const SECURITY_ATTRIBUTES* attributes) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!attributes || attributes->nLength != sizeof(SECURITY_ATTRIBUTES) || attributes->bInheritHandle ||
        !::GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted) || !present ||
        !dacl || dacl->AceCount != 1) {
        return false;
    }
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof(sid);
    ::CreateWellKnownSid(WinAuthenticatedUserSid, nullptr, sid, &sid_size);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!::GetAce(dacl, 0, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    return ::EqualSid(&ace->SidStart, sid) && (ace->Header.AceFlags & inherit) == inherit && ace->Mask == GENERIC_ALL;
}

class StartUpTest : public ::testing::Test {
protected:
    StartUpTest() {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, key_name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, registry.put(),
                          nullptr);
        places.common_app_data = app_data.path() + L"ProgramData";
        places.registry_root = registry.get();
    }
    ~StartUpTest() override {
        ::RegDeleteTreeW(registry.get(), nullptr);
        registry.reset();
        ::RegDeleteKeyW(HKEY_CURRENT_USER, key_name.c_str());
    }

    const std::wstring key_name = L"Software\\quibrix-startup-" + std::to_wstring(::GetCurrentProcessId());
    TempFolder app_data;
    util::unique_hkey registry;
    explorer::startup_places places;
};

}  // namespace

// Runs first: the successful start-up below changes process-wide state for good.
TEST_F(StartUpTest, DataFolderThatCannotBeCreatedRefusesStartUp) {
    make_file(places.common_app_data);  // a file where the folder should be
    items::g_immediate_write = false;
    EXPECT_EQ(FALSE, explorer::start_up(places));
    EXPECT_TRUE(explorer::data_folder().empty());
    EXPECT_FALSE(items::g_immediate_write);  // nothing after the data folder was done
    EXPECT_EQ(nullptr, items::g_store_security);
    items::g_immediate_write = true;
}

TEST_F(StartUpTest, PreparesTheProcessAndStartsLoaderAndTracking) {
    ASSERT_TRUE(::CreateDirectoryW(places.common_app_data.c_str(), nullptr));
    const std::wstring expected_folder = places.common_app_data + L"\\Quibrix\\";
    TempFolder files;
    const std::wstring photo = files.path() + L"a.jpg", renamed = files.path() + L"b.jpg";
    make_file(photo);

    items::g_immediate_write = false;
    ASSERT_EQ(TRUE, explorer::start_up(places));
    EXPECT_EQ(expected_folder, explorer::data_folder());
    EXPECT_TRUE(exists(expected_folder));
    EXPECT_TRUE(items::g_immediate_write);
    EXPECT_EQ(::GetSysColor(COLOR_MENU), explorer::menu_colour());
    wchar_t program[MAX_PATH];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    EXPECT_EQ(std::wstring(program), explorer::module_path());
    EXPECT_EQ(registry.get(), explorer::bit_settings().root());
    ASSERT_EQ(1u, explorer::confirmation_messages().size());

    // The store hands this to every folder and file it creates. (Wine keeps no security
    // descriptor on a folder: whatever CreateDirectoryW is given, it reads back its default.)
    EXPECT_TRUE(grants_authenticated_users_everything(items::g_store_security));

    // The loader ran, and the database works in the data folder.
    items::TagsHolder& db = items::tags_holder();
    ASSERT_TRUE(db.wait_loaded(5000));
    ASSERT_TRUE(db.set_tags({photo}, tags({L"Photos/Trip"}), items::tree_ptr()));
    ASSERT_TRUE(db.set_tags({photo}, tags({L"Albums/Best"}), items::tree_ptr()));
    EXPECT_TRUE(exists(expected_folder + L"Photos\\Trip"));

    // The tracking runs on the process's database: a rename reported by the shell is followed.
    // It starts on a thread of its own, so notify until it has seen one.
    util::unique_pidl old_item = pidl_of(photo);
    ASSERT_TRUE(::MoveFileW(photo.c_str(), renamed.c_str()));
    util::unique_pidl new_item = pidl_of(renamed);
    EXPECT_TRUE(eventually([&] {
        ::SHChangeNotify(SHCNE_RENAMEITEM, SHCNF_IDLIST, old_item.get(), new_item.get());
        ::Sleep(20);
        return db.tags_of_paths({renamed}).size() == 2;
    }));
    EXPECT_TRUE(db.tags_of_paths({photo}).empty());
    db.set_data_folder(std::wstring());
}
