// The directory watcher on real directories: which new names reach the window thread, when,
// and how often; the tagging of what arrives; and stopping and restarting the watching thread.
#include "autotag/directory_watcher.h"
#include "autotag/parse.h"

#include "plugin_fixture.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

using autotag::DirectoryWatcher;
using autotag::WatchedDir;

namespace {

typedef std::vector<std::wstring> names;

const DWORD poll_ms = 40;

// Long enough for a store write behind a fresh build's writeback: a passing wait ends at once.
bool eventually(const std::function<bool()>& done, DWORD timeout_ms = 20000) {
    const DWORD started = ::GetTickCount();
    for (;;) {
        if (done()) return true;
        if (::GetTickCount() - started > timeout_ms) return false;
        ::Sleep(10);
    }
}

// Exit code of a thread handle duplicated before it was closed.
DWORD exit_code(HANDLE thread) {
    DWORD code = 0;
    ::GetExitCodeThread(thread, &code);
    return code;
}

// Runs a Linux program on a Windows path, as another program outside Wine would touch the
// file; false when the program cannot be run here.
bool run_linux(const char* program, const std::wstring& path) {
    typedef char*(CDECL * to_unix)(const wchar_t*);
    const to_unix convert =
        reinterpret_cast<to_unix>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
    if (!convert) return false;
    char* unix_path = convert(path.c_str());
    if (!unix_path) return false;
    std::string command = std::string(program) + " \"" + unix_path + "\"";
    ::HeapFree(::GetProcessHeap(), 0, unix_path);
    STARTUPINFOA startup;
    ::ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ::ZeroMemory(&process, sizeof process);
    std::string image = std::string("Z:\\bin\\") + program;
    if (!::CreateProcessA(image.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

// Threads of this process now.
int thread_count() {
    util::unique_file snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    }
    return count;
}

class WatcherTest : public PluginTest {
protected:
    ~WatcherTest() override { watcher.reset(); }

    WatchedDir watched_entry(const std::wstring& path, bool recursive = true) const {
        WatchedDir dir;
        dir.init_from_path(path, {L"alpha.dll"});
        dir.recursive = recursive ? 1 : 0;
        dir.autotag = 0;
        return dir;
    }
    // Watches `dirs` and returns once every directory that exists is watched.
    void start(const std::vector<WatchedDir>& dirs, size_t expected_watched) {
        config.watch_dirs = dirs;
        autotag::g_first_run = false;  // no greeting: a settings test may have left a first start
        watcher.reset(new DirectoryWatcher(config, plugins, *db, poll_ms));
        watcher->start_watcher();
        ASSERT_TRUE(eventually([&] { return watcher->watched_paths().size() == expected_watched; }))
            << watcher->watched_paths().size() << " watched";
    }
    void start_flat_or_recursive(bool recursive) { start({watched_entry(watched(), recursive)}, 1); }

    size_t times_reported(const std::wstring& path) const {
        const names list = watcher->new_file_list();
        return std::count(list.begin(), list.end(), path);
    }
    // Makes a last file and waits for it: the names made before it have had their chance.
    void settle(const std::wstring& folder) {
        const std::wstring last = folder + L"\\zz-settle-" + std::to_wstring(++settles) + L".bin";  // no plug-in claims it
        write_file_bytes(last, std::string());
        ASSERT_TRUE(eventually([&] { return times_reported(last) == 1; })) << "settle file not reported";
        ::Sleep(poll_ms * 3);
    }
    names reported_except_settles() const {
        names result;
        for (const std::wstring& path : watcher->new_file_list()) {
            if (path.find(L"zz-settle-") == std::wstring::npos) result.push_back(path);
        }
        return result;
    }

    autotag::Settings config;
    std::unique_ptr<DirectoryWatcher> watcher;
    int settles = 0;
};

}  // namespace

TEST(TemporaryPath, DownloadAndTemporaryMarksAnywhereCaseSensitive) {
    EXPECT_TRUE(autotag::is_temporary_path(L"C:\\In\\movie.mp4.part"));
    EXPECT_TRUE(autotag::is_temporary_path(L"C:\\In\\a.tmp"));
    EXPECT_TRUE(autotag::is_temporary_path(L"C:\\In\\setup.exe.crdownload"));
    EXPECT_TRUE(autotag::is_temporary_path(L"C:\\In\\x.tmp\\song.mp3"));
    EXPECT_TRUE(autotag::is_temporary_path(L"C:\\In\\a.party.jpg"));  // anywhere, as the rule says
    EXPECT_FALSE(autotag::is_temporary_path(L"C:\\In\\A.TMP"));
    EXPECT_FALSE(autotag::is_temporary_path(L"C:\\In\\part\\tmp.mp3"));
}

TEST_F(WatcherTest, NewFileIsReportedOnceAndTaggedByItsPlugin) {
    start_flat_or_recursive(true);
    const std::wstring song = file(L"song.mp3");
    ASSERT_TRUE(eventually([&] { return times_reported(song) == 1; }));
    EXPECT_TRUE(eventually([&] { return tags_of(song) == names{L"Metadata/Plugin/A"}; }));
    const long calls = fill_calls(L"alpha.dll");

    // Renamed away and back: reported again by the system, but announced and tagged once.
    const std::wstring away = files.path() + L"away.bin";
    ASSERT_TRUE(::MoveFileW(song.c_str(), away.c_str()));
    ::Sleep(poll_ms * 4);
    ASSERT_TRUE(::MoveFileW(away.c_str(), song.c_str()));
    ASSERT_TRUE(eventually([&] { return times_reported(away) == 1; }));
    settle(watched());
    EXPECT_EQ(1u, times_reported(song));
    EXPECT_EQ(calls, fill_calls(L"alpha.dll"));  // song.mp3 not asked again; away.bin has no plug-in
}

TEST_F(WatcherTest, FileMadeByAProgramOutsideWineIsReported) {
    start_flat_or_recursive(true);
    const std::wstring song = files.path() + L"from-linux.mp3";
    if (!run_linux("touch", song)) GTEST_SKIP() << "no Linux programs to run here";
    // Wine hands the program to the system and does not wait for it.
    ASSERT_TRUE(eventually([&] { return path_exists(song); }));
    EXPECT_TRUE(eventually([&] { return times_reported(song) == 1; }));
    EXPECT_TRUE(eventually([&] { return tags_of(song) == names{L"Metadata/Plugin/A"}; }));
}

TEST_F(WatcherTest, TemporaryAndDownloadNamesAreIgnoredUntilRenamed) {
    start_flat_or_recursive(true);
    file(L"clip.mp4.part");
    file(L"scratch.tmp");
    file(L"unpacked.tmp\\inside.mp3");
    const std::wstring download = file(L"movie.mp3.crdownload");
    settle(watched());
    EXPECT_EQ(names(), reported_except_settles());

    // The browser's final rename: reported once, under the final name.
    const std::wstring final_name = files.path() + L"movie.mp3";
    ASSERT_TRUE(::MoveFileW(download.c_str(), final_name.c_str()));
    settle(watched());
    EXPECT_EQ(names{final_name}, reported_except_settles());
    EXPECT_EQ(names{L"Metadata/Plugin/A"}, tags_of(final_name));
}

TEST_F(WatcherTest, FileHeldOpenForWritingIsReportedOnlyAfterItsWriterClosedIt) {
    start_flat_or_recursive(true);
    // A writer that lets others read, and one that also lets others write: both still write.
    for (DWORD writer_sharing : {DWORD(FILE_SHARE_READ), DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
        const std::wstring path = files.path() + L"writing-" + std::to_wstring(writer_sharing) + L".mp3";
        util::unique_file writer(::CreateFileW(path.c_str(), GENERIC_WRITE, writer_sharing, nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer);
        DWORD written = 0;
        ::WriteFile(writer.get(), "data", 4, &written, nullptr);
        ::Sleep(poll_ms * 8);  // several polls
        EXPECT_EQ(0u, times_reported(path)) << "sharing " << writer_sharing;
        writer.reset();
        EXPECT_TRUE(eventually([&] { return times_reported(path) == 1; })) << "sharing " << writer_sharing;
    }
}

TEST_F(WatcherTest, FileDeletedBeforeItCouldBeOpenedIsNeverReported) {
    start_flat_or_recursive(true);
    const std::wstring path = files.path() + L"short-lived.mp3";
    util::unique_file writer(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    ::Sleep(poll_ms * 3);  // the handler is polling, kept out by the writer
    ASSERT_TRUE(::DeleteFileW(path.c_str()));
    writer.reset();
    settle(watched());
    EXPECT_EQ(names(), reported_except_settles());
}

TEST_F(WatcherTest, DirectoryMovedIntoRecursiveWatchHandsOnEveryFileOnce) {
    start_flat_or_recursive(true);
    // A first report, so that the directory arrives on a later change request.
    const std::wstring first = file(L"first.mp3");
    ASSERT_TRUE(eventually([&] { return times_reported(first) == 1; }));

    TempFolder outside;
    make_folder(outside.path() + L"album");
    make_folder(outside.path() + L"album\\disc2");
    make_folder(outside.path() + L"album\\covers.tmp");
    write_file_bytes(outside.path() + L"album\\one.mp3", std::string());
    write_file_bytes(outside.path() + L"album\\disc2\\two.mp3", std::string());
    write_file_bytes(outside.path() + L"album\\covers.tmp\\front.jpg", std::string());
    ASSERT_TRUE(::MoveFileW((outside.path() + L"album").c_str(), (files.path() + L"album").c_str()));

    const std::wstring one = files.path() + L"album\\one.mp3", two = files.path() + L"album\\disc2\\two.mp3";
    ASSERT_TRUE(eventually([&] { return times_reported(one) == 1 && times_reported(two) == 1; }));
    settle(watched());
    names got = reported_except_settles();
    std::sort(got.begin(), got.end());
    names expected{one, two, first};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, got);  // each once; nothing below the ".tmp" folder
    EXPECT_EQ(names{L"Metadata/Plugin/A"}, tags_of(two));
}

TEST_F(WatcherTest, FileGetsTheSameTagsFromTheWatcherAsFromADirectoryParse) {
    // The first enabled plug-in in load order that claims the extension and answers, else the
    // fallback: whether the watcher saw the file arrive or a parse found it later.
    struct Case {
        const wchar_t* file;
        std::string content;
        names tags;
    };
    const std::vector<Case> cases = {
        {L"both-claim.mp3", "", {L"Metadata/Plugin/A"}},
        {L"first-fails.jpg", "FAIL A", {L"Metadata/Plugin/B"}},
        {L"claimers-fail.mp3", "FAIL A B", {L"Metadata/Plugin/other"}},
        {L"unclaimed.JPG", "", {L"Metadata/Plugin/other"}},
        {L"readme", "", {L"Metadata/Plugin/other"}},
        {L"all-fail.mp3", "FAIL *", {}},
    };
    const WatchedDir dir = entry({L"alpha.dll", L"beta.dll", L"other.dll"});
    start({dir}, 1);
    std::vector<std::wstring> paths;
    for (const Case& c : cases) paths.push_back(file(c.file, c.content));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].tags.empty()) continue;
        EXPECT_TRUE(eventually([&] { return !tags_of(paths[i]).empty(); })) << paths[i];
    }
    settle(watched());
    watcher.reset();

    struct Unwatched : autotag::parse_progress {
        void entered(const std::wstring&) override {}
        bool stop_requested() override { return false; }
    } progress;
    TempFolder parse_data;
    items::TagsHolder parsed;
    parsed.set_data_folder(parse_data.path());
    autotag::parse_directory(dir, plugins, parsed, progress);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        names from_parse;
        for (const items::tree_ptr& tree : parsed.tags_of_paths({paths[i]})) {
            const names chains = chains_of(tree);
            from_parse.insert(from_parse.end(), chains.begin(), chains.end());
        }
        EXPECT_EQ(cases[i].tags, tags_of(paths[i]));
        EXPECT_EQ(cases[i].tags, from_parse);
    }
}

TEST_F(WatcherTest, FileOfAMovedDirectoryStillBeingWrittenWaitsForItsWriter) {
    start_flat_or_recursive(true);
    TempFolder outside;
    make_folder(outside.path() + L"copying");
    util::unique_file writer(::CreateFileW((outside.path() + L"copying\\big.mp3").c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    ASSERT_TRUE(::MoveFileW((outside.path() + L"copying").c_str(), (files.path() + L"copying").c_str()));
    const std::wstring big = files.path() + L"copying\\big.mp3";
    ::Sleep(poll_ms * 8);
    EXPECT_EQ(0u, times_reported(big));
    writer.reset();
    EXPECT_TRUE(eventually([&] { return times_reported(big) == 1; }));
}

TEST_F(WatcherTest, DirectoryInFlatWatchIsIgnored) {
    start_flat_or_recursive(false);
    TempFolder outside;
    make_folder(outside.path() + L"album");
    write_file_bytes(outside.path() + L"album\\one.mp3", std::string());
    ASSERT_TRUE(::MoveFileW((outside.path() + L"album").c_str(), (files.path() + L"album").c_str()));
    file(L"album\\two.mp3");
    settle(watched());
    EXPECT_EQ(names(), reported_except_settles());
}

TEST_F(WatcherTest, MoreDirectoriesThanOneWaitCanHoldAreAllWatched) {
    std::vector<WatchedDir> dirs;
    for (int i = 0; i < 70; ++i) {
        make_folder(files.path() + L"d" + std::to_wstring(i));
        dirs.push_back(watched_entry(files.path() + L"d" + std::to_wstring(i), false));
    }
    start(dirs, 70);
    const std::wstring last = file(L"d69\\late.mp3"), first = file(L"d0\\early.mp3");
    EXPECT_TRUE(eventually([&] { return times_reported(last) == 1 && times_reported(first) == 1; }));
}

TEST_F(WatcherTest, MissingAndRemovedDirectoriesAreLeftOutAndTheRestWatched) {
    const std::wstring missing = files.path() + L"not-there", doomed = files.path() + L"doomed",
                       kept = files.path() + L"kept";
    make_folder(doomed);
    make_folder(kept);
    start({watched_entry(missing), watched_entry(doomed), watched_entry(kept)}, 2);
    EXPECT_EQ((names{doomed, kept}), watcher->watched_paths());

    // Windows ends the request of a removed directory, which drops it at once; Wine leaves the
    // request pending, so it is dropped at the next start.
    ASSERT_TRUE(::RemoveDirectoryW(doomed.c_str()));
    const std::wstring song = file(L"kept\\song.mp3");
    EXPECT_TRUE(eventually([&] { return times_reported(song) == 1; }));
    EXPECT_TRUE(watcher->is_watching());
    watcher->restart_watching();
    EXPECT_TRUE(eventually([&] { return watcher->watched_paths() == names{kept}; }));
    const std::wstring tune = file(L"kept\\tune.mp3");
    EXPECT_TRUE(eventually([&] { return times_reported(tune) == 1; }));
}

TEST_F(WatcherTest, StopOfAThreadThatEndedByItselfDoesNotEndTheNextOne) {
    start({watched_entry(files.path() + L"not-there")}, 0);
    ASSERT_TRUE(eventually([&] { return !watcher->is_watching(); }));  // nothing to watch
    watcher->stop_watching();
    config.watch_dirs = {watched_entry(watched())};
    watcher->restart_watching();
    ASSERT_TRUE(eventually([&] { return watcher->watched_paths().size() == 1; }));
    const std::wstring song = file(L"song.mp3");
    EXPECT_TRUE(eventually([&] { return times_reported(song) == 1; }));
}

TEST_F(WatcherTest, StopEndsTheThreadPromptlyAndNormally) {
    start_flat_or_recursive(true);
    HANDLE thread = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), watcher->watch_thread.get(), ::GetCurrentProcess(), &thread,
                                  0, FALSE, DUPLICATE_SAME_ACCESS));
    util::unique_handle held(thread);

    const DWORD before = ::GetTickCount();
    watcher->stop_watching();
    const DWORD took = ::GetTickCount() - before;
    EXPECT_LT(took, 200u);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 0));
    EXPECT_EQ(0u, exit_code(thread));  // returned by itself, not killed with another code
    EXPECT_FALSE(watcher->is_watching());
    EXPECT_TRUE(watcher->watched_paths().empty());
    EXPECT_NE(0u, watcher->ui_thread_id.load());  // the window thread stays

    const std::wstring late = file(L"after-stop.mp3");
    ::Sleep(poll_ms * 8);
    EXPECT_EQ(0u, times_reported(late));
}

TEST_F(WatcherTest, StopWhileDirectoriesAreStillBeingOpened) {
    std::vector<WatchedDir> dirs;
    for (int i = 0; i < 300; ++i) dirs.push_back(watched_entry(watched()));
    config.watch_dirs = dirs;
    watcher.reset(new DirectoryWatcher(config, plugins, *db, poll_ms));
    watcher->start_watcher();
    const DWORD before = ::GetTickCount();
    watcher->stop_watching();
    EXPECT_LT(::GetTickCount() - before, 500u);
    EXPECT_FALSE(watcher->is_watching());
    EXPECT_TRUE(watcher->watched_paths().empty());
}

namespace {

// A directory on a network share that went offline: while the object lives, its open
// returns only once answer() was called (or 20 s passed, so that a stop that waits for it ends).
std::wstring g_offline;
HANDLE g_answered = nullptr, g_entered = nullptr;

class offline_share {
public:
    explicit offline_share(const std::wstring& path)
        : answered_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), entered_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        g_offline = path;
        g_answered = answered_.get();
        g_entered = entered_.get();
        DirectoryWatcher::g_open_directory = open_slowly;
        timeout_ = std::thread([this] {
            ::WaitForSingleObject(answered_.get(), 20000);
            answer();
        });
    }
    ~offline_share() {
        answer();
        timeout_.join();
        DirectoryWatcher::g_open_directory = nullptr;
    }
    bool entered() { return ::WaitForSingleObject(entered_.get(), 5000) == WAIT_OBJECT_0; }
    void answer() { ::SetEvent(answered_.get()); }

private:
    static HANDLE open_slowly(const std::wstring& path) {
        if (path == g_offline) {
            ::SetEvent(g_entered);
            ::WaitForSingleObject(g_answered, INFINITE);
        }
        return ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    }

    util::unique_handle answered_, entered_;
    std::thread timeout_;
};

}  // namespace

TEST_F(WatcherTest, StopDoesNotWaitForADirectoryWhoseOpenHangs) {
    const std::wstring offline = files.path() + L"offline", later = files.path() + L"later";
    make_folder(offline);
    make_folder(later);
    offline_share share(offline);
    config.watch_dirs = {watched_entry(watched()), watched_entry(offline)};
    watcher.reset(new DirectoryWatcher(config, plugins, *db, poll_ms));
    watcher->start_watcher();
    ASSERT_TRUE(share.entered());
    const DWORD before = ::GetTickCount();
    watcher->stop_watching();
    EXPECT_LT(::GetTickCount() - before, DirectoryWatcher::stop_wait_ms + 1000);
    EXPECT_TRUE(watcher->watched_paths().empty());

    // Watching goes on elsewhere meanwhile, and the stuck thread, once its open returns,
    // watches nothing and takes nothing of the new thread's with it.
    config.watch_dirs = {watched_entry(later)};
    watcher->restart_watching();
    ASSERT_TRUE(eventually([&] { return watcher->watched_paths() == names{later}; }));
    share.answer();
    const std::wstring there = file(L"offline\\there.mp3"), here = file(L"later\\here.mp3"), old = file(L"old.mp3");
    EXPECT_TRUE(eventually([&] { return times_reported(here) == 1; }));
    settle(later);
    EXPECT_EQ(0u, times_reported(there));
    EXPECT_EQ(0u, times_reported(old));
    EXPECT_EQ(names{later}, watcher->watched_paths());
}

TEST_F(WatcherTest, RestartWatchesTheNewListWithOneThreadAtATime) {
    const std::wstring before_dir = files.path() + L"before", after_dir = files.path() + L"after";
    make_folder(before_dir);
    make_folder(after_dir);
    start({watched_entry(before_dir)}, 1);

    // Many quick restarts over many directories: a thread that had not ended before the next
    // one began would show in the peak.
    std::vector<WatchedDir> many(40, watched_entry(before_dir));
    config.watch_dirs = many;
    for (int i = 0; i < 15; ++i) watcher->restart_watching();
    watcher->start_watcher();  // a second start does not add a thread either

    config.watch_dirs = {watched_entry(after_dir)};
    watcher->restart_watching();
    ASSERT_TRUE(eventually([&] { return watcher->watched_paths() == names{after_dir}; }));
    EXPECT_EQ(1, watcher->peak_watching_threads());

    const std::wstring old_file = file(L"before\\old.mp3"), new_file = file(L"after\\new.mp3");
    ASSERT_TRUE(eventually([&] { return times_reported(new_file) == 1; }));
    settle(after_dir);
    EXPECT_EQ(0u, times_reported(old_file));
}

TEST_F(WatcherTest, SwitchedOffOrEmptyWatchStartsOnlyTheWindowThread) {
    config.is_watch_dirs = false;
    config.watch_dirs = {watched_entry(watched())};
    watcher.reset(new DirectoryWatcher(config, plugins, *db, poll_ms));
    watcher->start_watcher();
    EXPECT_FALSE(watcher->watch_thread);
    EXPECT_NE(0u, watcher->ui_thread_id.load());
    // A restart watches whatever the switch says: the list changed and the user wants it.
    watcher->restart_watching();
    EXPECT_TRUE(eventually([&] { return watcher->watched_paths().size() == 1; }));

    config.watch_dirs.clear();
    watcher->restart_watching();
    EXPECT_FALSE(watcher->watch_thread);
    EXPECT_FALSE(watcher->is_watching());
}

TEST_F(WatcherTest, EndingTheWatcherLetsWaitingHandlersGiveUp) {
    start_flat_or_recursive(true);
    const std::wstring path = files.path() + L"never-closed.mp3";
    util::unique_file writer(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    ::Sleep(poll_ms * 3);
    const DWORD before = ::GetTickCount();
    watcher.reset();
    EXPECT_LT(::GetTickCount() - before, 1000u);
}

TEST_F(WatcherTest, SwitchedOffAndOnDuringABulkCopyEndsInTheLastState) {
    start_flat_or_recursive(true);
    TempFolder source;
    const std::wstring original = source.path() + L"original.bin";
    write_file_bytes(original, std::string(4096, 'x'));
    const int file_count = 2000, switches = 200;

    std::atomic<int> copied(0);
    std::thread copier([&] {
        for (int i = 0; i < file_count; ++i) {
            const std::wstring copy = files.path() + L"f" + std::to_wstring(i) + L".bin";
            ::CopyFileW(original.c_str(), copy.c_str(), FALSE);
            ++copied;
        }
    });
    // Spread over the copy: one switch off and on per ten files copied.
    DWORD longest_stop = 0;
    int during_copy = 0;
    for (int i = 0; i < switches; ++i) {
        while (copied < i * file_count / switches) ::Sleep(1);
        if (copied < file_count) ++during_copy;
        const DWORD started = ::GetTickCount();
        watcher->stop_watching();
        longest_stop = std::max(longest_stop, ::GetTickCount() - started);
        watcher->start_watcher();
    }
    copier.join();
    std::printf("%d of %d switches during the copy; the longest stop took %lu ms\n", during_copy, switches,
                static_cast<unsigned long>(longest_stop));
    RecordProperty("longest_stop_ms", static_cast<int>(longest_stop));
    // A stop waits only for its own cancelled requests: one that had to give up on a request
    // started after the stop would take half a second.
    EXPECT_LT(longest_stop, 400u);
    EXPECT_GT(during_copy, switches / 2);

    // On, as last switched: the directory is watched and a new file is reported.
    EXPECT_TRUE(watcher->is_watching());
    ASSERT_TRUE(eventually([&] { return watcher->watched_paths() == names{watched()}; }));
    const std::wstring last = file(L"after-switching.mp3");
    EXPECT_TRUE(eventually([&] { return times_reported(last) == 1; }));
    EXPECT_TRUE(eventually([&] { return tags_of(last) == names{L"Metadata/Plugin/A"}; }));
}

TEST_F(WatcherTest, FilesWaitingForTheirWritersDoNotEachTakeAThread) {
    start_flat_or_recursive(true);
    settle(watched());
    const int threads_before = thread_count();
    std::vector<std::wstring> paths;
    std::vector<util::unique_file> writers;
    for (int i = 0; i < 100; ++i) {
        paths.push_back(files.path() + L"held-" + std::to_wstring(i) + L".bin");
        writers.emplace_back(::CreateFileW(paths.back().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writers.back());
    }
    settle(watched());  // every one of them has reached the watcher and waits for its writer
    const int threads_waiting = thread_count();
    EXPECT_LT(threads_waiting - threads_before, 5);
    EXPECT_EQ(names(), reported_except_settles());

    writers.clear();
    EXPECT_TRUE(eventually([&] { return reported_except_settles().size() == paths.size(); }));
    names got = reported_except_settles();
    std::sort(got.begin(), got.end());
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, got);
}

TEST_F(WatcherTest, NewFileListKeepsTheLatestFilesEachOnce) {
    start_flat_or_recursive(true);
    const std::size_t kept = DirectoryWatcher::max_new_files;
    const auto report = [&](const std::wstring& path) {
        wchar_t* copy = new wchar_t[path.size() + 1];
        std::copy(path.c_str(), path.c_str() + path.size() + 1, copy);
        // The window thread may not have made its queue yet.
        for (int tries = 0; !::PostThreadMessageW(watcher->ui_thread_id.load(), autotag::watcher_new_file_message,
                                                  reinterpret_cast<WPARAM>(copy), 0);
             ++tries) {
            ASSERT_LT(tries, 500);
            ::Sleep(10);
        }
    };
    names sent;
    for (std::size_t i = 0; i < kept + 100; ++i) {
        sent.push_back(L"C:\\elsewhere\\n" + std::to_wstring(i) + L".bin");
        report(sent.back());
    }
    // Reported again while still listed: ignored.
    report(sent.back());
    report(sent[kept + 50]);
    const std::wstring last = L"C:\\elsewhere\\last.bin";
    report(last);
    ASSERT_TRUE(eventually([&] { return times_reported(last) == 1; }));

    names expected(sent.begin() + 101, sent.end());
    expected.push_back(last);
    EXPECT_EQ(expected, watcher->new_file_list());
}
