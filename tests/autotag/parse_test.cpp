// Parsing a directory with the plug-ins: which files get which tags, deferred writing with one
// save at the end, "Stop", and the progress dialog with the one-parse-at-a-time rule.
#include "autotag/parse.h"

#include "autotag/files_iterator.h"
#include "plugin_fixture.h"
#include "resource.h"

#include <boost/function.hpp>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

using autotag::WatchedDir;

namespace {

typedef std::vector<std::wstring> names;

class RecordingProgress : public autotag::parse_progress {
public:
    void entered(const std::wstring& dir) override { dirs.push_back(dir); }
    bool stop_requested() override {
        if (on_check) on_check();
        ++checks;
        return stop_at_check > 0 && checks >= stop_at_check;
    }

    names dirs;
    int checks = 0;
    int stop_at_check = 0;  // 0: never
    boost::function<void()> on_check;
};

class ParseTest : public PluginTest {
protected:
    ParseTest() {
        // Of two enabled plug-ins that claim an extension, the earlier in load order answers; the
        // later is asked only when the earlier declines.
        const names order = plugins.names();
        const bool beta_later = std::find(order.begin(), order.end(), L"beta.dll") >
                                std::find(order.begin(), order.end(), L"alpha.dll");
        winner = beta_later ? L"A" : L"B";
        loser = beta_later ? L"B" : L"A";
    }
    ~ParseTest() override { EXPECT_TRUE(items::g_immediate_write); }

    long all_fill_calls() const {
        return fill_calls(L"alpha.dll") + fill_calls(L"beta.dll") + fill_calls(L"other.dll");
    }

    std::wstring winner;
    std::wstring loser;
};

TEST_F(ParseTest, RecursiveParseTagsEveryNewFileAndSavesAtTheEnd) {
    const std::wstring a = file(L"a.mp3");
    // A tag cannot also be a scope: "Path" chains of one parse stay apart so that no name is
    // both, whatever the walk's order.
    const std::wstring b = file(L"sub\\b.jpg");
    const std::wstring c = file(L"other\\deeper\\c.mp3");
    const std::wstring readme = file(L"sub\\readme");
    const std::wstring known = file(L"known.mp3");
    give({known}, {L"Manual/Tag"});
    const WatchedDir job = entry({L"alpha.dll", L"beta.dll", L"other.dll"}, true, true);

    RecordingProgress progress;
    bool written_early = false;
    progress.on_check = [&] { written_early = written_early || exists(data(L"Metadata.dat")); };
    const long calls = all_fill_calls();
    autotag::parse_directory(job, plugins, *db, progress);

    EXPECT_FALSE(written_early);
    EXPECT_EQ(4, all_fill_calls() - calls);  // the tagged file was not offered
    names dirs = progress.dirs;
    std::sort(dirs.begin(), dirs.end());
    EXPECT_EQ((names{watched() + L"\\other", watched() + L"\\other\\deeper", watched() + L"\\sub"}), dirs);

    reload();  // everything below comes from the disk
    EXPECT_EQ((names{L"Metadata/Auto tag/Inbox", L"Metadata/Plugin/" + winner}), tags_of(a));
    EXPECT_EQ((names{L"Metadata/Auto tag/Inbox", L"Metadata/Path/sub", L"Metadata/Plugin/" + winner}), tags_of(b));
    EXPECT_EQ((names{L"Metadata/Auto tag/Inbox", L"Metadata/Path/other/deeper", L"Metadata/Plugin/" + winner}),
              tags_of(c));
    EXPECT_EQ((names{L"Metadata/Auto tag/Inbox", L"Metadata/Path/sub", L"Metadata/Plugin/other"}), tags_of(readme));
    EXPECT_EQ((names{L"Manual/Tag"}), tags_of(known));
}

TEST_F(ParseTest, FlatParseLeavesSubDirectoriesAloneButShowsThem) {
    const std::wstring a = file(L"a.mp3");
    const std::wstring b = file(L"sub\\b.mp3");
    RecordingProgress progress;
    autotag::parse_directory(entry({L"alpha.dll"}, false, false), plugins, *db, progress);
    EXPECT_EQ((names{watched() + L"\\sub"}), progress.dirs);
    EXPECT_EQ((names{L"Metadata/Plugin/A"}), tags_of(a));
    EXPECT_TRUE(tags_of(b).empty());
}

TEST_F(ParseTest, ClaimedFilesGoToTheNextClaimerAndThenToTheFallback) {
    const std::wstring refused = file(L"refused.jpg", "FAIL " + std::string(winner.begin(), winner.end()));
    const std::wstring unread = file(L"unread.jpg", "FAIL A B");
    const std::wstring photo = file(L"photo.jpg");
    const std::wstring upper = file(L"photo2.JPG");
    const std::wstring backup = file(L"archive.backup");
    const std::wstring none = file(L"nothing.mp3", "NOTREE *");
    RecordingProgress progress;
    autotag::parse_directory(entry({L"alpha.dll", L"beta.dll", L"other.dll"}), plugins, *db, progress);
    EXPECT_EQ((names{L"Metadata/Plugin/" + loser}), tags_of(refused));
    EXPECT_EQ((names{L"Metadata/Plugin/other"}), tags_of(unread));
    EXPECT_EQ((names{L"Metadata/Plugin/" + winner}), tags_of(photo));
    EXPECT_EQ((names{L"Metadata/Plugin/other"}), tags_of(upper));
    EXPECT_EQ((names{L"Metadata/Plugin/other"}), tags_of(backup));
    EXPECT_TRUE(tags_of(none).empty());

    // Without the fallback enabled, unclaimed files stay untagged.
    const std::wstring later = file(L"later.JPG");
    autotag::parse_directory(entry({L"alpha.dll", L"beta.dll"}), plugins, *db, progress);
    EXPECT_TRUE(tags_of(later).empty());
}

TEST_F(ParseTest, NamesDifferingOnlyInCaseAreOneTagThroughTheDeferredSave) {
    const std::wstring known = file(L"known.backup");
    give({known}, {L"Music/Genre/Rock"});
    // Spelled otherwise by two files, and twice within one plug-in's tree.
    const std::wstring a = file(L"a.backup", "music\tGenre\trock\n");
    const std::wstring b = file(L"b.backup", "MUSIC\tgenre\tROCK\nMUSIC\tgenre\tRock\n");
    RecordingProgress progress;
    autotag::parse_directory(entry({L"other.dll"}), plugins, *db, progress);

    reload();  // one file per name on disk: the deferred save wrote it once, with every id
    for (const std::wstring& path : {known, a, b}) {
        EXPECT_EQ((names{L"Music/Genre/Rock"}), tags_of(path)) << std::string(path.begin(), path.end());
    }
    EXPECT_EQ((names{L"Music", L"Music.dat"}), folder_entries(data(L"")));
    EXPECT_EQ((names{L"Rock"}), folder_entries(data(L"Music\\Genre\\")));
}

TEST_F(ParseTest, StopKeepsWhatWasTaggedAndSavesIt) {
    std::vector<std::wstring> paths;
    for (const wchar_t* name : {L"1.mp3", L"2.mp3", L"3.mp3", L"4.mp3"}) paths.push_back(file(name));
    RecordingProgress progress;
    progress.stop_at_check = 3;  // two entries handled, then "Stop"
    autotag::parse_directory(entry({L"alpha.dll"}), plugins, *db, progress);
    reload();
    int tagged = 0;
    for (const std::wstring& path : paths) tagged += tags_of(path).empty() ? 0 : 1;
    EXPECT_EQ(2, tagged);
}

TEST_F(ParseTest, EmptyDirectoryStillSavesPendingChanges) {
    {
        items::deferred_writing deferred;
        give({L"C:\\x.mp3"}, {L"Music/Rock"});
    }
    ASSERT_FALSE(exists(data(L"Music\\Rock")));
    RecordingProgress progress;
    autotag::parse_directory(entry({L"alpha.dll"}), plugins, *db, progress);
    EXPECT_TRUE(progress.dirs.empty());
    EXPECT_TRUE(exists(data(L"Music\\Rock")));
    EXPECT_TRUE(exists(data(L"Music.dat")));
}

TEST_F(ParseTest, ListingsGoOnWhileALongParseRuns) {
    // A root with a level to list, and a parse of many files into that root. (Folders of a
    // hundred: Wine looks through a folder's names for each file made in it.)
    give({L"C:\\seed.mp3"}, {L"Metadata/Seed"});
    const int folder_count = 50, per_folder = 100;
    for (int d = 0; d < folder_count; ++d) {
        const std::wstring dir = files.path() + L"d" + std::to_wstring(d) + L"\\";
        make_folder(dir);
        for (int i = 0; i < per_folder; ++i) write_file_bytes(dir + L"f" + std::to_wstring(i) + L".mp3", "");
    }

    // Another window lists the root every 50 ms while the parse runs.
    std::atomic<bool> parse_over(false);
    std::atomic<DWORD> longest_wait(0), longest_listing(0);
    std::atomic<int> listings(0);
    std::thread lister([&] {
        while (!parse_over) {
            const DWORD asked = ::GetTickCount();
            {
                const util::lock_guard held = db->lock();
                const DWORD waited = ::GetTickCount() - asked;
                if (waited > longest_wait) longest_wait = waited;
                items::shell_item_list level;
                db->list_level({L"Metadata"}, 0, level);
            }
            const DWORD took = ::GetTickCount() - asked;
            if (took > longest_listing) longest_listing = took;
            ++listings;
            ::Sleep(50);
        }
    });
    RecordingProgress progress;
    const DWORD started = ::GetTickCount();
    autotag::parse_directory(entry({L"alpha.dll"}), plugins, *db, progress);
    const DWORD parse_ms = ::GetTickCount() - started;
    parse_over = true;
    lister.join();

    std::printf("parse of %d files: %lu ms; %d listings, the longest wait for the database %lu ms, the longest "
                "listing %lu ms\n",
                folder_count * per_folder, static_cast<unsigned long>(parse_ms), listings.load(),
                static_cast<unsigned long>(longest_wait.load()), static_cast<unsigned long>(longest_listing.load()));
    RecordProperty("parse_ms", static_cast<int>(parse_ms));
    RecordProperty("longest_wait_ms", static_cast<int>(longest_wait.load()));
    // A parse that held the database for its whole run would keep a listing waiting for nearly
    // all of it. The bound leaves room for a loaded machine, yet stays well below such a wait.
    ASSERT_GT(parse_ms, 300u) << "too quick a parse to tell";
    EXPECT_LT(longest_wait.load(), std::min<DWORD>(400, parse_ms / 2));
    EXPECT_GT(listings.load(), 2);

    reload();
    EXPECT_EQ((names{L"Metadata/Plugin/A"}), tags_of(files.path() + L"d0\\f0.mp3"));
    EXPECT_EQ((names{L"Metadata/Plugin/A"}), tags_of(files.path() + L"d49\\f99.mp3"));
}

// Runs the thread's messages until `done` holds or 10 s pass.
bool pump_until(const boost::function<bool()>& done) {
    for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 10000;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (done()) return true;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return done();
}

std::wstring window_text(HWND window) {
    wchar_t text[512] = L"";
    ::GetWindowTextW(window, text, 512);
    return text;
}

// Waits on another thread for a message box owned by `owner`, remembers its text and presses OK.
class MessageBoxCloser {
public:
    explicit MessageBoxCloser(HWND owner) : owner_(owner), thread_([this] { run(); }) {}
    ~MessageBoxCloser() {
        if (thread_.joinable()) thread_.join();
    }
    std::wstring text() {
        thread_.join();
        return text_;
    }
    HWND box = nullptr;

private:
    void run() {
        for (int i = 0; i < 1000 && !box; ++i) {
            ::EnumWindows(find_box, reinterpret_cast<LPARAM>(this));
            if (!box) ::Sleep(10);
        }
        if (!box) return;
        ::EnumChildWindows(box, collect_text, reinterpret_cast<LPARAM>(this));
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    static BOOL CALLBACK find_box(HWND window, LPARAM self) {
        MessageBoxCloser* closer = reinterpret_cast<MessageBoxCloser*>(self);
        // Only once shown: before that its texts may not be set yet.
        if (window != closer->owner_ && ::GetWindow(window, GW_OWNER) == closer->owner_ && ::IsWindowVisible(window)) {
            closer->box = window;
            return FALSE;
        }
        return TRUE;
    }
    static BOOL CALLBACK collect_text(HWND child, LPARAM self) {
        wchar_t name[32] = L"";
        ::GetClassNameW(child, name, 32);
        const std::wstring text = window_text(child);
        if (std::wstring(name) == L"Static" && text.size() > 10) reinterpret_cast<MessageBoxCloser*>(self)->text_ = text;
        return TRUE;
    }

    HWND owner_;
    std::wstring text_;
    std::thread thread_;
};

TEST_F(ParseTest, DialogRefusesASecondParseAndStopsBeforeTheFirstEntry) {
    const std::wstring a = file(L"a.mp3");
    const WatchedDir job = entry({L"alpha.dll"});
    HWND dialog = nullptr;
    {
        // Holding the database lock keeps the parse thread waiting at its start.
        util::lock_guard hold(items::database_lock());
        ASSERT_TRUE(autotag::start_parse(job, plugins, *db));
        dialog = autotag::g_parse_dialog;
        ASSERT_TRUE(dialog != nullptr);
        EXPECT_TRUE(::IsWindowVisible(dialog));
        EXPECT_EQ(L"Parsing directory", window_text(dialog));
        EXPECT_TRUE(::GetDlgItem(dialog, IDC_PARSE_PATH) != nullptr);
        EXPECT_EQ(L"Stop", window_text(::GetDlgItem(dialog, IDCANCEL)));

        MessageBoxCloser closer(dialog);
        EXPECT_FALSE(autotag::start_parse(job, plugins, *db));
        EXPECT_EQ(L"Now is executing parsing another directory\nIt is impossible parsing more then one directory "
                  L"simultaneously",
                  closer.text());
        EXPECT_EQ(dialog, autotag::g_parse_dialog.load());

        ::SendMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
        EXPECT_TRUE(autotag::g_parse_stop);
    }
    EXPECT_TRUE(pump_until([&] { return !autotag::g_parse_dialog && !::IsWindow(dialog); }));
    EXPECT_FALSE(autotag::g_parse_stop);
    EXPECT_TRUE(tags_of(a).empty());
}

TEST_F(ParseTest, DialogShowsTheDirectoryAndStopLetsTheCurrentFileFinish) {
    const std::wstring event_name = L"quibrix_parse_test_" + std::to_wstring(::GetCurrentProcessId());
    util::unique_handle release(::CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
    ASSERT_TRUE(release.valid());
    file(L"x1.mp3");
    file(L"x2.mp3");
    const std::wstring waiting = file(L"sub\\a.mp3", "WAIT " + std::string(event_name.begin(), event_name.end()));
    file(L"sub\\b.mp3");
    file(L"z.mp3");
    // The walk's own order decides which files come before the waiting one.
    std::vector<std::wstring> before, after;
    {
        autotag::FilesIteratorInDir walk(watched(), true);
        std::wstring path;
        bool is_dir = false;
        bool seen = false;
        while (walk.next(path, is_dir)) {
            if (is_dir) continue;
            if (path == waiting) {
                seen = true;
                continue;
            }
            (seen ? after : before).push_back(path);
        }
    }

    const long calls = fill_calls(L"alpha.dll");
    ASSERT_TRUE(autotag::start_parse(entry({L"alpha.dll"}), plugins, *db));
    HWND dialog = autotag::g_parse_dialog;
    const long expected_calls = calls + static_cast<long>(before.size()) + 1;
    ASSERT_TRUE(pump_until([&] { return fill_calls(L"alpha.dll") == expected_calls; }));
    // While a plug-in works, the rest of the process can use the database.
    EXPECT_TRUE(util::lock_guard::try_lock(items::database_lock()).owns_lock());
    EXPECT_TRUE(pump_until([&] { return window_text(::GetDlgItem(dialog, IDC_PARSE_PATH)) == watched() + L"\\sub"; }));
    ::SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    ::SetEvent(release.get());
    ASSERT_TRUE(pump_until([&] { return !autotag::g_parse_dialog && !::IsWindow(dialog); }));
    EXPECT_EQ(expected_calls, fill_calls(L"alpha.dll"));

    reload();
    EXPECT_EQ((names{L"Metadata/Plugin/A"}), tags_of(waiting));
    for (const std::wstring& path : before) EXPECT_FALSE(tags_of(path).empty());
    for (const std::wstring& path : after) EXPECT_TRUE(tags_of(path).empty());
}

TEST(ExtensionFolder, ItemListNamesTheExtensionsClass) {
    const std::vector<unsigned char> expected = {20,   0,    0x1F, 0x80, 0x52, 0x3C, 0x1F, 0x6A, 0x4E, 0x9D, 0x7A,
                                                 0x4B, 0x8C, 0x21, 0x3E, 0x5D, 0x7F, 0x9A, 0x0B, 0x64, 0,    0};
    EXPECT_EQ(expected, autotag::extension_folder_id_list());
}

}  // namespace
