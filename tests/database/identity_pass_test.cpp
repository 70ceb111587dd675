// The identities of newly tagged files are read with no lock held, so that no menu or view
// waits for a slow disk meanwhile, and kept only for what is still tagged once they are read.
#include "held_identity_looks.h"
#include "store_fixture.h"

#include "database/file_identity.h"
#include "database/identity_file.h"
#include "util/unique_resource.h"

#include <string>
#include <vector>

namespace {

class IdentityPassTest : public StoreTest {
protected:
    std::wstring make(const std::wstring& relative) {
        const std::wstring path = files.path() + relative;
        util::unique_file made(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        EXPECT_TRUE(made.valid());
        return path;
    }
    std::vector<std::wstring> make_many(const std::wstring& folder, int count) {
        EXPECT_TRUE(::CreateDirectoryW((files.path() + folder).c_str(), nullptr));
        std::vector<std::wstring> made;
        for (int i = 0; i < count; ++i) made.push_back(make(folder + L"\\f" + std::to_wstring(i) + L".txt"));
        return made;
    }
    // Whether the root's identity file holds the identity of the file now at `path`.
    bool kept(const std::wstring& root, const std::wstring& path) {
        items::identity_table table;
        if (!table.read(data(L"~quibrix-" + root + L".ids"))) return false;
        // The id the store knows the path by: a renamed file keeps the one it had.
        items::root_scope* holder = db->find_root(&path, 0);
        const items::file_id_t id = holder ? holder->find_id(path) : items::file_id(path);
        items::volume_serials serials;
        return table.find(id, path).same_file(items::identify(path, serials));
    }

    TempFolder files;
};

}  // namespace

TEST_F(IdentityPassTest, FilesAreOpenedWithNoLockHeldAndOnlyWhatIsStillTaggedKeepsAnIdentity) {
    const unsigned long under_lock = items::identity_looks_under_lock();
    // A few files among many in one folder are opened one by one, the listing given up past 64
    // entries a file; all of a folder's, listed.
    const std::vector<std::wstring> crowd = make_many(L"crowd", 250);
    const std::vector<std::wstring> batch = make_many(L"batch", 80);
    const std::wstring untagged = crowd[7], renamed = crowd[8], renamed_to = files.path() + L"crowd\\renamed.txt";
    HeldIdentityLooks held;
    give({crowd[3], untagged, renamed}, {L"Work/Invoices"});
    give(batch, {L"Work/Batch"});
    EXPECT_EQ(under_lock, items::identity_looks_under_lock()) << "tagging looked at files while it held the lock";
    ASSERT_TRUE(held.wait_held(30000)) << "no identity was read after tagging";
    {
        util::lock_guard free = util::lock_guard::try_lock(items::database_lock());
        EXPECT_TRUE(free.owns_lock()) << "the lock is held while the disk is looked at";
    }
    // While they are read: one file is untagged, one renamed (its new path is read later), one
    // more tagged.
    db->remove_all_tags({untagged}, false);
    ASSERT_TRUE(::MoveFileW(renamed.c_str(), renamed_to.c_str()));
    db->follow_rename(renamed, renamed_to);
    const std::wstring late = crowd[9];
    give({late}, {L"Work/Invoices"});
    held.release();
    ASSERT_TRUE(db->wait_relinked(30000));
    EXPECT_GT(held.looks(), 5) << "the count of looks made under the lock saw none at all";

    EXPECT_TRUE(kept(L"Work", crowd[3]));
    EXPECT_TRUE(kept(L"Work", late)) << "tagged while others were read";
    EXPECT_TRUE(kept(L"Work", renamed_to)) << "renamed while it was read";
    EXPECT_FALSE(kept(L"Work", untagged)) << "untagged while it was read";
    int batch_kept = 0;
    for (const std::wstring& path : batch) batch_kept += kept(L"Work", path) ? 1 : 0;
    EXPECT_EQ(80, batch_kept);

    // The re-link pass looks outside the lock too, and follows a move by what was kept.
    const std::wstring moved_to = files.path() + L"moved.txt";
    ASSERT_TRUE(::MoveFileW(crowd[3].c_str(), moved_to.c_str()));
    const items::TagsHolder::relink_report report = db->relink_moved();
    ASSERT_EQ(1u, report.moved.size());
    EXPECT_EQ(moved_to, report.moved[0].second);
    EXPECT_EQ(under_lock, items::identity_looks_under_lock()) << "a look was made while the lock was held";
}

TEST_F(IdentityPassTest, AFileTheCallerFoundAbsentIsTaggedWithoutAnIdentityRead) {
    // Claimed absent though it is there: only a look at it could keep its identity.
    const std::wstring here = make(L"here.txt"), claimed_absent = make(L"claimed.txt");
    std::vector<items::TagsHolder::file_tags> files(2);
    files[0].path = here;
    files[1].path = claimed_absent;
    files[1].on_disk = false;
    for (items::TagsHolder::file_tags& file : files) file.trees.push_back(tags({L"Work/Imported"}));
    db->give_tags(files);
    ASSERT_TRUE(db->wait_relinked(30000));
    EXPECT_TRUE(kept(L"Work", here));
    EXPECT_FALSE(kept(L"Work", claimed_absent)) << "a file given as absent was looked at";
    EXPECT_EQ(std::vector<std::wstring>{L"Work/Imported"}, tags_of(claimed_absent));
}
