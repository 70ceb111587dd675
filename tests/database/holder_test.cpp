// The database object: lookups, set_tags with a previous tree, renames, node deletion, the
// tree edits of the tag dialog, the loader thread and concurrent use from several threads.
#include "util/file_system.h"
#include "store_fixture.h"

#include <algorithm>
#include <atomic>
#include <thread>

using items::file_id;

namespace {
const std::wstring song = L"C:\\Music\\song.mp3";
const std::wstring tune = L"C:\\Music\\tune.mp3";
}  // namespace

TEST_F(StoreTest, FirstRootWinsForLookupsAndARenameFollowsInEveryRoot) {
    give({song}, {L"Alpha/T"});
    give({song}, {L"Beta/T"});
    std::wstring found;
    ASSERT_NE(nullptr, db->find_path(file_id(song), found));
    EXPECT_EQ(L"Alpha", db->find_path(file_id(song), found)->name);
    EXPECT_EQ(L"Alpha", db->find_root(&song, 0)->name);
    EXPECT_EQ(L"Alpha", db->find_root(nullptr, file_id(song))->name);
    EXPECT_EQ(nullptr, db->find_path(12345, found));
    EXPECT_TRUE(found.empty());

    const std::wstring moved = L"C:\\Archive\\song.mp3";
    ASSERT_NE(nullptr, db->find_path(file_id(song), found));
    db->follow_rename(found, moved);
    reload();
    // Every root that held the file follows it; none keeps the old path. The file keeps its
    // id, so no tag file is written.
    EXPECT_EQ((std::vector<std::wstring>{L"Alpha/T", L"Beta/T"}), tags_of(moved));
    EXPECT_TRUE(tags_of(song).empty());
    EXPECT_EQ(id_bytes({file_id(song)}), read_bytes(data(L"Alpha\\T")));
    EXPECT_EQ(id_bytes({file_id(song)}), read_bytes(data(L"Beta\\T")));
    ASSERT_NE(nullptr, db->find_path(file_id(song), found));
    EXPECT_EQ(moved, found);

    // Each move appends a record that wins over the old one; once the old ones outnumber the
    // live, the map is written whole again, so moving to and fro does not grow it for ever.
    const std::wstring away = L"C:\\Elsewhere\\song.mp3";
    for (int i = 0; i < 6; ++i) db->follow_rename(i % 2 ? away : moved, i % 2 ? moved : away);
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Alpha/T", L"Beta/T"}), tags_of(moved));
    EXPECT_GE(2 * record_bytes(file_id(song), away).size(), read_bytes(data(L"Alpha.dat")).size());
}

TEST_F(StoreTest, SetTagsWithPreviousTreeRemovesOnlyWhatDisappeared) {
    give({song, tune}, {L"Music/Genre/Rock", L"Music/Genre/Jazz", L"Music/Mood/Calm"});
    ASSERT_TRUE(db->set_tags({song}, tags({L"Music/Genre/Jazz", L"Music/Era/Sixties"}),
                             tags({L"Music/Genre/Rock", L"Music/Genre/Jazz", L"Music/Mood/Calm"})));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Era/Sixties", L"Music/Genre/Jazz"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Jazz", L"Music/Genre/Rock", L"Music/Mood/Calm"}), tags_of(tune));

    // No new tree: every previous tag goes and nothing is added.
    ASSERT_TRUE(db->set_tags({tune}, items::tree_ptr(), tags({L"Music/Mood/Calm"})));
    EXPECT_FALSE(exists(data(L"Music\\Mood")));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Era/Sixties", L"Music/Genre/Jazz"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Jazz", L"Music/Genre/Rock"}), tags_of(tune));

    EXPECT_FALSE(db->set_tags({}, tags({L"Music/X"}), items::tree_ptr()));
}

TEST_F(StoreTest, NewRootFolderComesBeforeAnyFile) {
    items::deferred_writing deferred;
    give({song}, {L"Fresh/Scope/Tag"});
    EXPECT_TRUE(util::folder_exists(data(L"Fresh")));
    EXPECT_FALSE(exists(data(L"Fresh.dat")));
    EXPECT_FALSE(exists(data(L"Fresh\\Scope\\Tag")));
}

TEST_F(StoreTest, DeleteNodeRemovesTheScopeWithItsTagsAndKeepsTheMap) {
    give({song}, {L"Music/Genre/Rock", L"Music/Genre/Jazz", L"Music/Mood"});
    const std::vector<unsigned char> map = read_bytes(data(L"Music.dat"));
    EXPECT_FALSE(db->delete_node(*items::make_chain({L"Music", L"Nothing"})));
    ASSERT_TRUE(db->delete_node(*items::make_chain({L"Music", L"Genre"})));
    EXPECT_FALSE(exists(data(L"Music\\Genre")));
    EXPECT_EQ(map, read_bytes(data(L"Music.dat")));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Mood"}), tags_of(song));

    // Deleting the last child takes the emptied root with it.
    ASSERT_TRUE(db->delete_node(*items::make_chain({L"Music", L"Mood"})));
    EXPECT_FALSE(exists(data(L"Music")));
    EXPECT_TRUE(db->name_trees().empty());
}

TEST_F(StoreTest, RemoveAllTagsClearsEveryRoot) {
    give({song, tune}, {L"Music/Rock"});
    give({song}, {L"Video/Clips", L"Video/Fun"});
    db->remove_all_tags({song}, true);
    EXPECT_TRUE(tags_of(song).empty());
    EXPECT_FALSE(exists(data(L"Video")));
    std::vector<std::pair<items::file_id_t, std::wstring> > all = db->tagged_paths();
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(tune, all[0].second);
}

TEST_F(StoreTest, TagsOfSeveralPathsAreTheirUnion) {
    give({song}, {L"Music/Genre/Rock"});
    give({tune}, {L"Music/Genre/Jazz", L"Music/Mood"});
    std::vector<items::tree_ptr> trees = db->tags_of_paths({song, tune, L"C:\\untagged"});
    ASSERT_EQ(1u, trees.size());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Jazz", L"Music/Genre/Rock", L"Music/Mood"}), chains_of(trees[0]));
}

TEST_F(StoreTest, TreeEditsRenameAndMoveOnDisk) {
    give({song}, {L"Music/Genre/Rock"});
    give({tune}, {L"Sound/Birds"});
    using items::tree_edit;
    std::vector<tree_edit> edits(4);
    edits[0].op = tree_edit::rename;
    edits[0].node = {L"Music", L"Genre", L"Rock"};
    edits[0].new_name = L"Stone";
    edits[1].op = tree_edit::create;
    edits[1].node = {L"Music"};
    edits[1].kind = items::kind_scope;
    edits[1].new_name = L"Styles";
    edits[2].op = tree_edit::move;
    edits[2].node = {L"Music", L"Genre", L"Stone"};
    edits[2].target = {L"Music", L"Styles"};
    // A root moved below another root becomes a scope there and brings its files along.
    edits[3].op = tree_edit::move;
    edits[3].node = {L"Sound"};
    edits[3].target = {L"Music"};
    ASSERT_TRUE(db->apply_edits(edits));

    EXPECT_TRUE(exists(data(L"Music\\Styles\\Stone")));
    EXPECT_FALSE(exists(data(L"Music\\Genre")));  // emptied by the move
    EXPECT_TRUE(exists(data(L"Music\\Sound\\Birds")));
    EXPECT_FALSE(exists(data(L"Sound")));
    EXPECT_FALSE(exists(data(L"Sound.dat")));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Styles/Stone"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Sound/Birds"}), tags_of(tune));

    // Clashes, unsafe names, moves into oneself and tags at the top change nothing.
    std::vector<tree_edit> bad(1);
    bad[0].op = tree_edit::rename;
    bad[0].node = {L"Music", L"Styles"};
    bad[0].new_name = L"Sound";
    EXPECT_FALSE(db->apply_edits(bad));
    bad[0].new_name = L"..";
    EXPECT_FALSE(db->apply_edits(bad));
    bad[0].op = tree_edit::move;
    bad[0].target = {L"Music", L"Styles"};
    EXPECT_FALSE(db->apply_edits(bad));
    bad[0].node = {L"Music", L"Styles", L"Stone"};
    bad[0].target = {};
    EXPECT_FALSE(db->apply_edits(bad));
    bad[0].op = tree_edit::create;
    bad[0].node = {};
    bad[0].kind = items::kind_root;
    bad[0].new_name = L"a\\..\\..\\b";
    EXPECT_FALSE(db->apply_edits(bad));
    EXPECT_EQ((std::vector<std::wstring>{L"Music", L"Music.dat"}), folder_entries(folder.path()));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Styles/Stone"}), tags_of(song));
}

TEST_F(StoreTest, ScopeMovedToTheTopBecomesARootWithItsFiles) {
    give({song}, {L"Music/Genre/Rock"});
    give({tune}, {L"Music/Mood"});
    items::tree_edit edit;
    edit.op = items::tree_edit::move;
    edit.node = {L"Music", L"Genre"};
    ASSERT_TRUE(db->apply_edits({edit}));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Genre/Rock"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Mood"}), tags_of(tune));
}

// The tag dialog collects edits against the tree it shows; the database drops a root or scope
// the moment an edit leaves it empty, and the later edits still name it.
TEST_F(StoreTest, CollectedEditsRemakeTheContainersThatTheDatabaseDropped) {
    give({song}, {L"Docs/Work/Report"});
    using items::tree_edit;
    std::vector<tree_edit> edits(4);
    edits[0].op = tree_edit::remove;  // the last tag: Work and Docs go with it
    edits[0].node = {L"Docs", L"Work", L"Report"};
    edits[1].op = tree_edit::remove;  // gone already
    edits[1].node = {L"Docs", L"Work"};
    edits[2].op = tree_edit::create;
    edits[2].node = {L"Docs"};
    edits[2].kind = items::kind_scope;
    edits[2].new_name = L"Home";
    edits[3].op = tree_edit::create;
    edits[3].node = {L"Docs", L"Home"};
    edits[3].new_name = L"Memo";
    ASSERT_TRUE(db->apply_collected_edits(edits));
    ASSERT_EQ(1u, db->name_trees().size());
    EXPECT_EQ((std::vector<std::wstring>{L"Docs/Home/Memo"}), chains_of(db->name_trees()[0]));
    EXPECT_FALSE(exists(data(L"Docs\\Work")));
    EXPECT_TRUE(tags_of(song).empty());

    give({tune}, {L"Music/Rock"});
    db->replace_tags({song, tune}, {tags({L"Docs/Home/Memo"})});
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Docs/Home/Memo"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Docs/Home/Memo"}), tags_of(tune)) << "Music was not chosen";
    EXPECT_EQ((std::vector<std::wstring>{L"Docs", L"Docs.dat"}), folder_entries(folder.path()));
}

// The tag dialog's "Add" for files that held different tags: the chosen tags go to every file,
// the unchosen ones leave every file, and the rest stay as each file had them.
TEST_F(StoreTest, ChangeTagsKeepsEachFilesOwnTagsBesideTheChosenAndUnchosen) {
    const std::wstring other = L"C:\\Docs\\other.txt";
    give({song}, {L"Music/Genre/Rock", L"Music/Mood/Calm"});
    give({song}, {L"Docs/Work/Report"});
    give({tune}, {L"Music/Genre/Jazz", L"Music/Mood/Calm"});
    give({tune}, {L"Sound/Birds"});
    give({other}, {L"Docs/Work/Report"});

    const std::vector<items::tree_ptr> chosen = {tags({L"Music/Mood/Calm", L"Music/Era/Sixties"}),
                                                 tags({L"Docs/Work/Memo"})};
    // Neither file holds Blues; Memo is chosen as well, which wins.
    const std::vector<items::tree_ptr> unchosen = {tags({L"Music/Genre/Blues"}), tags({L"Sound/Birds"}),
                                                   tags({L"Docs/Work/Report", L"Docs/Work/Memo"})};
    db->change_tags({song, tune}, chosen, unchosen);
    reload();
    std::vector<std::wstring> song_tags = tags_of(song), tune_tags = tags_of(tune);
    std::sort(song_tags.begin(), song_tags.end());
    std::sort(tune_tags.begin(), tune_tags.end());
    EXPECT_EQ((std::vector<std::wstring>{L"Docs/Work/Memo", L"Music/Era/Sixties", L"Music/Genre/Rock",
                                         L"Music/Mood/Calm"}),
              song_tags)
        << "Jazz stays with the tune only";
    EXPECT_EQ((std::vector<std::wstring>{L"Docs/Work/Memo", L"Music/Era/Sixties", L"Music/Genre/Jazz",
                                         L"Music/Mood/Calm"}),
              tune_tags)
        << "Rock stays with the song only";
    EXPECT_EQ((std::vector<std::wstring>{L"Docs/Work/Report"}), tags_of(other)) << "a file not asked about";
    EXPECT_FALSE(exists(data(L"Sound"))) << "the root of a tag taken off its last file goes";
    EXPECT_FALSE(exists(data(L"Music\\Genre\\Blues")));
}

TEST_F(StoreTest, CollectedMovesAndRenamesAcrossRootsLandWhereAsked) {
    give({song}, {L"Music/Genre/Rock"});
    give({tune}, {L"Sound/Birds"});
    using items::tree_edit;
    std::vector<tree_edit> edits(4);
    edits[0].op = tree_edit::move;  // empties Genre, and with it Music
    edits[0].node = {L"Music", L"Genre", L"Rock"};
    edits[0].target = {L"Sound"};
    edits[1].op = tree_edit::rename;
    edits[1].node = {L"Music", L"Genre"};
    edits[1].new_name = L"Styles";
    edits[2].op = tree_edit::move;
    edits[2].node = {L"Sound", L"Rock"};
    edits[2].target = {L"Music", L"Styles"};
    edits[3].op = tree_edit::move;
    edits[3].node = {L"Sound"};
    edits[3].target = {L"Music"};
    ASSERT_TRUE(db->apply_collected_edits(edits));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Styles/Rock"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Sound/Birds"}), tags_of(tune));
    EXPECT_EQ((std::vector<std::wstring>{L"Music", L"Music.dat"}), folder_entries(folder.path()));

    // A refused edit still stops the rest.
    edits.resize(2);
    edits[0].op = tree_edit::rename;
    edits[0].node = {L"Music", L"Styles"};
    edits[0].new_name = L"Sound";
    edits[1].op = tree_edit::remove;
    edits[1].node = {L"Music", L"Sound"};
    EXPECT_FALSE(db->apply_collected_edits(edits));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Sound/Birds"}), tags_of(tune));
}

TEST_F(StoreTest, LoaderThreadBuildsTheTree) {
    give({song}, {L"Music/Rock"});
    db = open();
    db->start_loader();
    ASSERT_TRUE(db->wait_loaded(30000));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(song));
}

// Several threads tag, untag, list, look up and save at once. A race on the tree's maps and
// vectors would crash or corrupt it; afterwards memory and disk must agree.
TEST_F(StoreTest, ConcurrentUseKeepsTheTreeWhole) {
    give({song}, {L"Music/Rock"});
    db = open();
    db->start_loader();  // the loader runs while the workers start
    std::atomic<bool> failed(false);
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([this, w, &failed] {
            try {
                for (int i = 0; i < 150; ++i) {
                    const std::wstring path = L"C:\\w" + std::to_wstring(w) + L"\\f" + std::to_wstring(i % 40);
                    const std::wstring tag = L"Music/T" + std::to_wstring(i % 7);
                    switch (i % 5) {
                    case 0: case 1:
                        db->set_tags({path}, tags({tag}), items::tree_ptr());
                        break;
                    case 2:
                        db->set_tags({path}, items::tree_ptr(), tags({tag}));
                        break;
                    case 3: {
                        items::shell_item_list out;
                        db->list_level({L"Music", L"T" + std::to_wstring(i % 7), items::filtered_items_name},
                                       0, out);
                        break;
                    }
                    default: {
                        std::wstring found;
                        db->find_path(file_id(path), found);
                        db->tags_of_paths({path});
                        db->tagged_paths();
                    }
                    }
                }
            } catch (...) {
                failed = true;
            }
        });
    }
    for (std::thread& t : workers) t.join();
    ASSERT_FALSE(failed);
    ASSERT_TRUE(db->wait_loaded(30000));

    std::vector<std::pair<items::file_id_t, std::wstring> > before = db->tagged_paths();
    std::vector<std::vector<std::wstring> > tags_before;
    for (const auto& entry : before) tags_before.push_back(tags_of(entry.second));
    reload();
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(tags_before[i], tags_of(before[i].second)) << "memory and disk disagree";
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(song));
}

TEST_F(StoreTest, AnotherDataFolderStartsAnEmptyTree) {
    give({song}, {L"Music/Rock"});
    TempFolder other;
    db->set_data_folder(other.path());
    EXPECT_TRUE(db->name_trees().empty());
    give({tune}, {L"Music/Jazz"});
    EXPECT_TRUE(exists(other.path() + L"Music\\Jazz"));
    EXPECT_FALSE(exists(data(L"Music\\Jazz")));
    db->set_data_folder(folder.path());
    db->load_store();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(song));
}

// Explorer may list the folder or tag a file before the loader thread has even started.
TEST_F(StoreTest, RequestsMadeWhileTheLoaderStartsSeeTheWholeStore) {
    const std::wstring clip = L"D:\\Video\\clip.avi";
    give({song}, {L"Music/Rock"});
    give({tune}, {L"Video/Clips"});
    db = open();
    db->start_loader();
    items::shell_item_list top;
    ASSERT_TRUE(db->list_level({}, 0, top));
    EXPECT_EQ(2u, top.size());

    // Tagging under an existing root at once must not hide that root's other tags.
    db = open();
    db->start_loader();
    give({clip}, {L"Music/Jazz"});
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(song));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz"}), tags_of(clip));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(song));
}
