// The context-menu handler called as Explorer calls it: Initialize with a CF_HDROP data object,
// QueryContextMenu on a real menu, InvokeCommand.
#include "explorer/menu_provider.h"

#include "shell/manage_tags_dialog.h"
#include "manage_tags_fixture.h"
#include "util/unique_resource.h"

#include <shlobj.h>

namespace {

typedef std::vector<std::wstring> names;

// Serves a list of paths as CF_HDROP, the way the shell's own data objects do; nothing else.
class DropData final : public IDataObject {
public:
    explicit DropData(const names& paths, bool offer_drop = true) : refs_(1), paths_(paths), offer_(offer_drop) {}

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDataObject) return E_NOINTERFACE;
        *ppv = static_cast<IDataObject*>(this);
        AddRef();
        return S_OK;
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    IFACEMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack

    IFACEMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (!offer_ || format->cfFormat != CF_HDROP || !(format->tymed & TYMED_HGLOBAL)) return DV_E_FORMATETC;
        std::wstring list;
        for (const std::wstring& path : paths_) list += path + L'\0';
        // Each name ends in a null and the list in one more. Wine reads past a lone null, so an
        // empty list carries two, as the shell writes it.
        list += L'\0';
        if (paths_.empty()) list += L'\0';
        const SIZE_T size = sizeof(DROPFILES) + list.size() * sizeof(wchar_t);
        HGLOBAL memory = ::GlobalAlloc(GHND, size);
        if (!memory) return E_OUTOFMEMORY;
        DROPFILES* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
        drop->pFiles = sizeof(DROPFILES);
        drop->fWide = TRUE;
        memcpy(drop + 1, list.data(), list.size() * sizeof(wchar_t));
        ::GlobalUnlock(memory);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = memory;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    IFACEMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    IFACEMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    IFACEMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    IFACEMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    IFACEMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    IFACEMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

    ULONG refs_;

private:
    names paths_;
    bool offer_;
};

class MenuProviderTest : public DialogTest {
protected:
    // A handler as the class factory makes it, initialised with `data`.
    util::com_ptr<IContextMenu> handler(IDataObject* data, HRESULT* init = nullptr) {
        util::com_ptr<IContextMenu> menu;
        EXPECT_EQ(S_OK, CMenuProvider::create(IID_IContextMenu, menu.put_void()));
        util::com_ptr<IShellExtInit> ext;
        EXPECT_EQ(S_OK, menu->QueryInterface(IID_IShellExtInit, ext.put_void()));
        const HRESULT hr = ext->Initialize(nullptr, data, nullptr);
        if (init) *init = hr;
        return menu;
    }
    static std::wstring item_text(HMENU menu, int position) {
        wchar_t text[64] = {};
        ::GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
        return text;
    }
    HRESULT invoke(IContextMenu* menu, LPCSTR verb) {
        CMINVOKECOMMANDINFO info = {};
        info.cbSize = sizeof(info);
        info.lpVerb = verb;
        info.nShow = SW_SHOWNORMAL;
        const HRESULT hr = menu->InvokeCommand(&info);
        settle();
        return hr;
    }
};

TEST_F(MenuProviderTest, AnswersOnlyItsTwoInterfaces) {
    util::com_ptr<IUnknown> object;
    ASSERT_EQ(S_OK, CMenuProvider::create(IID_IUnknown, object.put_void()));
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IDataObject, &out));
    EXPECT_EQ(nullptr, out);
    util::com_ptr<IContextMenu> menu;
    util::com_ptr<IShellExtInit> init;
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IContextMenu, menu.put_void()));
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IShellExtInit, init.put_void()));
    util::com_ptr<IUnknown> again;
    EXPECT_EQ(S_OK, init->QueryInterface(IID_IUnknown, again.put_void()));
    EXPECT_EQ(object.get(), again.get()) << "one identity through every interface";
    EXPECT_EQ(5u, object->AddRef());
    EXPECT_EQ(4u, object->Release());
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CMenuProvider::create(IID_IDataObject, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(MenuProviderTest, InitializeNeedsFileNamesInTheDropFormat) {
    HRESULT hr = S_OK;
    DropData no_drop({L"C:\\x.txt"}, false);
    handler(&no_drop, &hr);
    EXPECT_EQ(E_INVALIDARG, hr);
    DropData empty({});
    handler(&empty, &hr);
    EXPECT_EQ(E_INVALIDARG, hr);
    handler(nullptr, &hr);
    EXPECT_EQ(E_INVALIDARG, hr);
    DropData two({file(L"a.txt"), file(L"b.txt")});
    handler(&two, &hr);
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1u, two.refs_) << "the handler keeps no reference to the data object";
}

TEST_F(MenuProviderTest, InsertsOneCommandOncePerMenu) {
    DropData selection({file(L"a.txt")});
    util::unique_hmenu menu(::CreatePopupMenu());
    ::AppendMenuW(menu.get(), MF_STRING, 1, L"Open");
    ::AppendMenuW(menu.get(), MF_STRING, 2, L"Properties");

    util::com_ptr<IContextMenu> first = handler(&selection);
    const HRESULT hr = first->QueryContextMenu(menu.get(), 1, 100, 200, CMF_NORMAL);
    EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1), hr);
    ASSERT_EQ(3, ::GetMenuItemCount(menu.get()));
    EXPECT_EQ(L"Manage Tags", item_text(menu.get(), 1));
    EXPECT_EQ(100u, ::GetMenuItemID(menu.get(), 1));
    // The tag glyph stands beside the command, checked or not.
    MENUITEMINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_CHECKMARKS;
    ASSERT_TRUE(::GetMenuItemInfoW(menu.get(), 1, TRUE, &info));
    ASSERT_NE(nullptr, info.hbmpUnchecked);
    EXPECT_EQ(info.hbmpChecked, info.hbmpUnchecked);
    BITMAP glyph = {};
    ASSERT_NE(0, ::GetObjectW(info.hbmpUnchecked, sizeof glyph, &glyph));
    EXPECT_EQ(16, glyph.bmWidth);
    EXPECT_EQ(16, glyph.bmHeight);

    // A folder is matched by both the "*" and the "Folder" registration: a second handler
    // asked to fill the same menu adds nothing.
    util::com_ptr<IContextMenu> second = handler(&selection);
    EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1), second->QueryContextMenu(menu.get(), 0, 300, 400, CMF_NORMAL));
    EXPECT_EQ(3, ::GetMenuItemCount(menu.get()));

    util::unique_hmenu defaults(::CreatePopupMenu());
    EXPECT_EQ(S_OK, second->QueryContextMenu(defaults.get(), 0, 100, 200, CMF_DEFAULTONLY));
    EXPECT_EQ(0, ::GetMenuItemCount(defaults.get()));
}

TEST_F(MenuProviderTest, ADriveRootFirstInTheSelectionGetsNoCommand) {
    DropData selection({L"C:\\", file(L"a.txt")});
    util::unique_hmenu menu(::CreatePopupMenu());
    util::com_ptr<IContextMenu> provider = handler(&selection);
    EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1), provider->QueryContextMenu(menu.get(), 0, 100, 200, CMF_NORMAL));
    EXPECT_EQ(0, ::GetMenuItemCount(menu.get()));

    DropData later({file(L"b.txt"), L"C:\\"});
    util::unique_hmenu other(::CreatePopupMenu());
    util::com_ptr<IContextMenu> second = handler(&later);
    second->QueryContextMenu(other.get(), 0, 100, 200, CMF_NORMAL);
    EXPECT_EQ(1, ::GetMenuItemCount(other.get())) << "only the first item decides";
}

TEST_F(MenuProviderTest, InvokeOpensTheDialogWithTheSelectionInOrder) {
    const names paths = {file(L"c.txt"), file(L"a.txt"), file(L"b.txt")};
    DropData selection(paths);
    util::com_ptr<IContextMenu> provider = handler(&selection);
    util::unique_hmenu menu(::CreatePopupMenu());
    provider->QueryContextMenu(menu.get(), 0, 100, 200, CMF_NORMAL);

    EXPECT_EQ(E_INVALIDARG, invoke(provider.get(), "properties")) << "a verb by name is not this handler's";
    EXPECT_TRUE(dialog() == nullptr);
    EXPECT_EQ(S_OK, invoke(provider.get(), MAKEINTRESOURCEA(0)));
    ASSERT_TRUE(dialog() != nullptr);
    EXPECT_TRUE(::IsWindowVisible(dialog()));
    EXPECT_EQ(L"File list", title());
    EXPECT_EQ(paths, ManageTagsDialog::instance().files());

    // The dialog keeps its own copy: it outlives the handler.
    provider.reset();
    EXPECT_EQ(paths, ManageTagsDialog::instance().files());
}

TEST_F(MenuProviderTest, TakesTheSelectionFromTheShellsOwnDataObject) {
    const names paths = {file(L"second.txt"), file(L"first.txt")};
    util::com_ptr<IShellFolder> desktop;
    ASSERT_EQ(S_OK, ::SHGetDesktopFolder(desktop.put()));
    std::wstring folder_path = files_.path();
    util::unique_pidl folder_pidl;
    ASSERT_EQ(S_OK, desktop->ParseDisplayName(nullptr, nullptr, &folder_path[0], nullptr, folder_pidl.put(), nullptr));
    util::com_ptr<IShellFolder> folder;
    ASSERT_EQ(S_OK, desktop->BindToObject(folder_pidl.get(), nullptr, IID_IShellFolder, folder.put_void()));
    util::unique_pidl children[2];
    for (int i = 0; i < 2; ++i) {
        std::wstring name = paths[i].substr(files_.path().size());
        ASSERT_EQ(S_OK, folder->ParseDisplayName(nullptr, nullptr, &name[0], nullptr, children[i].put(), nullptr));
    }
    LPCITEMIDLIST items[2] = {children[0].get(), children[1].get()};
    util::com_ptr<IDataObject> data;
    ASSERT_EQ(S_OK, folder->GetUIObjectOf(nullptr, 2, items, IID_IDataObject, nullptr, data.put_void()));

    HRESULT hr = E_FAIL;
    util::com_ptr<IContextMenu> provider = handler(data.get(), &hr);
    ASSERT_EQ(S_OK, hr);
    EXPECT_EQ(S_OK, invoke(provider.get(), MAKEINTRESOURCEA(0)));
    ASSERT_TRUE(dialog() != nullptr);
    EXPECT_EQ(paths, ManageTagsDialog::instance().files());
}

}  // namespace
