// The folder's context menu as the view drives it: GetUIObjectOf(IContextMenu), QueryContextMenu
// on a real menu, InvokeCommand by offset; a frame that answers WM_USER + 7 with a browser that
// records where the commands navigate.
#include "held_identity_looks.h"
#include "namespace_fixture.h"
#include "menu_fixture.h"

#include "database/identity_file.h"
#include "database/store_io.h"
#include "database/tags_holder.h"
#include "namespace/shell_menu.h"
#include "util/file_system.h"

#include <boost/make_shared.hpp>
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

struct menu_case {
    const char* label;
    std::vector<std::wstring> level;     // names from the top to the folder
    bool inside_files;                   // in that level's "Filtered Items" entry
    std::vector<std::wstring> selected;  // names in that folder's listing
    std::vector<menu_line> expected;
};

std::vector<std::wstring> tags_on_disk(const std::wstring& data, const std::wstring& path) {
    // A database of its own, loaded from the data folder as at Explorer's next start.
    boost::shared_ptr<items::TagsHolder> fresh = boost::make_shared<items::TagsHolder>();
    fresh->set_data_folder(data);
    fresh->load_store();
    std::vector<std::wstring> names;
    for (const items::tree_ptr& tree : fresh->tags_of_paths({path})) {
        std::vector<const items::tree_node*> stack(1, tree.get());
        while (!stack.empty()) {
            const items::tree_node* node = stack.back();
            stack.pop_back();
            if (node->children.empty()) names.push_back(node->name);
            for (const items::tree_ptr& child : node->children) stack.push_back(child.get());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::wstring> files_on_clipboard() {
    std::vector<std::wstring> names;
    HANDLE data = ::OpenClipboard(nullptr) ? ::GetClipboardData(CF_HDROP) : nullptr;
    const UINT count = data ? ::DragQueryFileW(static_cast<HDROP>(data), 0xFFFFFFFF, nullptr, 0) : 0;
    for (UINT i = 0; i < count; ++i) {
        wchar_t name[MAX_PATH] = L"";
        ::DragQueryFileW(static_cast<HDROP>(data), i, name, MAX_PATH);
        names.push_back(name);
    }
    ::CloseClipboard();
    return names;
}

std::vector<std::wstring> names_of(const std::vector<listed>& level) {
    std::vector<std::wstring> names;
    for (const listed& item : level) names.push_back(item.name);
    return names;
}

}  // namespace

TEST_F(MenuTest, EntriesFollowTheSelectionWithTheirTextsAndOffsets) {
    const std::vector<std::wstring> rock = {L"Music", L"Genre", L"Rock"};
    const menu_case cases[] = {
        {"one file", rock, true, {L"song1.mp3"},
         {{first + 0, L"Open"}, {first + 1, L"Open path"}, {first + 2, L"Open with"}, separator_line(),
          {first + 3, L"Manage Tags"}, {first + 4, L"Delete tags for file"}, separator_line(),
          {first + 5, L"Copy"}, {first + 6, L"Delete from disk"}, separator_line(), {first + 7, L"Properties"}}},
        {"several files", rock, true, {L"song1.mp3", L"both.mp3"},
         {{first + 0, L"Open in real folder"}, separator_line(), {first + 1, L"Manage Tags"},
          {first + 2, L"Delete tags for file"}, separator_line(), {first + 3, L"Copy"},
          {first + 4, L"Delete from disk"}}},
        {"one tag", {L"Music", L"Genre"}, false, {L"Rock"},
         {{first + 0, L"Filter to tag"}, {first + 1, L"Exclude tag"}, {first + 2, L"Delete node"}}},
        {"several tags", {L"Music", L"Genre"}, false, {L"Rock", L"Jazz"},
         {{first + 0, L"Filter to tags"}, {first + 1, L"Exclude tags"}, {first + 2, L"Merge tags"}, separator_line(),
          {first + 3, L"Delete nodes"}}},
        {"one root tag", {}, false, {L"Music"}, {{first + 0, L"Delete node"}}},
        {"one scope", {L"Music"}, false, {L"Empty"}, {{first + 0, L"Delete node"}}},
        {"the Filtered Items entry", {L"Music"}, false, {L"Filtered Items"}, {{first + 0, L"Delete node"}}},
        {"several root tags", {}, false, {L"Music", L"Video"}, {{first + 0, L"Delete nodes"}}},
        {"a tag and Filtered Items", {L"Music", L"Genre"}, false, {L"Filtered Items", L"Rock"}, {{first + 0, L"Delete nodes"}}},
    };
    for (const menu_case& c : cases) {
        SCOPED_TRACE(c.label);
        util::com_ptr<IShellFolder2> folder = c.inside_files ? files_of(c.level) : open(c.level);
        ASSERT_TRUE(folder);
        util::com_ptr<IContextMenu> menu = menu_of(folder.get(), c.selected);
        ASSERT_TRUE(menu);
        EXPECT_EQ(c.expected, lines_of(menu.get(), CMF_NORMAL));
    }
}

TEST_F(MenuTest, AFileAndATagTogetherGiveOnlyDeleteNodes) {
    // Files and tags never share a level, so the mixed selection is built from two levels.
    util::com_ptr<IShellFolder2> genre = open({L"Music", L"Genre"});
    util::com_ptr<IShellFolder2> files = files_of({L"Music", L"Genre", L"Rock"});
    const listed song = find(files.get(), L"song1.mp3");
    const listed rock = find(genre.get(), L"Rock");
    LPCITEMIDLIST both[] = {song.pidl(), rock.pidl()};
    util::com_ptr<IContextMenu> menu;
    ASSERT_EQ(S_OK, genre->GetUIObjectOf(frame_, 2, both, IID_IContextMenu, nullptr, menu.put_void()));
    EXPECT_EQ(std::vector<menu_line>({{first, L"Delete nodes"}}), lines_of(menu.get(), CMF_NORMAL));
}

TEST_F(MenuTest, NoEntriesAndNoCommandWhileAnotherThreadHoldsTheDatabase) {
    util::com_ptr<IShellFolder2> genre = open({L"Music", L"Genre"});
    util::com_ptr<IContextMenu> menu = menu_of(genre.get(), {L"Rock"});
    ASSERT_TRUE(menu);
    HANDLE taken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        util::lock_guard held(items::database_lock());
        ::SetEvent(taken);
        ::WaitForSingleObject(release, INFINITE);
    });
    ::WaitForSingleObject(taken, INFINITE);
    const DWORD start = ::GetTickCount();
    const std::vector<menu_line> busy = lines_of(menu.get(), CMF_NORMAL);
    const std::vector<menu_line> busy_default = lines_of(menu.get(), CMF_DEFAULTONLY);
    const DWORD waited = ::GetTickCount() - start;
    const HRESULT invoked = invoke(menu.get(), 0);
    ::SetEvent(release);
    holder.join();
    ::CloseHandle(taken);
    ::CloseHandle(release);
    EXPECT_TRUE(busy.empty());
    EXPECT_TRUE(busy_default.empty());
    EXPECT_LT(waited, 1000u);
    EXPECT_NE(S_OK, invoked);
    EXPECT_TRUE(browser_.browsed.empty());
    // Free again, the same object builds its entries.
    EXPECT_EQ(3u, lines_of(menu.get(), CMF_NORMAL).size());
}

TEST_F(MenuTest, AMenuBuiltRightAfterTaggingHasItsEntriesWhileTheNewFilesAreStillBeingRead) {
    // The disk answers slowly (an offline share, a folder of 200,000 files): the identity pass
    // is held at its looks.
    HeldIdentityLooks held;
    items::TagsHolder& db = items::tags_holder();
    ASSERT_TRUE(db.set_tags({file(L"notes.txt"), file(L"clips")}, items::make_chain({L"Music", L"Mood", L"Loud"}),
                            items::tree_ptr()));
    ASSERT_TRUE(held.wait_held(30000)) << "the new files' identities were not read in the background";
    util::com_ptr<IShellFolder2> loud = files_of({L"Music", L"Mood", L"Loud"});
    ASSERT_TRUE(loud);
    util::com_ptr<IContextMenu> menu = menu_of(loud.get(), {L"notes.txt"});
    ASSERT_TRUE(menu);
    const std::vector<menu_line> lines = lines_of(menu.get(), CMF_NORMAL);
    ASSERT_FALSE(lines.empty()) << "the menu found the database busy";
    EXPECT_EQ(menu_line({first, L"Open"}), lines[0]);
    util::com_ptr<IContextMenu> tag_menu = menu_of(open({L"Music", L"Mood"}).get(), {L"Loud"});
    ASSERT_TRUE(tag_menu);
    EXPECT_EQ(3u, lines_of(tag_menu.get(), CMF_NORMAL).size());

    held.release();
    ASSERT_TRUE(db.wait_relinked(30000));
    items::identity_table table;
    ASSERT_TRUE(table.read(temp_.path() + L"data\\~quibrix-Music.ids"));
    const std::wstring notes = file(L"notes.txt");
    EXPECT_TRUE(table.find(items::file_id(notes), notes).known) << "the pass kept nothing once it could read";
}

TEST_F(MenuTest, FilterExcludeAndMergeBrowseIntoACombinedTagInTheSameWindow) {
    util::com_ptr<IShellFolder2> genre = open({L"Music", L"Genre"});
    util::com_ptr<IContextMenu> one = menu_of(genre.get(), {L"Rock"});
    lines_of(one.get(), CMF_NORMAL);
    ASSERT_EQ(S_OK, invoke(one.get(), 0));
    ASSERT_EQ(1u, browser_.browsed.size());
    EXPECT_EQ(UINT(SBSP_SAMEBROWSER), browser_.flags[0]);
    // The folder's own list (a foreign item, Music, Genre) and one more item.
    EXPECT_EQ(std::vector<std::wstring>({L"Music", L"Genre", L"|Rock"}), browser_.names(0));
    items::shell_item_fields last = browser_.last_item(0);
    EXPECT_EQ(items::item_node, last.kind);
    EXPECT_EQ(0u, last.count);
    EXPECT_EQ(0u, last.file_id);

    const struct {
        int offset;
        const wchar_t* name;
        std::uint32_t files;  // in the narrowed view's "Filtered Items"
    } combined[] = {{0, L"|Rock|Jazz", 1}, {1, L":Rock:Jazz", 0}, {2, L"*Rock*Jazz", 4}};
    for (const auto& c : combined) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        browser_.clear();
        util::com_ptr<IContextMenu> two = menu_of(genre.get(), {L"Rock", L"Jazz"});
        lines_of(two.get(), CMF_NORMAL);
        ASSERT_EQ(S_OK, invoke(two.get(), c.offset));
        ASSERT_EQ(1u, browser_.browsed.size());
        EXPECT_EQ(c.name, browser_.names(0).back());
        // The database follows the name the menu built.
        const std::vector<BYTE> child = browser_.last_only(0);
        util::com_ptr<IShellFolder2> narrowed = bind(genre.get(), reinterpret_cast<LPCITEMIDLIST>(child.data()));
        ASSERT_TRUE(narrowed);
        const std::vector<listed> level = list(narrowed.get());
        ASSERT_FALSE(level.empty());
        EXPECT_EQ(items::item_filtered, level[0].kind);
        EXPECT_EQ(c.files, level[0].count);
    }

    // Inside a narrowed view a further filter appends one more item to the path.
    browser_.clear();
    const std::vector<BYTE> rock_only = make_item(items::item_node, L"|Rock");
    util::com_ptr<IShellFolder2> narrowed = bind(genre.get(), reinterpret_cast<LPCITEMIDLIST>(rock_only.data()));
    util::com_ptr<IContextMenu> again = menu_of(narrowed.get(), {L"Mood"});
    lines_of(again.get(), CMF_NORMAL);
    ASSERT_EQ(S_OK, invoke(again.get(), 0));
    ASSERT_EQ(1u, browser_.browsed.size());
    EXPECT_EQ(std::vector<std::wstring>({L"Music", L"Genre", L"|Rock", L"|Mood"}), browser_.names(0));
}

// Wine's view numbers the entries from id 0 and takes a returned 0 for "nothing chosen".
TEST_F(MenuTest, AMenuNumberedFromZeroRunsItsFirstEntryByTheIdItShowed) {
    util::com_ptr<IShellFolder2> genre = open({L"Music", L"Genre"});
    util::com_ptr<IContextMenu> menu = menu_of(genre.get(), {L"Rock"});
    util::unique_hmenu popup(::CreatePopupMenu());
    // Ids 0 to 3 are taken: the unused 0 and the three entries.
    ASSERT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 4), menu->QueryContextMenu(popup.get(), 0, 0, 0x7FFF, CMF_NORMAL));
    const UINT filter_id = ::GetMenuItemID(popup.get(), 0);
    ASSERT_NE(0u, filter_id);
    ASSERT_EQ(S_OK, invoke(menu.get(), static_cast<int>(filter_id)));
    ASSERT_EQ(1u, browser_.browsed.size());
    EXPECT_EQ(L"|Rock", browser_.names(0).back());
}

// A double click, Enter, a jump list and ShellExecuteEx(SEE_MASK_INVOKEIDLIST) all ask the
// menu for its default alone (CMF_DEFAULTONLY), then invoke the entry GetMenuDefaultItem names.
TEST_F(MenuTest, ADefaultOnlyQueryAddsTheDefaultAloneAndOnlyItsInvokeRunsIt) {
    const OpenedFiles opened(temp_.path() + L"opened.log");
    util::com_ptr<IShellFolder2> genre = open({L"Music", L"Genre"});
    util::com_ptr<IShellFolder2> files = files_of({L"Music", L"Genre", L"Rock"});
    util::com_ptr<IContextMenu> tag = menu_of(genre.get(), {L"Rock"});
    util::com_ptr<IContextMenu> two = menu_of(files.get(), {L"song1.mp3", L"both.mp3"});
    for (IContextMenu* menu : {tag.get(), two.get()}) {
        EXPECT_EQ(std::vector<menu_line>({{first, L"Open"}}), lines_of(menu, CMF_DEFAULTONLY));
        EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1), queried_);
        EXPECT_EQ(first, default_id_);
    }
    EXPECT_TRUE(browser_.browsed.empty()) << "a query browsed";
    EXPECT_TRUE(opened.paths(0).empty()) << "a query opened a file";
    ASSERT_EQ(S_OK, invoke(tag.get(), 0));
    ASSERT_EQ(1u, browser_.browsed.size());
    EXPECT_EQ(std::vector<std::wstring>({L"Music", L"Genre", L"Rock"}), browser_.names(0));
    EXPECT_EQ(UINT(SBSP_SAMEBROWSER), browser_.flags[0]);
    // Several files open each, once.
    ASSERT_EQ(S_OK, invoke(two.get(), 0));
    EXPECT_EQ(std::vector<std::wstring>({file(L"both.mp3"), file(L"song1.mp3")}), opened.paths(2));

    // Two tags have no default, nor has a tag's full menu; a file's full menu marks "Open".
    EXPECT_TRUE(lines_of(menu_of(genre.get(), {L"Rock", L"Jazz"}).get(), CMF_DEFAULTONLY).empty());
    lines_of(tag.get(), CMF_NORMAL);
    EXPECT_EQ(static_cast<UINT>(-1), default_id_);
    lines_of(menu_of(files.get(), {L"song1.mp3"}).get(), CMF_NORMAL);
    EXPECT_EQ(first, default_id_);
    EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 8), queried_);
}

// Windows' view sends Enter, Ctrl+C and Alt+Enter as the verbs "open", "copy" and
// "properties", possibly to a menu it never built.
TEST_F(MenuTest, VerbsRunOnAMenuThatWasNeverBuiltAndGetCommandStringNamesThem) {
    util::com_ptr<IShellFolder2> files = files_of({L"Music", L"Genre", L"Rock"});
    util::com_ptr<IShellFolder2> genre = open({L"Music", L"Genre"});
    ASSERT_TRUE(::OpenClipboard(nullptr));
    ::EmptyClipboard();
    ::CloseClipboard();
    ASSERT_EQ(S_OK, invoke_verb(menu_of(files.get(), {L"song1.mp3", L"both.mp3"}).get(), "copy", false));
    EXPECT_EQ(std::vector<std::wstring>({file(L"song1.mp3"), file(L"both.mp3")}), files_on_clipboard());
    // A tag's "open" enters it; the Unicode verb wins over lpVerb.
    ASSERT_EQ(S_OK, invoke_verb(menu_of(genre.get(), {L"Jazz"}).get(), "Open", true));
    ASSERT_EQ(1u, browser_.browsed.size());
    EXPECT_EQ(L"Jazz", browser_.names(0).back());
    util::com_ptr<IContextMenu> tags = menu_of(genre.get(), {L"Rock", L"Jazz"});
    util::com_ptr<IContextMenu> one = menu_of(files.get(), {L"song2.mp3"});
    for (const char* verb : {"copy", "open", "properties"}) EXPECT_EQ(E_INVALIDARG, invoke_verb(tags.get(), verb, true));
    EXPECT_EQ(E_INVALIDARG, invoke_verb(one.get(), "rename", false));
    EXPECT_EQ(1u, browser_.browsed.size());
    EXPECT_EQ(2u, files_on_clipboard().size());

    lines_of(one.get(), CMF_NORMAL);
    WCHAR wide[16];
    CHAR narrow[16];
    ASSERT_EQ(S_OK, one->GetCommandString(0, GCS_VERBW, nullptr, reinterpret_cast<CHAR*>(wide), 16));
    EXPECT_STREQ(L"open", wide);
    ASSERT_EQ(S_OK, one->GetCommandString(7, GCS_VERBA, nullptr, narrow, 16));
    EXPECT_STREQ("properties", narrow);
    // "copy" does not fit in 4 characters, "Open path" has no verb, 8 is no entry: nothing written.
    std::fill(wide, wide + 16, L'#');
    EXPECT_TRUE(FAILED(one->GetCommandString(5, GCS_VERBW, nullptr, reinterpret_cast<CHAR*>(wide), 4)));
    EXPECT_TRUE(FAILED(one->GetCommandString(1, GCS_VERBW, nullptr, reinterpret_cast<CHAR*>(wide), 16)));
    EXPECT_TRUE(FAILED(one->GetCommandString(8, GCS_VERBW, nullptr, reinterpret_cast<CHAR*>(wide), 16)));
    EXPECT_EQ(std::wstring(16, L'#'), std::wstring(wide, wide + 16));
    EXPECT_EQ(S_OK, one->GetCommandString(1, GCS_VALIDATEW, nullptr, nullptr, 0));
    EXPECT_EQ(S_FALSE, one->GetCommandString(8, GCS_VALIDATEA, nullptr, nullptr, 0));
}

// A program may call the folder from a worker thread in the multithreaded apartment; the file
// still opens, through ShellExecute on a thread of a single-threaded apartment, and the caller
// is not kept waiting. A caller already in such an apartment opens it on its own thread. The
// frame's browser belongs to the frame's thread and is never called from another.
TEST_F(MenuTest, OpenFromTheMultithreadedApartmentRunsInASingleThreadedOne) {
    const OpenedFiles opened(temp_.path() + L"opened.log");
    util::com_ptr<IShellFolder2> files = files_of({L"Music", L"Genre", L"Rock"});
    util::com_ptr<IContextMenu> song = menu_of(files.get(), {L"song1.mp3"});
    util::com_ptr<IContextMenu> tag = menu_of(open({L"Music", L"Genre"}).get(), {L"Jazz"});
    std::mutex lock;
    std::vector<std::pair<DWORD, APTTYPE> > launches;  // the thread and apartment of each
    ShellNamespace::observe_shell_launches([&](const std::wstring&) {
        APTTYPE type = APTTYPE_CURRENT;
        APTTYPEQUALIFIER qualifier;
        if (FAILED(::CoGetApartmentType(&type, &qualifier))) type = APTTYPE_CURRENT;
        std::lock_guard<std::mutex> hold(lock);
        launches.push_back(std::make_pair(::GetCurrentThreadId(), type));
    });
    struct call {
        DWORD model;
        DWORD thread = 0;
        HRESULT opened = E_FAIL, entered = E_FAIL;
    } calls[] = {{COINIT_MULTITHREADED}, {COINIT_APARTMENTTHREADED}};
    for (call& c : calls) {
        util::unique_handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread caller([&] {
            ::CoInitializeEx(nullptr, c.model);
            c.thread = ::GetCurrentThreadId();
            c.opened = invoke_verb(song.get(), "open", false);
            c.entered = invoke_verb(tag.get(), "open", false);
            ::CoUninitialize();
            ::SetEvent(done.get());
        });
        const DWORD waited = ::WaitForSingleObject(done.get(), 10000);
        if (waited == WAIT_OBJECT_0) {
            caller.join();
        } else {
            caller.detach();
        }
        ASSERT_EQ(WAIT_OBJECT_0, waited) << "the caller of model " << c.model << " was kept waiting";
        EXPECT_EQ(std::vector<std::wstring>(1, file(L"song1.mp3")), opened.paths(1));
        ::DeleteFileW((temp_.path() + L"opened.log").c_str());
        EXPECT_EQ(S_OK, c.opened);
        EXPECT_EQ(RPC_E_WRONG_THREAD, c.entered);
    }
    ShellNamespace::observe_shell_launches(boost::function<void(const std::wstring&)>());
    EXPECT_TRUE(browser_.browsed.empty()) << "the browser was called from another thread";
    ASSERT_EQ(2u, launches.size());
    EXPECT_NE(calls[0].thread, launches[0].first) << "opened on the multithreaded caller";
    EXPECT_EQ(APTTYPE_STA, launches[0].second);
    EXPECT_EQ(calls[1].thread, launches[1].first);
    EXPECT_EQ(APTTYPE_STA, launches[1].second);
}

TEST_F(MenuTest, DeleteTagsForFileAndDeleteNodeChangeTheStoreOnDisk) {
    const std::wstring data = temp_.path() + L"data\\";
    ASSERT_FALSE(tags_on_disk(data, file(L"both.mp3")).empty());
    util::com_ptr<IShellFolder2> files = files_of({L"Music", L"Genre", L"Rock"});
    util::com_ptr<IContextMenu> untag = menu_of(files.get(), {L"both.mp3"});
    lines_of(untag.get(), CMF_NORMAL);
    ASSERT_EQ(S_OK, invoke(untag.get(), 4));
    EXPECT_TRUE(tags_on_disk(data, file(L"both.mp3")).empty());
    // Other files keep theirs.
    EXPECT_EQ(std::vector<std::wstring>({long_name(), L"Rock"}), tags_on_disk(data, file(L"song1.mp3")));

    util::com_ptr<IShellFolder2> music = open({L"Music"});
    util::com_ptr<IContextMenu> remove = menu_of(music.get(), {L"Mood"});
    // A scope with files is listed as a tag: "Delete node" is its third entry.
    EXPECT_EQ(3u, lines_of(remove.get(), CMF_NORMAL).size());
    ASSERT_EQ(S_OK, invoke(remove.get(), 2));
    EXPECT_EQ(std::vector<std::wstring>({L"Rock"}), tags_on_disk(data, file(L"song2.mp3")));
    const std::vector<std::wstring> left = names_of(list(open({L"Music"}).get()));
    EXPECT_EQ(left.end(), std::find(left.begin(), left.end(), L"Mood"));
    EXPECT_NE(left.end(), std::find(left.begin(), left.end(), L"Genre"));

    // A root tag from the top.
    util::com_ptr<IContextMenu> root = menu_of(top().get(), {L"Video"});
    lines_of(root.get(), CMF_NORMAL);
    ASSERT_EQ(S_OK, invoke(root.get(), 0));
    EXPECT_TRUE(tags_on_disk(data, file(L"notes.txt")).empty());
    EXPECT_FALSE(util::folder_exists(data + L"Video"));
}

TEST_F(MenuTest, DeleteFromDiskRemovesTheRealFileAndLeavesAFileThatIsHeldOpen) {
    util::com_ptr<IShellFolder2> files = files_of({L"Music", L"Genre", L"Rock"});
    util::com_ptr<IContextMenu> menu = menu_of(files.get(), {L"song1.mp3"});
    lines_of(menu.get(), CMF_NORMAL);
    ASSERT_EQ(S_OK, invoke(menu.get(), 6));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(file(L"song1.mp3").c_str()));

    util::unique_file held(::CreateFileW(file(L"song2.mp3").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    util::com_ptr<IContextMenu> busy = menu_of(files.get(), {L"song2.mp3"});
    lines_of(busy.get(), CMF_NORMAL);
    EXPECT_EQ(S_OK, invoke(busy.get(), 6));
    held.reset();
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(file(L"song2.mp3").c_str()));
}

// Stores written before ids were unique across roots may give one id to files of two roots: a
// file listed below one root is that root's file for every command and column.
TEST_F(MenuTest, AFileListedBelowARootIsThatRootsFileWhereAnOlderStoreSharesItsId) {
    const std::wstring data = temp_.path() + L"data\\";
    const items::file_id_t shared = items::file_id(file(L"song1.mp3"));
    ASSERT_TRUE(::CreateDirectoryW((data + L"Old").c_str(), nullptr));
    std::vector<unsigned char> bytes;
    items::store::encode_ids({shared}, 0, bytes);
    items::store::replace_file(data + L"Old\\Kept", bytes, data);
    bytes.clear();
    items::store::encode_map_record(shared, file(L"notes.txt"), bytes);
    items::store::replace_file(data + L"Old.dat", bytes, data);
    // As at Explorer's next start: the tree read again from the data folder.
    items::tags_holder().set_data_folder(files_);
    items::tags_holder().set_data_folder(data);

    util::com_ptr<IShellFolder2> files = files_of({L"Old", L"Kept"});
    ASSERT_TRUE(files);
    const listed notes = find(files.get(), L"notes.txt");
    SHELLDETAILS details = {};
    ASSERT_EQ(S_OK, files->GetDetailsOf(notes.pidl(), 3, &details));  // the Tags column
    wchar_t tags_text[MAX_PATH] = L"";
    ASSERT_EQ(S_OK, ::StrRetToBufW(&details.str, nullptr, tags_text, MAX_PATH));
    EXPECT_STREQ(L"( Kept )", tags_text);

    util::com_ptr<IContextMenu> menu = menu_of(files.get(), {L"notes.txt"});
    lines_of(menu.get(), CMF_NORMAL);
    ASSERT_EQ(S_OK, invoke(menu.get(), 6));  // "Delete from disk"
    EXPECT_FALSE(util::path_exists(file(L"notes.txt")));
    EXPECT_TRUE(util::path_exists(file(L"song1.mp3"))) << "the other root's file with the same id";
}
