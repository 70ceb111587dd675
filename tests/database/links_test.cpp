// Links in a store that every user may write: another user may put one in place of a scope or a
// root, pointing at someone else's files, before a load or while a process holds the tree. The
// store never lists, prunes or erases through one.
#include "store_fixture.h"

#include "folder_link.h"

#include <cstring>

namespace {

const std::wstring song = L"C:\\Music\\song.mp3";
const std::wstring clip = L"D:\\Video\\clip.avi";
const std::wstring novel = L"C:\\Books\\novel.pdf";

std::vector<unsigned char> text(const char* value) { return std::vector<unsigned char>(value, value + std::strlen(value)); }

// Every folder and file below `folder`, with the files' content: what another user would miss.
void describe(const std::wstring& folder, const std::wstring& prefix, std::vector<std::wstring>& out) {
    for (const std::wstring& name : folder_entries(folder)) {
        const std::wstring path = folder + name;
        if (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            out.push_back(prefix + name + L"\\");
            describe(path + L"\\", prefix + name + L"\\", out);
        } else {
            const std::vector<unsigned char> bytes = read_bytes(path);
            out.push_back(prefix + name + L"=" + std::wstring(bytes.begin(), bytes.end()));
        }
    }
}
std::vector<std::wstring> described(const std::wstring& folder) {
    std::vector<std::wstring> out;
    describe(folder, std::wstring(), out);
    return out;
}

void remove_store_folder(const std::wstring& folder, const std::vector<std::wstring>& files) {
    for (const std::wstring& file : files) ASSERT_TRUE(::DeleteFileW((folder + L"\\" + file).c_str()));
    ASSERT_TRUE(::RemoveDirectoryW(folder.c_str()));
}

}  // namespace

TEST_F(StoreTest, LinksPutInTheStoreLeadNoLoadAndNoErasureOutsideIt) {
    // Another user's files, some of them named as the store names its tags and scopes, and an
    // empty folder, which a load would prune as an empty scope.
    TempFolder outside;
    for (const wchar_t* name : {L"Documents", L"Documents\\Drafts", L"Pictures", L"Pictures\\Clips", L"Library",
                                L"Library\\Shelf"}) {
        ASSERT_TRUE(::CreateDirectoryW((outside.path() + name).c_str(), nullptr));
    }
    write_bytes(outside.path() + L"Documents\\letter.txt", text("Dear"));
    write_bytes(outside.path() + L"Documents\\Rock", text("not a tag"));
    write_bytes(outside.path() + L"Pictures\\Clips\\beach.jpg", text("sand"));
    write_bytes(outside.path() + L"Library\\Shelf\\Novel", id_bytes({items::file_id(novel)}));
    const std::vector<std::wstring> before = described(outside.path());

    give({song}, {L"Music/Genre/Rock"});
    give({clip}, {L"Video/Kind/Clips"});
    give({novel}, {L"Books/Shelf/Novel"});

    // Before the next load, the scope Music\Genre and the root Video become links.
    remove_store_folder(data(L"Music\\Genre"), {L"Rock"});
    FolderLink genre(data(L"Music\\Genre"), outside.path() + L"Documents");
    remove_store_folder(data(L"Video\\Kind"), {L"Clips"});
    remove_store_folder(data(L"Video"), {});
    FolderLink video(data(L"Video"), outside.path() + L"Pictures");
    if (!genre.made() || !video.made()) GTEST_SKIP() << "no links to folders can be made here";
    // While this process holds the tree, the root Books becomes one.
    remove_store_folder(data(L"Books\\Shelf"), {L"Novel"});
    remove_store_folder(data(L"Books"), {});
    FolderLink books(data(L"Books"), outside.path() + L"Library");
    ASSERT_TRUE(books.made());

    // Its scope gone, the tag file of the novel erased as the tag is removed lies behind a
    // link: neither it nor the scope above it is removed through the link.
    db->remove_all_tags({novel}, false);
    EXPECT_TRUE(tags_of(novel).empty());

    // The load lists no link: neither the tags behind Genre nor the root Video are the store's.
    // Music, left with nothing, is erased, and the link in it with it, as a link.
    reload();
    EXPECT_TRUE(tags_of(song).empty());
    EXPECT_TRUE(tags_of(clip).empty());
    EXPECT_EQ(before, described(outside.path()));
    if (genre.removable()) {
        EXPECT_FALSE(exists(data(L"Music")));
        EXPECT_FALSE(exists(data(L"Books")));
    }
}
