// "settings.xml": the exact text written, reading back, defaults, the one-time migration from
// "settings.dt", and saves from two threads.
#include "autotag/settings.h"

#include "file_helpers.h"
#include "store_security.h"
#include "temp_folder.h"
#include "util/unique_resource.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

using autotag::Settings;
using autotag::WatchedDir;

namespace {

WatchedDir dir(const std::wstring& path, const std::wstring& name, int autotag, int recursive,
               const std::vector<std::wstring>& plugins) {
    WatchedDir entry;
    entry.path = path;
    entry.autotagname = name;
    entry.autotag = autotag;
    entry.recursive = recursive;
    entry.plugins = plugins;
    return entry;
}

const char defaults_text[] =
    "<is_watch_dirs attrib=\"1\" />\r\n"
    "<show_popup attrib=\"1\" />\r\n"
    "<watch_dirs />\r\n";

class SettingsFile : public ::testing::Test {
protected:
    SettingsFile() { autotag::g_first_run = false; }
    ~SettingsFile() override { autotag::g_first_run = false; }

    std::wstring xml() const { return folder.path() + L"settings.xml"; }
    std::wstring dt() const { return folder.path() + L"settings.dt"; }
    Settings load() {
        Settings loaded;
        autotag::load_settings(loaded, folder.path());
        return loaded;
    }

    TempFolder folder;
};

TEST_F(SettingsFile, WritesTheLibraryLayoutInOrder) {
    Settings s;
    s.is_watch_dirs = false;
    s.show_popup = true;
    // Non-ASCII text goes out as UTF-8; the name of an entry without autotag is not written.
    s.watch_dirs.push_back(dir(L"C:\\M\u00fcsik\\\u65e5\u672c", L"\u65e5\u672c", 1, 0, {L"id3.dll", L"other.dll"}));
    s.watch_dirs.push_back(dir(L"D:\\", L"hidden", 0, 1, {}));
    ASSERT_TRUE(autotag::save_settings(s, folder.path()));
    EXPECT_EQ(std::string("<is_watch_dirs attrib=\"0\" />\r\n"
                          "<show_popup attrib=\"1\" />\r\n"
                          "<watch_dirs>\r\n"
                          "    <dir autotagname=\"\xE6\x97\xA5\xE6\x9C\xAC\" path=\"C:\\M\xC3\xBCsik\\\xE6\x97\xA5\xE6\x9C\xAC\""
                          " autotag=\"1\" recursive=\"0\">\r\n"
                          "        <plugin>id3.dll</plugin>\r\n"
                          "        <plugin>other.dll</plugin>\r\n"
                          "    </dir>\r\n"
                          "    <dir path=\"D:\\\" autotag=\"0\" recursive=\"1\" />\r\n"
                          "</watch_dirs>\r\n"),
              read_file_bytes(xml()));

    const Settings back = load();
    EXPECT_FALSE(autotag::g_first_run);
    EXPECT_FALSE(back.is_watch_dirs);
    EXPECT_TRUE(back.show_popup);
    ASSERT_EQ(2u, back.watch_dirs.size());
    EXPECT_EQ(s.watch_dirs[0].path, back.watch_dirs[0].path);
    EXPECT_EQ(s.watch_dirs[0].autotagname, back.watch_dirs[0].autotagname);
    EXPECT_EQ(s.watch_dirs[0].plugins, back.watch_dirs[0].plugins);
    EXPECT_EQ(L"D:\\", back.watch_dirs[1].path);
    EXPECT_EQ(1, back.watch_dirs[1].recursive);
}

TEST_F(SettingsFile, ReadsEachDirectoryWithItsOwnPluginsAndDropsPathlessOnes) {
    write_file_bytes(xml(),
                     "<show_popup attrib=\"0\" />\n"
                     "<watch_dirs>\n"
                     "  <dir path=\"C:\\A\" autotag=\"1\" autotagname=\"Inbox\" recursive=\"1\">"
                     "<plugin>a.dll</plugin><plugin>b.dll</plugin></dir>\n"
                     "  <dir autotag=\"1\" autotagname=\"lost\"><plugin>a.dll</plugin></dir>\n"
                     "  <dir path=\"\" autotag=\"0\" />\n"
                     "  <dir path=\"C:\\B\" autotag=\"0\" autotagname=\"ignored\" recursive=\"x\">"
                     "<plugin>other.dll</plugin><unknown /></dir>\n"
                     "</watch_dirs>\n"
                     "<is_watch_dirs attrib=\"0\" />\n");
    const Settings s = load();
    EXPECT_FALSE(autotag::g_first_run);
    EXPECT_FALSE(s.is_watch_dirs);
    EXPECT_FALSE(s.show_popup);
    ASSERT_EQ(2u, s.watch_dirs.size());
    EXPECT_EQ(L"C:\\A", s.watch_dirs[0].path);
    EXPECT_EQ(L"Inbox", s.watch_dirs[0].autotagname);
    EXPECT_EQ(1, s.watch_dirs[0].autotag);
    EXPECT_EQ(1, s.watch_dirs[0].recursive);
    EXPECT_EQ((std::vector<std::wstring>{L"a.dll", L"b.dll"}), s.watch_dirs[0].plugins);
    EXPECT_EQ(L"C:\\B", s.watch_dirs[1].path);
    EXPECT_EQ(L"", s.watch_dirs[1].autotagname);  // autotag off: the attribute is not read
    EXPECT_EQ(0, s.watch_dirs[1].recursive);       // does not scan: stays as it was
    EXPECT_EQ((std::vector<std::wstring>{L"other.dll"}), s.watch_dirs[1].plugins);

    // The dropped entries disappear from the file at the next save.
    ASSERT_TRUE(autotag::save_settings(s, folder.path()));
    const std::string text = read_file_bytes(xml());
    EXPECT_EQ(std::string::npos, text.find("lost"));
    EXPECT_EQ(2u, Settings(load()).watch_dirs.size());
}

TEST_F(SettingsFile, WithoutWatchDirsEverySettingKeepsItsDefault) {
    write_file_bytes(xml(), "<is_watch_dirs attrib=\"0\" />\n<show_popup attrib=\"0\" />\n");
    const Settings s = load();
    EXPECT_TRUE(s.is_watch_dirs);
    EXPECT_TRUE(s.show_popup);
    EXPECT_TRUE(s.watch_dirs.empty());
    EXPECT_FALSE(autotag::g_first_run);
}

TEST_F(SettingsFile, FirstStartWritesTheDefaults) {
    const Settings s = load();
    EXPECT_TRUE(autotag::g_first_run);
    EXPECT_TRUE(s.is_watch_dirs);
    EXPECT_TRUE(s.show_popup);
    EXPECT_TRUE(s.watch_dirs.empty());
    EXPECT_EQ(std::string(defaults_text), read_file_bytes(xml()));
}

TEST_F(SettingsFile, DamagedXmlCountsAsFirstStartAndIsReplaced) {
    write_file_bytes(xml(), "<watch_dirs><dir path=\"C:\\A\" autotag=\"0\"></watch_dirs>");
    const Settings s = load();
    EXPECT_TRUE(autotag::g_first_run);
    EXPECT_TRUE(s.watch_dirs.empty());
    EXPECT_EQ(std::string(defaults_text), read_file_bytes(xml()));
}

// The library takes ANSI file names: a folder that the ANSI code page cannot spell must not be
// replaced by a best-fit look-alike, so nothing is written at all.
TEST_F(SettingsFile, FolderOutsideTheAnsiCodePageIsRefused) {
    if (::GetACP() == CP_UTF8) GTEST_SKIP() << "the ANSI code page is UTF-8: every folder converts";
    const std::wstring odd = folder.path() + L"\u65e5\u672c\u8a9e";
    make_folder(odd);
    Settings s;
    EXPECT_FALSE(autotag::save_settings(s, odd));
    autotag::load_settings(s, odd);
    EXPECT_TRUE(autotag::g_first_run);
    EXPECT_FALSE(path_exists(odd + L"\\settings.xml"));
}

// Every user's Explorer saves the one file in the shared data folder: a save makes a new file
// with the store's shared security and moves it over the old one, so that the next user can do
// the same, and a save that cannot finish leaves the old file whole.
TEST_F(SettingsFile, ASaveReplacesTheFileWholeWithSecurityEveryUserShares) {
    const auto folder_entries = [&] {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        const HANDLE find = ::FindFirstFileW((folder.path() + L"*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            if (data.cFileName[0] != L'.') names.push_back(data.cFileName);
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
        return names;
    };
    // As an older version wrote it: with the security of its folder.
    write_file_bytes(xml(), "<show_popup attrib=\"0\" />\n");
    ASSERT_EQ(store_security::other, read_store_security(xml()));
    Settings s;
    s.watch_dirs.push_back(dir(L"C:\\Music", L"Music", 1, 0, {}));

    // Another process reading the file holds it without delete sharing, as the library's reader
    // does: a reader that lets go within a moment holds up the save only that long.
    util::unique_file reader(::CreateFileW(xml().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.valid());
    std::thread lets_go([&] {
        ::Sleep(50);
        reader.reset();
    });
    const bool saved = autotag::save_settings(s, folder.path());
    lets_go.join();
    ASSERT_TRUE(saved);
    EXPECT_EQ(1u, load().watch_dirs.size());
    EXPECT_EQ(std::vector<std::wstring>{L"settings.xml"}, folder_entries()) << "no temporary file is left";
    EXPECT_EQ(store_security::shared, read_store_security(xml()));

    // A reader that keeps the file: the save fails, and the file is as it was.
    const std::string before = read_file_bytes(xml());
    reader.reset(::CreateFileW(xml().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr));
    ASSERT_TRUE(reader.valid());
    s.watch_dirs.clear();
    EXPECT_FALSE(autotag::save_settings(s, folder.path()));
    reader.reset();
    EXPECT_EQ(before, read_file_bytes(xml()));
    EXPECT_EQ(std::vector<std::wstring>{L"settings.xml"}, folder_entries());
}

std::string legacy_file(int watching, const std::vector<std::string>& records) {
    std::string bytes = text_record(L"first") + text_record(L"") + text_record(L"third");
    bytes += u16_bytes(watching);
    bytes += u16_bytes(static_cast<int>(records.size()));
    for (const std::string& record : records) bytes += record;
    return bytes;
}

TEST_F(SettingsFile, MigratesTheOlderFileOnce) {
    write_file_bytes(dt(), legacy_file(0, {text_record(L"C:\\Music"), text_record(L""), text_record(L"D:\\")}));
    const Settings s = load();
    EXPECT_TRUE(autotag::g_first_run);
    EXPECT_FALSE(s.is_watch_dirs);
    ASSERT_EQ(2u, s.watch_dirs.size());
    EXPECT_EQ(L"C:\\Music", s.watch_dirs[0].path);
    EXPECT_EQ(L"Music", s.watch_dirs[0].autotagname);
    EXPECT_EQ(1, s.watch_dirs[0].autotag);
    EXPECT_EQ(0, s.watch_dirs[0].recursive);
    EXPECT_TRUE(s.watch_dirs[0].plugins.empty());
    EXPECT_EQ(L"D:\\", s.watch_dirs[1].path);
    EXPECT_EQ(L"", s.watch_dirs[1].autotagname);
    EXPECT_EQ(std::string("<is_watch_dirs attrib=\"0\" />\r\n"
                          "<show_popup attrib=\"1\" />\r\n"
                          "<watch_dirs>\r\n"
                          "    <dir autotagname=\"Music\" path=\"C:\\Music\" autotag=\"1\" recursive=\"0\" />\r\n"
                          "    <dir autotagname=\"\" path=\"D:\\\" autotag=\"1\" recursive=\"0\" />\r\n"
                          "</watch_dirs>\r\n"),
              read_file_bytes(xml()));

    // Once the XML exists the older file is not read again.
    write_file_bytes(dt(), legacy_file(1, {text_record(L"E:\\Other")}));
    autotag::g_first_run = false;
    EXPECT_EQ(2u, load().watch_dirs.size());
    EXPECT_FALSE(autotag::g_first_run);
}

TEST_F(SettingsFile, DamagedOlderFileMigratesNothing) {
    const std::string good = text_record(L"C:\\Kept");
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"record of 300 bytes", legacy_file(0, {good, u16_bytes(300) + std::string(300, 'a')})},
        // Followed by more than a record can hold: a length taken as unsigned would overrun.
        {"negative length", legacy_file(0, {good, u16_bytes(-2) + std::string(600, 'a')})},
        {"short read in a record", legacy_file(0, {good, u16_bytes(20) + "abcd"})},
        {"short read before the count", text_record(L"a") + text_record(L"b") + text_record(L"c") + u16_bytes(0)},
        {"watcher flag above 260", legacy_file(261, {good})},
        {"count above 260", text_record(L"a") + text_record(L"b") + text_record(L"c") + u16_bytes(0) + u16_bytes(261) + good},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::DeleteFileW(xml().c_str());
        write_file_bytes(dt(), c.bytes);
        const Settings s = load();
        EXPECT_TRUE(s.watch_dirs.empty());
        EXPECT_TRUE(s.is_watch_dirs);
        EXPECT_EQ(std::string(defaults_text), read_file_bytes(xml()));
    }
}

// The watcher's window thread and the Manage Tags dialog's thread both change the process's
// record and save it. A save that comes while the other thread is changing the record waits
// for the change and writes it, rather than writing the record as it was over the change.
TEST_F(SettingsFile, ASaveWaitsForAChangeInProgressAndWritesIt) {
    Settings shared;
    shared.watch_dirs.push_back(dir(L"C:\\Music", L"Music", 1, 0, {}));
    std::atomic<bool> saved(false);
    std::thread dialog_thread;
    {
        const util::lock_guard changing(autotag::settings_lock());
        shared.watch_dirs.push_back(dir(L"C:\\Photos", L"Photos", 1, 0, {}));
        dialog_thread = std::thread([&] {
            autotag::save_settings(shared, folder.path());
            saved = true;
        });
        for (int waited = 0; waited < 300 && !saved; waited += 10) ::Sleep(10);
        EXPECT_FALSE(saved) << "the save went ahead in the middle of a change";
        shared.watch_dirs.back().recursive = 1;
        shared.watch_dirs.back().plugins.push_back(L"exif.dll");
        shared.is_watch_dirs = false;
    }
    dialog_thread.join();
    EXPECT_TRUE(saved);
    const Settings back = load();
    ASSERT_EQ(2u, back.watch_dirs.size());
    EXPECT_EQ(L"C:\\Photos", back.watch_dirs[1].path);
    EXPECT_EQ(1, back.watch_dirs[1].recursive);
    EXPECT_EQ(std::vector<std::wstring>{L"exif.dll"}, back.watch_dirs[1].plugins);
    EXPECT_FALSE(back.is_watch_dirs);
}

TEST(WatchedDirDefaults, NameComesFromTheLastComponentAndAllPluginsAreEnabled) {
    WatchedDir entry;
    entry.autotagname = L"previous";
    entry.recursive = 1;
    entry.autotag = 0;
    entry.init_from_path(L"C:\\Photos\\2024", {L"exif.dll", L"other.dll"});
    EXPECT_EQ(L"C:\\Photos\\2024", entry.path);
    EXPECT_EQ(L"2024", entry.autotagname);
    EXPECT_EQ(1, entry.autotag);
    EXPECT_EQ(0, entry.recursive);
    EXPECT_EQ((std::vector<std::wstring>{L"exif.dll", L"other.dll"}), entry.plugins);

    // A drive root has nothing after its backslash: the name stays as it was.
    WatchedDir root;
    root.autotagname = L"kept";
    root.init_from_path(L"D:\\", {});
    EXPECT_EQ(L"kept", root.autotagname);
    EXPECT_EQ(L"D:\\", root.path);
}

}  // namespace
