// The details view: column headers and states, every cell, and the icons of each kind of item.
#include "namespace_fixture.h"

#include "database/nodes.h"

#include <shlwapi.h>

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
    EXPECT_EQ(S_FALSE, root->GetDefaultColumnState(4, &state));
    EXPECT_EQ(0xDEADu, state);
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
