// The tag store on disk: byte layouts, load with pruning and repair, the emptiness cascade,
// deferred writing, crash-safe rewrites and refusal of names that are not file names.
#include "util/file_system.h"
#include "store_fixture.h"

#include "util/unique_resource.h"

using items::file_id;

namespace {

const std::wstring song = L"C:\\Music\\song.mp3";
const std::wstring tune = L"C:\\Music\\tune.mp3";
const std::wstring clip = L"D:\\Video\\clip.avi";

util::unique_file lock_exclusively(const std::wstring& path) {
    return util::unique_file(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

}  // namespace

TEST(FileId, HashesUtf16UnitsTimes33WithoutFolding) {
    EXPECT_EQ(0u, file_id(L""));
    EXPECT_EQ(97u * 33 + 98, file_id(L"ab"));
    EXPECT_NE(file_id(L"C:\\A.txt"), file_id(L"c:\\a.txt"));
    // Wrap-around modulo 2^32, over every unit of a long path.
    const std::wstring long_path(300, L'\x263A');
    std::uint64_t h = 0;
    for (wchar_t c : long_path) h = (h * 33 + static_cast<std::uint16_t>(c)) & 0xFFFFFFFFu;
    EXPECT_EQ(static_cast<std::uint32_t>(h), file_id(long_path));
}

TEST_F(StoreTest, WritesTagFilesAndMapRecordsByteForByte) {
    give({song, tune}, {L"Music/Genre/Rock"});
    EXPECT_TRUE(util::folder_exists(data(L"Music\\Genre")));
    EXPECT_EQ(id_bytes({file_id(song), file_id(tune)}), read_bytes(data(L"Music\\Genre\\Rock")));
    EXPECT_EQ(record_bytes(file_id(song), song) + record_bytes(file_id(tune), tune), read_bytes(data(L"Music.dat")));

    // Appends: a second tag adds its own file; a known file adds no map record.
    give({song}, {L"Music/Genre/Jazz"});
    EXPECT_EQ(id_bytes({file_id(song)}), read_bytes(data(L"Music\\Genre\\Jazz")));
    EXPECT_EQ(record_bytes(file_id(song), song) + record_bytes(file_id(tune), tune), read_bytes(data(L"Music.dat")));

    // The same file twice leaves one id and appends nothing.
    give({song, song}, {L"Music/Genre/Rock"});
    EXPECT_EQ(8u, read_bytes(data(L"Music\\Genre\\Rock")).size());
}

TEST_F(StoreTest, ReloadGivesBackEveryTagAndPath) {
    give({song, tune}, {L"Music/Genre/Rock", L"Music/Mood"});
    give({clip}, {L"Video/Holiday"});
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Rock", L"Music/Mood"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Video/Holiday"}), tags_of(clip));
    std::wstring found;
    ASSERT_TRUE(db->find_path(file_id(tune), found));
    EXPECT_EQ(tune, found);
}

TEST_F(StoreTest, NamesDifferingOnlyInCaseAreOneTagSpelledAsFirstStored) {
    give({song}, {L"Music/rock"});
    give({tune}, {L"MUSIC/Rock"});
    std::vector<items::tree_ptr> trees = db->name_trees();
    ASSERT_EQ(1u, trees.size());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/rock"}), chains_of(trees[0]));
    EXPECT_EQ(id_bytes({file_id(song), file_id(tune)}), read_bytes(data(L"Music\\rock")));
}

TEST_F(StoreTest, LoadRepairsTheMapFile) {
    ASSERT_TRUE(items::store::create_folder(data(L"R")));
    write_bytes(data(L"R\\T"), id_bytes({file_id(song), file_id(tune), file_id(clip)}));
    // A void record between two records, the same id twice (the later path wins), and a
    // record torn off in the middle of its path.
    write_bytes(data(L"R.dat"), record_bytes(file_id(song), L"C:\\old\\song.mp3") + record_bytes(0, L"") +
                                    record_bytes(file_id(tune), tune) + record_bytes(file_id(song), song) +
                                    std::vector<unsigned char>{1, 2, 3, 4, 9, 0, 'x', 0});
    reload();
    std::wstring found;
    ASSERT_TRUE(db->find_path(file_id(song), found));
    EXPECT_EQ(song, found);
    ASSERT_TRUE(db->find_path(file_id(tune), found));
    EXPECT_FALSE(db->find_path(file_id(clip), found));

    // Rewritten without the void record and the torn tail, each id once.
    const std::vector<unsigned char> map = read_bytes(data(L"R.dat"));
    const std::vector<unsigned char> either_order_a = record_bytes(file_id(song), song) + record_bytes(file_id(tune), tune);
    const std::vector<unsigned char> either_order_b = record_bytes(file_id(tune), tune) + record_bytes(file_id(song), song);
    EXPECT_TRUE(map == either_order_a || map == either_order_b);
    // The id that no record knows is gone from the tag file too.
    EXPECT_EQ(id_bytes({file_id(song), file_id(tune)}), read_bytes(data(L"R\\T")));

    // Later appends stay readable.
    give({clip}, {L"R/T"});
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"R/T"}), tags_of(clip));
    EXPECT_EQ((std::vector<std::wstring>{L"R/T"}), tags_of(song));
}

// A map larger than one read of it: the records that straddle the reads' seams are read whole,
// and the torn tail after them is still cut off.
TEST_F(StoreTest, ALargeMapIsReadWholeAcrossItsReads) {
    ASSERT_TRUE(items::store::create_folder(data(L"R")));
    std::vector<std::uint32_t> ids;
    std::vector<unsigned char> records;
    for (int i = 0; i < 6000; ++i) {
        const std::wstring path = L"C:\\music\\album " + std::to_wstring(i % 97) + L"\\" + std::wstring(70 + i % 13, L'x') +
                                  std::to_wstring(i) + L".mp3";
        ids.push_back(file_id(path));
        const std::vector<unsigned char> record = record_bytes(ids.back(), path);
        records.insert(records.end(), record.begin(), record.end());
    }
    ASSERT_GT(records.size(), 2u * 512 * 1024);
    write_bytes(data(L"R\\T"), id_bytes(ids));
    write_bytes(data(L"R.dat"), records + std::vector<unsigned char>{1, 2, 3, 4, 9, 0, 'x', 0});
    reload();
    EXPECT_EQ(ids.size(), db->tagged_paths().size());
    EXPECT_EQ(id_bytes(ids), read_bytes(data(L"R\\T")));
    EXPECT_EQ(records.size(), read_bytes(data(L"R.dat")).size());
}

TEST_F(StoreTest, TornTagFileIsRewrittenBeforeTheNextAppend) {
    give({song, tune}, {L"R/T"});
    std::vector<unsigned char> torn = read_bytes(data(L"R\\T"));
    torn.push_back(0xAB);
    write_bytes(data(L"R\\T"), torn);
    reload();
    EXPECT_EQ(8u, read_bytes(data(L"R\\T")).size());
    give({clip}, {L"R/T"});
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"R/T"}), tags_of(clip));
    EXPECT_EQ((std::vector<std::wstring>{L"R/T"}), tags_of(tune));
}

TEST_F(StoreTest, LoadPrunesEmptyAndUnreadableEntries) {
    give({song}, {L"Music/Genre/Rock"});
    // An empty tag file, an empty scope folder, a root with nothing in it, and a root whose
    // only tag names files that its map does not know.
    write_bytes(data(L"Music\\Empty"), {});
    ASSERT_TRUE(items::store::create_folder(data(L"Music\\Hollow")));
    ASSERT_TRUE(items::store::create_folder(data(L"Bare")));
    write_bytes(data(L"Bare.dat"), record_bytes(7, L"C:\\x"));
    ASSERT_TRUE(items::store::create_folder(data(L"Stale")));
    write_bytes(data(L"Stale\\T"), id_bytes({1234}));
    write_bytes(data(L"Stale.dat"), record_bytes(7, L"C:\\x"));
    reload();

    EXPECT_FALSE(exists(data(L"Music\\Hollow")));
    EXPECT_FALSE(exists(data(L"Bare")));
    EXPECT_FALSE(exists(data(L"Bare.dat")));
    EXPECT_FALSE(exists(data(L"Stale")));
    EXPECT_FALSE(exists(data(L"Stale.dat")));
    std::vector<items::tree_ptr> trees = db->name_trees();
    ASSERT_EQ(1u, trees.size());
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Rock"}), chains_of(trees[0]));
}

TEST_F(StoreTest, RootWithoutMapFileStaysUnloadedAndKeepsItsFiles) {
    give({song}, {L"Music/Rock"});
    ::DeleteFileW(data(L"Music.dat").c_str());
    reload();
    EXPECT_TRUE(exists(data(L"Music\\Rock")));
    std::vector<items::tree_ptr> trees = db->name_trees();
    ASSERT_EQ(1u, trees.size());
    EXPECT_TRUE(tags_of(song).empty());
}

TEST_F(StoreTest, EmptinessClimbsToTheRootAndItsMapFile) {
    give({song}, {L"Music/Genre/Rock"});
    give({tune}, {L"Video/Clips"});
    db->remove_all_tags({song}, false);
    EXPECT_FALSE(exists(data(L"Music")));
    EXPECT_FALSE(exists(data(L"Music.dat")));
    EXPECT_TRUE(exists(data(L"Video\\Clips")));
    ASSERT_EQ(1u, db->name_trees().size());

    // The root is gone from memory too: tagging under its name again builds it anew.
    give({song}, {L"Music/Genre/Rock"});
    EXPECT_EQ(id_bytes({file_id(song)}), read_bytes(data(L"Music\\Genre\\Rock")));
}

TEST_F(StoreTest, RemovingOneOfTwoTagsKeepsTheOtherAfterReload) {
    give({song, tune}, {L"Music/Rock", L"Music/Jazz"});
    ASSERT_TRUE(db->set_tags({song}, tags({L"Music/Jazz"}), tags({L"Music/Rock", L"Music/Jazz"})));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz"}), tags_of(song));
    EXPECT_EQ(id_bytes({file_id(tune)}), read_bytes(data(L"Music\\Rock")));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Jazz", L"Music/Rock"}), tags_of(tune));
}

TEST_F(StoreTest, DeferredWritingTouchesNoFileUntilSave) {
    give({song}, {L"Music/Rock"});
    const std::vector<unsigned char> map_before = read_bytes(data(L"Music.dat"));
    {
        items::deferred_writing deferred;
        give({tune}, {L"Music/Rock"});
        give({clip}, {L"Music/Genre/Jazz"});
        EXPECT_EQ(id_bytes({file_id(song)}), read_bytes(data(L"Music\\Rock")));
        EXPECT_FALSE(exists(data(L"Music\\Genre\\Jazz")));
        EXPECT_EQ(map_before, read_bytes(data(L"Music.dat")));
        db->save();  // refused while deferred: the root saves only in immediate mode
        EXPECT_EQ(map_before, read_bytes(data(L"Music.dat")));
    }
    db->save();
    EXPECT_EQ(id_bytes({file_id(song), file_id(tune)}), read_bytes(data(L"Music\\Rock")));
    EXPECT_EQ(id_bytes({file_id(clip)}), read_bytes(data(L"Music\\Genre\\Jazz")));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Jazz"}), tags_of(clip));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(tune));
}

TEST_F(StoreTest, FailedRewriteLeavesTheOldFileWhole) {
    give({song, tune, clip}, {L"Music/Rock"});
    const std::vector<unsigned char> before = read_bytes(data(L"Music\\Rock"));
    {
        util::unique_file held = lock_exclusively(data(L"Music\\Rock"));
        ASSERT_TRUE(held.valid());
        try {
            db->remove_all_tags({tune}, false);
            FAIL() << "a rewrite onto a locked file reported success";
        } catch (const items::store_error& error) {
            EXPECT_EQ(items::error_cannot_open, error.code);
        }
    }
    EXPECT_EQ(before, read_bytes(data(L"Music\\Rock")));
    // No temporary file is left in the data folder.
    EXPECT_EQ((std::vector<std::wstring>{L"Music", L"Music.dat"}), folder_entries(folder.path()));
}

TEST_F(StoreTest, RewriteInterruptedBeforeItsLastStepLeavesTheOldContent) {
    give({song, tune, clip}, {L"Music/Rock"});
    const std::vector<unsigned char> tag_before = read_bytes(data(L"Music\\Rock"));
    const std::vector<unsigned char> map_before = read_bytes(data(L"Music.dat"));
    items::store::g_replace_interrupted = [] { return true; };
    EXPECT_THROW(db->remove_all_tags({tune}, false), items::store_error);
    items::store::g_replace_interrupted = nullptr;
    EXPECT_EQ(tag_before, read_bytes(data(L"Music\\Rock")));
    EXPECT_EQ(map_before, read_bytes(data(L"Music.dat")));
    EXPECT_EQ(3u, folder_entries(folder.path()).size()) << "the interrupted replacement left no file behind";

    // The next start finds the old store whole and sweeps the leftover away.
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music", L"Music.dat"}), folder_entries(folder.path()));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(tune));
}

TEST_F(StoreTest, LeftoverTemporaryFilesAreRemovedAtLoad) {
    give({song}, {L"Music/Rock"});
    write_bytes(data(L"~quibrix-99-1.tmp"), id_bytes({1, 2}));
    write_bytes(data(L"notes.txt"), id_bytes({1}));
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music", L"Music.dat", L"notes.txt"}), folder_entries(folder.path()));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(song));
}

TEST_F(StoreTest, FailedAppendKeepsEveryEarlierTag) {
    give({song}, {L"Music/Genre/Rock"});
    {
        util::unique_file held = lock_exclusively(data(L"Music\\Genre\\Rock"));
        ASSERT_TRUE(held.valid());
        EXPECT_THROW(db->set_tags({tune}, tags({L"Music/Genre/Rock"}), items::tree_ptr()), items::store_error);
    }
    // The tag, its scope and its file stay, and memory does not claim the failed id.
    EXPECT_EQ(id_bytes({file_id(song)}), read_bytes(data(L"Music\\Genre\\Rock")));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Rock"}), tags_of(song));
    EXPECT_TRUE(tags_of(tune).empty());
    give({tune}, {L"Music/Genre/Rock"});
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Rock"}), tags_of(tune));
}

TEST_F(StoreTest, NamesThatAreNotFileNamesAreRefused) {
    const std::wstring outside = folder.path() + L"..\\";
    const std::vector<std::wstring> before_outside = folder_entries(outside);
    const std::vector<std::vector<std::wstring> > requests = {
        {L".."}, {L"."}, {L""}, {L"a\\b"}, {L"a/b"}, {L"CON"}, {L"nul.txt"}, {L"x:y"}, {L"trail."},
        {L"Music", L".."}, {L"Music", L"..", L"escape"}, {L"Music", L"sub\\..\\..\\x"}, {L"Music", L"COM1"},
        {L"Music", L"a*b"}, {L"Music", L"q?"},
    };
    for (const std::vector<std::wstring>& names : requests) {
        try {
            db->set_tags({song}, items::make_chain(names), items::tree_ptr());
            ADD_FAILURE() << "accepted a request with an unsafe name, " << names.size() << " names";
        } catch (const items::store_error& error) {
            EXPECT_EQ(items::error_invalid_name, error.code);
        }
    }
    EXPECT_EQ(before_outside, folder_entries(outside));
    for (const std::wstring& entry : folder_entries(folder.path())) {
        EXPECT_EQ(L"Music", entry.substr(0, 5)) << "unexpected entry in the data folder";
    }
    EXPECT_TRUE(tags_of(song).empty());
}

TEST_F(StoreTest, FilesHeldByOtherProgramsAtLoadAreNeitherLostNorFatal) {
    give({song, tune}, {L"Music/Genre/Rock"});
    give({clip}, {L"Video/Clips"});
    {
        // Unreadable at load: the tag stays, so its scope and root are not erased.
        util::unique_file held = lock_exclusively(data(L"Music\\Genre\\Rock"));
        ASSERT_TRUE(held.valid());
        // Readable but torn, and not replaceable while held: the repair fails, the load goes on.
        std::vector<unsigned char> torn = read_bytes(data(L"Video\\Clips"));
        torn.push_back(7);
        write_bytes(data(L"Video\\Clips"), torn);
        util::unique_file reader(::CreateFileW(data(L"Video\\Clips").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader.valid());
        db = open();
        db->start_loader();
        ASSERT_TRUE(db->wait_loaded(30000));
        EXPECT_TRUE(exists(data(L"Music\\Genre\\Rock")));
        EXPECT_TRUE(exists(data(L"Music.dat")));
        EXPECT_EQ((std::vector<std::wstring>{L"Video/Clips"}), tags_of(clip));
        // A tag whose ids were never read takes no new file rather than losing the old ones.
        EXPECT_THROW(db->set_tags({L"C:\\new.txt"}, tags({L"Music/Genre/Rock"}), items::tree_ptr()), items::store_error);
    }
    give({L"C:\\new.txt"}, {L"Music/Genre/Rock"});
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Rock"}), tags_of(song));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Genre/Rock"}), tags_of(L"C:\\new.txt"));
    // Repaired at the first load that could replace it.
    EXPECT_EQ(4u, read_bytes(data(L"Video\\Clips")).size());
}

TEST_F(StoreTest, ANodeWhoseSaveFailedIsSavedByTheNextSave) {
    give({song}, {L"Music/Rock"});
    {
        items::deferred_writing deferred;
        give({tune}, {L"Music/Rock"});
    }
    {
        util::unique_file held = lock_exclusively(data(L"Music\\Rock"));
        ASSERT_TRUE(held.valid());
        EXPECT_THROW(db->save(), items::store_error);
    }
    EXPECT_EQ(id_bytes({file_id(song)}), read_bytes(data(L"Music\\Rock")));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(tune));
    db->save();
    EXPECT_EQ(id_bytes({file_id(song), file_id(tune)}), read_bytes(data(L"Music\\Rock")));
}

TEST_F(StoreTest, MapRecordsThatCouldNotBeWrittenAreWrittenByTheNextAppend) {
    give({song}, {L"Music/Rock"});
    {
        util::unique_file held = lock_exclusively(data(L"Music.dat"));
        ASSERT_TRUE(held.valid());
        EXPECT_THROW(db->set_tags({tune}, tags({L"Music/Rock"}), items::tree_ptr()), items::store_error);
    }
    give({clip}, {L"Music/Rock"});
    reload();
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(tune));
    EXPECT_EQ((std::vector<std::wstring>{L"Music/Rock"}), tags_of(clip));
}

TEST_F(StoreTest, AJournaledReplacementIsWholeAfterACrashAndNeverUndoesALaterChange) {
    const std::wstring journal = data(items::store::journal_file_name);
    std::vector<items::store::file_replacement> files(5);
    for (std::uint32_t i = 0; i < files.size(); ++i) {
        files[i].path = data(L"tag" + std::to_wstring(i));
        write_bytes(files[i].path, id_bytes({99}));
        files[i].bytes = id_bytes({i + 1, i + 2});
    }
    const auto contents = [&] {
        std::vector<std::vector<unsigned char> > now;
        for (const auto& file : files) now.push_back(read_bytes(file.path));
        return now;
    };
    const auto asked = [&] {
        std::vector<std::vector<unsigned char> > wanted;
        for (const auto& file : files) wanted.push_back(file.bytes);
        return wanted;
    };
    // The writing process dies before its files reach the disk: some torn, one lost. The next
    // process to open the store writes them from the journal.
    items::store::replace_files(files, folder.path());
    for (const auto& file : files) EXPECT_EQ(0, file.code);
    EXPECT_EQ(asked(), contents());
    write_bytes(files[1].path, {0xFF});
    ::DeleteFileW(files[3].path.c_str());
    const std::vector<unsigned char> whole_journal = read_bytes(journal);
    items::store::forget_journal(folder.path(), nullptr);
    items::store::apply_foreign_journal(folder.path());
    EXPECT_EQ(asked(), contents());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(journal.c_str()));

    // A journal torn while it was written never reached its files, and asks for nothing.
    const std::vector<std::vector<unsigned char> > before = contents();
    std::vector<unsigned char> torn = whole_journal;
    torn.resize(torn.size() - 3);
    write_bytes(journal, torn);
    items::store::apply_foreign_journal(folder.path());
    EXPECT_EQ(before, contents());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(journal.c_str()));

    // A change made after a journaled one, before its files were flushed, is not undone when
    // the journal is applied after a crash.
    for (auto& file : files) file.bytes.push_back(7);
    items::store::replace_files(files, folder.path());
    items::store::append_file(files[0].path, id_bytes({42}));
    EXPECT_FALSE(items::store::journal_unflushed(folder.path()));
    items::store::forget_journal(folder.path(), nullptr);
    items::store::apply_foreign_journal(folder.path());
    std::vector<unsigned char> appended = files[0].bytes;
    const std::vector<unsigned char> id = id_bytes({42});
    appended.insert(appended.end(), id.begin(), id.end());
    EXPECT_EQ(appended, read_bytes(files[0].path));
}
