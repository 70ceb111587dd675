// The snapshot beside the maps: a load takes a tag's ids, or a map's records, from it only while
// that file keeps the stamp recorded with them. Files changed, truncated or removed behind it, a damaged
// snapshot, and a file rewritten within the same clock tick never show wrong tags.
#include "store_fixture.h"

#include "database/store_snapshot.h"
#include "util/unique_resource.h"

#include <functional>

using items::file_id;

namespace {

const std::wstring song = L"C:\\Music\\song.mp3";
const std::wstring tune = L"C:\\Music\\tune.mp3";
const std::wstring clip = L"D:\\Video\\clip.avi";

util::unique_file hold(const std::wstring& path) {
    return util::unique_file(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

class SnapshotTest : public StoreTest {
protected:
    void SetUp() override {
        give({song, tune}, {L"Music/Rock"});
        give({clip, song}, {L"Music/Jazz"});
        give({song}, {L"Video/Clips", L"Video/Fun"});
        age_files(folder.path());
        reload();  // reads every file and writes the snapshot
        ASSERT_TRUE(exists(items::store_snapshot::path_in(folder.path())));
    }
    // A reload while `file` cannot be read: its tags can come only from the snapshot.
    std::size_t reload_with_held(const std::wstring& file) {
        util::unique_file held = hold(file);
        EXPECT_TRUE(held.valid());
        reload();
        return db->unread_count();
    }
};

}  // namespace

TEST_F(SnapshotTest, ALoadTakesUnchangedFilesFromTheSnapshot) {
    EXPECT_EQ(0u, reload_with_held(data(L"Music\\Rock")));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Music/Rock", L"Video/Clips", L"Video/Fun"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(tune));
}

TEST_F(SnapshotTest, UnchangedMapsComeFromItWithTheirPathsAndIds) {
    // A moved file keeps the id of its old path, which the snapshot must keep as it is.
    const std::wstring moved = L"C:\\Music\\moved.mp3";
    const items::file_id_t old_id = file_id(L"C:\\Old\\moved.mp3");
    write_bytes(data(L"Music.dat"), read_bytes(data(L"Music.dat")) + record_bytes(old_id, moved));
    write_bytes(data(L"Music\\Rock"), read_bytes(data(L"Music\\Rock")) + id_bytes({old_id}));
    age_files(folder.path());
    reload();
    // With both maps held, only the snapshot can tell their paths.
    util::unique_file music = hold(data(L"Music.dat")), video = hold(data(L"Video.dat"));
    ASSERT_TRUE(music.valid() && video.valid());
    reload();
    EXPECT_EQ(0u, db->unread_count());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Music/Rock", L"Video/Clips", L"Video/Fun"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz"}), tags_of(clip));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(moved));
}

TEST_F(SnapshotTest, FilesChangedTruncatedOrRemovedBehindItAreReadAgain) {
    // Same size, other ids (a rewrite); shorter (truncated); gone.
    write_bytes(data(L"Music\\Rock"), id_bytes({file_id(tune), file_id(clip)}));
    std::vector<unsigned char> jazz = read_bytes(data(L"Music\\Jazz"));
    jazz.resize(4);
    write_bytes(data(L"Music\\Jazz"), jazz);
    ASSERT_TRUE(::DeleteFileW(data(L"Video\\Fun").c_str()));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Music/Rock"}), tags_of(clip));
    EXPECT_EQ((std::vector<std::wstring>{L"Video/Clips"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(tune));

    // A tag file made empty is no tag.
    write_bytes(data(L"Music\\Jazz"), {});
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(clip));
}

TEST_F(SnapshotTest, IdsFromTheSnapshotAreCheckedAgainstAChangedMap) {
    write_bytes(data(L"Music.dat"), record_bytes(file_id(song), song) + record_bytes(file_id(clip), clip));
    EXPECT_EQ(0u, reload_with_held(data(L"Music\\Rock")));
    EXPECT_TRUE(tags_of(tune).empty());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Music/Rock", L"Video/Clips", L"Video/Fun"}), tags_of(song));
}

TEST_F(SnapshotTest, ADamagedSnapshotIsNotUsed) {
    const std::wstring snapshot = items::store_snapshot::path_in(folder.path());
    const std::vector<unsigned char> whole = read_bytes(snapshot);
    ASSERT_GT(whole.size(), 64u);
    const std::vector<std::function<std::vector<unsigned char>()> > damages = {
        [&] {
            std::vector<unsigned char> flipped = whole;
            flipped[whole.size() / 3] ^= 0x40;
            return flipped;
        },
        [&] { return std::vector<unsigned char>(whole.begin(), whole.begin() + whole.size() / 2); },
        [&] { return std::vector<unsigned char>(whole.begin(), whole.begin() + 10); },
    };
    for (const auto& damage : damages) {
        write_bytes(snapshot, damage());
        // With no usable snapshot the held file cannot be read: its tag is missing and
        // refuses changes, but no tag is wrong.
        util::unique_file held = hold(data(L"Music\\Rock"));
        ASSERT_TRUE(held.valid());
        reload();
        EXPECT_EQ(1u, db->unread_count());
        EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Video/Clips", L"Video/Fun"}), tags_of(song));
        EXPECT_THROW(db->set_tags({clip}, tags({L"Music/Rock"}), items::tree_ptr()), items::store_error);
    }
    // The next load that reads the files writes a whole snapshot again.
    reload();
    EXPECT_EQ(0u, reload_with_held(data(L"Music\\Rock")));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(tune));
}

TEST_F(SnapshotTest, AFileRewrittenWithinOneClockTickIsNotTrusted) {
    // Written now, and read by the load that writes the snapshot: its stamp is not settled.
    const std::wstring other = L"C:\\x.txt";
    give({clip, tune}, {L"Video/Fun"});
    give({other}, {L"Video/Clips"});
    reload();
    // Rewritten at the same size with its old write time, as a second write within the same
    // tick of a coarse clock would leave it.
    const std::uint64_t when = write_time(data(L"Video\\Fun"));
    write_bytes(data(L"Video\\Fun"), id_bytes({file_id(song), file_id(clip), file_id(other)}));
    set_write_time(data(L"Video\\Fun"), when);
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(tune));
    EXPECT_EQ((std::vector<std::wstring>{L"Video/Clips", L"Video/Fun"}), tags_of(other));
}
