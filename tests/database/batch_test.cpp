// Requests over many files at once: removing their tags and following their moves write each
// touched tag file and map once, and leave the store as the same changes made file by file.
#include "store_fixture.h"

#include "util/file_names.h"
#include "util/unique_resource.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <iterator>

namespace {

std::wstring track(int album, int number) {
    return L"C:\\Music\\Album" + std::to_wstring(album) + L"\\track" + std::to_wstring(number) + L".mp3";
}

// Sixty tracks in three albums, with tags shared across three roots, and a sibling folder whose
// name begins with the first's. Two tracks of album 0 have one file id (track2A, track1b).
void build(items::TagsHolder& db) {
    std::vector<std::wstring> rock, jazz, mood, invoices, paid, clips;
    for (int i = 0; i < 60; ++i) {
        const std::wstring path = track(i % 3, i);
        rock.push_back(path);
        if (i % 2) jazz.push_back(path);
        if (i % 5 == 0) mood.push_back(path);
        if (i % 4 == 0) invoices.push_back(path);
        if (i % 3 == 0 && i < 30) paid.push_back(path);
        if (i % 3 == 0 && i < 12) clips.push_back(path);
    }
    const std::wstring twin_a = L"C:\\Music\\Album0\\track2A.mp3";
    const std::wstring twin_b = L"C:\\Music\\Album0\\track1b.mp3";
    ASSERT_EQ(items::file_id(twin_a), items::file_id(twin_b));
    rock.push_back(twin_a);
    rock.push_back(twin_b);
    clips.push_back(twin_b);
    for (int i = 0; i < 10; ++i) {
        const std::wstring sibling = L"C:\\Music2\\x" + std::to_wstring(i) + L".mp3";
        rock.push_back(sibling);
        invoices.push_back(sibling);
    }
    ASSERT_TRUE(db.set_tags(rock, tags({L"Music/Genre/Rock"}), items::tree_ptr()));
    ASSERT_TRUE(db.set_tags(jazz, tags({L"Music/Genre/Jazz"}), items::tree_ptr()));
    ASSERT_TRUE(db.set_tags(mood, tags({L"Music/Mood"}), items::tree_ptr()));
    ASSERT_TRUE(db.set_tags(invoices, tags({L"Work/Invoices"}), items::tree_ptr()));
    ASSERT_TRUE(db.set_tags(paid, tags({L"Work/Paid"}), items::tree_ptr()));
    ASSERT_TRUE(db.set_tags(clips, tags({L"Video/Clips"}), items::tree_ptr()));
}

// The tagged files of album 0, as a folder's listing would give them.
std::vector<std::wstring> album0(items::TagsHolder& db) {
    std::vector<std::wstring> paths;
    for (const auto& entry : db.tagged_paths()) {
        if (util::is_same_or_below(entry.second, L"C:\\Music\\Album0")) paths.push_back(entry.second);
    }
    return paths;
}

class BatchTest : public StoreTest {
protected:
    std::vector<std::wstring> sorted_tags_of(const std::wstring& path) {
        std::vector<std::wstring> all = tags_of(path);
        std::sort(all.begin(), all.end());
        return all;
    }
    // The same store in a second data folder, for the same changes made one by one.
    boost::shared_ptr<items::TagsHolder> twin() {
        boost::shared_ptr<items::TagsHolder> other = boost::make_shared<items::TagsHolder>();
        other->set_data_folder(twin_folder.path());
        other->load_store();
        return other;
    }
    // How many changes of the store (appends, replacements, removals) `request` makes.
    int changes_of(const std::function<void()>& request) {
        items::store::g_change_fault.fail_at = INT_MAX;
        items::store::g_change_fault.counted = 0;
        request();
        const int counted = items::store::g_change_fault.counted;
        items::store::g_change_fault = items::store::change_fault_plan();
        return counted;
    }

    TempFolder twin_folder;
};

}  // namespace

TEST_F(BatchTest, RemovingTheTagsOfManyFilesAtOnceLeavesTheStoreAsOneByOne) {
    build(*db);
    build(*twin());
    // Whole albums, a sibling's file, one spelled in other letter case and one never tagged:
    // Paid and the whole Video root lose every file, the other tags some.
    std::vector<std::wstring> removed = {L"C:\\MUSIC\\ALBUM1\\TRACK1.MP3", L"C:\\Music2\\x3.mp3",
                                         L"C:\\Music\\none.mp3"};
    for (int i = 0; i < 60; i += 3) removed.push_back(track(0, i));
    for (int i = 4; i < 60; i += 3) removed.push_back(track(1, i));
    removed.push_back(L"C:\\Music\\Album0\\track1b.mp3");
    db->remove_all_tags(removed, false);
    {
        boost::shared_ptr<items::TagsHolder> other = twin();
        for (const std::wstring& path : removed) other->remove_all_tags({path}, false);
    }
    reload();
    EXPECT_FALSE(exists(data(L"Video")));
    EXPECT_FALSE(exists(data(L"Work\\Paid")));
    EXPECT_TRUE(tags_of(track(1, 1)).empty());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Rock", L"Work/Invoices"}), sorted_tags_of(L"C:\\Music2\\x4.mp3"));
    EXPECT_EQ(store_contents(twin_folder.path()), store_contents(folder.path()));
    // The same files under the same ids (a map's order is not kept).
    std::vector<std::pair<items::file_id_t, std::wstring> > one_by_one = twin()->tagged_paths();
    std::vector<std::pair<items::file_id_t, std::wstring> > at_once = db->tagged_paths();
    std::sort(one_by_one.begin(), one_by_one.end());
    std::sort(at_once.begin(), at_once.end());
    EXPECT_EQ(one_by_one, at_once);
}

TEST_F(BatchTest, ARequestOverManyFilesWritesEachTouchedTagFileAndMapOnce) {
    build(*db);
    reload();
    const std::vector<std::wstring> paths = album0(*db);
    ASSERT_EQ(22u, paths.size());
    // Removal: the journal once for Rock, Jazz, Mood, Invoices and Clips, then each of them
    // written (Clips keeps the file of the other twin), Paid deleted, then the Music, Work and
    // Video maps once each.
    std::vector<std::wstring> removed;
    for (const std::wstring& path : paths) {
        if (path != L"C:\\Music\\Album0\\track1b.mp3") removed.push_back(path);
    }
    const std::vector<std::wstring> before = store_contents(folder.path());
    EXPECT_EQ(1 + 6 + 3, changes_of([&] { db->remove_all_tags(removed, false); }));
    // Every other file of the store is as it was.
    const std::vector<std::wstring> after = store_contents(folder.path());
    std::vector<std::wstring> unchanged;
    std::set_intersection(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(unchanged));
    EXPECT_EQ(before.size() - 9, unchanged.size());
    // A folder's move: the files keep their ids. The moves file is written, the new paths'
    // records are appended to each of the three maps once, and the moves file goes again once
    // the background pass has flushed the maps; no tag file is written.
    build(*db);
    const std::vector<std::wstring> again = album0(*db);
    std::vector<std::pair<std::wstring, std::wstring> > moves;
    for (const std::wstring& path : again) moves.emplace_back(path, L"C:\\Songs" + path.substr(8));
    const std::vector<std::wstring> unmoved = store_contents(folder.path());
    EXPECT_EQ(1 + 3 + 1, changes_of([&] {
                  db->follow_renames(moves);
                  db->wait_relinked(INFINITE);
              }));
    const std::vector<std::wstring> moved = store_contents(folder.path());
    std::vector<std::wstring> kept;
    std::set_intersection(unmoved.begin(), unmoved.end(), moved.begin(), moved.end(), std::back_inserter(kept));
    EXPECT_EQ(unmoved.size() - 3, kept.size());
    EXPECT_EQ(unmoved.size(), moved.size());
    reload();
    EXPECT_TRUE(album0(*db).empty());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Rock", L"Music/Mood", L"Video/Clips", L"Work/Invoices",
                                         L"Work/Paid"}),
              sorted_tags_of(L"C:\\Songs\\Album0\\track0.mp3"));
}

TEST_F(BatchTest, ATagFileHeldByAnotherProgramDuringARemovalIsWrittenOnceItIsLetGo) {
    build(*db);
    const std::vector<std::wstring> removed = album0(*db);
    // Track 0 of album 0 is in Rock, Mood, Invoices, Paid and Clips.
    const std::wstring track0 = track(0, 0);
    db->wait_relinked(INFINITE);  // the building's journaled files are flushed
    {
        // Held without sharing, as a scanner holds a file it reads: the removal is kept in the
        // store's journal, and Rock's file is written from it later.
        util::unique_file held(::CreateFileW(data(L"Music\\Genre\\Rock").c_str(), GENERIC_READ, 0, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        db->remove_all_tags(removed, false);
        EXPECT_TRUE(sorted_tags_of(track0).empty());
        db->wait_relinked(INFINITE);
    }
    reload();
    EXPECT_TRUE(sorted_tags_of(track0).empty());
    EXPECT_TRUE(album0(*db).empty());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(data(items::store::journal_file_name).c_str()));
}

TEST_F(BatchTest, TaggingManyFilesAtOnceLeavesTheStoreAsOneByOne) {
    build(*db);
    build(*twin());
    // Files tagged in other roots, some already under Work/Invoices, both files of one id (new
    // to Work: the second takes another id), one path twice and files never tagged.
    std::vector<std::wstring> paths = {L"C:\\Music\\Album0\\track2A.mp3", track(1, 4), L"C:\\New\\a.txt"};
    for (int i = 0; i < 60; i += 7) paths.push_back(track(i % 3, i));
    paths.push_back(L"C:\\Music\\Album0\\track1b.mp3");
    paths.push_back(track(1, 4));
    paths.push_back(L"C:\\Music2\\x2.mp3");
    paths.push_back(L"C:\\New\\b.txt");
    const std::vector<std::wstring> chains = {L"Work/Archive/Old", L"Work/Invoices"};
    ASSERT_TRUE(db->set_tags(paths, tags(chains), items::tree_ptr()));
    {
        boost::shared_ptr<items::TagsHolder> other = twin();
        for (const std::wstring& path : paths) ASSERT_TRUE(other->set_tags({path}, tags(chains), items::tree_ptr()));
    }
    EXPECT_EQ(store_contents(twin_folder.path()), store_contents(folder.path()));
    reload();
    EXPECT_EQ(chains, sorted_tags_of(L"C:\\New\\b.txt"));
    std::vector<std::pair<items::file_id_t, std::wstring> > one_by_one = twin()->tagged_paths();
    std::vector<std::pair<items::file_id_t, std::wstring> > at_once = db->tagged_paths();
    std::sort(one_by_one.begin(), one_by_one.end());
    std::sort(at_once.begin(), at_once.end());
    EXPECT_EQ(one_by_one, at_once);
}
