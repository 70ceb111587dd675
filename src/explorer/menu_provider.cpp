#include "explorer/menu_provider.h"

#include "shell/manage_tags_dialog.h"
#include "resource.h"
#include "util/module.h"
#include "util/hresult.h"
#include "util/unique_resource.h"

#include <shlwapi.h>
#include <uxtheme.h>

#include <new>

namespace {

const UINT kMenuBitmap = IDB_MENU_TAG;
const UINT kMenuBitmapMapped = IDB_MENU_TAG_MAPPED;
// SM_CYSIZE, asked of the menu's visual style.
const int kThemeCaptionSize = 31;

// The menu into which the command was last inserted. Explorer asks every handler registered
// for "*" and for "Folder" to fill one menu; a folder matches both.
HMENU g_last_menu = nullptr;

HBITMAP build_menu_bitmap() {
    HINSTANCE module = util::module_instance();
    if (!module) return nullptr;
    util::unique_hbitmap bitmap(::LoadBitmapW(module, MAKEINTRESOURCEW(kMenuBitmap)));
    if (HTHEME theme = ::OpenThemeData(::GetDesktopWindow(), L"MENU")) {
        if (::GetThemeSysSize(theme, kThemeCaptionSize) > 16) {
            // A larger menu style gets the 16-colour glyph whose black takes the menu colour.
            COLORMAP map = {RGB(0, 0, 0), ::GetSysColor(COLOR_MENU)};
            if (HBITMAP mapped = ::CreateMappedBitmap(module, kMenuBitmapMapped, 0, &map, 1)) bitmap.reset(mapped);
        }
        ::CloseThemeData(theme);
    }
    return bitmap.release();
}

HBITMAP menu_bitmap() {
    // Built once and kept for the process: the menus that show it come and go.
    static HBITMAP bitmap = build_menu_bitmap();
    return bitmap;
}

}  // namespace

CMenuProvider::CMenuProvider() = default;

CMenuProvider::~CMenuProvider() {}

CMenuProvider* CMenuProvider::create() noexcept {
    return new (std::nothrow) CMenuProvider;
}

HRESULT CMenuProvider::create(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    CMenuProvider* provider = create();
    if (!provider) return E_OUTOFMEMORY;
    const HRESULT hr = provider->QueryInterface(riid, ppv);
    provider->Release();
    return hr;
}

const QITAB* CMenuProvider::interface_table() {
    static const QITAB table[] = {
        QITABENT(CMenuProvider, IContextMenu),
        QITABENT(CMenuProvider, IShellExtInit),
        {nullptr, 0},
    };
    return table;
}

IFACEMETHODIMP CMenuProvider::Initialize(PCIDLIST_ABSOLUTE, IDataObject* data, HKEY) {
    selection_.clear();
    if (!data) return E_INVALIDARG;
    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    if (FAILED(data->GetData(&format, &medium))) return E_INVALIDARG;
    HDROP drop = static_cast<HDROP>(::GlobalLock(medium.hGlobal));
    if (!drop) {
        ::ReleaseStgMedium(&medium);
        return E_INVALIDARG;
    }
    const HRESULT hr = util::guarded([&] {
        const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        for (UINT i = 0; i < count; ++i) {
            // Sized from the name itself: a fixed buffer would cut a long path to another one.
            std::wstring name(::DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
            const UINT length = ::DragQueryFileW(drop, i, &name[0], static_cast<UINT>(name.size()));
            if (length) selection_.push_back(name.substr(0, length));
        }
        return S_OK;
    });
    ::GlobalUnlock(medium.hGlobal);
    ::ReleaseStgMedium(&medium);
    if (FAILED(hr)) {
        selection_.clear();
        return hr;
    }
    return selection_.empty() ? E_INVALIDARG : S_OK;
}

IFACEMETHODIMP CMenuProvider::QueryContextMenu(HMENU menu, UINT index, UINT first_id, UINT, UINT flags) {
    const HRESULT one_id = MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_NULL, 1);
    if (menu == g_last_menu) return one_id;
    g_last_menu = menu;
    // A drive root ("C:\" is three characters) gets no command.
    if (selection_.empty() || selection_[0].size() < 4) return one_id;
    if (flags & CMF_DEFAULTONLY) return S_OK;
    QBX_RETURN_LAST_ERROR_IF_FALSE(::InsertMenuW(menu, index, MF_BYPOSITION | MF_STRING, first_id, L"Manage Tags"));
    if (HBITMAP bitmap = menu_bitmap()) ::SetMenuItemBitmaps(menu, index, MF_BYPOSITION, bitmap, bitmap);
    return one_id;
}

IFACEMETHODIMP CMenuProvider::InvokeCommand(CMINVOKECOMMANDINFO* invocation) {
    if (!invocation) return E_INVALIDARG;
    // A verb given by name is not ours: the handler has no verbs, only its one menu entry.
    if (!IS_INTRESOURCE(invocation->lpVerb)) return E_INVALIDARG;
    return util::guarded([&] {
        open_manage_tags(selection_);
        return S_OK;
    });
}

IFACEMETHODIMP CMenuProvider::GetCommandString(UINT_PTR, UINT, UINT*, CHAR*, UINT) { return E_NOTIMPL; }
