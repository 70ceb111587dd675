// The snapshot beside the maps: a load takes a tag's ids, or a map's records, from it only while
// that file keeps the stamp recorded with them. Files changed, truncated or removed behind it, a damaged
// snapshot, and a file rewritten within the same clock tick never show wrong tags.
#include "store_fixture.h"

#include "database/store_snapshot.h"
#include "database/tag_query.h"
#include "util/byte_fields.h"
#include "util/hashes.h"
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

TEST_F(SnapshotTest, AWellSummedSnapshotThatPointsOutsideItsTablesIsNotUsed) {
    // As another user could write it: every checksum right, the map's stamp that of the file.
    const std::wstring map = data(L"Music.dat");
    const auto units = [](std::vector<unsigned char>& out, std::initializer_list<wchar_t> text) {
        for (wchar_t c : text) util::append<std::uint16_t>(out, c);
    };
    const auto section = [](std::uint32_t kind, const std::vector<unsigned char>& payload, std::uint32_t count = 1) {
        std::vector<unsigned char> out;
        util::append<std::uint32_t>(out, kind);
        util::append<std::uint32_t>(out, count);
        util::append<std::uint64_t>(out, payload.size());
        util::append<std::uint64_t>(out, util::block_checksum(payload.data(), payload.size()));
        return out + payload;
    };
    std::vector<unsigned char> folders, paths;
    util::append<std::uint32_t>(folders, 3);
    units(folders, {L'C', L':', L'\\', 0});
    for (std::uint64_t size : {1, 2}) util::append<std::uint64_t>(paths, size);
    for (std::uint32_t field : {0u, file_id(L"C:\\a"), 1u}) util::append<std::uint32_t>(paths, field);
    units(paths, {L'a', 0});
    const auto music = [&](std::uint32_t path_number) {
        std::vector<unsigned char> out;
        util::append<std::uint64_t>(out, read_bytes(map).size());
        util::append<std::uint64_t>(out, write_time(map));
        for (std::uint32_t field : {5u, 0u, 1u, 1u}) util::append<std::uint32_t>(out, field);
        units(out, {L'M', L'u', L's', L'i', L'c', 0});
        util::append<std::uint32_t>(out, file_id(song));
        util::append<std::uint32_t>(out, path_number);
        return out;
    };
    const std::vector<unsigned char> head = {'Q', 'B', 'X', 'S', 'N', 'A', 'P', '2'};
    const std::vector<std::vector<unsigned char> > snapshots = {
        // A path number past the table's one path.
        head + section(1, folders) + section(2, paths) + section(3, music(1)) + section(5, {}, 3),
        // A folder after the map: the table must be whole before a map names it.
        head + section(1, folders) + section(2, paths) + section(3, music(0)) + section(1, folders) + section(5, {}, 4),
    };
    for (const std::vector<unsigned char>& bytes : snapshots) {
        write_bytes(items::store_snapshot::path_in(folder.path()), bytes);
        util::unique_file held = hold(map);
        ASSERT_TRUE(held.valid());
        reload();
        EXPECT_EQ(3u, db->unread_count());  // the map and its two tags
        EXPECT_EQ((std::vector<std::wstring>{L"Video/Clips", L"Video/Fun"}), tags_of(song));
    }
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

TEST_F(SnapshotTest, AQueryLeavesOutIdsATagHoldsThatItsMapDoesNot) {
    // As another user could write it: a stamp-true snapshot whose Music/Rock also lists a file
    // only Video's map holds. The tag then carries the id, but it names no file in Music.
    const std::wstring other = L"D:\\Video\\other.avi";
    give({other}, {L"Video/Fun"});
    age_files(folder.path());
    reload();
    items::store_snapshot crafted;
    crafted.add_map(L"Music", items::store::stamp_of(data(L"Music.dat")), nullptr, 0);
    crafted.add_tag(L"Music\\Rock", items::store::stamp_of(data(L"Music\\Rock")),
                    {file_id(song), file_id(tune), file_id(other)});
    crafted.write(folder.path());
    reload();
    const auto answer = [this](const std::wstring& query) { return items::tag_query::parse(query).files(*db); };
    EXPECT_EQ((std::vector<std::wstring>{song, tune}), answer(L"Music/Rock"));
    EXPECT_EQ((std::vector<std::wstring>{song}), answer(L"Music/Rock and Video"));
    // Nor does it take the file out of a difference or a complement.
    EXPECT_EQ((std::vector<std::wstring>{other}), answer(L"Video and not Music/Rock"));
    EXPECT_EQ((std::vector<std::wstring>{clip, other}), answer(L"not Music/Rock"));
}
