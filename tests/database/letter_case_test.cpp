// Names and paths as Windows compares them: "Rock" and "rock" are one tag (one file on disk),
// C:\Docs\a.pdf and c:\docs\A.PDF one tagged file, and a store in which an older version left
// two spellings side by side is folded into one at the next load.
#include "store_fixture.h"

#include "util/file_names.h"
#include "util/file_system.h"

#include <algorithm>
#include <string>
#include <vector>

using items::file_id;

namespace {

typedef std::vector<std::wstring> names;

const std::wstring song = L"C:\\Music\\song.mp3";
const std::wstring tune = L"C:\\Music\\tune.mp3";
const std::wstring clip = L"D:\\Video\\clip.avi";
const std::wstring other = L"D:\\Other\\note.txt";

bool listed(const std::wstring& folder, const std::wstring& name) {
    for (const std::wstring& entry : folder_entries(folder)) {
        if (entry == name) return true;
    }
    return false;
}

// Renames `from` to `to_name` in its folder from outside Wine, whose own calls would take a name
// that differs only in case for the entry already there: Linux folders tell case apart, as a
// Windows folder made case-sensitive does.
void rename_from_linux(const std::wstring& folder, const std::wstring& from, const std::wstring& to_name) {
    const std::string source = unix_path(folder + from);
    const std::string target = unix_path(folder) + std::string(to_name.begin(), to_name.end());
    ASSERT_FALSE(source.empty());
    std::string command = "mv \"" + source + "\" \"" + target + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessA("Z:\\bin\\mv", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    // A Linux process started from Wine cannot be waited for by its handle.
    for (int i = 0; i < 200 && !listed(folder, to_name); ++i) ::Sleep(50);
    ASSERT_TRUE(listed(folder, to_name));
}

}  // namespace

TEST_F(StoreTest, ARootSpelledOtherwiseIsTheSameRootAndAnUntagLeavesItWhole) {
    give({song}, {L"Music/Genre/Rock"});
    give({tune}, {L"music/Mood", L"MUSIC/genre/ROCK"});
    EXPECT_EQ((names{L"Music", L"Music.dat"}), folder_entries(data(L"")));
    EXPECT_EQ((names{L"Rock"}), folder_entries(data(L"Music\\Genre\\")));
    EXPECT_EQ(id_bytes({file_id(song), file_id(tune)}), read_bytes(data(L"Music\\Genre\\Rock")));

    // Emptying what the other spelling named takes nothing of the root with it.
    ASSERT_TRUE(db->set_tags({tune}, items::tree_ptr(), tags({L"music/Mood", L"music/Genre/Rock"})));
    ASSERT_TRUE(util::folder_exists(data(L"Music\\Genre")));
    // A case-only rename is a rename, not a clash with itself; another node's name still clashes.
    items::tree_edit rename;
    rename.op = items::tree_edit::rename;
    rename.node = {L"Music", L"Genre"};
    rename.new_name = L"GENRE";
    ASSERT_TRUE(db->apply_edits({rename}));
    EXPECT_EQ((names{L"Music/GENRE/Rock"}), tags_of(song));
    items::tree_edit create;
    create.node = {L"music"};
    create.kind = items::kind_scope;
    create.new_name = L"genre";
    EXPECT_FALSE(db->apply_edits({create}));
    reload();
    // Wine 8 keeps a folder's spelling when a rename changes only its letter case (Windows
    // takes the new one), so the disk may still say "Genre".
    const names after = tags_of(song);
    ASSERT_EQ(1u, after.size());
    EXPECT_TRUE(util::same_name(L"Music/GENRE/Rock", after[0]));
    EXPECT_TRUE(tags_of(tune).empty());
}

TEST_F(StoreTest, PathsInAnotherLetterCaseFindTheTaggedFile) {
    const std::wstring paid = L"C:\\Docs\\paid.pdf";
    give({paid}, {L"Work/Paid", L"Work/Invoices"});
    give({clip}, {L"Work/Invoices"});
    EXPECT_EQ((names{L"Work/Invoices", L"Work/Paid"}), tags_of(L"c:\\DOCS\\PAID.pdf"));
    ASSERT_TRUE(db->set_tags({L"C:\\DOCS\\paid.pdf"}, items::tree_ptr(), tags({L"Work/Paid"})));
    EXPECT_EQ((names{L"Work/Invoices"}), tags_of(paid));

    // A rename reported in another spelling still moves the tags.
    const std::wstring renamed = L"C:\\Docs\\paid 2026.pdf";
    db->follow_rename(L"c:\\docs\\Paid.PDF", renamed);
    EXPECT_EQ((names{L"Work/Invoices"}), tags_of(renamed));
    std::wstring found;
    ASSERT_TRUE(db->find_path(file_id(paid), found));
    EXPECT_EQ(renamed, found);

    // An older version stored each spelling it was given as a file of its own: a lookup in a
    // third spelling finds both, and a delete removes both.
    const std::wstring spelled_once = L"C:\\Docs\\a.pdf", spelled_twice = L"c:\\docs\\a.pdf";
    give({spelled_once}, {L"Work/A"});
    give({spelled_twice}, {L"Work/B"});
    EXPECT_EQ((names{L"Work/A", L"Work/B"}), tags_of(L"C:\\DOCS\\A.PDF"));
    db->remove_all_tags({L"C:\\DOCS\\A.PDF", L"c:\\DOCS\\PAID 2026.pdf"}, false);
    reload();
    EXPECT_TRUE(tags_of(spelled_once).empty());
    EXPECT_TRUE(tags_of(spelled_twice).empty());
    EXPECT_TRUE(tags_of(renamed).empty());
    EXPECT_EQ((names{L"Work/Invoices"}), tags_of(clip));
}

TEST_F(StoreTest, AFolderHoldsThePathsBelowItInAnyLetterCaseButNotItselfOrASibling) {
    give({L"C:\\Music", L"C:\\Music\\a.mp3", L"c:\\MUSIC\\Rock\\b.mp3", L"C:\\Music2\\c.mp3", L"C:\\Mu.mp3"},
         {L"Music/Any"});
    for (const wchar_t* folder : {L"C:\\music", L"C:\\music\\"}) {
        names below;
        for (const auto& entry : db->tagged_below(folder)) below.push_back(entry.second);
        std::sort(below.begin(), below.end());
        EXPECT_EQ((names{L"C:\\Music\\a.mp3", L"c:\\MUSIC\\Rock\\b.mp3"}), below);
    }
}

TEST_F(StoreTest, LoadFoldsTwoSpellingsThatAnOlderVersionLeftSideBySide) {
    give({song}, {L"Music/Genre/Rock"});
    give({tune}, {L"Music/Genre/Jazz"});
    // What two nodes "Rock" and "rock", and two roots "Music" and "music", left in folders that
    // tell case apart. The second map knows the id of song as another file, which keeps its tag.
    write_bytes(data(L"Music\\Genre\\staged"), id_bytes({file_id(tune)}));
    rename_from_linux(data(L"Music\\Genre\\"), L"staged", L"rock");
    ASSERT_TRUE(::CreateDirectoryW(data(L"staged").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(data(L"staged\\Genre").c_str(), nullptr));
    write_bytes(data(L"staged\\Genre\\ROCK"), id_bytes({file_id(clip)}));
    write_bytes(data(L"staged\\Mood"), id_bytes({file_id(song), file_id(clip)}));
    write_bytes(data(L"staged.dat"), record_bytes(file_id(song), other) + record_bytes(file_id(clip), clip));
    rename_from_linux(data(L""), L"staged", L"music");
    rename_from_linux(data(L""), L"staged.dat", L"music.dat");
    ASSERT_EQ((names{L"Music", L"Music.dat", L"music", L"music.dat"}), folder_entries(data(L"")));

    reload();
    EXPECT_EQ((names{L"Music", L"Music.dat"}), folder_entries(data(L"")));
    EXPECT_EQ((names{L"Genre", L"Mood"}), folder_entries(data(L"Music\\")));
    EXPECT_EQ((names{L"Jazz", L"Rock"}), folder_entries(data(L"Music\\Genre\\")));
    EXPECT_EQ((names{L"Music/Genre/Rock"}), tags_of(song));
    EXPECT_EQ((names{L"Music/Genre/Jazz", L"Music/Genre/Rock"}), tags_of(tune));
    EXPECT_EQ((names{L"Music/Genre/Rock", L"Music/Mood"}), tags_of(clip));
    EXPECT_EQ((names{L"Music/Mood"}), tags_of(other));
    // And what the load wrote is what the next one reads.
    reload();
    EXPECT_EQ((names{L"Music/Genre/Jazz", L"Music/Genre/Rock"}), tags_of(tune));
    EXPECT_EQ((names{L"Music/Mood"}), tags_of(other));
}
