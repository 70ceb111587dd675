// The virtual folder: the tag tree as folders, tagged files inside "Filtered Items". It never
// walks the tag tree itself: the names of its own identifiers form the path that the tag
// database follows for the window, and the database builds the identifiers of each level.
#pragma once

#include "namespace/shell_view_cb.h"
#include "util/com_object.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace ShellNamespace {

class CShellFolder final : public util::ComObject<CShellFolder, IShellFolder2, IPersistFolder2, IShellIcon> {
public:
    // A folder with no list yet (Initialize gives it one); reference count 1. Null when out
    // of memory.
    static CShellFolder* create() noexcept;

    // The first entry is the object's identity.
    static const QITAB* interface_table();

    // IShellFolder
    IFACEMETHODIMP ParseDisplayName(HWND owner, IBindCtx* bc, LPWSTR name, ULONG* eaten, LPITEMIDLIST* pidl,
                                    ULONG* attributes) override;
    IFACEMETHODIMP EnumObjects(HWND owner, SHCONTF flags, IEnumIDList** out) override;
    IFACEMETHODIMP BindToObject(LPCITEMIDLIST pidl, IBindCtx* bc, REFIID riid, void** out) override;
    IFACEMETHODIMP BindToStorage(LPCITEMIDLIST pidl, IBindCtx* bc, REFIID riid, void** out) override;
    IFACEMETHODIMP CompareIDs(LPARAM column, LPCITEMIDLIST a, LPCITEMIDLIST b) override;
    IFACEMETHODIMP CreateViewObject(HWND owner, REFIID riid, void** out) override;
    IFACEMETHODIMP GetAttributesOf(UINT count, LPCITEMIDLIST* items, SFGAOF* mask) override;
    IFACEMETHODIMP GetUIObjectOf(HWND owner, UINT count, LPCITEMIDLIST* items, REFIID riid, UINT* reserved,
                                 void** out) override;
    IFACEMETHODIMP GetDisplayNameOf(LPCITEMIDLIST pidl, SHGDNF flags, STRRET* name) override;
    IFACEMETHODIMP SetNameOf(HWND owner, LPCITEMIDLIST pidl, LPCWSTR name, SHGDNF flags,
                             LPITEMIDLIST* out) override;

    // IShellFolder2
    IFACEMETHODIMP GetDefaultSearchGUID(GUID* guid) override;
    IFACEMETHODIMP EnumSearches(IEnumExtraSearch** out) override;
    IFACEMETHODIMP GetDefaultColumn(DWORD reserved, ULONG* sort, ULONG* display) override;
    IFACEMETHODIMP GetDefaultColumnState(UINT column, SHCOLSTATEF* state) override;
    IFACEMETHODIMP GetDetailsEx(LPCITEMIDLIST pidl, const SHCOLUMNID* column, VARIANT* value) override;
    IFACEMETHODIMP GetDetailsOf(LPCITEMIDLIST pidl, UINT column, SHELLDETAILS* details) override;
    IFACEMETHODIMP MapColumnToSCID(UINT column, SHCOLUMNID* scid) override;

    // IPersist, IPersistFolder, IPersistFolder2
    IFACEMETHODIMP GetClassID(CLSID* clsid) override;
    IFACEMETHODIMP Initialize(LPCITEMIDLIST pidl) override;
    IFACEMETHODIMP GetCurFolder(LPITEMIDLIST* pidl) override;

    // IShellIcon
    IFACEMETHODIMP GetIconOf(LPCITEMIDLIST pidl, UINT flags, int* index) override;

    // The callback given to the view made last (null before CreateViewObject), for tests.
    CShellViewCB* view_callback() const { return view_callback_.get(); }

private:
    CShellFolder() = default;
    ~CShellFolder() override;

    HRESULT parse(HWND owner, IBindCtx* bc, const wchar_t* name, ULONG* eaten, LPITEMIDLIST* pidl, ULONG* attributes);
    HRESULT parse_query(const wchar_t* name, ULONG* eaten, LPITEMIDLIST* pidl, ULONG* attributes);
    HRESULT display_name(LPCITEMIDLIST pidl, SHGDNF flags, STRRET* name);
    // How the shell names this folder's own place: the desktop's parsing name of the list
    // above its first own identifier.
    std::wstring root_parsing_name() const;
    HRESULT background_menu(HWND owner, REFIID riid, void** out);
    HRESULT bind(LPCITEMIDLIST pidl, IBindCtx* bc, REFIID riid, void** out);
    HRESULT compare(LPARAM how, LPCITEMIDLIST a, LPCITEMIDLIST b);
    HRESULT attributes(UINT count, LPCITEMIDLIST* list, SFGAOF* mask);
    HRESULT context_menu(HWND owner, UINT count, LPCITEMIDLIST* list, void** out);

    // The view callback made last.
    util::com_ptr<CShellViewCB> view_callback_;
    util::unique_pidl pidl_;
    // The window given to CreateViewObject, passed on to every sub-folder bound from here.
    HWND owner_ = nullptr;
};

}  // namespace ShellNamespace
