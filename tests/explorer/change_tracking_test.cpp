// The tracking end to end: real files renamed, moved and deleted, the shell told through real
// SHChangeNotify calls or real shell file operations, and the database checked afterwards.
#include "tracking_fixture.h"

#include <shellapi.h>

#include <vector>

namespace {
const std::vector<std::wstring> photo_tags = {L"Photos/Trip"};
}  // namespace

TEST_F(TrackingTest, RenamedItemKeepsItsTags) {
    start();
    make_file(file(L"a.jpg"));
    give({file(L"a.jpg")}, photo_tags);
    util::unique_pidl old_item = pidl_of(file(L"a.jpg"));
    ASSERT_TRUE(::MoveFileW(file(L"a.jpg").c_str(), file(L"b.jpg").c_str()));
    notify(SHCNE_RENAMEITEM, old_item, pidl_of(file(L"b.jpg")));
    wait_handled(1);
    EXPECT_EQ(photo_tags, tags_of(file(L"b.jpg")));
    EXPECT_FALSE(tagged(file(L"a.jpg")));

    // Asking to wait for delivery changes nothing about the items: still tracked.
    util::unique_pidl second_item = pidl_of(file(L"b.jpg"));
    ASSERT_TRUE(::MoveFileW(file(L"b.jpg").c_str(), file(L"c.jpg").c_str()));
    ::SHChangeNotify(SHCNE_RENAMEITEM, SHCNF_IDLIST | SHCNF_FLUSH, second_item.get(), pidl_of(file(L"c.jpg")).get());
    wait_handled(2);
    reload();
    EXPECT_EQ(photo_tags, tags_of(file(L"c.jpg")));
    EXPECT_FALSE(tagged(file(L"b.jpg")));
}

TEST_F(TrackingTest, MoveToAnotherDriveIsDeleteThenCreateOfTheSameName) {
    start();
    ::CreateDirectoryW(file(L"one").c_str(), nullptr);
    ::CreateDirectoryW(file(L"two").c_str(), nullptr);
    make_file(file(L"one\\a.jpg"));
    give({file(L"one\\a.jpg")}, photo_tags);
    util::unique_pidl old_item = pidl_of(file(L"one\\a.jpg"));
    ASSERT_TRUE(::MoveFileW(file(L"one\\a.jpg").c_str(), file(L"two\\a.jpg").c_str()));
    notify(SHCNE_DELETE, old_item);
    notify(SHCNE_CREATE, pidl_of(file(L"two\\a.jpg")));
    wait_handled(2);
    // The quiet time passes: the paired deletion must not be forgotten late.
    ::Sleep(quiet_ms * 2);
    EXPECT_EQ(photo_tags, tags_of(file(L"two\\a.jpg")));
    EXPECT_FALSE(tagged(file(L"one\\a.jpg")));
}

TEST_F(TrackingTest, DeletionIsFinalOnlyAfterTheQuietTime) {
    start(1000);
    make_file(file(L"a.jpg"));
    give({file(L"a.jpg")}, photo_tags);
    util::unique_pidl item = pidl_of(file(L"a.jpg"));
    ASSERT_TRUE(::DeleteFileW(file(L"a.jpg").c_str()));
    const ULONGLONG sent = ::GetTickCount64();
    notify(SHCNE_DELETE, item);
    wait_handled(1);
    // Still waiting for a creation of the same name.
    if (::GetTickCount64() - sent < 800) {
        EXPECT_TRUE(tagged(file(L"a.jpg")));
    }
    ASSERT_TRUE(eventually([&] { return !tagged(file(L"a.jpg")); }));
    EXPECT_GE(::GetTickCount64() - sent, 950u);
    reload();
    EXPECT_FALSE(tagged(file(L"a.jpg")));
}

TEST_F(TrackingTest, AFileSavedByDeleteAndRenameKeepsItsTags) {
    start();
    for (const wchar_t* name : {L"report.doc", L"old.doc"}) make_file(file(name));
    give({file(L"report.doc"), file(L"old.doc")}, photo_tags);
    util::unique_pidl report = pidl_of(file(L"report.doc")), old = pidl_of(file(L"old.doc"));
    // The editor writes the new content beside the file, deletes the file, renames the new
    // one into its place; the rename is what makes the deletion's forget fall due.
    make_file(file(L"~report.tmp"));
    util::unique_pidl saved = pidl_of(file(L"~report.tmp"));
    ASSERT_TRUE(::DeleteFileW(file(L"report.doc").c_str()));
    notify(SHCNE_DELETE, report);
    ASSERT_TRUE(::MoveFileW(file(L"~report.tmp").c_str(), file(L"report.doc").c_str()));
    notify(SHCNE_RENAMEITEM, saved, pidl_of(file(L"report.doc")));
    // A real deletion beside it is still final after the quiet time.
    ASSERT_TRUE(::DeleteFileW(file(L"old.doc").c_str()));
    notify(SHCNE_DELETE, old);
    wait_handled(3);
    ASSERT_TRUE(eventually([&] { return !tagged(file(L"old.doc")); }));
    reload();
    EXPECT_EQ(photo_tags, tags_of(file(L"report.doc")));
    EXPECT_FALSE(tagged(file(L"old.doc")));
}

TEST_F(TrackingTest, DeletionIsFinalAtTheNextUnrelatedEvent) {
    start(60000);
    for (const wchar_t* name : {L"a.jpg", L"b.jpg", L"c.jpg", L"x.txt"}) make_file(file(name));
    give({file(L"a.jpg"), file(L"b.jpg"), file(L"c.jpg")}, photo_tags);
    util::unique_pidl a = pidl_of(file(L"a.jpg")), b = pidl_of(file(L"b.jpg")), c = pidl_of(file(L"c.jpg"));
    for (const wchar_t* name : {L"a.jpg", L"b.jpg", L"c.jpg"}) ::DeleteFileW(file(name).c_str());

    // A creation of another name ends the wait of the deletion before it.
    notify(SHCNE_DELETE, a);
    make_file(file(L"new.txt"));
    notify(SHCNE_CREATE, pidl_of(file(L"new.txt")));
    wait_handled(2);
    EXPECT_FALSE(tagged(file(L"a.jpg")));

    // Two files deleted together: the first is final when the second goes, not kept forever.
    notify(SHCNE_DELETE, b);
    notify(SHCNE_DELETE, c);
    wait_handled(4);
    EXPECT_FALSE(tagged(file(L"b.jpg")));
    EXPECT_TRUE(tagged(file(L"c.jpg")));
    util::unique_pidl x = pidl_of(file(L"x.txt"));
    notify(SHCNE_RENAMEITEM, x, pidl_of(file(L"x.txt")));
    wait_handled(5);
    EXPECT_FALSE(tagged(file(L"c.jpg")));
}

TEST_F(TrackingTest, FolderRenameMovesWholeComponentsOnly) {
    start();
    for (const wchar_t* dir : {L"Photos", L"Photos\\2019", L"Photos2"}) ::CreateDirectoryW(file(dir).c_str(), nullptr);
    for (const wchar_t* name : {L"Photos\\a.jpg", L"Photos\\2019\\b.jpg", L"Photos2\\c.jpg"}) make_file(file(name));
    give({file(L"Photos"), file(L"Photos\\a.jpg"), file(L"Photos\\2019\\b.jpg"), file(L"Photos2\\c.jpg")}, photo_tags);
    util::unique_pidl old_folder = pidl_of(file(L"Photos"));
    ASSERT_TRUE(::MoveFileW(file(L"Photos").c_str(), file(L"Albums").c_str()));
    notify(SHCNE_RENAMEFOLDER, old_folder, pidl_of(file(L"Albums")));
    wait_handled(1);
    for (const wchar_t* name : {L"Albums", L"Albums\\a.jpg", L"Albums\\2019\\b.jpg", L"Photos2\\c.jpg"}) {
        EXPECT_EQ(photo_tags, tags_of(file(name))) << std::string(name, name + wcslen(name));
    }
    for (const wchar_t* name : {L"Photos", L"Photos\\a.jpg", L"Photos\\2019\\b.jpg", L"Albums2\\c.jpg"}) {
        EXPECT_FALSE(tagged(file(name))) << std::string(name, name + wcslen(name));
    }
}

TEST_F(TrackingTest, FolderMovedToAnotherDriveTakesItsContents) {
    start();
    for (const wchar_t* dir : {L"one", L"two", L"one\\Photos"}) ::CreateDirectoryW(file(dir).c_str(), nullptr);
    make_file(file(L"one\\Photos\\a.jpg"));
    give({file(L"one\\Photos\\a.jpg")}, photo_tags);
    util::unique_pidl old_folder = pidl_of(file(L"one\\Photos"));
    ASSERT_TRUE(::MoveFileW(file(L"one\\Photos").c_str(), file(L"two\\Photos").c_str()));
    notify(SHCNE_RMDIR, old_folder);
    notify(SHCNE_MKDIR, pidl_of(file(L"two\\Photos")));
    wait_handled(2);
    EXPECT_EQ(photo_tags, tags_of(file(L"two\\Photos\\a.jpg")));
    EXPECT_FALSE(tagged(file(L"one\\Photos\\a.jpg")));
}

TEST_F(TrackingTest, RemovedFolderDropsItsContentsButNotALongerNamedSibling) {
    start();
    for (const wchar_t* dir : {L"Photos", L"Photos2"}) ::CreateDirectoryW(file(dir).c_str(), nullptr);
    for (const wchar_t* name : {L"Photos\\a.jpg", L"Photos2\\c.jpg"}) make_file(file(name));
    give({file(L"Photos\\a.jpg"), file(L"Photos2\\c.jpg")}, photo_tags);
    util::unique_pidl folder_item = pidl_of(file(L"Photos"));
    ::DeleteFileW(file(L"Photos\\a.jpg").c_str());
    ASSERT_TRUE(::RemoveDirectoryW(file(L"Photos").c_str()));
    notify(SHCNE_RMDIR, folder_item);
    ASSERT_TRUE(eventually([&] { return !tagged(file(L"Photos\\a.jpg")); }));
    EXPECT_EQ(photo_tags, tags_of(file(L"Photos2\\c.jpg")));
}

TEST_F(TrackingTest, NotificationsByPathAreFollowedAndPassedOn) {
    start();
    NotificationListener listener(files.path());
    make_file(file(L"a.jpg"));
    give({file(L"a.jpg")}, photo_tags);
    ASSERT_TRUE(::MoveFileW(file(L"a.jpg").c_str(), file(L"b.jpg").c_str()));
    // The registration receives item lists whichever form the caller gave.
    ::SHChangeNotify(SHCNE_RENAMEITEM, SHCNF_PATHW, file(L"a.jpg").c_str(), file(L"b.jpg").c_str());
    EXPECT_TRUE(eventually([&] { return listener.count() == 1; }));
    EXPECT_EQ(SHCNE_RENAMEITEM, listener.last_event());
    wait_handled(1);
    EXPECT_EQ(photo_tags, tags_of(file(L"b.jpg")));
    EXPECT_FALSE(tagged(file(L"a.jpg")));
}

// Explorer's own file operations, which tell the shell by path (Wine's SHFileOperation does).
TEST_F(TrackingTest, ShellFileOperationsAreFollowed) {
    start();
    for (const wchar_t* dir : {L"Photos", L"Sorted"}) ::CreateDirectoryW(file(dir).c_str(), nullptr);
    for (const wchar_t* name : {L"a.jpg", L"Photos\\b.jpg"}) make_file(file(name));
    give({file(L"a.jpg"), file(L"Photos\\b.jpg")}, photo_tags);
    const auto operate = [](UINT operation, const std::wstring& from, const std::wstring& to) {
        const std::wstring source = from + L'\0', target = to + L'\0';
        SHFILEOPSTRUCTW request = {};
        request.wFunc = operation;
        request.pFrom = source.c_str();
        request.pTo = target.c_str();
        request.fFlags = FOF_NO_UI;
        return ::SHFileOperationW(&request);
    };
    ASSERT_EQ(0, operate(FO_RENAME, file(L"a.jpg"), file(L"c.jpg")));
    wait_handled(1);
    EXPECT_EQ(photo_tags, tags_of(file(L"c.jpg")));
    ASSERT_EQ(0, operate(FO_MOVE, file(L"c.jpg"), file(L"Sorted\\c.jpg")));
    wait_handled(2);
    EXPECT_EQ(photo_tags, tags_of(file(L"Sorted\\c.jpg")));
    // A renamed folder takes the tags of its contents along.
    ASSERT_EQ(0, operate(FO_RENAME, file(L"Photos"), file(L"Albums")));
    wait_handled(3);
    EXPECT_EQ(photo_tags, tags_of(file(L"Albums\\b.jpg")));
    reload();
    for (const wchar_t* name : {L"a.jpg", L"c.jpg", L"Photos\\b.jpg"}) {
        EXPECT_FALSE(tagged(file(name))) << std::string(name, name + wcslen(name));
    }
    EXPECT_EQ(photo_tags, tags_of(file(L"Sorted\\c.jpg")));
    EXPECT_EQ(photo_tags, tags_of(file(L"Albums\\b.jpg")));
}

TEST_F(TrackingTest, ConcurrentCallersAreAllTrackedAndDelivered) {
    start();
    NotificationListener listener(files.path());
    const int threads = 8, calls = 50;
    std::vector<std::wstring> names;
    for (int t = 0; t < threads; ++t) {
        names.push_back(file(L"f" + std::to_wstring(t) + L".txt"));
        make_file(names.back());
    }
    give({names[0]}, photo_tags);
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] {
            util::unique_pidl item(::ILCreateFromPathW(names[t].c_str()));
            for (int i = 0; i < calls; ++i) ::SHChangeNotify(SHCNE_RENAMEITEM, SHCNF_IDLIST, item.get(), item.get());
        });
    }
    for (std::thread& caller : callers) caller.join();
    wait_handled(threads * calls);
    EXPECT_TRUE(eventually([&] { return listener.count() >= static_cast<unsigned long>(threads * calls); }));
    ::Sleep(100);
    EXPECT_EQ(static_cast<unsigned long>(threads * calls), tracker->handled());
    EXPECT_EQ(static_cast<unsigned long>(threads * calls), listener.count());
    EXPECT_EQ(photo_tags, tags_of(names[0]));
}

TEST_F(TrackingTest, WindowOfOlderWindowsFollowsRenamesAndDeletions) {
    tracker.reset(new explorer::ShellChangeTracker(*db));
    std::thread window_thread([this] { tracker->run_window(); });
    ASSERT_TRUE(eventually([&] { return tracker->window() != nullptr; }));
    wchar_t class_name[32] = L"";
    ::GetClassNameW(tracker->window(), class_name, 32);
    EXPECT_STREQ(L"WatcherFS", class_name);

    for (const wchar_t* name : {L"a.jpg", L"gone.jpg"}) make_file(file(name));
    give({file(L"a.jpg"), file(L"gone.jpg")}, photo_tags);
    util::unique_pidl a = pidl_of(file(L"a.jpg")), gone = pidl_of(file(L"gone.jpg"));
    ::MoveFileW(file(L"a.jpg").c_str(), file(L"b.jpg").c_str());
    notify(SHCNE_RENAMEITEM, a, pidl_of(file(L"b.jpg")));
    ::DeleteFileW(file(L"gone.jpg").c_str());
    notify(SHCNE_DELETE, gone);
    const bool done = eventually([&] { return tracker->handled() >= 2; });
    tracker->stop_window();
    window_thread.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(photo_tags, tags_of(file(L"b.jpg")));
    EXPECT_FALSE(tagged(file(L"a.jpg")));
    EXPECT_FALSE(tagged(file(L"gone.jpg")));
}

TEST_F(StoreTest, AFolderRenamedOntoATaggedPathMeetsItsTags) {
    give({L"C:\\Music\\a.mp3", L"C:\\Music\\b.mp3"}, {L"Music/Rock"});
    give({L"C:\\Songs\\a.mp3"}, {L"Music/Jazz"});
    explorer::rename_folder(*db, L"C:\\Music", L"C:\\Songs");
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Music/Rock"}), tags_of(L"C:\\Songs\\a.mp3"));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(L"C:\\Songs\\b.mp3"));
    EXPECT_EQ(2u, db->tagged_paths().size());  // one id for each path
}

TEST_F(StoreTest, AFolderRenameLeavesTheStoreAsFollowingEachFileWould) {
    // Many files in two roots (enough for the roots to index their moved files together), tags
    // shared, two of them with one file id; a sibling whose name begins with the folder's stays
    // where it is.
    const auto build = [](items::TagsHolder& store) {
        std::vector<std::wstring> rock, jazz, work;
        for (int i = 0; i < 300; ++i) {
            const std::wstring path = L"C:\\Music\\" + std::to_wstring(i % 4) + L"\\t" + std::to_wstring(i) + L".mp3";
            rock.push_back(path);
            if (i % 3 == 0) jazz.push_back(path);
            if (i % 2 == 0) work.push_back(path);
        }
        rock.insert(rock.end(), {L"C:\\Music\\track2A.mp3", L"C:\\Music\\track1b.mp3", L"C:\\Music2\\x.mp3"});
        work.insert(work.end(), {L"C:\\Music", L"C:\\Music2\\x.mp3"});
        ASSERT_TRUE(store.set_tags(rock, tags({L"Music/Genre/Rock"}), items::tree_ptr()));
        ASSERT_TRUE(store.set_tags(jazz, tags({L"Music/Genre/Jazz"}), items::tree_ptr()));
        ASSERT_TRUE(store.set_tags(work, tags({L"Work/Done"}), items::tree_ptr()));
    };
    build(*db);
    TempFolder twin_folder;
    boost::shared_ptr<items::TagsHolder> twin = boost::make_shared<items::TagsHolder>();
    twin->set_data_folder(twin_folder.path());
    build(*twin);
    // As loaded: no root has indexed its moved files yet.
    reload();
    explorer::rename_folder(*db, L"C:\\Music", L"C:\\Songs");
    // As the folder's files were followed before, one request each.
    twin->follow_rename(L"C:\\Music", L"C:\\Songs");
    for (const auto& entry : twin->tagged_paths()) {
        if (entry.second.compare(0, 9, L"C:\\Music\\") == 0) {
            twin->follow_rename(entry.second, L"C:\\Songs" + entry.second.substr(8));
        }
    }
    reload();
    EXPECT_EQ(store_contents(twin_folder.path()), store_contents(folder.path()));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Rock", L"Work/Done"}), tags_of(L"C:\\Music2\\x.mp3"));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Jazz", L"Music/Genre/Rock", L"Work/Done"}),
              tags_of(L"C:\\Songs\\0\\t0.mp3"));
    EXPECT_EQ((std::vector<std::wstring>{L"Work/Done"}), tags_of(L"C:\\Songs"));
    for (const auto& entry : db->tagged_paths()) EXPECT_NE(0, entry.second.compare(0, 9, L"C:\\Music\\"));
}
