// The folder as Explorer drives it: levels and their identifiers, binding, ordering,
// attributes, names, and how it treats identifiers it did not make.
#include "namespace_fixture.h"

#include "database/nodes.h"
#include "database/tags_holder.h"
#include "namespace/enum_id_list.h"

#include <algorithm>
#include <cstring>

namespace {

const std::wstring filtered = L"Filtered Items";

LPITEMIDLIST const sentinel_pidl = reinterpret_cast<LPITEMIDLIST>(static_cast<std::uintptr_t>(0x5A5A5A5A));
void* const sentinel = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x5A5A5A5A));

std::wstring strret_text(STRRET& s) {
    EXPECT_EQ(static_cast<UINT>(STRRET_WSTR), s.uType);
    std::wstring text = s.pOleStr ? s.pOleStr : L"";
    ::CoTaskMemFree(s.pOleStr);
    return text;
}

short order(HRESULT hr) {
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    return static_cast<short>(HRESULT_CODE(hr));
}

}  // namespace

TEST_F(NamespaceTest, EveryLevelListsItsEntriesInTheDatabaseOrder) {
    util::com_ptr<IShellFolder2> root = top();
    EXPECT_EQ((std::vector<entry>{{1, L"Music", 0}, {1, L"Video", 0}, {1, L"Long", 0}}), entries(list(root.get())));

    EXPECT_EQ((std::vector<entry>{{4, filtered, 4}, {3, L"Genre", 4}, {3, L"Mood", 1}, {2, L"Empty", 0}}),
              entries(list(open({L"Music"}).get())));
    EXPECT_EQ((std::vector<entry>{{4, filtered, 4}, {3, L"Rock", 4}, {3, L"Jazz", 1}}),
              entries(list(open({L"Music", L"Genre"}).get())));
    // An opened tag lists its root's children again, without itself.
    EXPECT_EQ((std::vector<entry>{{4, L"Filtered Items( Rock )", 4}, {3, L"Genre", 4}, {3, L"Mood", 1},
                                  {2, L"Empty", 0}}),
              entries(list(open({L"Music", L"Genre", L"Rock"}).get())));
    // Mood has files, none of them Jazz: still kind 3, with a count of 0.
    EXPECT_EQ((std::vector<entry>{{4, L"Filtered Items( Jazz )", 1}, {3, L"Genre", 1}, {3, L"Mood", 0},
                                  {2, L"Empty", 0}}),
              entries(list(open({L"Music", L"Genre", L"Jazz"}).get())));
}

TEST_F(NamespaceTest, FilteredItemsListsTheTaggedFilesByAscendingId) {
    const std::vector<listed> inside = list(open({L"Music", L"Genre", L"Rock", L"Filtered Items( Rock )"}).get());
    std::vector<std::pair<std::uint32_t, std::wstring> > expected;
    for (const wchar_t* name : {L"song1.mp3", L"song2.mp3", L"both.mp3", L"gone.mp3"}) {
        expected.emplace_back(items::file_id(file(name)), name);
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(expected.size(), inside.size());
    for (std::size_t i = 0; i < inside.size(); ++i) {
        EXPECT_EQ(5, inside[i].kind);
        EXPECT_EQ(expected[i].first, inside[i].file_id);
        EXPECT_EQ(expected[i].second, inside[i].name);
        EXPECT_EQ(0u, inside[i].count);
    }
    // Jazz narrows the same root to its one file.
    const std::vector<listed> jazz = list(open({L"Music", L"Genre", L"Jazz", L"Filtered Items( Jazz )"}).get());
    ASSERT_EQ(1u, jazz.size());
    EXPECT_EQ(L"both.mp3", jazz[0].name);
}

TEST_F(NamespaceTest, IdentifiersAreLaidOutByteForByte) {
    const listed entry = list(open({L"Music"}).get()).at(0);
    // 16 header bytes, "Filtered Items" and its NUL, then the list's two zero bytes.
    const std::uint16_t cb = 16 + 15 * 2;
    std::vector<BYTE> expected(cb + 2, 0);
    std::memcpy(&expected[0], &cb, 2);
    std::memcpy(&expected[2], "mqbx", 4);
    expected[6] = 4;
    expected[12] = 4;
    std::memcpy(&expected[16], filtered.c_str(), filtered.size() * 2);
    EXPECT_EQ(expected, entry.bytes);

    const listed song = find(open({L"Music", L"Genre", L"Jazz", L"Filtered Items( Jazz )"}).get(), L"both.mp3");
    const std::uint32_t id = items::file_id(file(L"both.mp3"));
    ASSERT_EQ(16u + 9 * 2 + 2, song.bytes.size());
    EXPECT_EQ(0, std::memcmp(&song.bytes[2], "mqbx", 4));
    EXPECT_EQ(5, song.bytes[6]);
    EXPECT_EQ(0, song.bytes[7]);
    EXPECT_EQ(0, std::memcmp(&song.bytes[8], &id, 4));
    EXPECT_EQ(0u, song.count);
    EXPECT_EQ(0, song.bytes[song.bytes.size() - 1]);
    EXPECT_EQ(0, song.bytes[song.bytes.size() - 2]);
}

TEST_F(NamespaceTest, EnumeratorFollowsTheFlagsAndTheCallingRules) {
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    // Files come with the folders: no folders asked, nothing listed.
    EXPECT_TRUE(list(top().get(), SHCONTF_NONFOLDERS).empty());
    EXPECT_TRUE(list(top().get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_STORAGE).empty());
    EXPECT_EQ(3u, list(top().get(), SHCONTF_FOLDERS).size());

    util::com_ptr<IEnumIDList> items;
    ASSERT_EQ(S_OK, music->EnumObjects(nullptr, SHCONTF_FOLDERS, items.put()));
    LPITEMIDLIST got[4] = {sentinel_pidl, sentinel_pidl, sentinel_pidl, sentinel_pidl};
    EXPECT_EQ(E_INVALIDARG, items->Next(2, got, nullptr));
    ULONG fetched = 99;
    EXPECT_EQ(S_OK, items->Next(2, got, &fetched));
    EXPECT_EQ(2u, fetched);
    ::CoTaskMemFree(got[0]);
    ::CoTaskMemFree(got[1]);
    fetched = 99;
    EXPECT_EQ(S_FALSE, items->Next(4, got, &fetched));  // two were left
    EXPECT_EQ(2u, fetched);
    ::CoTaskMemFree(got[0]);
    ::CoTaskMemFree(got[1]);
    got[0] = sentinel_pidl;
    EXPECT_EQ(S_FALSE, items->Next(1, got, nullptr));
    EXPECT_EQ(sentinel_pidl, got[0]);

    EXPECT_EQ(S_OK, items->Reset());
    EXPECT_EQ(S_OK, items->Skip(0));
    EXPECT_EQ(S_OK, items->Skip(3));
    EXPECT_EQ(S_FALSE, items->Skip(2));
    IEnumIDList* clone = static_cast<IEnumIDList*>(sentinel);
    EXPECT_EQ(E_NOTIMPL, items->Clone(&clone));
    EXPECT_EQ(nullptr, clone);
    IUnknown* unknown = static_cast<IUnknown*>(sentinel);
    EXPECT_EQ(E_NOINTERFACE, items->QueryInterface(IID_IShellFolder, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(nullptr, unknown);
}

TEST_F(NamespaceTest, EveryEnumerationHasItsOwnListingAndPosition) {
    util::com_ptr<IShellFolder2> root = top();
    util::com_ptr<IEnumIDList> first;
    ASSERT_EQ(S_OK, root->EnumObjects(nullptr, SHCONTF_FOLDERS, first.put()));
    EXPECT_EQ(S_OK, first->Skip(2));

    ASSERT_TRUE(items::tags_holder().set_tags({file(L"notes.txt")}, items::make_chain({L"Zed", L"Z"}),
                                              items::tree_ptr()));
    util::com_ptr<IEnumIDList> without_folders;
    ASSERT_EQ(S_OK, root->EnumObjects(nullptr, SHCONTF_NONFOLDERS, without_folders.put()));
    LPITEMIDLIST pidl = nullptr;
    EXPECT_EQ(S_FALSE, without_folders->Next(1, &pidl, nullptr));
    util::com_ptr<IEnumIDList> second;
    ASSERT_EQ(S_OK, root->EnumObjects(nullptr, SHCONTF_FOLDERS, second.put()));
    EXPECT_NE(first.get(), second.get());
    // The first goes on where it was, over the listing it made.
    ASSERT_EQ(S_OK, first->Next(1, &pidl, nullptr));
    EXPECT_EQ(L"Long", std::wstring(reinterpret_cast<const wchar_t*>(reinterpret_cast<BYTE*>(pidl) + 16)));
    ::CoTaskMemFree(pidl);
    EXPECT_EQ(S_FALSE, first->Next(1, &pidl, nullptr));
    std::vector<std::wstring> names;
    while (second->Next(1, &pidl, nullptr) == S_OK) {
        names.push_back(reinterpret_cast<const wchar_t*>(reinterpret_cast<BYTE*>(pidl) + 16));
        ::CoTaskMemFree(pidl);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Music", L"Video", L"Long", L"Zed"}), names);
}

TEST_F(NamespaceTest, BindingFollowsAWholeListAndKeepsTheAbsoluteList) {
    util::com_ptr<IShellFolder2> root = top();
    const listed music = find(root.get(), L"Music");
    const listed genre = find(open({L"Music"}).get(), L"Genre");
    util::unique_pidl both(::ILCombine(music.pidl(), genre.pidl()));
    util::com_ptr<IShellFolder2> folder = bind(root.get(), both.get());
    ASSERT_TRUE(folder);
    EXPECT_EQ((std::vector<entry>{{4, filtered, 4}, {3, L"Rock", 4}, {3, L"Jazz", 1}}), entries(list(folder.get())));

    util::com_ptr<IPersistFolder2> persist;
    ASSERT_EQ(S_OK, folder->QueryInterface(IID_IPersistFolder2, persist.put_void()));
    LPITEMIDLIST current = nullptr;
    ASSERT_EQ(S_OK, persist->GetCurFolder(&current));
    util::unique_pidl owned(current);
    const std::vector<BYTE> junction = foreign_item();
    util::unique_pidl expected(::ILCombine(reinterpret_cast<LPCITEMIDLIST>(junction.data()), both.get()));
    // Wine's ILIsEqual cannot read foreign items: compare the bytes.
    ASSERT_EQ(::ILGetSize(expected.get()), ::ILGetSize(current));
    EXPECT_EQ(0, std::memcmp(expected.get(), current, ::ILGetSize(current)));

    // BindToStorage binds the same way.
    util::com_ptr<IShellFolder> storage;
    ASSERT_EQ(S_OK, root->BindToStorage(both.get(), nullptr, IID_IShellFolder, storage.put_void()));
    util::com_ptr<IShellFolder2> storage2;
    ASSERT_EQ(S_OK, storage->QueryInterface(IID_IShellFolder2, storage2.put_void()));
    EXPECT_EQ(3u, list(storage2.get()).size());
}

TEST_F(NamespaceTest, ATagWhoseIdentifierIsLongerThan255BytesCanBeOpened) {
    const listed tag = find(open({L"Long"}).get(), long_name());
    ASSERT_EQ(16u + 121 * 2 + 2, tag.bytes.size());  // cb 258
    util::com_ptr<IShellFolder2> folder = bind(open({L"Long"}).get(), tag.pidl());
    ASSERT_TRUE(folder);
    const std::vector<listed> level = list(folder.get());
    ASSERT_FALSE(level.empty());
    EXPECT_EQ(L"Filtered Items( " + long_name() + L" )", level[0].name);
    EXPECT_EQ(1u, level[0].count);
}

TEST_F(NamespaceTest, ForeignAndMalformedIdentifiersAreRefusedWithOutputsCleared) {
    util::com_ptr<IShellFolder2> root = top();
    std::vector<std::vector<BYTE> > bad;
    bad.push_back(foreign_item());
    bad.push_back(make_item(3, L"Rock", 0, 1, "mqbz"));
    std::vector<BYTE> truncated = make_item(3, L"Rock");
    truncated[0] = 10;  // the signature fits, the header does not
    bad.push_back(truncated);
    std::vector<BYTE> unterminated = make_item(3, L"Rock");
    unterminated[0] = static_cast<BYTE>(unterminated[0] - 2);  // the NUL lies outside cb
    bad.push_back(unterminated);
    std::vector<BYTE> tiny(4, 0);
    tiny[0] = 2;  // cb covers only itself
    bad.push_back(tiny);

    const listed good = find(root.get(), L"Music");
    for (const std::vector<BYTE>& item : bad) {
        LPCITEMIDLIST pidl = reinterpret_cast<LPCITEMIDLIST>(item.data());
        void* out = sentinel;
        EXPECT_EQ(E_INVALIDARG, root->BindToObject(pidl, nullptr, IID_IShellFolder, &out));
        EXPECT_EQ(nullptr, out);
        out = sentinel;
        EXPECT_EQ(E_INVALIDARG, root->BindToStorage(pidl, nullptr, IID_IShellFolder, &out));
        EXPECT_EQ(nullptr, out);
        out = sentinel;
        EXPECT_EQ(E_INVALIDARG, root->GetUIObjectOf(nullptr, 1, &pidl, IID_IExtractIconW, nullptr, &out));
        EXPECT_EQ(nullptr, out);
        STRRET name;
        name.uType = STRRET_CSTR;
        EXPECT_EQ(E_INVALIDARG, root->GetDisplayNameOf(pidl, SHGDN_NORMAL, &name));
        EXPECT_EQ(static_cast<UINT>(STRRET_WSTR), name.uType);
        EXPECT_EQ(nullptr, name.pOleStr);
        SFGAOF mask = 0xFFFFFFFF;
        LPCITEMIDLIST pair[2] = {good.pidl(), pidl};
        EXPECT_EQ(E_INVALIDARG, root->GetAttributesOf(2, pair, &mask));
        EXPECT_EQ(0xFFFFFFFFu, mask);
        EXPECT_EQ(E_INVALIDARG, root->CompareIDs(0, good.pidl(), pidl));
        EXPECT_EQ(E_INVALIDARG, root->CompareIDs(0, pidl, good.pidl()));
        SHELLDETAILS details;
        details.str.uType = STRRET_CSTR;
        EXPECT_EQ(E_INVALIDARG, root->GetDetailsOf(pidl, 1, &details));
        EXPECT_EQ(nullptr, details.str.pOleStr);
        util::com_ptr<IShellIcon> icon;
        ASSERT_EQ(S_OK, root->QueryInterface(IID_IShellIcon, icon.put_void()));
        int index = 77;
        EXPECT_EQ(E_INVALIDARG, icon->GetIconOf(pidl, 0, &index));
    }
    // A good first item followed by a bad one: the bad one is refused when its turn comes.
    std::vector<BYTE> chain(good.bytes.begin(), good.bytes.end() - 2);
    chain.insert(chain.end(), bad[0].begin(), bad[0].end());
    void* out = sentinel;
    EXPECT_EQ(E_INVALIDARG, root->BindToObject(reinterpret_cast<LPCITEMIDLIST>(chain.data()), nullptr,
                                               IID_IShellFolder, &out));
    EXPECT_EQ(nullptr, out);
    out = sentinel;
    EXPECT_EQ(E_NOINTERFACE, root->BindToObject(good.pidl(), nullptr, IID_IShellView, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(NamespaceTest, CompareIDsOrdersByNameUnitsLongerPrefixFirst) {
    util::com_ptr<IShellFolder2> root = top();
    const std::vector<BYTE> abc = make_item(3, L"abc"), ab = make_item(3, L"ab"), b = make_item(3, L"b");
    const std::vector<BYTE> high = make_item(3, L"\u00e9"), z = make_item(3, L"Z");
    const std::vector<BYTE> same_file = make_item(5, L"ab", 1234), same_tag = make_item(3, L"ab", 0, 7);
    auto id = [](const std::vector<BYTE>& v) { return reinterpret_cast<LPCITEMIDLIST>(v.data()); };

    EXPECT_EQ(-1, order(root->CompareIDs(0, id(abc), id(ab))));
    EXPECT_EQ(1, order(root->CompareIDs(0, id(ab), id(abc))));
    EXPECT_EQ(-1, order(root->CompareIDs(0, id(ab), id(b))));
    EXPECT_EQ(1, order(root->CompareIDs(0, id(b), id(abc))));
    // Unsigned units, no case folding: "Z" (0x5A) before "b" (0x62) before U+00E9.
    EXPECT_EQ(-1, order(root->CompareIDs(0, id(z), id(b))));
    EXPECT_EQ(1, order(root->CompareIDs(0, id(high), id(b))));
    // Items without tags sort by the Tags column in this same order.
    EXPECT_EQ(-1, order(root->CompareIDs(3, id(abc), id(ab))));
    // One and the same item is equal, also as another copy of its bytes; distinct items with
    // one name are not, and their order is antisymmetric.
    const std::vector<BYTE> ab_again = make_item(3, L"ab"), other_file = make_item(5, L"ab", 99);
    EXPECT_EQ(0, order(root->CompareIDs(0, id(ab), id(ab))));
    EXPECT_EQ(0, order(root->CompareIDs(0, id(ab), id(ab_again))));
    for (const auto& pair : {std::make_pair(&same_file, &same_tag), std::make_pair(&same_file, &other_file)}) {
        const int forward = order(root->CompareIDs(0, id(*pair.first), id(*pair.second)));
        EXPECT_NE(0, forward);
        EXPECT_EQ(-forward, order(root->CompareIDs(0, id(*pair.second), id(*pair.first))));
    }
}

TEST_F(NamespaceTest, AttributesFollowTheKindAndGhostAMissingFile) {
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    util::com_ptr<IShellFolder2> files = open({L"Music", L"Genre", L"Rock", L"Filtered Items( Rock )"});
    auto attributes = [](IShellFolder2* folder, const std::vector<const listed*>& list_of) {
        std::vector<LPCITEMIDLIST> pidls;
        for (const listed* item : list_of) pidls.push_back(item->pidl());
        SFGAOF mask = 0xFFFFFFFF;
        EXPECT_EQ(S_OK, folder->GetAttributesOf(static_cast<UINT>(pidls.size()), pidls.data(), &mask));
        return mask;
    };
    const listed root_tag = find(top().get(), L"Music");
    const listed fi = find(music.get(), filtered), genre = find(music.get(), L"Genre"),
                 empty = find(music.get(), L"Empty");
    const listed song = find(files.get(), L"song1.mp3"), gone = find(files.get(), L"gone.mp3");
    const listed rock = find(open({L"Music", L"Genre"}).get(), L"Rock");

    EXPECT_EQ(0xA0000000u, attributes(top().get(), {&root_tag}));
    EXPECT_EQ(0xA0000000u, attributes(music.get(), {&empty}));
    // A tag level lists "Filtered Items" and tags below it, whether it has child tags (Genre)
    // or not (Rock); "Filtered Items" holds files alone.
    EXPECT_EQ(0xA0000000u, attributes(music.get(), {&genre}));
    EXPECT_EQ(0xA0000000u, attributes(open({L"Music", L"Genre"}).get(), {&rock}));
    EXPECT_EQ(0x20000000u, attributes(music.get(), {&fi}));
    EXPECT_EQ(0x40000001u, attributes(files.get(), {&song}));
    EXPECT_EQ(0x40008001u, attributes(files.get(), {&gone}));
    EXPECT_EQ(0x40000001u, attributes(files.get(), {&song, &gone}));
    EXPECT_EQ(0u, attributes(files.get(), {&song, &genre}));

    // A file the database no longer knows is ghosted too.
    const std::vector<BYTE> unknown = make_item(5, L"x.mp3", 0x1234567);
    listed stray;
    stray.bytes = unknown;
    EXPECT_EQ(0x40008001u, attributes(files.get(), {&stray}));

    // The mask is only narrowed, and left alone for no items.
    SFGAOF mask = SFGAO_FOLDER | SFGAO_CANCOPY;
    LPCITEMIDLIST one = song.pidl();
    EXPECT_EQ(S_OK, files->GetAttributesOf(1, &one, &mask));
    EXPECT_EQ(static_cast<SFGAOF>(SFGAO_CANCOPY), mask);
    mask = 0x1234;
    EXPECT_EQ(S_OK, files->GetAttributesOf(0, nullptr, &mask));
    EXPECT_EQ(0x1234u, mask);
}

TEST_F(NamespaceTest, DisplayNamesAndParsingNames) {
    util::com_ptr<IShellFolder2> files = open({L"Music", L"Genre", L"Rock", L"Filtered Items( Rock )"});
    const listed song = find(files.get(), L"song1.mp3");
    STRRET name;
    ASSERT_EQ(S_OK, files->GetDisplayNameOf(song.pidl(), SHGDN_NORMAL, &name));
    EXPECT_EQ(L"song1.mp3", strret_text(name));
    ASSERT_EQ(S_OK, files->GetDisplayNameOf(song.pidl(), SHGDN_FORPARSING | SHGDN_INFOLDER, &name));
    EXPECT_EQ(L"song1.mp3", strret_text(name));
    // A file-system item is parsed by its path.
    ASSERT_EQ(S_OK, files->GetDisplayNameOf(song.pidl(), SHGDN_FORPARSING, &name));
    EXPECT_EQ(file(L"song1.mp3"), strret_text(name));
    ASSERT_EQ(S_OK, files->GetDisplayNameOf(song.pidl(), SHGDN_FORPARSING | SHGDN_FORADDRESSBAR, &name));
    EXPECT_EQ(file(L"song1.mp3"), strret_text(name));

    // A tag level: the desktop's name of the folder's own place (here the "::{CLSID}" of the
    // fixture's stand-in junction), then the levels' names.
    util::com_ptr<IShellFolder2> root = top();
    const listed music = find(root.get(), L"Music");
    ASSERT_EQ(S_OK, root->GetDisplayNameOf(music.pidl(), SHGDN_FORPARSING, &name));
    const std::wstring music_name = strret_text(name);
    EXPECT_EQ(0u, music_name.find(L"::{"));
    EXPECT_EQ(L"}\\Music", music_name.substr(music_name.size() - 7));
    ASSERT_EQ(S_OK, files->GetDisplayNameOf(find(files.get(), L"gone.mp3").pidl(), SHGDN_FORPARSING, &name));
    EXPECT_EQ(file(L"gone.mp3"), strret_text(name)) << "a file deleted on disk keeps its path";
}

TEST_F(NamespaceTest, PersistenceAndInterfaceIdentity) {
    util::com_ptr<ShellNamespace::CShellFolder> folder =
        util::com_ptr<ShellNamespace::CShellFolder>::attach(ShellNamespace::CShellFolder::create());
    ASSERT_TRUE(folder);
    CLSID clsid = {};
    EXPECT_EQ(S_OK, folder->GetClassID(&clsid));
    const CLSID expected = {0x6A1F3C52, 0x9D4E, 0x4B7A, {0x8C, 0x21, 0x3E, 0x5D, 0x7F, 0x9A, 0x0B, 0x64}};
    EXPECT_TRUE(IsEqualCLSID(expected, clsid));

    LPITEMIDLIST current = sentinel_pidl;
    EXPECT_EQ(E_FAIL, folder->GetCurFolder(&current));
    EXPECT_EQ(nullptr, current);
    EXPECT_EQ(E_INVALIDARG, folder->Initialize(nullptr));

    const IID asked[] = {IID_IUnknown, IID_IShellFolder, IID_IShellFolder2, IID_IPersist, IID_IPersistFolder,
                         IID_IPersistFolder2, IID_IShellIcon};
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, folder->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    for (const IID& iid : asked) {
        util::com_ptr<IUnknown> got;
        ASSERT_EQ(S_OK, folder->QueryInterface(iid, got.put_void()));
        util::com_ptr<IUnknown> back;
        ASSERT_EQ(S_OK, got->QueryInterface(IID_IUnknown, back.put_void()));
        EXPECT_EQ(identity, back.get());
    }
    identity->Release();
    for (const IID& iid : {IID_IShellView, IID_IContextMenu, IID_IDataObject, IID_IExtractIconW}) {
        void* out = sentinel;
        EXPECT_EQ(E_NOINTERFACE, folder->QueryInterface(iid, &out));
        EXPECT_EQ(nullptr, out);
    }
}

TEST_F(NamespaceTest, ReferenceCountsBalance) {
    ShellNamespace::CShellFolder* folder = ShellNamespace::CShellFolder::create();
    ASSERT_NE(nullptr, folder);
    const std::vector<BYTE> junction = foreign_item();
    ASSERT_EQ(S_OK, folder->Initialize(reinterpret_cast<LPCITEMIDLIST>(junction.data())));
    EXPECT_EQ(2u, folder->AddRef());
    EXPECT_EQ(1u, folder->Release());

    // An enumerator holds its caller's reference only.
    IEnumIDList* items = nullptr;
    ASSERT_EQ(S_OK, folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items));
    EXPECT_EQ(2u, items->AddRef());
    EXPECT_EQ(1u, items->Release());
    EXPECT_EQ(0u, items->Release());

    // A bound folder comes back with the caller's reference only.
    LPITEMIDLIST first = nullptr;
    ASSERT_EQ(S_OK, folder->EnumObjects(nullptr, SHCONTF_FOLDERS, &items));
    ASSERT_EQ(S_OK, items->Next(1, &first, nullptr));
    EXPECT_EQ(0u, items->Release());
    IShellFolder* child = nullptr;
    ASSERT_EQ(S_OK, folder->BindToObject(first, nullptr, IID_IShellFolder, reinterpret_cast<void**>(&child)));
    ::CoTaskMemFree(first);
    EXPECT_EQ(2u, child->AddRef());
    EXPECT_EQ(1u, child->Release());
    EXPECT_EQ(0u, child->Release());

    // Objects handed out by the folder hold no reference to it.
    EXPECT_EQ(0u, folder->Release());
}

// A query typed after the folder, as Explorer's address bar passes the rest of
// "::{CLSID}\<query>": it names a level that lists the matching files of every root tag, shows
// the query as its name, follows later changes, and a query that cannot be read is refused.
TEST_F(NamespaceTest, AParsedQueryNamesALevelOfTheMatchingFiles) {
    util::com_ptr<IShellFolder2> root = top();
    std::wstring text = L"(Music/Genre/Rock and not Music/Genre/Jazz or Video) and not Long";
    util::unique_pidl query;
    ULONG eaten = 0;
    ULONG attributes = SFGAO_FOLDER | SFGAO_FILESYSTEM;
    ASSERT_EQ(S_OK, root->ParseDisplayName(nullptr, nullptr, &text[0], &eaten, query.put(), &attributes));
    EXPECT_EQ(text.size(), eaten);
    EXPECT_EQ(static_cast<ULONG>(SFGAO_FOLDER), attributes);
    STRRET name;
    ASSERT_EQ(S_OK, root->GetDisplayNameOf(query.get(), SHGDN_NORMAL, &name));
    EXPECT_EQ(text, strret_text(name));

    // Sorted by path; song1.mp3 also carries Long, both.mp3 carries Jazz.
    util::com_ptr<IShellFolder2> level = bind(root.get(), query.get());
    ASSERT_TRUE(level);
    const std::vector<listed> found = list(level.get());
    const std::vector<std::wstring> expected = {L"clips", L"gone.mp3", L"notes.txt", L"song2.mp3"};
    ASSERT_EQ(expected.size(), found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(5, found[i].kind);
        EXPECT_EQ(expected[i], found[i].name);
        EXPECT_EQ(items::file_id(file(expected[i])), found[i].file_id);
    }
    // The parsing name in the folder comes back as the same level, and a change of the tags
    // shows at the next listing.
    ASSERT_EQ(S_OK, root->GetDisplayNameOf(query.get(), SHGDN_FORPARSING | SHGDN_INFOLDER, &name));
    std::wstring again = strret_text(name);
    util::unique_pidl reparsed;
    ASSERT_EQ(S_OK, root->ParseDisplayName(nullptr, nullptr, &again[0], nullptr, reparsed.put(), nullptr));
    ASSERT_TRUE(items::tags_holder().set_tags({file(L"both.mp3")}, items::make_chain({L"Video", L"Clips"}),
                                              items::tree_ptr()));
    EXPECT_EQ(5u, list(bind(root.get(), reparsed.get()).get()).size());

    for (const wchar_t* bad : {L"Music and (Video", L"", L"or Music", L"\"Music"}) {
        std::wstring wrong = bad;
        LPITEMIDLIST refused = sentinel_pidl;
        eaten = 7;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_NAME),
                  root->ParseDisplayName(nullptr, nullptr, &wrong[0], &eaten, &refused, nullptr));
        EXPECT_EQ(nullptr, refused);
        EXPECT_EQ(0u, eaten);
    }
    // A query level whose identifier was not made here and cannot be read lists nothing.
    const std::vector<BYTE> forged = make_item(6, L"?Music and");
    EXPECT_TRUE(list(bind(root.get(), reinterpret_cast<LPCITEMIDLIST>(forged.data())).get()).empty());
}

namespace {

// {0B9F2E61-7C3A-4D58-9E14-6A2B8C0D3F71}: a class of this test alone, so that the desktop can
// make the folder without the module being registered.
const CLSID test_class = {0x0B9F2E61, 0x7C3A, 0x4D58, {0x9E, 0x14, 0x6A, 0x2B, 0x8C, 0x0D, 0x3F, 0x71}};
// Written to HKEY_CLASSES_ROOT itself: Wine 8 does not show HKCU\\Software\\Classes there.
const wchar_t test_class_key[] = L"CLSID\\{0B9F2E61-7C3A-4D58-9E14-6A2B8C0D3F71}";

class FolderFactory final : public IClassFactory {
public:
    IFACEMETHODIMP QueryInterface(REFIID riid, void** out) override {
        *out = (riid == IID_IUnknown || riid == IID_IClassFactory) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return 2; }
    IFACEMETHODIMP_(ULONG) Release() override { return 1; }
    IFACEMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        ShellNamespace::CShellFolder* folder = ShellNamespace::CShellFolder::create();
        if (!folder) return E_OUTOFMEMORY;
        const HRESULT hr = folder->QueryInterface(riid, out);
        folder->Release();
        return hr;
    }
    IFACEMETHODIMP LockServer(BOOL) override { return S_OK; }
};

// The folder reachable from the desktop as "::{test class}", as a junction of the desktop's
// namespace is: the shell looks for the class's InprocServer32 key, then asks COM, which finds
// the class object registered here.
class DesktopJunction {
public:
    DesktopJunction() {
        EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueW(HKEY_CLASSES_ROOT, (std::wstring(test_class_key) + L"\\InprocServer32").c_str(),
                                               REG_SZ, L"namespace_test.exe", 0));
        EXPECT_EQ(S_OK, ::CoRegisterClassObject(test_class, &factory_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_));
        EXPECT_EQ(S_OK, ::SHParseDisplayName(L"::{0B9F2E61-7C3A-4D58-9E14-6A2B8C0D3F71}", nullptr, pidl_.put(), 0, nullptr));
    }
    ~DesktopJunction() {
        ::CoRevokeClassObject(cookie_);
        ::RegDeleteTreeW(HKEY_CLASSES_ROOT, test_class_key);
    }
    LPCITEMIDLIST pidl() const { return pidl_.get(); }

private:
    FolderFactory factory_;
    DWORD cookie_ = 0;
    util::unique_pidl pidl_;
};

std::vector<BYTE> bytes_of(LPCITEMIDLIST pidl) {
    const BYTE* start = reinterpret_cast<const BYTE*>(pidl);
    return pidl ? std::vector<BYTE>(start, start + ::ILGetSize(pidl)) : std::vector<BYTE>();
}

std::wstring item_name(LPCITEMIDLIST absolute, SIGDN form) {
    util::com_ptr<IShellItem> item;
    EXPECT_EQ(S_OK, ::SHCreateItemFromIDList(absolute, IID_IShellItem, item.put_void()));
    if (!item) return std::wstring();
    wchar_t* text = nullptr;
    EXPECT_EQ(S_OK, item->GetDisplayName(form, &text));
    util::unique_cotaskmem owned(text);
    return text ? text : L"";
}

}  // namespace

// Through the desktop, as the address bar, the panes and programs handed an item see it: a
// file's path, and a tag level's name that parses back to the same list.
TEST_F(NamespaceTest, ParsingNamesGiveTheFilesPathAndComeBackThroughTheDesktop) {
    DesktopJunction junction;
    ASSERT_TRUE(junction.pidl());
    util::com_ptr<IShellFolder> desktop;
    ASSERT_EQ(S_OK, ::SHGetDesktopFolder(desktop.put()));
    util::com_ptr<IShellFolder2> root;
    ASSERT_EQ(S_OK, desktop->BindToObject(junction.pidl(), nullptr, IID_IShellFolder2, root.put_void()));

    util::unique_pidl place(::ILClone(junction.pidl()));
    util::com_ptr<IShellFolder2> folder = root;
    const std::wstring rock_files = L"Filtered Items( Rock )";
    std::vector<util::unique_pidl> levels;  // Music, Music\Genre, ... as absolute lists
    for (const std::wstring& name : {std::wstring(L"Music"), std::wstring(L"Genre"), std::wstring(L"Rock"), rock_files}) {
        const listed item = find(folder.get(), name);
        ASSERT_FALSE(item.bytes.empty());
        place.reset(::ILCombine(place.get(), item.pidl()));
        levels.emplace_back(::ILClone(place.get()));
        folder = bind(folder.get(), item.pidl());
        ASSERT_TRUE(folder);
    }
    const listed song = find(folder.get(), L"song1.mp3");
    util::unique_pidl song_list(::ILCombine(place.get(), song.pidl()));
    EXPECT_EQ(file(L"song1.mp3"), item_name(song_list.get(), SIGDN_FILESYSPATH));
    EXPECT_EQ(file(L"song1.mp3"), item_name(song_list.get(), SIGDN_DESKTOPABSOLUTEPARSING));

    const std::wstring top_name = L"::{0B9F2E61-7C3A-4D58-9E14-6A2B8C0D3F71}";
    const struct {
        std::size_t level;
        std::wstring name;
    } cases[] = {{1, top_name + L"\\Music\\Genre"}, {3, top_name + L"\\Music\\Genre\\Rock\\" + rock_files}};
    for (const auto& c : cases) {
        const LPCITEMIDLIST absolute = levels[c.level].get();
        // Wine's desktop writes the class in lower case, Windows' in upper case.
        std::wstring shown = item_name(absolute, SIGDN_DESKTOPABSOLUTEPARSING);
        ::CharUpperBuffW(&shown[0], static_cast<DWORD>(top_name.size()));
        EXPECT_EQ(c.name, shown);
        util::unique_pidl parsed;
        SFGAOF attributes = 0;
        ASSERT_EQ(S_OK, ::SHParseDisplayName(c.name.c_str(), nullptr, parsed.put(), SFGAO_FOLDER | SFGAO_HASSUBFOLDER,
                                             &attributes));
        EXPECT_EQ(bytes_of(absolute), bytes_of(parsed.get()));
        EXPECT_EQ(static_cast<SFGAOF>(c.level == 1 ? SFGAO_FOLDER | SFGAO_HASSUBFOLDER : SFGAO_FOLDER), attributes);
    }
    // Names as typed: another case, a trailing backslash.
    util::unique_pidl typed;
    ASSERT_EQ(S_OK, ::SHParseDisplayName((top_name + L"\\music\\GENRE\\").c_str(), nullptr, typed.put(), 0, nullptr));
    EXPECT_EQ(bytes_of(levels[1].get()), bytes_of(typed.get()));

    // A query typed after the folder is still one level of the matching files.
    util::unique_pidl query;
    ASSERT_EQ(S_OK, ::SHParseDisplayName((top_name + L"\\Music/Genre/Jazz").c_str(), nullptr, query.put(), 0, nullptr));
    util::com_ptr<IShellFolder2> query_level;
    ASSERT_EQ(S_OK, desktop->BindToObject(query.get(), nullptr, IID_IShellFolder2, query_level.put_void()));
    const std::vector<listed> jazz = list(query_level.get());
    ASSERT_EQ(1u, jazz.size());
    EXPECT_EQ(L"both.mp3", jazz[0].name);

    // An unknown name below the top is refused, with the outputs cleared.
    for (const wchar_t* unknown : {L"Music\\Nope", L"Music\\Genre\\Rock\\Nope", L"Video\\Clips\\Filtered Items\\notes.txt\\x"}) {
        std::wstring name = unknown;
        LPITEMIDLIST refused = sentinel_pidl;
        ULONG eaten = 7;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                  root->ParseDisplayName(nullptr, nullptr, &name[0], &eaten, &refused, nullptr));
        EXPECT_EQ(nullptr, refused);
        EXPECT_EQ(0u, eaten);
    }
}

// The navigation pane asks for folders alone, a file dialog may ask for files alone.
TEST_F(NamespaceTest, ListingsGiveFoldersAndFilesAsAsked) {
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    util::com_ptr<IShellFolder2> files = open({L"Music", L"Genre", L"Rock", L"Filtered Items( Rock )"});
    EXPECT_EQ(4u, list(music.get(), SHCONTF_FOLDERS).size());
    EXPECT_TRUE(list(music.get(), SHCONTF_NONFOLDERS).empty());
    EXPECT_TRUE(list(files.get(), SHCONTF_FOLDERS).empty());
    const std::vector<listed> only_files = list(files.get(), SHCONTF_NONFOLDERS);
    ASSERT_EQ(4u, only_files.size());
    for (const listed& item : only_files) EXPECT_EQ(5, item.kind);
    EXPECT_EQ(only_files.size(), list(files.get(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS).size());
    EXPECT_TRUE(list(files.get(), 0).empty());
}

// A right click in empty space of the view shows the system's own menu of the folder.
TEST_F(NamespaceTest, TheViewsBackgroundMenuIsTheSystemsOwn) {
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    util::com_ptr<IContextMenu> menu;
    ASSERT_EQ(S_OK, music->CreateViewObject(nullptr, IID_IContextMenu, menu.put_void()));
    util::unique_hmenu popup(::CreatePopupMenu());
    const UINT first = 100, last = 0x7FFF;
    const HRESULT hr = menu->QueryContextMenu(popup.get(), 0, first, last, CMF_NORMAL);
    ASSERT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    const int count = ::GetMenuItemCount(popup.get());
    for (int i = 0; i < count; ++i) {
        const UINT id = ::GetMenuItemID(popup.get(), i);
        // Submenus (View, Sort by) and separators carry no id of their own.
        if (id != static_cast<UINT>(-1) && id != 0) {
            EXPECT_GE(id, first);
            EXPECT_LT(id, first + HRESULT_CODE(hr));
        }
    }
    // Wine 8's SHCreateDefaultContextMenu makes an item menu even for no items, which adds
    // nothing; its own view builds the background menu itself and never asks the folder.
    const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    if (!wine) EXPECT_GT(count, 0);
}
