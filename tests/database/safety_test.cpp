// Tag data kept safe: several database objects (as several processes) over one store, file ids
// that collide, roots that could not be read, renames in every root, and writes that fail
// half-way.
#include "store_fixture.h"

#include "util/unique_resource.h"

using items::file_id;

namespace {

const std::wstring song = L"C:\\Music\\song.mp3";
const std::wstring tune = L"C:\\Music\\tune.mp3";
const std::wstring clip = L"D:\\Video\\clip.avi";
// Two paths with one file id: "1b" and "2A" add the same to the hash.
const std::wstring first_track = L"C:\\Music\\track1b.mp3";
const std::wstring second_track = L"C:\\Music\\track2A.mp3";

util::unique_file hold(const std::wstring& path, DWORD share) {
    return util::unique_file(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

std::vector<std::wstring> listed_names(items::TagsHolder& db, const std::vector<std::wstring>& level) {
    items::shell_item_list out;
    db.list_level(level, 0, out);
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < out.size(); ++i) names.push_back(out.fields(i).name);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST_F(StoreTest, PathsWhoseIdsCollideStayTwoFiles) {
    ASSERT_EQ(file_id(first_track), file_id(second_track));
    give({first_track}, {L"Music/Rock"});
    give({second_track}, {L"Music/Jazz"});
    give({second_track}, {L"Video/Clips"});
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(first_track)) << "pass " << pass;
        EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Video/Clips"}), tags_of(second_track)) << "pass " << pass;
        EXPECT_EQ((std::vector<std::wstring>{L"track1b.mp3"}),
                  listed_names(*db, {L"Music", L"Rock", items::filtered_items_name}));
        EXPECT_EQ((std::vector<std::wstring>{L"track2A.mp3"}),
                  listed_names(*db, {L"Music", L"Jazz", items::filtered_items_name}));
        reload();
    }
    // Each is removed, renamed and found on its own.
    db->remove_all_tags({first_track}, false);
    EXPECT_TRUE(tags_of(first_track).empty());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Video/Clips"}), tags_of(second_track));
    give({first_track}, {L"Video/Clips"});
    const std::wstring moved = L"C:\\Archive\\track2A.mp3";
    std::vector<std::pair<items::file_id_t, std::wstring> > all = db->tagged_paths();
    ASSERT_EQ(2u, all.size());
    for (const auto& entry : all) {
        if (entry.second == second_track) db->follow_rename(entry.second, moved);
    }
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Video/Clips"}), tags_of(first_track));
    EXPECT_TRUE(tags_of(second_track).empty());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Video/Clips"}), tags_of(moved));
}

TEST_F(StoreTest, ARootWhoseMapWasHeldAtLoadIsReadBeforeItIsMoved) {
    give({song}, {L"Music/Rock"});
    give({clip}, {L"Video/Clips"});
    {
        util::unique_file held = hold(data(L"Music.dat"), 0);
        ASSERT_TRUE(held.valid());
        reload();
        // While the map cannot be read the root cannot move: its files would leave its map.
        items::tree_edit edit;
        edit.op = items::tree_edit::move;
        edit.node = {L"Music"};
        edit.target = {L"Video"};
        EXPECT_FALSE(db->apply_edits({edit}));
        EXPECT_TRUE(exists(data(L"Music\\Rock")));
    }
    items::tree_edit edit;
    edit.op = items::tree_edit::move;
    edit.node = {L"Music"};
    edit.target = {L"Video"};
    ASSERT_TRUE(db->apply_edits({edit}));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Video/Music/Rock"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Video/Clips"}), tags_of(clip));
}

TEST_F(StoreTest, ARenameInARootWhoseRepairFailedKeepsItsTags) {
    give({song, tune}, {L"Music/Rock"});
    std::vector<unsigned char> torn = read_bytes(data(L"Music.dat"));
    torn.push_back(0x11);
    write_bytes(data(L"Music.dat"), torn);
    const std::wstring moved = L"C:\\Archive\\song.mp3";
    {
        // Readable, so the map is read; not replaceable, so its repair fails.
        util::unique_file reader = hold(data(L"Music.dat"), FILE_SHARE_READ);
        ASSERT_TRUE(reader.valid());
        reload();
    }
    std::wstring old_path;
    ASSERT_NE(nullptr, db->find_path(file_id(song), old_path));
    db->follow_rename(old_path, moved);
    db->remove_all_tags({tune}, false);  // rewrites the map once more
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(moved));
    EXPECT_TRUE(tags_of(tune).empty());
}

TEST_F(StoreTest, AFailedAppendLeavesNoTornBytesBehind) {
    // A map append that stops after 3 bytes, and then the rewrite meant to replace it fails too.
    give({song}, {L"Music/Rock"});
    const std::size_t map_size = read_bytes(data(L"Music.dat")).size();
    items::store::g_write_fault.failing = 2;
    items::store::g_write_fault.bytes = 3;
    EXPECT_THROW(db->set_tags({tune}, tags({L"Music/Rock"}), items::tree_ptr()), items::store_error);
    EXPECT_EQ(map_size, read_bytes(data(L"Music.dat")).size());
    // A tag append that stops after 2 bytes.
    give({song}, {L"Video/Rock"});
    give({tune}, {L"Video/Jazz"});
    items::store::g_write_fault.failing = 1;
    items::store::g_write_fault.bytes = 2;
    EXPECT_THROW(db->set_tags({tune}, tags({L"Video/Rock"}), items::tree_ptr()), items::store_error);
    items::store::g_write_fault.failing = 0;
    EXPECT_EQ(4u, read_bytes(data(L"Video\\Rock")).size());

    // Later appends land where they can be read.
    give({clip}, {L"Music/Rock"});
    give({clip}, {L"Video/Rock"});
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock", L"Video/Rock"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock", L"Video/Jazz"}), tags_of(tune));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock", L"Video/Rock"}), tags_of(clip));
}

// Two database objects over one data folder stand for two Explorer processes.
TEST_F(StoreTest, EachDatabaseReadsWhatAnotherWroteBeforeItWrites) {
    give({song}, {L"Music/Rock"});
    boost::shared_ptr<items::TagsHolder> other = open();
    other->load_store();

    // A rewrite of the tag file (a removal) keeps the file the other one appended meanwhile.
    ASSERT_TRUE(other->set_tags({tune}, tags({L"Music/Rock"}), items::tree_ptr()));
    give({clip}, {L"Music/Rock"});
    ASSERT_TRUE(db->set_tags({song}, items::tree_ptr(), tags({L"Music/Rock"})));
    // A listing shows what the other one tagged.
    ASSERT_TRUE(other->set_tags({song}, tags({L"Music/Jazz"}), items::tree_ptr()));
    EXPECT_EQ((std::vector<std::wstring>{L"song.mp3"}), listed_names(*db, {L"Music", L"Jazz", items::filtered_items_name}));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz"}), tags_of(song));

    // A save after deferred changes merges them into what the other one wrote meanwhile.
    {
        items::deferred_writing deferred;
        give({clip}, {L"Music/Jazz"});
    }
    ASSERT_TRUE(other->set_tags({tune}, tags({L"Music/Jazz"}), items::tree_ptr()));
    ASSERT_TRUE(other->set_tags({tune}, items::tree_ptr(), tags({L"Music/Rock"})));
    db->save();

    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz"}), tags_of(tune));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Music/Rock"}), tags_of(clip));
}

TEST_F(StoreTest, ASyncReadsOnlyTheFilesAnotherDatabaseChanged) {
    give({song}, {L"Music/Rock"});
    give({tune}, {L"Music/Jazz"});
    age_files(folder.path());
    reload();
    boost::shared_ptr<items::TagsHolder> other = open();
    ASSERT_TRUE(other->set_tags({clip}, tags({L"Music/Jazz"}), items::tree_ptr()));
    // Read again, the unchanged file would now count as unreadable.
    util::unique_file held = hold(data(L"Music\\Rock"), 0);
    ASSERT_TRUE(held.valid());
    EXPECT_EQ((std::vector<std::wstring>{L"clip.avi", L"tune.mp3"}),
              listed_names(*db, {L"Music", L"Jazz", items::filtered_items_name}));
    EXPECT_EQ(0u, db->unread_count());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(song));
}
