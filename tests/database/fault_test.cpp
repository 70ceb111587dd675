// Nothing completed is lost, and no two files are merged, wherever a process is killed or a
// write fails: every change of the store is stopped at each of its steps in turn, and the store
// is then loaded afresh. Folders and files that cannot be listed or removed keep their tags, and
// what could not be done is reported.
#include "store_fixture.h"

#include "database/store_lock.h"
#include "util/unique_resource.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

using items::file_id;

namespace {

const std::wstring song = L"C:\\Music\\song.mp3";
const std::wstring tune = L"C:\\Music\\tune.mp3";
const std::wstring clip = L"D:\\Video\\clip.avi";

typedef std::vector<std::wstring> chains;

chains tags_of(items::TagsHolder& db, const std::wstring& path) {
    chains all;
    for (const items::tree_ptr& tree : db.tags_of_paths({path})) {
        const chains found = chains_of(tree);
        all.insert(all.end(), found.begin(), found.end());
    }
    std::sort(all.begin(), all.end());
    return all;
}

chains either(chains a, const chains& b) {
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end());
    return a;
}

items::tree_edit move_edit(const chains& node, const chains& target) {
    items::tree_edit edit;
    edit.op = items::tree_edit::move;
    edit.node = node;
    edit.target = target;
    return edit;
}

bool has_node(items::TagsHolder& db, const chains& chain) {
    for (const items::tree_ptr& root : db.name_trees()) {
        const items::tree_node* node = root->name == chain[0] ? root.get() : nullptr;
        for (std::size_t i = 1; node && i < chain.size(); ++i) node = node->find(chain[i]);
        if (node) return true;
    }
    return false;
}

util::unique_file hold(const std::wstring& path, DWORD share) {
    return util::unique_file(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

std::wstring make_file(const std::wstring& path) {
    util::unique_file made(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    EXPECT_TRUE(made.valid());
    return path;
}

// One round of a sweep: a store made anew, the change stopped at one of its steps.
struct round_folder {
    TempFolder folder;
    std::wstring store() const { return folder.path() + L"store\\"; }
    std::wstring files() const { return folder.path() + L"files\\"; }
};

class FaultSweep : public ::testing::Test {
protected:
    ~FaultSweep() override { items::store::g_change_fault = items::store::change_fault_plan(); }

    boost::shared_ptr<items::TagsHolder> load(const round_folder& round) {
        boost::shared_ptr<items::TagsHolder> db = boost::make_shared<items::TagsHolder>();
        db->set_data_folder(round.store());
        db->load_store();
        return db;
    }

    // For n = 1, 2, ... the n-th change of the store that `change` makes fails: once as a
    // process killed there (that change and all after it fail), once as a single failed write.
    // `check(db, done)` then sees the store loaded afresh; `done` when the change answered that
    // it was made. One that was not is made again without faults (`change` finishes what a
    // stopped run left, and answers true for what it finds done), and then must be whole.
    void sweep(const std::function<void(items::TagsHolder&, const round_folder&)>& build,
               const std::function<bool(items::TagsHolder&, const round_folder&)>& change,
               const std::function<void(items::TagsHolder&, bool done)>& check) {
        int steps = 0;
        for (int n = 1; n < 200; ++n) {
            bool reached = false;
            for (const bool killed : {true, false}) {
                SCOPED_TRACE(std::string(killed ? "killed at change " : "failed change ") + std::to_string(n));
                round_folder round;
                ASSERT_TRUE(::CreateDirectoryW(round.store().c_str(), nullptr));
                ASSERT_TRUE(::CreateDirectoryW(round.files().c_str(), nullptr));
                build(*load(round), round);
                boost::shared_ptr<items::TagsHolder> db = load(round);
                items::store::g_change_fault.fail_at = n;
                items::store::g_change_fault.and_after = killed;
                items::store::g_change_fault.counted = 0;
                bool done = false;
                try {
                    done = change(*db, round);
                } catch (const items::store_error&) {
                    // Reported: the check below tells whether anything was lost.
                }
                reached = reached || items::store::g_change_fault.counted >= n;
                items::store::g_change_fault = items::store::change_fault_plan();
                db.reset();
                db = load(round);
                check(*db, done);
                EXPECT_EQ(0u, db->unread_count());
                if (HasFailure()) return;
                if (done) continue;
                bool again = false;
                ASSERT_NO_THROW(again = change(*db, round));
                EXPECT_TRUE(again);
                db = load(round);
                check(*db, true);
                if (HasFailure()) return;
            }
            if (!reached) break;
            ++steps;
        }
        EXPECT_GE(steps, 2) << "the change made too few writes to sweep";
    }
};

}  // namespace

TEST_F(FaultSweep, AReLinkSaveStoppedAtAnyStepKeepsEveryTag) {
    const chains moved_tags = {L"Music/Jazz", L"Music/Rock", L"Work/Invoices"};
    // The file moves onto a name that has the file id of another tagged file beside it.
    const auto old_path = [](const round_folder& round) { return round.files() + L"a.txt"; };
    const auto new_path = [](const round_folder& round) { return round.files() + L"track2A.mp3"; };
    const auto neighbour = [](const round_folder& round) { return round.files() + L"track1b.mp3"; };
    const auto stay = [](const round_folder& round) { return round.files() + L"stay.txt"; };
    std::wstring paths[4];
    sweep(
        [&](items::TagsHolder& db, const round_folder& round) {
            paths[0] = make_file(old_path(round));
            paths[1] = new_path(round);
            paths[2] = make_file(neighbour(round));
            paths[3] = make_file(stay(round));
            ASSERT_EQ(file_id(paths[1]), file_id(paths[2]));
            ASSERT_TRUE(db.set_tags({paths[0]}, tags({L"Music/Rock", L"Music/Jazz"}), items::tree_ptr()));
            ASSERT_TRUE(db.set_tags({paths[0]}, tags({L"Work/Invoices"}), items::tree_ptr()));
            ASSERT_TRUE(db.set_tags({paths[2]}, tags({L"Music/Mood"}), items::tree_ptr()));
            ASSERT_TRUE(db.set_tags({paths[3]}, tags({L"Music/Rock"}), items::tree_ptr()));
            // Moved once its identity is kept (that is read in the background).
            ASSERT_TRUE(db.wait_relinked(30000));
            ASSERT_TRUE(::MoveFileW(paths[0].c_str(), paths[1].c_str()));
        },
        [&](items::TagsHolder& db, const round_folder&) {
            db.relink_moved();
            return true;
        },
        [&](items::TagsHolder& db, bool done) {
            // Each tag is on the file at its old path or at its new one, never on another file.
            EXPECT_EQ(moved_tags, either(tags_of(db, paths[0]), tags_of(db, paths[1])));
            EXPECT_EQ((chains{L"Music/Mood"}), tags_of(db, paths[2]));
            EXPECT_EQ((chains{L"Music/Rock"}), tags_of(db, paths[3]));
            if (done) EXPECT_EQ(moved_tags, tags_of(db, paths[1]));
        });
}

TEST_F(FaultSweep, ATreeMoveAcrossRootsStoppedAtAnyStepKeepsEveryTagOnItsFile) {
    // An older store: Video knows the id of song as another file, which the moved tags must
    // never reach.
    const std::wstring other = L"D:\\Video\\old.avi";
    sweep(
        [&](items::TagsHolder& db, const round_folder& round) {
            ASSERT_TRUE(db.set_tags({song}, tags({L"Music/Genre/Rock", L"Music/Genre/Jazz"}), items::tree_ptr()));
            ASSERT_TRUE(db.set_tags({tune}, tags({L"Music/Genre/Rock", L"Music/Mood"}), items::tree_ptr()));
            ASSERT_TRUE(db.set_tags({clip}, tags({L"Video/Clips"}), items::tree_ptr()));
            const std::wstring map = round.store() + L"Video.dat";
            write_bytes(map, read_bytes(map) + record_bytes(file_id(song), other));
            write_bytes(round.store() + L"Video\\Old", id_bytes({file_id(song)}));
        },
        [](items::TagsHolder& db, const round_folder&) {
            return !has_node(db, {L"Music", L"Genre"}) || db.apply_edits({move_edit({L"Music", L"Genre"}, {L"Video"})});
        },
        [&](items::TagsHolder& db, bool done) {
            const chains song_before = {L"Music/Genre/Jazz", L"Music/Genre/Rock"};
            const chains song_after = {L"Video/Genre/Jazz", L"Video/Genre/Rock"};
            const chains tune_before = {L"Music/Genre/Rock", L"Music/Mood"};
            const chains tune_after = {L"Music/Mood", L"Video/Genre/Rock"};
            const chains song_now = tags_of(db, song);
            const chains tune_now = tags_of(db, tune);
            EXPECT_TRUE(song_now == song_after || (!done && song_now == song_before));
            EXPECT_TRUE(tune_now == tune_after || (!done && tune_now == tune_before));
            EXPECT_EQ((chains{L"Video/Old"}), tags_of(db, other));
            EXPECT_EQ((chains{L"Video/Clips"}), tags_of(db, clip));
        });
}

TEST_F(FaultSweep, RootsMovedIntoARootOrOutOfItStoppedAtAnyStepKeepEveryTag) {
    const auto build = [](items::TagsHolder& db, const round_folder&) {
        ASSERT_TRUE(db.set_tags({song}, tags({L"Music/Genre/Rock", L"Music/Mood"}), items::tree_ptr()));
        ASSERT_TRUE(db.set_tags({song, clip}, tags({L"Video/Clips"}), items::tree_ptr()));
    };
    // A root becomes a scope of another root.
    sweep(build,
          [](items::TagsHolder& db, const round_folder&) {
              return !has_node(db, {L"Video"}) || db.apply_edits({move_edit({L"Video"}, {L"Music"})});
          },
          [](items::TagsHolder& db, bool done) {
              const chains song_now = tags_of(db, song);
              const chains clip_now = tags_of(db, clip);
              EXPECT_TRUE((song_now == (chains{L"Music/Genre/Rock", L"Music/Mood", L"Music/Video/Clips"}) &&
                           clip_now == (chains{L"Music/Video/Clips"})) ||
                          (!done && song_now == (chains{L"Music/Genre/Rock", L"Music/Mood", L"Video/Clips"}) &&
                           clip_now == (chains{L"Video/Clips"})));
          });
    // A scope becomes a root.
    sweep(build,
          [](items::TagsHolder& db, const round_folder&) {
              return !has_node(db, {L"Music", L"Genre"}) || db.apply_edits({move_edit({L"Music", L"Genre"}, {})});
          },
          [](items::TagsHolder& db, bool done) {
              const chains song_now = tags_of(db, song);
              EXPECT_TRUE(song_now == (chains{L"Genre/Rock", L"Music/Mood", L"Video/Clips"}) ||
                          (!done && song_now == (chains{L"Music/Genre/Rock", L"Music/Mood", L"Video/Clips"})));
              EXPECT_EQ((chains{L"Video/Clips"}), tags_of(db, clip));
          });
}

TEST_F(FaultSweep, ARootRenameStoppedAtAnyStepLeavesTheRootReadable) {
    sweep(
        [](items::TagsHolder& db, const round_folder&) {
            ASSERT_TRUE(db.set_tags({song, tune}, tags({L"Music/Rock"}), items::tree_ptr()));
            ASSERT_TRUE(db.set_tags({song}, tags({L"Music/Genre/Jazz"}), items::tree_ptr()));
        },
        [](items::TagsHolder& db, const round_folder&) {
            items::tree_edit edit;
            edit.op = items::tree_edit::rename;
            edit.node = {L"Music"};
            edit.new_name = L"Songs";
            return !has_node(db, edit.node) || db.apply_edits({edit});
        },
        [](items::TagsHolder& db, bool done) {
            const chains song_now = tags_of(db, song);
            const chains tune_now = tags_of(db, tune);
            EXPECT_TRUE((song_now == (chains{L"Songs/Genre/Jazz", L"Songs/Rock"}) &&
                         tune_now == (chains{L"Songs/Rock"})) ||
                        (!done && song_now == (chains{L"Music/Genre/Jazz", L"Music/Rock"}) &&
                         tune_now == (chains{L"Music/Rock"})));
        });
}

TEST_F(FaultSweep, TagsOfManyFilesRemovedAtOnceStoppedAtAnyStepStayOnlyWhereTheyWere) {
    const std::vector<std::wstring> removed = {song, tune, L"C:\\Music\\live.mp3", clip};
    const std::wstring kept = L"C:\\Music\\kept.mp3";
    const std::map<std::wstring, chains> before = {
        {song, {L"Music/Genre/Rock", L"Music/Mood", L"Work/Paid"}},
        {tune, {L"Music/Genre/Rock", L"Work/Invoices"}},
        {L"C:\\Music\\live.mp3", {L"Music/Mood"}},
        {clip, {L"Video/Clips", L"Work/Paid"}},
        {kept, {L"Music/Genre/Rock", L"Music/Mood", L"Work/Invoices"}},
    };
    sweep(
        [&](items::TagsHolder& db, const round_folder&) {
            for (const auto& file : before) ASSERT_TRUE(db.set_tags({file.first}, tags({file.second[0]}), items::tree_ptr()));
            for (const auto& file : before) {
                for (std::size_t i = 1; i < file.second.size(); ++i) {
                    ASSERT_TRUE(db.set_tags({file.first}, tags({file.second[i]}), items::tree_ptr()));
                }
            }
        },
        [&](items::TagsHolder& db, const round_folder&) {
            db.remove_all_tags(removed, false);
            return true;
        },
        [&](items::TagsHolder& db, bool done) {
            EXPECT_EQ(before.at(kept), tags_of(db, kept));
            for (const std::wstring& path : removed) {
                // Some tags may be gone already, none is new.
                const chains now = tags_of(db, path);
                const chains& had = before.at(path);
                EXPECT_TRUE(std::includes(had.begin(), had.end(), now.begin(), now.end()));
                if (done) EXPECT_TRUE(now.empty());
            }
        });
}

TEST_F(FaultSweep, AFolderMoveStoppedAtAnyStepKeepsEveryTagOnItsFile) {
    // Two files whose new paths share one file id, and a sibling folder that does not move.
    const std::vector<std::wstring> names = {L"track2A.mp3", L"track1b.mp3", L"a.mp3"};
    const std::wstring sibling = L"C:\\Music2\\a.mp3";
    const chains twin_tags = {L"Music/Genre/Rock", L"Work/Paid"};
    const chains other_tags = {L"Music/Mood", L"Work/Paid"};
    const auto old_path = [](const std::wstring& name) { return L"C:\\Music\\" + name; };
    const auto new_path = [](const std::wstring& name) { return L"C:\\Songs\\" + name; };
    const auto had = [&](const std::wstring& name) { return name == L"a.mp3" ? other_tags : twin_tags; };
    sweep(
        [&](items::TagsHolder& db, const round_folder&) {
            for (const std::wstring& name : names) {
                for (const std::wstring& chain : had(name)) {
                    ASSERT_TRUE(db.set_tags({old_path(name)}, tags({chain}), items::tree_ptr()));
                }
            }
            ASSERT_TRUE(db.set_tags({sibling}, tags({L"Music/Mood"}), items::tree_ptr()));
        },
        [&](items::TagsHolder& db, const round_folder&) {
            // What is still below the old folder moves, as a folder rename reported again would.
            std::vector<std::pair<std::wstring, std::wstring> > moves;
            for (const auto& entry : db.tagged_paths()) {
                if (entry.second.compare(0, 9, L"C:\\Music\\") == 0) {
                    moves.emplace_back(entry.second, L"C:\\Songs" + entry.second.substr(8));
                }
            }
            db.follow_renames(moves);
            return true;
        },
        [&](items::TagsHolder& db, bool done) {
            for (const std::wstring& name : names) {
                EXPECT_EQ(had(name), either(tags_of(db, old_path(name)), tags_of(db, new_path(name))));
                if (done) EXPECT_EQ(had(name), tags_of(db, new_path(name)));
            }
            EXPECT_EQ((chains{L"Music/Mood"}), tags_of(db, sibling));
        });
}

TEST_F(StoreTest, AFolderThatCannotBeListedKeepsItsTagsAndRefusesChanges) {
    give({song}, {L"Music/Genre/Rock", L"Music/Mood"});
    give({clip}, {L"Video/Clips"});
    {
        // Held without sharing, a folder is there but cannot be listed (FindFirstFile answers
        // a sharing violation).
        util::unique_file held = hold(data(L"Music"), 0);
        ASSERT_TRUE(held.valid());
        reload();
        EXPECT_EQ(1u, db->unread_count());
        EXPECT_THROW(db->set_tags({tune}, tags({L"Music/Mood"}), items::tree_ptr()), items::store_error);
        EXPECT_THROW(db->remove_all_tags({song}, false), items::store_error);
        give({tune}, {L"Video/Clips"});
    }
    {
        util::unique_file held = hold(data(L"Music\\Genre"), 0);
        ASSERT_TRUE(held.valid());
        reload();
        EXPECT_EQ(1u, db->unread_count());
        // Taken off Mood, the file would leave the map while Rock, unlisted, still holds it.
        EXPECT_THROW(db->remove_all_tags({song}, false), items::store_error);
        EXPECT_FALSE(db->apply_edits({move_edit({L"Music", L"Mood"}, {L"Video"})}));
    }
    reload();
    EXPECT_EQ(0u, db->unread_count());
    EXPECT_EQ((chains{L"Music/Genre/Rock", L"Music/Mood"}), tags_of(song));
    EXPECT_EQ((chains{L"Video/Clips"}), tags_of(tune));
}

TEST_F(StoreTest, ATagWhoseFileIsHeldStaysWhenDeleted) {
    give({song}, {L"Music/Genre/Rock", L"Music/Genre/Jazz", L"Music/Mood"});
    give({tune}, {L"Music/Genre/Rock"});
    {
        util::unique_file held = hold(data(L"Music\\Genre\\Rock"), 0);
        ASSERT_TRUE(held.valid());
        try {
            db->delete_node(*items::make_chain({L"Music", L"Genre", L"Rock"}));
            ADD_FAILURE() << "a tag whose file stays was reported deleted";
        } catch (const items::store_error& error) {
            EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), error.hresult());
        }
        // The others of the scope go; the held one, and the scope above it, stay.
        EXPECT_THROW(db->delete_node(*items::make_chain({L"Music", L"Genre"})), items::store_error);
        EXPECT_EQ((chains{L"Music/Genre/Rock", L"Music/Mood"}), tags_of(song));
        // Nor can a file leave the held tag.
        EXPECT_THROW(db->set_tags({tune}, items::tree_ptr(), tags({L"Music/Genre/Rock"})), items::store_error);
        EXPECT_EQ((chains{L"Music/Genre/Rock"}), tags_of(tune));
    }
    reload();
    EXPECT_EQ((chains{L"Music/Genre/Rock", L"Music/Mood"}), tags_of(song));
    EXPECT_EQ((chains{L"Music/Genre/Rock"}), tags_of(tune));
    EXPECT_TRUE(db->delete_node(*items::make_chain({L"Music", L"Genre"})));
    reload();
    EXPECT_EQ((chains{L"Music/Mood"}), tags_of(song));
    EXPECT_TRUE(tags_of(tune).empty());
}

namespace {

DWORD WINAPI take_lock_and_end(void* folder) {
    // Ends holding the store's lock, as a process that dies in the middle of a write.
    items::store_lock lock;
    lock.set_folder(*static_cast<const std::wstring*>(folder));
    lock.acquire(INFINITE);
    return 0;
}

}  // namespace

TEST_F(StoreTest, AfterAProcessDiedHoldingTheLockEveryFileIsReadOnceASyncSucceeds) {
    give({song}, {L"Music/Rock"});
    give({tune}, {L"Music/Jazz"});
    age_files(folder.path());
    reload();
    // The dead process gave Rock another file without changing the file's size or time, and
    // left a replacement half-way.
    const std::uint64_t time = write_time(data(L"Music\\Rock"));
    write_bytes(data(L"Music\\Rock"), id_bytes({file_id(tune)}));
    set_write_time(data(L"Music\\Rock"), time);
    write_bytes(data(L"~quibrix-9-9.tmp"), {1, 2, 3});
    const std::wstring data_folder = folder.path();
    util::unique_handle thread(
        ::CreateThread(nullptr, 0, take_lock_and_end, const_cast<std::wstring*>(&data_folder), 0, nullptr));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), 10000));
    {
        // The change counter cannot be moved on, so the sync cannot clear the leftover away.
        util::unique_file counter = hold(data(L"~quibrix-changes"), FILE_SHARE_READ);
        ASSERT_TRUE(counter.valid());
        EXPECT_THROW(db->set_tags({clip}, tags({L"Music/Mood"}), items::tree_ptr()), items::store_error);
    }
    EXPECT_EQ((chains{L"Music/Jazz", L"Music/Rock"}), tags_of(tune));
    EXPECT_TRUE(tags_of(song).empty());
    EXPECT_FALSE(exists(data(L"~quibrix-9-9.tmp")));
}
