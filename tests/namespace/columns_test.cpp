// The details view: column headers, states and property keys, every cell as text and as a typed
// value, the order of items by column and level, and the icons of each kind of item.
#include "namespace_fixture.h"

#include "database/nodes.h"
#include "database/tags_holder.h"

#include <shlwapi.h>

#include <initializer_list>

namespace {

void* const sentinel = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x5A5A5A5A));

// The cell text, or "E_FAIL" / the failing code.
std::wstring cell(IShellFolder2* folder, LPCITEMIDLIST item, UINT column) {
    SHELLDETAILS details;
    details.fmt = -7;
    details.cxChar = -7;
    details.str.uType = STRRET_CSTR;
    const HRESULT hr = folder->GetDetailsOf(item, column, &details);
    if (FAILED(hr)) {
        EXPECT_EQ(nullptr, details.str.pOleStr);
        return hr == E_FAIL ? L"E_FAIL" : L"failed " + std::to_wstring(hr);
    }
    EXPECT_EQ(static_cast<UINT>(STRRET_WSTR), details.str.uType);
    std::wstring text = details.str.pOleStr;
    ::CoTaskMemFree(details.str.pOleStr);
    return text;
}

struct location {
    std::wstring file;
    int index;
    UINT flags;
};

location icon_location(IShellFolder2* folder, LPCITEMIDLIST item) {
    location result = {L"", -1, 0};
    util::com_ptr<IExtractIconW> icon;
    EXPECT_EQ(S_OK, folder->GetUIObjectOf(nullptr, 1, &item, IID_IExtractIconW, nullptr, icon.put_void()));
    if (!icon) return result;
    wchar_t file[MAX_PATH] = L"";
    EXPECT_EQ(S_OK, icon->GetIconLocation(0, file, MAX_PATH, &result.index, &result.flags));
    result.file = file;
    return result;
}

std::wstring own_module() {
    wchar_t path[MAX_PATH] = L"";
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

bool is_shell32(const std::wstring& path) {
    return path.size() > 21 && ::lstrcmpiW(path.c_str() + path.size() - 21, L"\\system32\\SHELL32.dll") == 0;
}

short order(HRESULT hr) {
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    return static_cast<short>(HRESULT_CODE(hr));
}

LPCITEMIDLIST id(const std::vector<BYTE>& bytes) { return reinterpret_cast<LPCITEMIDLIST>(bytes.data()); }

// a against b, with the lParam `how`, gives `expected`; b against a its opposite.
struct comparison {
    LPARAM how;
    const std::vector<BYTE>* a;
    const std::vector<BYTE>* b;
    int expected;
};

void expect_orders(IShellFolder* folder, std::initializer_list<comparison> cases) {
    for (const comparison& c : cases) {
        EXPECT_EQ(c.expected, order(folder->CompareIDs(c.how, id(*c.a), id(*c.b)))) << std::hex << c.how;
        EXPECT_EQ(-c.expected, order(folder->CompareIDs(c.how, id(*c.b), id(*c.a)))) << std::hex << c.how;
    }
}

// One list of the items given, from the first level down.
std::vector<BYTE> list_of(std::initializer_list<const std::vector<BYTE>*> items) {
    std::vector<BYTE> joined;
    for (const std::vector<BYTE>* item : items) joined.insert(joined.end(), item->begin(), item->end() - 2);
    joined.insert(joined.end(), 2, 0);
    return joined;
}

// The cell through its property key, as the text GetDetailsOf gives (or "E_FAIL"); the type of
// each column's value is checked on the way.
std::wstring value_text(IShellFolder2* folder, LPCITEMIDLIST item, UINT column) {
    SHCOLUMNID key = {};
    EXPECT_EQ(S_OK, folder->MapColumnToSCID(column, &key));
    VARIANT value;
    value.vt = VT_I4;
    value.lVal = 77;
    const HRESULT hr = folder->GetDetailsEx(item, &key, &value);
    if (FAILED(hr)) {
        EXPECT_EQ(VT_EMPTY, value.vt);
        return hr == E_FAIL ? L"E_FAIL" : L"failed " + std::to_wstring(hr);
    }
    const VARTYPE types[] = {VT_BSTR, VT_UI4, VT_BSTR, VT_ARRAY | VT_BSTR};
    EXPECT_EQ(types[column], value.vt);
    std::wstring text;
    if (value.vt == VT_BSTR) {
        text = value.bstrVal;
    } else if (value.vt == VT_UI4) {
        text = std::to_wstring(value.ulVal);
    } else if (value.vt == (VT_ARRAY | VT_BSTR)) {
        LONG low = 0, high = -1;
        EXPECT_EQ(1u, ::SafeArrayGetDim(value.parray));
        ::SafeArrayGetLBound(value.parray, 1, &low);
        ::SafeArrayGetUBound(value.parray, 1, &high);
        text = L"( ";
        for (LONG i = low; i <= high; ++i) {
            BSTR tag = nullptr;
            EXPECT_EQ(S_OK, ::SafeArrayGetElement(value.parray, &i, &tag));
            if (i != low) text += L", ";
            text += tag ? tag : L"";
            ::SysFreeString(tag);
        }
        text += L" )";
    }
    EXPECT_EQ(S_OK, ::VariantClear(&value));
    return text;
}

void write_file(const std::wstring& path) {
    util::unique_file f(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f.valid());
}

}  // namespace

TEST_F(NamespaceTest, ColumnHeadersAndStates) {
    util::com_ptr<IShellFolder2> root = top();
    const wchar_t* headers[] = {L"Name", L"Items count", L"Path", L"Tags"};
    const SHCOLSTATEF states[] = {0x11, 0x1, 0x2, 0x1};
    for (UINT column = 0; column < 4; ++column) {
        EXPECT_EQ(headers[column], cell(root.get(), nullptr, column));
        SHCOLSTATEF state = 0xDEAD;
        EXPECT_EQ(S_OK, root->GetDefaultColumnState(column, &state));
        EXPECT_EQ(states[column], state);
    }
    EXPECT_EQ(L"E_FAIL", cell(root.get(), nullptr, 4));
    SHCOLSTATEF state = 0xDEAD;
    EXPECT_EQ(E_INVALIDARG, root->GetDefaultColumnState(4, &state));
    EXPECT_EQ(0xDEADu, state);
    // The view starts sorted by name and names items in the first column.
    ULONG sort = 7, display = 7;
    EXPECT_EQ(S_OK, root->GetDefaultColumn(0, &sort, &display));
    EXPECT_EQ(0u, sort);
    EXPECT_EQ(0u, display);
}

TEST_F(NamespaceTest, CellsOfEveryKindOfItem) {
    util::com_ptr<IShellFolder2> root = top();
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    util::com_ptr<IShellFolder2> files = open({L"Music", L"Genre", L"Rock", L"Filtered Items( Rock )"});
    const listed root_tag = find(root.get(), L"Music");
    const listed fi = find(music.get(), L"Filtered Items"), genre = find(music.get(), L"Genre"),
                 empty = find(music.get(), L"Empty");
    const listed both = find(files.get(), L"both.mp3"), song2 = find(files.get(), L"song2.mp3"),
                 song1 = find(files.get(), L"song1.mp3");
    const std::wstring folder = files_.substr(0, files_.size() - 1);

    struct row {
        const listed* item;
        std::wstring cells[4];
    } rows[] = {
        {&root_tag, {L"Music", L"E_FAIL", L"E_FAIL", L"E_FAIL"}},
        {&fi, {L"Filtered Items", L"4", L"E_FAIL", L"E_FAIL"}},
        {&genre, {L"Genre", L"4", L"E_FAIL", L"E_FAIL"}},
        {&empty, {L"Empty", L"E_FAIL", L"E_FAIL", L"E_FAIL"}},
        {&both, {L"both.mp3", L"E_FAIL", folder, L"( Rock, Jazz )"}},
        // Tags in two scopes, in tree order.
        {&song2, {L"song2.mp3", L"E_FAIL", folder, L"( Rock, Calm )"}},
        // Tagged under two roots: the first root that knows the file answers.
        {&song1, {L"song1.mp3", L"E_FAIL", folder, L"( Rock )"}},
    };
    for (const row& r : rows) {
        for (UINT column = 0; column < 4; ++column) {
            EXPECT_EQ(r.cells[column], cell(files.get(), r.item->pidl(), column))
                << std::string(r.item->name.begin(), r.item->name.end()) << " column " << column;
        }
        EXPECT_EQ(L"E_FAIL", cell(files.get(), r.item->pidl(), 4));
    }

    // Counts are plain digits; a filter view of count 0 shows nothing.
    const std::vector<BYTE> big = make_item(3, L"x", 0, 1234567), none = make_item(3, L"|Rock|Jazz", 0, 0);
    EXPECT_EQ(L"1234567", cell(root.get(), reinterpret_cast<LPCITEMIDLIST>(big.data()), 1));
    EXPECT_EQ(L"E_FAIL", cell(root.get(), reinterpret_cast<LPCITEMIDLIST>(none.data()), 1));
    // A file the database does not know has no path and no tags.
    const std::vector<BYTE> stray = make_item(5, L"x.mp3", 0x1234567);
    EXPECT_EQ(L"E_FAIL", cell(root.get(), reinterpret_cast<LPCITEMIDLIST>(stray.data()), 2));
    EXPECT_EQ(L"E_FAIL", cell(root.get(), reinterpret_cast<LPCITEMIDLIST>(stray.data()), 3));
}

TEST_F(NamespaceTest, IconIndexesFromTheSystemImageList) {
    util::com_ptr<IShellFolder2> clips = open({L"Video", L"Clips", L"Filtered Items( Clips )"});
    util::com_ptr<IShellIcon> icons;
    ASSERT_EQ(S_OK, clips->QueryInterface(IID_IShellIcon, icons.put_void()));
    const listed folder = find(clips.get(), L"clips"), notes = find(clips.get(), L"notes.txt");
    int index = -1;
    EXPECT_EQ(S_OK, icons->GetIconOf(folder.pidl(), 0, &index));
    EXPECT_EQ(3, index);
    index = -1;
    EXPECT_EQ(S_OK, icons->GetIconOf(notes.pidl(), 0, &index));
    EXPECT_GE(index, 0);
    EXPECT_NE(3, index);
    // Gone from the database: the view falls back to IExtractIconW.
    const std::vector<BYTE> stray = make_item(5, L"x.mp3", 0x1234567);
    EXPECT_EQ(S_FALSE, icons->GetIconOf(reinterpret_cast<LPCITEMIDLIST>(stray.data()), 0, &index));
}

TEST_F(NamespaceTest, IconObjectsByKindAndByFile) {
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    util::com_ptr<IShellFolder2> clips = open({L"Video", L"Clips", L"Filtered Items( Clips )"});
    const std::wstring module = own_module();
    struct expected_icon {
        listed item;
        int index;
    } by_kind[] = {
        {find(top().get(), L"Music"), 2},
        {find(music.get(), L"Empty"), 3},
        {find(music.get(), L"Genre"), 4},
        {find(music.get(), L"Filtered Items"), 0},
    };
    util::com_ptr<IShellIcon> icons;
    ASSERT_EQ(S_OK, music->QueryInterface(IID_IShellIcon, icons.put_void()));
    for (const expected_icon& e : by_kind) {
        const location at = icon_location(music.get(), e.item.pidl());
        EXPECT_EQ(0, ::lstrcmpiW(module.c_str(), at.file.c_str()));
        EXPECT_EQ(e.index, at.index);
        EXPECT_EQ(static_cast<UINT>(GIL_DONTCACHE), at.flags);
        int index = -1;
        EXPECT_EQ(S_FALSE, icons->GetIconOf(e.item.pidl(), 0, &index));
    }

    const location folder = icon_location(clips.get(), find(clips.get(), L"clips").pidl());
    EXPECT_TRUE(is_shell32(folder.file)) << std::string(folder.file.begin(), folder.file.end());
    EXPECT_EQ(3, folder.index);
    const location notes = icon_location(clips.get(), find(clips.get(), L"notes.txt").pidl());
    EXPECT_FALSE(notes.file.empty());

    const listed a = find(clips.get(), L"clips"), b = find(clips.get(), L"notes.txt");
    LPCITEMIDLIST two[2] = {a.pidl(), b.pidl()};
    void* out = sentinel;
    EXPECT_EQ(E_NOINTERFACE, clips->GetUIObjectOf(nullptr, 2, two, IID_IExtractIconW, nullptr, &out));
    EXPECT_EQ(nullptr, out);
    // Nothing can be dropped onto the folder; menus and data objects have tests of their own.
    out = sentinel;
    EXPECT_EQ(E_NOINTERFACE, clips->GetUIObjectOf(nullptr, 1, two, IID_IDropTarget, nullptr, &out));
    EXPECT_EQ(nullptr, out);
    // A file without a type gets no icon object.
    const std::vector<BYTE> stray = make_item(5, L"x", 0x1234567);
    LPCITEMIDLIST unknown = reinterpret_cast<LPCITEMIDLIST>(stray.data());
    out = sentinel;
    EXPECT_EQ(E_FAIL, clips->GetUIObjectOf(nullptr, 1, &unknown, IID_IExtractIconW, nullptr, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(NamespaceTest, ColumnsByPropertyKeyGiveEveryCellTyped) {
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    util::com_ptr<IShellFolder2> files = open({L"Music", L"Genre", L"Rock", L"Filtered Items( Rock )"});
    // The system's keys, so that Explorer's choose-details, grouping and details pane know them.
    const SHCOLUMNID name_key = {{0xB725F130, 0x47EF, 0x101A, {0xA5, 0xF1, 0x02, 0x60, 0x8C, 0x9E, 0xEB, 0xAC}}, 10};
    const SHCOLUMNID path_key = {{0xE3E0584C, 0xB788, 0x4A5A, {0xBB, 0x20, 0x7F, 0x5A, 0x44, 0xC9, 0xAC, 0xDD}}, 6};
    const SHCOLUMNID keywords_key = {{0xF29F85E0, 0x4FF9, 0x1068, {0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9}}, 5};
    SHCOLUMNID keys[4] = {};
    for (UINT column = 0; column < 4; ++column) EXPECT_EQ(S_OK, files->MapColumnToSCID(column, &keys[column]));
    auto same = [](const SHCOLUMNID& a, const SHCOLUMNID& b) {
        return a.pid == b.pid && ::IsEqualGUID(a.fmtid, b.fmtid);
    };
    EXPECT_TRUE(same(name_key, keys[0]));
    EXPECT_TRUE(same(path_key, keys[2]));
    EXPECT_TRUE(same(keywords_key, keys[3]));
    for (const SHCOLUMNID& other : {name_key, path_key, keywords_key}) EXPECT_FALSE(same(other, keys[1]));

    const listed root_tag = find(top().get(), L"Music");
    const listed fi = find(music.get(), L"Filtered Items"), genre = find(music.get(), L"Genre"),
                 empty = find(music.get(), L"Empty");
    const listed both = find(files.get(), L"both.mp3"), song2 = find(files.get(), L"song2.mp3"),
                 gone = find(files.get(), L"gone.mp3");
    listed unknown;
    unknown.bytes = make_item(5, L"x.mp3", 0x1234567);
    const listed& stray = unknown;
    for (const listed* item : {&root_tag, &fi, &genre, &empty, &both, &song2, &gone, &stray}) {
        for (UINT column = 0; column < 4; ++column) {
            EXPECT_EQ(cell(files.get(), item->pidl(), column), value_text(files.get(), item->pidl(), column))
                << std::string(item->name.begin(), item->name.end()) << " column " << column;
        }
    }
    EXPECT_EQ(L"4", value_text(files.get(), fi.pidl(), 1));
    EXPECT_EQ(L"( Rock, Jazz )", value_text(files.get(), both.pidl(), 3));
    EXPECT_EQ(files_.substr(0, files_.size() - 1), value_text(files.get(), gone.pidl(), 2));

    SHCOLUMNID key = name_key;
    EXPECT_EQ(E_INVALIDARG, files->MapColumnToSCID(4, &key));
    // Keys no column has, such as the property list of a tile, and items not ours fail and
    // leave the value empty.
    const SHCOLUMNID tile_info = {{0xC9944A21, 0xA406, 0x48FE, {0x82, 0x25, 0xAE, 0xC7, 0xE2, 0x4C, 0x21, 0x1B}}, 3};
    const std::vector<BYTE> foreign = foreign_item();
    const struct {
        LPCITEMIDLIST item;
        const SHCOLUMNID* key;
        HRESULT expected;
    } refused[] = {
        {both.pidl(), &tile_info, E_FAIL},
        {id(foreign), &name_key, E_INVALIDARG},
        {nullptr, &name_key, E_INVALIDARG},
        {both.pidl(), nullptr, E_POINTER},
    };
    for (const auto& r : refused) {
        VARIANT value;
        value.vt = VT_I4;
        value.lVal = 77;
        EXPECT_EQ(r.expected, files->GetDetailsEx(r.item, r.key, &value));
        EXPECT_EQ(VT_EMPTY, value.vt);
    }
}

TEST_F(NamespaceTest, CompareIDsSortsByTheColumnAskedFor) {
    // aa.mp3 lies in a folder below the others and has only Calm; yjazz.mp3 has only Jazz.
    const std::wstring sub = file(L"sub\\");
    ASSERT_TRUE(::CreateDirectoryW(sub.c_str(), nullptr));
    write_file(sub + L"aa.mp3");
    write_file(file(L"yjazz.mp3"));
    items::TagsHolder& db = items::tags_holder();
    ASSERT_TRUE(db.set_tags({sub + L"aa.mp3"}, items::make_chain({L"Music", L"Mood", L"Calm"}), items::tree_ptr()));
    ASSERT_TRUE(db.set_tags({file(L"yjazz.mp3")}, items::make_chain({L"Music", L"Genre", L"Jazz"}), items::tree_ptr()));

    util::com_ptr<IShellFolder2> rock = open({L"Music", L"Genre", L"Rock", L"Filtered Items( Rock )"});
    util::com_ptr<IShellFolder2> jazz = open({L"Music", L"Genre", L"Jazz", L"Filtered Items( Jazz )"});
    util::com_ptr<IShellFolder2> calm = open({L"Music", L"Mood", L"Calm", L"Filtered Items( Calm )"});
    ASSERT_TRUE(rock && jazz && calm);
    const std::vector<BYTE> aa = find(calm.get(), L"aa.mp3").bytes, yjazz = find(jazz.get(), L"yjazz.mp3").bytes;
    const std::vector<BYTE> both = find(rock.get(), L"both.mp3").bytes, song1 = find(rock.get(), L"song1.mp3").bytes,
                            song2 = find(rock.get(), L"song2.mp3").bytes, gone = find(rock.get(), L"gone.mp3").bytes;

    const LPARAM name = 0, path = 2, tags = 3;
    expect_orders(rock.get(), {
        {name, &aa, &yjazz, -1},
        {name, &both, &song2, -1},
        // "...\files" before "...\files\sub"; one folder: by name.
        {path, &aa, &yjazz, 1},
        {path, &gone, &song1, -1},
        // "( Rock, Calm )" before "( Rock, Jazz )", "( Jazz )" before "( Rock )"; equal tags: by name.
        {tags, &song2, &both, -1},
        {tags, &yjazz, &song1, -1},
        {tags, &gone, &song1, -1},
        // The canonical order is the name's, whatever the column.
        {SHCIDS_CANONICALONLY | path, &aa, &yjazz, -1},
        {SHCIDS_CANONICALONLY | 77, &song2, &both, 1},
        {SHCIDS_ALLFIELDS, &aa, &yjazz, -1},
    });
    for (LPARAM column : {path, tags}) EXPECT_EQ(0, order(rock->CompareIDs(column, id(song1), id(song1))));

    // Counts by value, not by their digits; no count sorts first.
    util::com_ptr<IShellFolder2> music = open({L"Music"});
    const std::vector<BYTE> genre = find(music.get(), L"Genre").bytes, mood = find(music.get(), L"Mood").bytes,
                            empty = find(music.get(), L"Empty").bytes;
    const std::vector<BYTE> ten = make_item(3, L"a", 0, 10), nine = make_item(3, L"b", 0, 9);
    EXPECT_EQ(1, order(music->CompareIDs(1, id(ten), id(nine))));
    EXPECT_EQ(-1, order(music->CompareIDs(0, id(ten), id(nine))));
    EXPECT_EQ(-1, order(music->CompareIDs(1, id(mood), id(genre))));
    EXPECT_EQ(1, order(music->CompareIDs(0, id(mood), id(genre))));
    EXPECT_EQ(-1, order(music->CompareIDs(1, id(empty), id(mood))));

    // One item listed twice with another count: the same item, unless every field is asked for.
    const std::vector<BYTE> one = make_item(3, L"x", 0, 1), two = make_item(3, L"x", 0, 2),
                            one_again = make_item(3, L"x", 0, 1);
    EXPECT_EQ(0, order(music->CompareIDs(0, id(one), id(two))));
    EXPECT_EQ(0, order(music->CompareIDs(SHCIDS_CANONICALONLY, id(one), id(two))));
    EXPECT_EQ(-1, order(music->CompareIDs(SHCIDS_ALLFIELDS, id(one), id(two))));
    EXPECT_EQ(1, order(music->CompareIDs(SHCIDS_ALLFIELDS, id(two), id(one))));
    EXPECT_EQ(0, order(music->CompareIDs(SHCIDS_ALLFIELDS, id(one), id(one_again))));

    for (LPARAM past : {4, 0xFFFF}) EXPECT_EQ(E_INVALIDARG, music->CompareIDs(past, id(genre), id(mood)));
}

TEST_F(NamespaceTest, CompareIDsComparesEveryLevel) {
    util::com_ptr<IShellFolder2> root = top();
    util::com_ptr<IShellFolder2> music = open({L"Music"}), genre = open({L"Music", L"Genre"});
    const std::vector<BYTE> music_tag = find(root.get(), L"Music").bytes, video = find(root.get(), L"Video").bytes;
    const std::vector<BYTE> genre_tag = find(music.get(), L"Genre").bytes, mood = find(music.get(), L"Mood").bytes;
    const std::vector<BYTE> rock = find(genre.get(), L"Rock").bytes, jazz = find(genre.get(), L"Jazz").bytes;
    const std::vector<BYTE> music_genre = list_of({&music_tag, &genre_tag}), music_mood = list_of({&music_tag, &mood});
    const std::vector<BYTE> music_genre_again = list_of({&music_tag, &genre_tag});
    const std::vector<BYTE> genre_rock = list_of({&music_tag, &genre_tag, &rock}),
                            genre_jazz = list_of({&music_tag, &genre_tag, &jazz});

    expect_orders(root.get(), {
        // Music\Genre and Music\Mood are two places.
        {0, &music_genre, &music_mood, -1},
        // A list before the lists it leads to.
        {0, &music_tag, &music_genre, -1},
        {0, &music_genre, &genre_rock, -1},
        // The third level, decided two folders down: Jazz before Rock.
        {0, &genre_rock, &genre_jazz, 1},
        // The column holds below the first level: Mood has fewer files than Genre.
        {1, &music_genre, &music_mood, 1},
        // Different first items decide alone.
        {0, &genre_rock, &video, -1},
        {0, &music_genre, &music_genre_again, 0},
        {SHCIDS_ALLFIELDS, &genre_rock, &genre_rock, 0},
    });

    // The empty list names the folder itself, a prefix of every other.
    const std::vector<BYTE> nothing(2, 0);
    EXPECT_EQ(0, order(root->CompareIDs(0, id(nothing), id(nothing))));
    EXPECT_EQ(-1, order(root->CompareIDs(0, id(nothing), id(music_tag))));
    EXPECT_EQ(1, order(root->CompareIDs(0, id(music_genre), id(nothing))));

    // A bad item below an equal first one is refused when its turn comes; so is no list at all.
    std::vector<BYTE> tiny(4, 0);
    tiny[0] = 2;
    const std::vector<BYTE> music_bad = list_of({&music_tag, &tiny});
    EXPECT_EQ(E_INVALIDARG, root->CompareIDs(0, id(music_bad), id(music_genre)));
    EXPECT_EQ(E_INVALIDARG, root->CompareIDs(0, id(music_genre), id(music_bad)));
    EXPECT_EQ(E_INVALIDARG, root->CompareIDs(0, nullptr, id(music_tag)));
    EXPECT_EQ(E_INVALIDARG, root->CompareIDs(0, id(music_tag), nullptr));
}
