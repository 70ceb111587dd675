// The icon cache and the overlay identifier: icon locations and their buffer rule, objects
// that survive their last Release, one object per file type, the program and folder rules,
// icons handed out as copies, and the module's own icon and bitmap resources.
#include "database/nodes.h"
#include "database/tags_holder.h"
#include "shell/icons_holder.h"
#include "explorer/overlay_icon_provider.h"
#include "temp_folder.h"
#include "util/module.h"
#include "util/unique_resource.h"

#include "../../resources/icons_ids.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

std::wstring own_module() {
    wchar_t path[MAX_PATH] = L"";
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

bool is_shell32(const std::wstring& path) {
    return path.size() > 21 && ::lstrcmpiW(path.c_str() + path.size() - 21, L"\\system32\\SHELL32.dll") == 0 &&
           path.find(L'%') == std::wstring::npos;
}

struct location {
    HRESULT hr;
    std::wstring file;
    int index;
    UINT flags;
};

location where(IExtractIconW* icon, UINT size = MAX_PATH) {
    location result = {E_FAIL, L"", -1, 0xFFFF};
    wchar_t file[MAX_PATH + 1];
    std::fill(file, file + MAX_PATH + 1, L'#');
    file[MAX_PATH] = 0;
    result.hr = icon->GetIconLocation(GIL_FORSHELL, file, size, &result.index, &result.flags);
    result.file = file;
    return result;
}

int icon_width(HICON icon) {
    ICONINFO info = {};
    if (!::GetIconInfo(icon, &info)) return -1;
    BITMAP bitmap = {};
    ::GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    if (info.hbmColor) ::DeleteObject(info.hbmColor);
    if (info.hbmMask) ::DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
}

std::vector<unsigned> icon_pixels(HICON icon) {
    std::vector<unsigned> pixels;
    ICONINFO info = {};
    if (!::GetIconInfo(icon, &info)) return pixels;
    util::unique_hbitmap color(info.hbmColor), mask(info.hbmMask);
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = 16;
    format.bmiHeader.biHeight = 16;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    pixels.resize(16 * 16);
    HDC screen = ::GetDC(nullptr);
    ::GetDIBits(screen, color.get(), 0, 16, pixels.data(), &format, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    return pixels;
}

void write_file(const std::wstring& path, const char* text) {
    util::unique_file f(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f.valid());
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(f.get(), text, static_cast<DWORD>(strlen(text)), &written, nullptr));
}

typedef util::com_ptr<IconsHolder::IconObject> icon_ptr;
typedef util::com_ptr<IExtractIconW> extract_ptr;

}  // namespace

TEST(IconsHolder, KindsUseTheModuleIconsAndUnknownKindsNone) {
    const int expected[] = {2, 3, 4, 0};
    for (unsigned kind = 1; kind <= 4; ++kind) {
        icon_ptr icon = icon_ptr::attach(icons_holder().icon_of_kind(kind));
        ASSERT_TRUE(icon);
        const location at = where(icon.get());
        EXPECT_EQ(S_OK, at.hr);
        EXPECT_EQ(0, ::lstrcmpiW(own_module().c_str(), at.file.c_str()));
        EXPECT_EQ(expected[kind - 1], at.index);
        EXPECT_EQ(static_cast<UINT>(GIL_DONTCACHE), at.flags);
        EXPECT_EQ(static_cast<UINT>(GIL_FORSHELL), icon->last_flags());
        // One object per kind, whoever asks.
        icon_ptr again = icon_ptr::attach(icons_holder().icon_of_kind(kind));
        EXPECT_EQ(icon.get(), again.get());
    }
    for (unsigned kind : {0u, 5u, 6u, 128u}) EXPECT_EQ(nullptr, icons_holder().icon_of_kind(kind));
}

TEST(IconsHolder, LocationNeedsRoomForThePathAndItsNul) {
    icon_ptr icon = icon_ptr::attach(icons_holder().folder_icon());
    ASSERT_TRUE(icon);
    const UINT length = static_cast<UINT>(icon->file().size());
    ASSERT_GT(length, 0u);
    location at = where(icon.get(), length);
    EXPECT_EQ(S_FALSE, at.hr);
    EXPECT_EQ(std::wstring(MAX_PATH, L'#'), at.file);  // nothing written
    at = where(icon.get(), length + 1);
    EXPECT_EQ(S_OK, at.hr);
    EXPECT_EQ(icon->file(), at.file);
    EXPECT_EQ(3, at.index);
    EXPECT_EQ(static_cast<UINT>(GIL_DONTCACHE), at.flags);
    EXPECT_TRUE(is_shell32(at.file)) << std::string(at.file.begin(), at.file.end());
}

TEST(IconsHolder, CachedObjectsSurviveTheirLastRelease) {
    IconsHolder::IconObject* icon = icons_holder().icon_of_kind(3);
    ASSERT_NE(nullptr, icon);
    icon->Release();  // the caller's reference
    // The cache's own reference, released by a careless caller: the object stays.
    EXPECT_EQ(0u, icon->Release());
    EXPECT_EQ(0u, icon->Release());
    EXPECT_EQ(S_OK, where(icon).hr);
    EXPECT_EQ(2u, icon->AddRef());
    icon->Release();
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, icon->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(static_cast<IUnknown*>(icon), unknown);
    unknown->Release();
    void* other = &unknown;
    EXPECT_EQ(E_NOINTERFACE, icon->QueryInterface(IID_IExtractIconA, &other));
    EXPECT_EQ(nullptr, other);
}

TEST(IconsHolder, ExtractHandsOutCopiesOfTheKeptIcons) {
    icon_ptr icon = icon_ptr::attach(icons_holder().icon_of_kind(4));
    ASSERT_TRUE(icon);
    for (int round = 0; round < 2; ++round) {
        HICON large = nullptr, small = nullptr;
        ASSERT_EQ(S_OK, icon->Extract(icon->file().c_str(), 0, &large, &small, MAKELONG(32, 16)));
        EXPECT_EQ(32, icon_width(large));
        EXPECT_EQ(16, icon_width(small));
        // The caller owns what it got: destroying it must not spoil the next call.
        EXPECT_TRUE(::DestroyIcon(large));
        EXPECT_TRUE(::DestroyIcon(small));
    }
    HICON big = nullptr;
    ASSERT_EQ(S_OK, icon->Extract(icon->file().c_str(), 0, &big, nullptr, 48));
    EXPECT_EQ(48, icon_width(big));
    ::DestroyIcon(big);
}

TEST(IconsHolder, TheModuleCarriesItsFiveIconsAndTwoMenuBitmaps) {
    const std::wstring module = own_module();
    EXPECT_GE(::ExtractIconExW(module.c_str(), -1, nullptr, nullptr, 0), 5u);
    const int ids[] = {IDI_FILTERED_ITEMS, IDI_TAG_FOLDER, IDI_ROOT_TAG, IDI_SCOPE, IDI_TAG};
    for (int index = 0; index < 5; ++index) {
        // The icon at each index is the one of the id meant for it.
        HICON icon = nullptr;
        UINT id = 0;
        ASSERT_EQ(1u, ::PrivateExtractIconsW(module.c_str(), index, 16, 16, &icon, &id, 1, 0));
        util::unique_hicon by_index(icon);
        util::unique_hicon by_id(static_cast<HICON>(
            ::LoadImageW(util::module_instance(), MAKEINTRESOURCEW(ids[index]), IMAGE_ICON, 16, 16, 0)));
        ASSERT_TRUE(by_id.valid());
        EXPECT_EQ(16, icon_width(by_index.get()));
        EXPECT_EQ(icon_pixels(by_id.get()), icon_pixels(by_index.get())) << index;
        if (index > 0) {
            util::unique_hicon previous(static_cast<HICON>(::LoadImageW(
                util::module_instance(), MAKEINTRESOURCEW(ids[index - 1]), IMAGE_ICON, 16, 16, 0)));
            EXPECT_NE(icon_pixels(previous.get()), icon_pixels(by_index.get())) << index;
        }
    }
    const struct {
        int id;
        WORD bits;
    } bitmaps[] = {{IDB_MENU_TAG, 8}, {IDB_MENU_TAG_MAPPED, 4}};
    for (const auto& b : bitmaps) {
        util::unique_hbitmap bitmap(static_cast<HBITMAP>(
            ::LoadImageW(util::module_instance(), MAKEINTRESOURCEW(b.id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
        ASSERT_TRUE(bitmap.valid()) << b.id;
        DIBSECTION dib = {};
        ASSERT_NE(0, ::GetObjectW(bitmap.get(), sizeof dib, &dib));
        EXPECT_EQ(16, dib.dsBm.bmWidth);
        EXPECT_EQ(16, dib.dsBm.bmHeight);
        EXPECT_EQ(b.bits, dib.dsBmih.biBitCount);
    }
}

class IconsOfFiles : public ::testing::Test {
protected:
    std::wstring file(const std::wstring& name) const { return temp_.path() + name; }
    TempFolder temp_;
};

TEST_F(IconsOfFiles, OneSharedObjectPerFileType) {
    extract_ptr a = extract_ptr::attach(icons_holder().icon_of_path(L"C:\\music\\a.mp3"));
    extract_ptr b = extract_ptr::attach(icons_holder().icon_of_path(L"D:\\other\\B.MP3"));
    extract_ptr text = extract_ptr::attach(icons_holder().icon_of_path(L"C:\\notes.txt"));
    ASSERT_TRUE(a);
    ASSERT_TRUE(text);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_NE(a.get(), text.get());
    const location at = where(a.get());
    EXPECT_EQ(S_OK, at.hr);
    EXPECT_FALSE(at.file.empty());
    EXPECT_EQ(static_cast<UINT>(GIL_DONTCACHE), at.flags);
    // No type, or a dot only in a folder name: no icon.
    EXPECT_EQ(nullptr, icons_holder().icon_of_path(L"C:\\music\\README"));
    EXPECT_EQ(nullptr, icons_holder().icon_of_path(L"C:\\music.v2\\README"));
    EXPECT_EQ(nullptr, icons_holder().icon_of_path(L"C:\\music\\trailing."));
}

TEST_F(IconsOfFiles, FoldersGetTheShellFolderIcon) {
    ASSERT_TRUE(::CreateDirectoryW(file(L"album.2024").c_str(), nullptr));
    extract_ptr folder = extract_ptr::attach(icons_holder().icon_of_path(file(L"album.2024")));
    ASSERT_TRUE(folder);
    icon_ptr shared = icon_ptr::attach(icons_holder().folder_icon());
    EXPECT_EQ(static_cast<IExtractIconW*>(shared.get()), folder.get());
    const location at = where(folder.get());
    EXPECT_TRUE(is_shell32(at.file));
    EXPECT_EQ(3, at.index);
}

TEST_F(IconsOfFiles, ProgramsShowTheirOwnIconOrTheFallback) {
    // A program with icons (this test program links the module's resources).
    const std::wstring program = own_module();
    extract_ptr own = extract_ptr::attach(icons_holder().icon_of_path(program));
    ASSERT_TRUE(own);
    location at = where(own.get());
    EXPECT_EQ(program, at.file);
    EXPECT_EQ(0, at.index);
    EXPECT_EQ(static_cast<UINT>(GIL_DONTCACHE), at.flags);
    // Made for this call only: not shared with the next caller.
    extract_ptr second = extract_ptr::attach(icons_holder().icon_of_path(program));
    EXPECT_NE(own.get(), second.get());

    // A file named like a program that holds no icon, in either case of its extension.
    for (const wchar_t* name : {L"plain.exe", L"LOUD.EXE"}) {
        write_file(file(name), "not a program");
        extract_ptr fallback = extract_ptr::attach(icons_holder().icon_of_path(file(name)));
        ASSERT_TRUE(fallback);
        at = where(fallback.get());
        EXPECT_TRUE(is_shell32(at.file));
        EXPECT_EQ(2, at.index);
        icon_ptr shared = icon_ptr::attach(icons_holder().fallback_icon());
        EXPECT_EQ(static_cast<IExtractIconW*>(shared.get()), fallback.get());
    }
}

TEST_F(IconsOfFiles, TaggedFilesAreFoundByTheirId) {
    items::TagsHolder& db = items::tags_holder();
    {
        util::lock_guard lock(items::database_lock());
        db.children.clear();
        db.set_data_folder(temp_.path());
    }
    const std::wstring song = L"C:\\music\\song.ogg";
    ASSERT_TRUE(db.set_tags({song}, items::make_chain({L"Music", L"Rock"}), items::tree_ptr()));
    extract_ptr by_id = extract_ptr::attach(icons_holder().icon_of_file(items::file_id(song)));
    extract_ptr by_path = extract_ptr::attach(icons_holder().icon_of_path(L"X:\\other.ogg"));
    ASSERT_TRUE(by_id);
    EXPECT_EQ(by_path.get(), by_id.get());
    EXPECT_EQ(nullptr, icons_holder().icon_of_file(items::file_id(L"C:\\music\\untagged.ogg")));
    util::lock_guard lock(items::database_lock());
    db.children.clear();
}

TEST(OverlayIconProvider, ClaimsNoItem) {
    COverlayIconProvider* overlay = COverlayIconProvider::create();
    ASSERT_NE(nullptr, overlay);
    IShellIconOverlayIdentifier* identifier = nullptr;
    ASSERT_EQ(S_OK, overlay->QueryInterface(IID_IShellIconOverlayIdentifier, reinterpret_cast<void**>(&identifier)));
    EXPECT_EQ(static_cast<IShellIconOverlayIdentifier*>(overlay), identifier);
    // COM's identity rule: IUnknown is always answered, the same from every interface.
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, identifier->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(static_cast<IUnknown*>(overlay), unknown);
    EXPECT_EQ(2u, unknown->Release());
    EXPECT_EQ(1u, identifier->Release());
    void* other = &identifier;
    EXPECT_EQ(E_NOINTERFACE, overlay->QueryInterface(IID_IShellFolder, &other));
    EXPECT_EQ(nullptr, other);

    for (const wchar_t* path : {L"C:\\music\\song.mp3", L"C:\\", L"", L"\\\\server\\share\\x"}) {
        EXPECT_EQ(E_FAIL, overlay->IsMemberOf(path, FILE_ATTRIBUTE_NORMAL));
    }
    EXPECT_EQ(E_FAIL, overlay->IsMemberOf(L"C:\\music", FILE_ATTRIBUTE_DIRECTORY));
    int priority = -1;
    EXPECT_EQ(S_OK, overlay->GetPriority(&priority));
    EXPECT_EQ(20, priority);
    wchar_t file[MAX_PATH];
    int index = 5;
    DWORD flags = 5;
    EXPECT_EQ(E_NOTIMPL, overlay->GetOverlayInfo(file, MAX_PATH, &index, &flags));
    EXPECT_EQ(0u, overlay->Release());
}
