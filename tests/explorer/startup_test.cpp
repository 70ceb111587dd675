// Start-up with an application-data folder and a registry root of the test's own: the data
// folder, the state left behind, the store's folder security, and the threads it starts.
#include "autotag/directory_watcher.h"
#include "autotag/plugins.h"
#include "autotag/settings.h"
#include "explorer/bit_settings.h"
#include "shell/manage_tags_dialog.h"
#include "explorer/startup.h"
#include "tracking_fixture.h"
#include "folder_link.h"
#include "store_security.h"
#include "util/file_system.h"

#include <algorithm>


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

// The test plug-ins built for the automatic-tagging tests, beside their test program.
std::wstring test_plugin_folder() {
    wchar_t program[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring path(program, length);
    const std::wstring tests = path.substr(0, path.rfind(L'\\', path.rfind(L'\\') - 1));
    return tests + L"\\autotag\\plugins";
}

// An older binary settings file: watcher on, one directory.
std::vector<unsigned char> legacy_settings(const std::wstring& dir) {
    std::vector<unsigned char> bytes;
    const auto u16 = [&](unsigned value) {
        bytes.push_back(static_cast<unsigned char>(value & 0xFF));
        bytes.push_back(static_cast<unsigned char>(value >> 8));
    };
    const auto text = [&](const std::wstring& value) {
        u16(static_cast<unsigned>(value.size() * 2));
        for (wchar_t c : value) u16(c);
    };
    text(L"one");
    text(L"two");
    text(L"three");
    u16(1);
    u16(1);
    text(dir);
    return bytes;
}

class StartUpTest : public ::testing::Test {
protected:
    StartUpTest() {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, key_name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, registry.put(),
                          nullptr);
        ::RegCreateKeyExW(registry.get(), L"user", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, user_registry.put(), nullptr);
        places.common_app_data = app_data.path() + L"ProgramData";
        places.registry_root = registry.get();
        places.user_registry_root = user_registry.get();
    }
    ~StartUpTest() override {
        user_registry.reset();
        ::RegDeleteTreeW(registry.get(), nullptr);
        registry.reset();
        ::RegDeleteKeyW(HKEY_CURRENT_USER, key_name.c_str());
    }

    const std::wstring key_name = L"Software\\quibrix-startup-" + std::to_wstring(::GetCurrentProcessId());
    TempFolder app_data;
    util::unique_hkey registry, user_registry;
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

// Any user may make ProgramData\Quibrix a link to a folder of someone else's, whose files the
// load would then prune and rewrite as the store's.
TEST_F(StartUpTest, DataFolderThatIsALinkRefusesStartUp) {
    ASSERT_TRUE(::CreateDirectoryW(places.common_app_data.c_str(), nullptr));
    TempFolder elsewhere;
    make_file(elsewhere.path() + L"Music.dat");
    FolderLink link(places.common_app_data + L"\\Quibrix", elsewhere.path());
    if (!link.made()) GTEST_SKIP() << "no links to folders can be made here";
    items::g_immediate_write = false;
    EXPECT_EQ(FALSE, explorer::start_up(places));
    EXPECT_TRUE(explorer::data_folder().empty());
    EXPECT_FALSE(items::g_immediate_write);
    items::g_immediate_write = true;
    EXPECT_TRUE(util::folder_exists(elsewhere.path()));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((elsewhere.path() + L"Music.dat").c_str()));
}

TEST_F(StartUpTest, PreparesTheProcessAndStartsLoaderAndTracking) {
    ASSERT_TRUE(::CreateDirectoryW(places.common_app_data.c_str(), nullptr));
    const std::wstring expected_folder = places.common_app_data + L"\\Quibrix\\";
    TempFolder files;
    const std::wstring photo = files.path() + L"a.jpg", renamed = files.path() + L"b.jpg";
    make_file(photo);

    // A first start after an older version: only its binary settings file is there.
    TempFolder watched;
    const std::wstring watched_dir = watched.path().substr(0, watched.path().size() - 1);
    ASSERT_TRUE(::CreateDirectoryW(expected_folder.c_str(), nullptr));
    write_bytes(expected_folder + L"settings.dt", legacy_settings(watched_dir));
    places.plugin_folder = test_plugin_folder();

    // Plug-ins that are slow to describe themselves do not hold up start-up: they load on a
    // thread of their own, so the shell's thread that asked for the first object goes on.
    const std::wstring gate_name = L"quibrix_describe_gate_" + std::to_wstring(::GetCurrentProcessId());
    util::unique_handle gate(::CreateEventW(nullptr, TRUE, FALSE, gate_name.c_str()));
    ASSERT_TRUE(gate.valid());

    items::g_immediate_write = false;
    const DWORD started = ::GetTickCount();
    ASSERT_EQ(TRUE, explorer::start_up(places));
    EXPECT_LT(::GetTickCount() - started, 4000u);
    ::SetEvent(gate.get());
    EXPECT_EQ(expected_folder, explorer::data_folder());
    EXPECT_TRUE(exists(expected_folder));
    EXPECT_TRUE(items::g_immediate_write);
    EXPECT_EQ(::GetSysColor(COLOR_MENU), explorer::menu_colour());
    wchar_t program[MAX_PATH];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    EXPECT_EQ(std::wstring(program), explorer::module_path());
    EXPECT_EQ(registry.get(), explorer::bit_settings().machine_root());
    EXPECT_EQ(user_registry.get(), explorer::bit_settings().user_root());
    ASSERT_EQ(1u, explorer::confirmation_messages().size());

    // The store hands this to every folder and file it creates. (Wine keeps no security
    // descriptor on a folder: it reads back a DACL made from the Unix mode bits.)
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

    // Settings came from the data folder and were migrated before the plug-ins were loaded,
    // so the migrated directory enables none of them.
    EXPECT_TRUE(exists(expected_folder + L"settings.xml"));
    // Written before the store's folder security is built, and still open to every user.
    EXPECT_EQ(store_security::shared, read_store_security(expected_folder + L"settings.xml"));
    const autotag::Settings& config = autotag::settings();
    ASSERT_EQ(1u, config.watch_dirs.size());
    EXPECT_EQ(watched_dir, config.watch_dirs[0].path);
    EXPECT_TRUE(config.watch_dirs[0].plugins.empty());
    EXPECT_TRUE(autotag::g_first_run);
    const std::vector<std::wstring> loaded = autotag::autoassign_plugins().names();
    EXPECT_NE(loaded.end(), std::find(loaded.begin(), loaded.end(), L"alpha.dll"));

    // The watcher runs on those settings: a new file reaches the window thread, and no
    // plug-in tags it.
    autotag::DirectoryWatcher& watcher = autotag::directory_watcher();
    EXPECT_TRUE(watcher.is_watching());
    ASSERT_TRUE(eventually([&] { return watcher.watched_paths().size() == 1; }));
    const std::wstring song = watched.path() + L"song.mp3";
    make_file(song);
    EXPECT_TRUE(eventually([&] {
        const std::vector<std::wstring> found = watcher.new_file_list();
        return std::find(found.begin(), found.end(), song) != found.end();
    }));
    ::Sleep(300);
    EXPECT_TRUE(db.tags_of_paths({song}).empty());

    // The tag dialog's watcher switch reaches the settings, the watcher and the settings file.
    const ManageTagsDialog::Services& services = ManageTagsDialog::instance().services();
    ASSERT_TRUE(services.confirm && services.watcher_active && services.set_watcher_active);
    EXPECT_TRUE(services.watcher_active());
    services.set_watcher_active(false);
    EXPECT_FALSE(watcher.is_watching());
    EXPECT_FALSE(services.watcher_active());
    const std::vector<unsigned char> xml = read_bytes(expected_folder + L"settings.xml");
    EXPECT_NE(std::string::npos, std::string(xml.begin(), xml.end()).find("<is_watch_dirs attrib=\"0\""));
    services.set_watcher_active(true);
    EXPECT_TRUE(watcher.is_watching());
    watcher.stop_watching();
    db.set_data_folder(std::wstring());
}
