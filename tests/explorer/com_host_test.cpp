// The host rule: which processes the module loads into, and whether it starts there. Checked
// on paths, then with the built Quibrix.dll loaded by host programs whose paths do or do not
// match.
#include "com_fixture.h"
#include "explorer/host_rule.h"
#include "explorer/registration.h"

namespace {

using explorer::host_action;

const std::wstring data_folder = L"C:\\ProgramData\\Quibrix";

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The host's one line, without the line end its text-mode output adds.
std::string line(const process_result& result) {
    return result.output.substr(0, result.output.find_first_of("\r\n"));
}

std::wstring dll() { return windows_path_from_environment("QUIBRIX_DLL"); }
std::wstring host(const wchar_t* name) { return windows_path_from_environment("QUIBRIX_HOSTS") + L'\\' + name; }

const wchar_t explorer_host[] = L"host_EXPLORER.EXE";
const wchar_t regsvr32_host[] = L"host_regsvr32.exe";
const wchar_t other_host[] = L"host_editor.exe";

// Keeps any data folder of the prefix aside while a test needs none there, and puts it back.
class NoDataFolder {
public:
    NoDataFolder() : moved_(::MoveFileW(data_folder.c_str(), aside().c_str()) != FALSE) {}
    ~NoDataFolder() {
        explorer::RemoveDataFolder(data_folder);
        ::DeleteFileW(data_folder.c_str());
        if (moved_) ::MoveFileW(aside().c_str(), data_folder.c_str());
    }

private:
    static std::wstring aside() { return data_folder + L".aside"; }
    const bool moved_;
};

class HostProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (dll().empty()) GTEST_SKIP() << "QUIBRIX_DLL and QUIBRIX_HOSTS are set by the test suite";
        remove_registration_keys();
    }
    void TearDown() override { remove_registration_keys(); }
};

}  // namespace

TEST(HostRule, DecidesByLowerCasedSubstringsInOrder) {
    struct {
        const wchar_t* path;
        host_action action;
    } const cases[] = {
        {L"C:\\windows\\explorer.exe", host_action::start},
        {L"C:\\WINDOWS\\EXPLORER.EXE", host_action::start},
        {L"D:\\Tools\\MyExplorer.Exe", host_action::start},
        // Explorer is tested first, so a path holding both names starts.
        {L"C:\\regsvr32.exe\\explorer.exe", host_action::start},
        {L"C:\\windows\\system32\\regsvr32.exe", host_action::load_only},
        {L"C:\\Windows\\SysWOW64\\REGSVR32.EXE", host_action::load_only},
        {L"C:\\Temp\\QuibrixInstall.exe", host_action::load_only},
        {L"C:\\windows\\system32\\verclsid.exe", host_action::load_only},
        {L"C:\\Program Files\\Quibrix\\unins000.exe", host_action::load_only},
        {L"C:\\Program Files\\Editor\\notepad.exe", host_action::refuse},
        {L"C:\\windows\\explorer.com", host_action::refuse},
        {L"C:\\windows\\regsvr32", host_action::refuse},
        {L"", host_action::refuse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.path, c.path + ::lstrlenW(c.path)));
        EXPECT_EQ(c.action, explorer::HostRule(c.path));
    }
}

TEST_F(HostProgramTest, ExplorerInCapitalsStartsTheModuleOnItsFirstRequestForAnObject) {
    const NoDataFolder none;
    // Nothing starts under the loader lock: loading leaves no data folder and no notification window behind.
    const process_result loaded = run_process(host(explorer_host), L"\"" + dll() + L"\" load");
    EXPECT_EQ(0u, loaded.exit_code) << loaded.output;
    EXPECT_EQ("quiet", line(loaded));
    EXPECT_FALSE(exists(data_folder));

    // Two threads asking at once both get the factory of the one start-up, which made the
    // data folder in the prefix's common application data.
    const process_result asked = run_process(host(explorer_host), L"\"" + dll() + L"\" factory");
    EXPECT_EQ(0u, asked.exit_code) << asked.output;
    EXPECT_EQ("0x00000000 0x00000000 started", line(asked));
    EXPECT_TRUE(exists(data_folder));

    // Once started, the module stays loaded even if the host frees it: the threads it started
    // and the window procedure of its notification window run from it.
    const process_result freed = run_process(host(explorer_host), L"\"" + dll() + L"\" unload");
    EXPECT_EQ(0u, freed.exit_code) << freed.output;
    EXPECT_EQ("pinned", line(freed));
}

TEST_F(HostProgramTest, ExplorerGetsNoFactoryWhenTheDataFolderCannotBeMade) {
    const NoDataFolder none;
    // A file where the folder should be.
    ASSERT_TRUE(util::unique_file(::CreateFileW(data_folder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)));
    const process_result asked = run_process(host(explorer_host), L"\"" + dll() + L"\" factory");
    EXPECT_EQ(2u, asked.exit_code) << asked.output;
    EXPECT_EQ("0x80040111 0x80040111 quiet", line(asked));  // CLASS_E_CLASSNOTAVAILABLE, nothing started
}

TEST_F(HostProgramTest, Regsvr32LoadsWithoutStartingAndRegisters) {
    const bool had_data = exists(data_folder);
    process_result result = run_process(host(regsvr32_host), L"\"" + dll() + L"\" load");
    EXPECT_EQ(0u, result.exit_code) << result.output;
    EXPECT_EQ("quiet", line(result));
    EXPECT_EQ(had_data, exists(data_folder));

    result = run_process(host(regsvr32_host), L"\"" + dll() + L"\" factory");
    EXPECT_EQ(0u, result.exit_code) << result.output;
    EXPECT_EQ("0x00000000 0x00000000 quiet", line(result));
    EXPECT_EQ(had_data, exists(data_folder));

    result = run_process(host(regsvr32_host), L"\"" + dll() + L"\" register");
    EXPECT_EQ(0u, result.exit_code) << result.output;
    const std::wstring class_key = L"CLSID\\{6A1F3C52-9D4E-4B7A-8C21-3E5D7F9A0B64}\\InprocServer32";
    // The module registers its own path, as the loader gave it.
    EXPECT_EQ(0, ::lstrcmpiW(dll().c_str(), read_value(HKEY_CLASSES_ROOT, class_key, nullptr).text().c_str()))
        << result.output;

    MessageBoxAnswer answer(L"Deinstalation", IDNO);
    result = run_process(host(regsvr32_host), L"\"" + dll() + L"\" unregister");
    EXPECT_TRUE(answer.answered());
    EXPECT_EQ(0u, result.exit_code) << result.output;
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, class_key));
}

TEST_F(HostProgramTest, AnyOtherHostCannotLoadTheModule) {
    const process_result result = run_process(host(other_host), L"\"" + dll() + L"\" load");
    EXPECT_EQ(1u, result.exit_code) << result.output;
    EXPECT_EQ(0u, line(result).rfind("refused", 0)) << result.output;
}
