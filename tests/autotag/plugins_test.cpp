// The plug-in contract: which DLLs load, extension matching, the conversion of a plug-in's
// tree, the names a watched directory adds, and the tagging of one new file.
#include "plugin_fixture.h"

#include <objbase.h>
#include <windows.h>

#include <algorithm>

using autotag::AutoAssignPlugins;
using autotag::WatchedDir;

namespace {

typedef std::vector<std::wstring> names;

std::wstring plugin_folder() {
    wchar_t program[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring folder(program, length);
    return folder.substr(0, folder.rfind(L'\\')) + L"\\plugins";
}

TEST(AllocationWatchItself, SeesLeaksAndDoubleFrees) {
    AllocationWatch watch;
    void* block = ::CoTaskMemAlloc(16);
    EXPECT_EQ(1, watch.leaked());
    ::CoTaskMemFree(block);
    EXPECT_EQ(0, watch.leaked());
    ::CoTaskMemFree(block);
    EXPECT_EQ(1, watch.bad_frees());
}

TEST_F(PluginTest, LoadsTheUsableDllsInListingOrder) {
    // Only these four have all four exports and answer GetExts and GetDescription.
    const names usable = {L"alpha.dll", L"beta.dll", L"broken_fill.dll", L"other.dll"};
    names listed;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((plugin_folder() + L"\\*.dll").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    do {
        if (std::find(usable.begin(), usable.end(), data.cFileName) != usable.end()) listed.push_back(data.cFileName);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    ASSERT_EQ(4u, listed.size());
    EXPECT_EQ(listed, plugins.names());

    const AutoAssignPlugins::plugin_ptr alpha = plugins.find(L"alpha.dll");
    ASSERT_TRUE(alpha);
    EXPECT_EQ((names{L"mp3", L"jpg", L"jpeg2", L"backup"}), alpha->exts);
    EXPECT_EQ(L"Test plug-in A", alpha->description);
    EXPECT_TRUE(alpha->GetExts && alpha->FillNode && alpha->SaveNode && alpha->GetDescription);
    EXPECT_TRUE(plugins.find(L"other.dll")->exts.empty());
    // The extensions of a DLL skipped after GetExts reach no other record.
    for (const AutoAssignPlugins::plugin_ptr& info : plugins.plugins) {
        EXPECT_EQ(info->exts.end(), std::find(info->exts.begin(), info->exts.end(), L"zzz")) << info->name;
        EXPECT_EQ(info->exts.end(), std::find(info->exts.begin(), info->exts.end(), L"txt")) << info->name;
    }
    // The texts and arrays of GetExts and GetDescription were allocated here and freed by the
    // host (the fixture checks the balance).
    EXPECT_GT(memory.allocations(), 0);
}

TEST(PluginLoading, MissingOrEmptyFolderOrNonDllsLoadNothing) {
    TempFolder folder;
    AutoAssignPlugins none;
    none.load_plugins(folder.path() + L"missing");
    none.load_plugins(folder.path());
    write_file_bytes(folder.path() + L"fake.dll", "not a library");
    none.load_plugins(folder.path().substr(0, folder.path().size() - 1));
    EXPECT_TRUE(none.plugins.empty());
}

TEST(PluginExtension, OnlyTheLastDotAndAtMostFiveUnits) {
    struct Case {
        const wchar_t* path;
        bool usable;
        const wchar_t* ext;
    } cases[] = {
        {L"C:\\a\\song.mp3", true, L"mp3"},
        {L"C:\\a\\report.JPG", true, L"JPG"},
        {L"C:\\a\\x.tar.jpeg2", true, L"jpeg2"},
        {L"C:\\a\\archive.backup", false, L""},
        {L"C:\\a.b\\n", true, L"b\\n"},
        {L"C:\\a\\noext", false, L""},
    };
    for (const Case& c : cases) {
        std::wstring ext;
        EXPECT_EQ(c.usable, autotag::usable_extension(c.path, ext)) << c.path;
        if (c.usable) EXPECT_EQ(c.ext, ext) << c.path;
    }
}

TEST_F(PluginTest, TreeNamesAreConvertedAndEveryBlockFreed) {
    const std::wstring song = file(L"song.mp3",
                                   "Music\tArtist\ta/b:c\n"
                                   "Music\tArtist\t<Very> \"long\" name|?*\\\n"
                                   "Music\tYear\n");
    items::tree_ptr tree = plugins.find(L"alpha.dll")->fill(song);
    ASSERT_TRUE(tree);
    EXPECT_EQ((names{L"Music/Artist/.Very. .long. name....", L"Music/Artist/a.b.c", L"Music/Year"}), chains_of(tree));
    // Long names live in heap blocks, short ones inline; both kinds went through the host.
    EXPECT_GT(memory.allocations(), 4);
}

TEST_F(PluginTest, FailureNoTreeAndBrokenTreeGiveNothing) {
    const AutoAssignPlugins::plugin_ptr alpha = plugins.find(L"alpha.dll");
    EXPECT_FALSE(alpha->fill(file(L"fail.mp3", "FAIL A")));
    EXPECT_FALSE(alpha->fill(file(L"notree.mp3", "NOTREE A")));
    EXPECT_FALSE(alpha->fill(file(L"broken.mp3", "BROKEN A")));
    EXPECT_FALSE(alpha->fill(file(L"throws.mp3", "THROW A")));
    EXPECT_FALSE(plugins.find(L"broken_fill.dll")->fill(file(L"any.mp3")));
    EXPECT_TRUE(alpha->fill(file(L"fine.mp3", "FAIL B")));
}

items::tree_ptr plugin_tree() {
    return tags({L"Music/Genre/Rock"});
}

TEST(TagRequest, AutoTagAndPathChainBelowTheWatchedDirectory) {
    WatchedDir watch;
    watch.path = L"D:\\Watch";
    watch.autotag = 1;
    watch.autotagname = L"Inbox";
    const std::wstring deep = L"D:\\Watch\\x\\y\\f.mp3";
    EXPECT_EQ((names{L"Music/Auto tag/Inbox", L"Music/Genre/Rock", L"Music/Path/x/y"}),
              chains_of(autotag::build_tag_request(plugin_tree(), watch, deep, watch.path.size())));
    // The added subtrees come after the plug-in's own, "Auto tag" first.
    items::tree_ptr request = autotag::build_tag_request(plugin_tree(), watch, deep, watch.path.size());
    ASSERT_EQ(3u, request->children.size());
    EXPECT_EQ(L"Auto tag", request->children[1]->name);
    EXPECT_EQ(L"Path", request->children[2]->name);

    EXPECT_EQ((names{L"Music/Auto tag/Inbox", L"Music/Genre/Rock"}),
              chains_of(autotag::build_tag_request(plugin_tree(), watch, L"D:\\Watch\\f.mp3", watch.path.size())));

    WatchedDir root = watch;
    root.path = L"D:\\";
    EXPECT_EQ((names{L"Music/Auto tag/Inbox", L"Music/Genre/Rock", L"Music/Path/x"}),
              chains_of(autotag::build_tag_request(plugin_tree(), root, L"D:\\x\\f.mp3", root.path.size())));

    WatchedDir off = watch;
    off.autotag = 0;
    EXPECT_EQ((names{L"Music/Genre/Rock"}),
              chains_of(autotag::build_tag_request(plugin_tree(), off, deep, off.path.size())));
}

TEST(TagRequest, NamesThatCannotBeFileNamesAreDropped) {
    WatchedDir watch;
    watch.path = L"D:\\";
    watch.autotag = 1;  // with an empty name: "Auto tag" would hold a nameless tag
    items::tree_ptr tree = tags({L"Music/..", L"Music/.", L"Music/a.", L"Music/CON", L"Music/Only/..", L"Music/Good"});
    tree->children.push_back(items::tree_ptr(new items::tree_node(L"")));
    EXPECT_EQ((names{L"Music/Good"}), chains_of(autotag::build_tag_request(tree, watch, L"D:\\f.mp3", 3)));

    EXPECT_FALSE(autotag::build_tag_request(tags({L"../Escape"}), watch, L"D:\\f.mp3", 3));
    EXPECT_FALSE(autotag::build_tag_request(tags({L"Music/.."}), WatchedDir(), L"D:\\f.mp3", 3));
}

TEST_F(PluginTest, NewFileTakesTheFirstCandidateThatAnswers) {
    struct Case {
        const char* what;
        const wchar_t* file;
        std::string content;
        names enabled;
        names tags;
    };
    const names all = {L"alpha.dll", L"beta.dll", L"other.dll"};
    const std::vector<Case> cases = {
        {"first in load order", L"a.mp3", "", all, {L"Metadata/Plugin/A"}},
        {"first fails, next answers", L"b.mp3", "FAIL A", all, {L"Metadata/Plugin/B"}},
        {"not enabled is not asked", L"c.mp3", "", {L"beta.dll"}, {L"Metadata/Plugin/B"}},
        {"all candidates fail: fallback", L"d.mp3", "FAIL A B", all, {L"Metadata/Plugin/other"}},
        {"case differs: fallback", L"e.JPG", "", all, {L"Metadata/Plugin/other"}},
        {"six units: fallback", L"f.backup", "", all, {L"Metadata/Plugin/other"}},
        {"fallback not enabled", L"g.JPG", "", {L"alpha.dll"}, {}},
        {"fallback fails", L"h.JPG", "FAIL other", all, {}},
        {"failing candidate: fallback", L"i.mp3", "", {L"broken_fill.dll", L"other.dll"}, {L"Metadata/Plugin/other"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        autotag::Settings config;
        config.watch_dirs.push_back(entry(c.enabled));
        const std::wstring path = file(c.file, c.content);
        plugins.tag_new_file(path, config, *db);
        EXPECT_EQ(c.tags, tags_of(path));
    }
}

TEST_F(PluginTest, NewFileGetsAutoTagAndPathAndIsNotAskedTwice) {
    autotag::Settings config;
    config.watch_dirs.push_back(entry({L"alpha.dll"}, true));
    const std::wstring deep = file(L"x\\y\\f.mp3");
    const long before = fill_calls(L"alpha.dll");
    plugins.tag_new_file(deep, config, *db);
    EXPECT_EQ((names{L"Metadata/Auto tag/Inbox", L"Metadata/Path/x/y", L"Metadata/Plugin/A"}), tags_of(deep));
    // Tagged already: no plug-in is asked again.
    plugins.tag_new_file(deep, config, *db);
    EXPECT_EQ(before + 1, fill_calls(L"alpha.dll"));

    // Outside every watched directory nothing happens.
    TempFolder elsewhere;
    const std::wstring outside = elsewhere.path() + L"g.mp3";
    write_file_bytes(outside, "");
    plugins.tag_new_file(outside, config, *db);
    EXPECT_TRUE(tags_of(outside).empty());
    EXPECT_EQ(before + 1, fill_calls(L"alpha.dll"));
}

TEST_F(PluginTest, NewFileBelongsToTheDirectoryThatHoldsItNotToANamePrefix) {
    // "...\Photos" listed before "...\Photos2": a file in the second is no file of the first.
    WatchedDir photos = entry({L"beta.dll"}, true);
    photos.path = files.path() + L"Photos";
    photos.autotagname = L"First";
    WatchedDir photos2 = entry({L"alpha.dll"}, true);
    photos2.path = files.path() + L"Photos2";
    photos2.autotagname = L"Second";
    autotag::Settings config;
    config.watch_dirs = {photos, photos2};

    const std::wstring in_second = file(L"Photos2\\trip\\a.mp3");
    plugins.tag_new_file(in_second, config, *db);
    EXPECT_EQ((names{L"Metadata/Auto tag/Second", L"Metadata/Path/trip", L"Metadata/Plugin/A"}), tags_of(in_second));

    const std::wstring in_first = file(L"Photos\\b.mp3");
    plugins.tag_new_file(in_first, config, *db);
    EXPECT_EQ((names{L"Metadata/Auto tag/First", L"Metadata/Plugin/B"}), tags_of(in_first));

    // A watched path that only occurs inside the file's path, not at its start, holds nothing.
    WatchedDir relative = entry({L"alpha.dll"});
    relative.path = L"Photos2";
    config.watch_dirs = {relative};
    const std::wstring nested = file(L"Photos2\\c.mp3");
    plugins.tag_new_file(nested, config, *db);
    EXPECT_TRUE(tags_of(nested).empty());
}

TEST_F(PluginTest, UnsafeTreeWritesNothingOutsideTheDataFolder) {
    autotag::Settings config;
    config.watch_dirs.push_back(entry({L"alpha.dll"}));
    const std::wstring sibling = L"escaped_" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring escape = file(L"escape.mp3", "..\t" + std::string(sibling.begin(), sibling.end()));
    plugins.tag_new_file(escape, config, *db);
    EXPECT_TRUE(tags_of(escape).empty());
    EXPECT_FALSE(path_exists(folder.path() + L"..\\" + sibling));
    EXPECT_TRUE(folder_entries(folder.path()).empty());

    // A dot-dot scope in the middle goes, the safe part stays.
    const std::wstring mixed = file(L"mixed.mp3", "Music\t..\tx\nMusic\tSafe");
    plugins.tag_new_file(mixed, config, *db);
    EXPECT_EQ((names{L"Music/Safe"}), tags_of(mixed));
}

}  // namespace
