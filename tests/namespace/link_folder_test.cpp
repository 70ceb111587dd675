// "Open in real folder": a numbered folder of links under qbx_tmp, one per file, and the
// clean-up that removes old link folders without touching what their links point to.
#include "folder_link.h"
#include "menu_fixture.h"

#include "namespace/link_folder.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <algorithm>
#include <cstdlib>

namespace {

std::vector<std::wstring> entries_of(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    util::unique_find find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

std::string content_of(const std::wstring& path) {
    util::unique_file f(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!f.valid()) return std::string();
    char buffer[64];
    DWORD got = 0;
    ::ReadFile(f.get(), buffer, sizeof buffer, &got, nullptr);
    return std::string(buffer, got);
}

bool numbered(const std::wstring& name) {
    if (name.size() < 4 || name.substr(name.size() - 3) != L"dir") return false;
    return name.find_first_not_of(L"0123456789") == name.size() - 3;
}

void write_text(const std::wstring& path, const std::string& text) {
    util::unique_file f(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f.valid());
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
}

void make_old(const std::wstring& folder) {
    util::unique_file handle(::CreateFileW(folder.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(handle.valid());
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time;
    time.LowPart = now.dwLowDateTime;
    time.HighPart = now.dwHighDateTime;
    time.QuadPart -= 2ull * 3600 * 10000000;  // two hours
    FILETIME old = {time.LowPart, time.HighPart};
    ASSERT_TRUE(::SetFileTime(handle.get(), nullptr, nullptr, &old));
}

class LinkFolderTest : public MenuTest {
protected:
    ShellNamespace::link_folder_options options(ShellNamespace::link_kind kind) {
        ShellNamespace::link_folder_options result;
        result.kind = kind;
        result.temp_folder = temp_.path();
        result.tell = [this](const std::wstring& text) { told_.push_back(text); };
        result.open = [this](const std::wstring& folder) { opened_.push_back(folder); };
        return result;
    }
    std::vector<std::wstring> told_;
    std::vector<std::wstring> opened_;
};

}  // namespace

TEST_F(LinkFolderTest, SymbolicVariantMakesANumberedFolderWithOneLinkPerFileAndOpensIt) {
    const std::wstring base = temp_.path() + L"qbx_tmp";
    const std::vector<std::wstring> made = ShellNamespace::open_in_real_folder(
        {file(L"song1.mp3"), file(L"notes.txt")}, options(ShellNamespace::link_kind::symbolic));
    EXPECT_TRUE(told_.empty());
    ASSERT_EQ(1u, made.size());
    EXPECT_EQ(made, opened_);
    const std::vector<std::wstring> folders = entries_of(base);
    ASSERT_EQ(1u, folders.size());
    EXPECT_TRUE(numbered(folders[0]));
    EXPECT_EQ(base + L"\\" + folders[0], made[0]);
    EXPECT_EQ(std::vector<std::wstring>({L"notes.txt", L"song1.mp3"}), entries_of(made[0]));
    EXPECT_EQ("data", content_of(made[0] + L"\\song1.mp3"));

    // A name drawn that is already taken is not an error: another one is drawn.
    std::srand(77);
    const std::wstring taken = base + L"\\" + std::to_wstring(std::rand() % 10000) + L"dir";
    ASSERT_TRUE(::CreateDirectoryW(taken.c_str(), nullptr) || made[0] == taken);
    std::srand(77);
    told_.clear();
    const std::vector<std::wstring> again =
        ShellNamespace::open_in_real_folder({file(L"song2.mp3")}, options(ShellNamespace::link_kind::symbolic));
    EXPECT_TRUE(told_.empty());
    ASSERT_EQ(1u, again.size());
    EXPECT_NE(taken, again[0]);
    EXPECT_EQ(std::vector<std::wstring>({L"song2.mp3"}), entries_of(again[0]));
}

TEST_F(LinkFolderTest, NoLinkMadeNamesTheFilesAndLeavesNoFolder) {
    const std::vector<std::wstring> made = ShellNamespace::open_in_real_folder(
        {file(L"gone.mp3")}, options(ShellNamespace::link_kind::symbolic));
    EXPECT_TRUE(made.empty());
    EXPECT_EQ(std::vector<std::wstring>({L"No link could be made to these files:\n" + file(L"gone.mp3")}), told_);
    EXPECT_TRUE(opened_.empty());
    EXPECT_TRUE(entries_of(temp_.path() + L"qbx_tmp").empty());
}

// A standard user: symbolic links are asked for with the flag that Developer Mode honours, a
// file refused one gets a hard link, and the files that got no link at all are named in one
// message once the folder has opened with the others.
TEST_F(LinkFolderTest, EachFileGetsTheLinkTheUserMayMakeAndOneMessageNamesTheRest) {
    // A system from before the flag refuses it as an invalid parameter; asked without it, it
    // refuses the user, who lacks the right to make symbolic links.
    std::vector<DWORD> asked;
    ShellNamespace::link_folder_options old_system = options(ShellNamespace::link_kind::symbolic);
    old_system.create_symbolic_link = [&asked](const wchar_t*, const wchar_t*, DWORD flags) -> BOOLEAN {
        asked.push_back(flags);
        ::SetLastError((flags & SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ? ERROR_INVALID_PARAMETER
                                                                               : ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    };
    // notes.txt lies on another volume than the temporary folder: no hard link reaches it.
    const std::wstring elsewhere = file(L"notes.txt");
    old_system.create_hard_link = [elsewhere](const wchar_t* link, const wchar_t* target) -> BOOL {
        if (target == elsewhere) {
            ::SetLastError(ERROR_NOT_SAME_DEVICE);
            return FALSE;
        }
        return ::CreateHardLinkW(link, target, nullptr);
    };
    const std::vector<std::wstring> made = ShellNamespace::open_in_real_folder(
        {file(L"song1.mp3"), file(L"notes.txt"), file(L"clips"), file(L"both.mp3")}, old_system);
    // The flag once, then every file without it; the folder as a directory link.
    EXPECT_EQ(std::vector<DWORD>({SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE, 0, 0, SYMBOLIC_LINK_FLAG_DIRECTORY, 0}),
              asked);
    ASSERT_EQ(1u, made.size());
    EXPECT_EQ(made, opened_);
    EXPECT_EQ(std::vector<std::wstring>({L"both.mp3", L"song1.mp3"}), entries_of(made[0]));
    EXPECT_EQ("data", content_of(made[0] + L"\\song1.mp3"));
    ASSERT_EQ(1u, told_.size());
    for (const wchar_t* name : {L"notes.txt", L"clips"}) EXPECT_NE(std::wstring::npos, told_[0].find(file(name)));
    for (const wchar_t* name : {L"song1.mp3", L"both.mp3"}) EXPECT_EQ(std::wstring::npos, told_[0].find(file(name)));

    // With Developer Mode on, the flag makes symbolic links for every file and folder, the one
    // on another volume among them.
    asked.clear();
    told_.clear();
    opened_.clear();
    ShellNamespace::link_folder_options developer_mode = options(ShellNamespace::link_kind::symbolic);
    developer_mode.create_hard_link = old_system.create_hard_link;
    developer_mode.create_symbolic_link = [&asked](const wchar_t* link, const wchar_t*, DWORD flags) -> BOOLEAN {
        asked.push_back(flags);
        if (!(flags & SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
            ::SetLastError(ERROR_PRIVILEGE_NOT_HELD);
            return FALSE;
        }
        write_text(link, "link");  // what the system would make there
        return TRUE;
    };
    const std::vector<std::wstring> linked =
        ShellNamespace::open_in_real_folder({file(L"notes.txt"), file(L"clips")}, developer_mode);
    EXPECT_TRUE(told_.empty());
    ASSERT_EQ(1u, linked.size());
    EXPECT_EQ(linked, opened_);
    EXPECT_EQ(std::vector<std::wstring>({L"clips", L"notes.txt"}), entries_of(linked[0]));
    EXPECT_EQ(std::vector<DWORD>({SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE,
                                  SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | SYMBOLIC_LINK_FLAG_DIRECTORY}),
              asked);
}

TEST_F(LinkFolderTest, HardVariantMakesAFolderOnTheFilesDriveAndTellsAFileItCannotLink) {
    const std::wstring base = file(L"").substr(0, 1) + L":\\qbx_tmp";
    const std::vector<std::wstring> made = ShellNamespace::open_in_real_folder(
        {file(L"song1.mp3"), file(L"gone.mp3"), file(L"both.mp3")}, options(ShellNamespace::link_kind::hard));
    ASSERT_EQ(1u, made.size());
    EXPECT_EQ(made, opened_);
    EXPECT_EQ(0u, made[0].find(base + L"\\"));
    EXPECT_EQ(std::vector<std::wstring>({L"Can't create hardlink to file \n" + file(L"gone.mp3")}), told_);
    EXPECT_EQ(std::vector<std::wstring>({L"both.mp3", L"song1.mp3"}), entries_of(made[0]));
    EXPECT_EQ("data", content_of(made[0] + L"\\both.mp3"));

    // The clean-up takes the links and the folder, and leaves the files they stood for.
    ShellNamespace::clean_link_folders(base, 0);
    EXPECT_FALSE(util::folder_exists(made[0]));
    EXPECT_EQ("data", content_of(file(L"both.mp3")));
    EXPECT_EQ("data", content_of(file(L"song1.mp3")));
}

TEST_F(LinkFolderTest, CleanUpRemovesOnlyOldUnshownLinkFoldersAndNeverWhatTheyPointTo) {
    const std::wstring base = temp_.path() + L"qbx_tmp";
    ASSERT_TRUE(::CreateDirectoryW(base.c_str(), nullptr));
    const std::wstring old_links = base + L"\\11dir";
    const std::wstring shown = base + L"\\22dir";
    const std::wstring young = base + L"\\33dir";
    const std::wstring not_links = base + L"\\44dir";
    for (const std::wstring& folder : {old_links, shown, young, not_links}) {
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    }
    ASSERT_TRUE(::CreateHardLinkW((old_links + L"\\song1.mp3").c_str(), file(L"song1.mp3").c_str(), nullptr));
    ASSERT_TRUE(::CreateHardLinkW((shown + L"\\song2.mp3").c_str(), file(L"song2.mp3").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((not_links + L"\\inner").c_str(), nullptr));
    {
        util::unique_file f(::CreateFileW((not_links + L"\\inner\\kept.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(f.valid());
    }
    for (const std::wstring& folder : {old_links, shown, not_links}) make_old(folder);
    // A window showing 22dir, titled as Explorer titles it.
    HWND window = ::CreateWindowExW(0, L"STATIC", shown.c_str(), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                    nullptr);
    ASSERT_NE(nullptr, window);

    ShellNamespace::clean_link_folders(base, 60 * 1000);
    ::DestroyWindow(window);

    EXPECT_FALSE(util::folder_exists(old_links));
    EXPECT_EQ("data", content_of(file(L"song1.mp3")));
    EXPECT_TRUE(util::folder_exists(shown));
    EXPECT_TRUE(util::folder_exists(young));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((not_links + L"\\inner\\kept.txt").c_str()));
}

// What a user does with a link folder, and what another user may put in the shared folders it
// lies in: an editor that saves by writing a new file and renaming it over the old one leaves
// the edits in an ordinary file where the link was, a link to a whole folder of the user's, a
// base folder that is itself a link. Only links go, each checked and removed through one handle.
TEST_F(LinkFolderTest, CleanUpRemovesOnlyLinksAndKeepsAFolderThatHoldsAnythingElse) {
    const std::wstring base = temp_.path() + L"qbx_tmp";
    const std::vector<std::wstring> made = ShellNamespace::open_in_real_folder(
        {file(L"song1.mp3"), file(L"notes.txt"), file(L"both.mp3")}, options(ShellNamespace::link_kind::symbolic));
    ASSERT_EQ(1u, made.size());
    const std::wstring folder = made[0];
    write_text(folder + L"\\notes.txt.new", "edited");
    ASSERT_TRUE(::MoveFileExW((folder + L"\\notes.txt.new").c_str(), (folder + L"\\notes.txt").c_str(),
                              MOVEFILE_REPLACE_EXISTING));
    // A hard link whose file lost its other name is the only copy left.
    write_text(file(L"only.txt"), "only");
    ASSERT_TRUE(::CreateHardLinkW((folder + L"\\only.txt").c_str(), file(L"only.txt").c_str(), nullptr));
    ASSERT_TRUE(::DeleteFileW(file(L"only.txt").c_str()));
    TempFolder outside;
    write_text(outside.path() + L"photo.jpg", "photo");
    FolderLink album(folder + L"\\Album", outside.path());
    make_old(folder);

    ShellNamespace::clean_link_folders(base, 0);
    // The links to song1.mp3 and both.mp3 went (as hard links or symbolic links, whichever the
    // system let the command make), their files stayed.
    std::vector<std::wstring> kept = {L"notes.txt", L"only.txt"};
    if (album.made() && !album.removable()) kept.insert(kept.begin(), L"Album");
    EXPECT_EQ(kept, entries_of(folder));
    EXPECT_EQ("edited", content_of(folder + L"\\notes.txt"));
    EXPECT_EQ("only", content_of(folder + L"\\only.txt"));
    for (const wchar_t* name : {L"song1.mp3", L"notes.txt", L"both.mp3"}) EXPECT_EQ("data", content_of(file(name)));
    EXPECT_EQ("photo", content_of(outside.path() + L"photo.jpg"));

    // Emptied by the user, the folder goes at the next clean-up.
    ASSERT_TRUE(::DeleteFileW((folder + L"\\notes.txt").c_str()));
    ASSERT_TRUE(::DeleteFileW((folder + L"\\only.txt").c_str()));
    if (!album.made() || album.removable()) {
        ShellNamespace::clean_link_folders(base, 0);
        EXPECT_FALSE(util::folder_exists(folder));
    }

    // A base that is a link, to a folder of someone else's that looks like a link folder, is
    // left as it is.
    TempFolder victim;
    ASSERT_TRUE(::CreateDirectoryW((victim.path() + L"55dir").c_str(), nullptr));
    write_text(victim.path() + L"report.txt", "report");
    ASSERT_TRUE(::CreateHardLinkW((victim.path() + L"55dir\\report.txt").c_str(), (victim.path() + L"report.txt").c_str(),
                                  nullptr));
    make_old(victim.path() + L"55dir");
    const std::wstring linked_base = temp_.path() + L"linked_qbx_tmp";
    FolderLink base_link(linked_base, victim.path());
    if (base_link.made()) {
        ShellNamespace::clean_link_folders(linked_base, 0);
        EXPECT_EQ(std::vector<std::wstring>({L"report.txt"}), entries_of(victim.path() + L"55dir"));
    }

    // What Wine 8 cannot make: a handle opened on a symbolic link or a junction itself, as
    // Windows opens it with FILE_FLAG_OPEN_REPARSE_POINT, shows FILE_ATTRIBUTE_REPARSE_POINT;
    // such an entry goes as a link. A folder never goes, whatever its count of names.
    EXPECT_TRUE(ShellNamespace::is_removable_link(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE, 1));
    EXPECT_TRUE(ShellNamespace::is_removable_link(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, 1));
    EXPECT_FALSE(ShellNamespace::is_removable_link(FILE_ATTRIBUTE_DIRECTORY, 3));
}
