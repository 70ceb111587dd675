#include "namespace/shell_folder.h"

#include "database/tag_query.h"
#include "database/tags_holder.h"
#include "namespace/view_watch.h"
#include "namespace/view_windows.h"
#include "shell/icons_holder.h"
#include "util/class_id.h"
#include "util/file_names.h"
#include "namespace/enum_id_list.h"
#include "namespace/item_ids.h"
#include "namespace/shell_view_cb.h"
#include "namespace/data_object.h"
#include "namespace/folder_columns.h"
#include "namespace/shell_menu.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace ShellNamespace {


namespace {

const SFGAOF file_attributes = SFGAO_FILESYSTEM | SFGAO_CANCOPY;
// Every tag level lists its "Filtered Items" entry, a folder, before its tags, so the
// navigation pane may offer to expand it; "Filtered Items" and a query level hold files alone.
const SFGAOF tag_level_attributes = SFGAO_HASSUBFOLDER | SFGAO_FOLDER;
const SFGAOF file_level_attributes = SFGAO_FOLDER;

// A query level looks like the "Filtered Items" entry it stands beside.
unsigned icon_kind(const items::shell_item_fields& item) {
    return item.kind == items::item_query ? static_cast<unsigned>(items::item_filtered) : item.kind;
}

}  // namespace

CShellFolder* CShellFolder::create() noexcept { return new (std::nothrow) CShellFolder; }

CShellFolder::~CShellFolder() = default;

const QITAB* CShellFolder::interface_table() {
    static const QITAB table[] = {
        QITABENT(CShellFolder, IShellFolder2),
        QITABENTMULTI(CShellFolder, IShellFolder, IShellFolder2),
        QITABENT(CShellFolder, IPersistFolder2),
        QITABENTMULTI(CShellFolder, IPersistFolder, IPersistFolder2),
        QITABENTMULTI(CShellFolder, IPersist, IPersistFolder2),
        QITABENT(CShellFolder, IShellIcon),
        {nullptr, 0},
    };
    return table;
}

// --- IPersistFolder2 ---

IFACEMETHODIMP CShellFolder::GetClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = util::class_id;
    return S_OK;
}

IFACEMETHODIMP CShellFolder::Initialize(LPCITEMIDLIST pidl) {
    if (!pidl) return E_INVALIDARG;
    util::unique_pidl copy(::ILClone(pidl));
    if (!copy) return E_FAIL;
    pidl_ = std::move(copy);
    view_windows().folder_placed(pidl_.get());
    return S_OK;
}

IFACEMETHODIMP CShellFolder::GetCurFolder(LPITEMIDLIST* pidl) {
    if (!pidl) return E_POINTER;
    *pidl = nullptr;
    if (!pidl_) return E_FAIL;
    *pidl = ::ILClone(pidl_.get());
    return *pidl ? S_OK : E_OUTOFMEMORY;
}

// --- IShellFolder ---

IFACEMETHODIMP CShellFolder::ParseDisplayName(HWND owner, IBindCtx* bc, LPWSTR name, ULONG* eaten,
                                              LPITEMIDLIST* pidl, ULONG* attributes) {
    if (eaten) *eaten = 0;
    if (!pidl) return E_POINTER;
    *pidl = nullptr;
    if (!name) return E_INVALIDARG;
    const HRESULT hr = util::guarded([&] { return parse(owner, bc, name, eaten, pidl, attributes); });
    if (FAILED(hr)) {
        ::CoTaskMemFree(*pidl);
        *pidl = nullptr;
        if (eaten) *eaten = 0;
    }
    return hr;
}

// The desktop hands a folder of its namespace everything after "::{CLSID}\" in one piece
// (Wine's desktop does so too): the folder takes one component, finds it among the items the
// database lists for this level (so kinds, counts and ids are those the view gets), and hands
// the rest to the level below.
HRESULT CShellFolder::parse(HWND owner, IBindCtx* bc, const wchar_t* name, ULONG* eaten, LPITEMIDLIST* pidl,
                            ULONG* attributes) {
    const std::wstring text = name;
    const std::wstring::size_type slash = text.find(L'\\');
    const std::wstring first = text.substr(0, slash);
    std::wstring rest = slash == std::wstring::npos ? std::wstring() : text.substr(slash + 1);
    while (!rest.empty() && rest.back() == L'\\') rest.pop_back();

    const std::vector<std::wstring> path = own_names(pidl_.get());
    items::shell_item_list level;
    std::size_t found = level.size();
    if (!first.empty() && !items::is_query_name(first)) {
        items::tags_holder().list_level(path, view_key_of(owner ? owner : owner_), level);
        found = level.size();
        // As the database follows names: an exact match first, else one that differs in case.
        for (std::size_t i = 0; i < level.size() && found == level.size(); ++i) {
            if (level.fields(i).name == first) found = i;
        }
        for (std::size_t i = 0; i < level.size() && found == level.size(); ++i) {
            if (util::same_name(level.fields(i).name, first)) found = i;
        }
    }
    if (found == level.size()) {
        // At the top whatever names no root tag is a query typed after the folder's name.
        if (path.empty()) return parse_query(name, eaten, pidl, attributes);
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    util::unique_pidl child(copy_first_item(reinterpret_cast<LPCITEMIDLIST>(level.at(found))));
    if (!child) return E_OUTOFMEMORY;
    if (rest.empty()) {
        if (attributes && *attributes) {
            LPCITEMIDLIST one = child.get();
            QBX_RETURN_IF_FAILED(this->attributes(1, &one, attributes));
        }
        *pidl = child.release();
        if (eaten) *eaten = static_cast<ULONG>(text.size());
        return S_OK;
    }
    // A file holds nothing to name below it.
    if (level.fields(found).kind == items::item_file) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    util::com_ptr<IShellFolder> below;
    QBX_RETURN_IF_FAILED(bind(child.get(), bc, IID_IShellFolder, below.put_void()));
    util::unique_pidl tail;
    ULONG tail_eaten = 0;
    QBX_RETURN_IF_FAILED(below->ParseDisplayName(owner, bc, &rest[0], &tail_eaten, tail.put(), attributes));
    *pidl = ::ILCombine(child.get(), tail.get());
    if (!*pidl) return E_OUTOFMEMORY;
    if (eaten) *eaten = static_cast<ULONG>(text.size());
    return S_OK;
}

// What is typed after the folder in the address bar (at most MAX_PATH characters in Wine's
// Explorer) and names no root tag: the whole rest is one query.
HRESULT CShellFolder::parse_query(const wchar_t* name, ULONG* eaten, LPITEMIDLIST* pidl, ULONG* attributes) {
    std::wstring text = name;
    // The name's own mark, as a parsing name of the level may carry it.
    if (items::is_query_name(text)) text.erase(0, 1);
    try {
        items::tag_query::parse(text);
    } catch (const items::query_error&) {
        return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    }
    const std::wstring item_name = items::query_mark + text;
    // The 16-bit cb of an identifier holds no longer name; a cut query would be another one.
    if (item_name.size() > (0xFFFF - items::shell_item_header - 2) / 2) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    items::shell_item_list made;
    made.add(items::item_query, 0, 0, item_name);
    *pidl = copy_first_item(reinterpret_cast<LPCITEMIDLIST>(made.at(0)));
    if (!*pidl) return E_OUTOFMEMORY;
    if (eaten) *eaten = static_cast<ULONG>(std::wcslen(name));
    if (attributes) *attributes &= file_level_attributes;
    return S_OK;
}

IFACEMETHODIMP CShellFolder::EnumObjects(HWND owner, SHCONTF flags, IEnumIDList** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    // Every call gets an enumerator of its own: the server runs on any thread, and a shared
    // one would be refilled under a caller that is still inside Next.
    CEnumIDList* created = CEnumIDList::create(pidl_.get(), owner, flags);
    if (!created) return E_OUTOFMEMORY;
    // The system's view lists its items for its own window, on that window's thread.
    watch_view_window(owner);
    *out = created;
    return S_OK;
}

HRESULT CShellFolder::bind(LPCITEMIDLIST pidl, IBindCtx* bc, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    items::shell_item_fields first;
    if (!read_own_item(pidl, first)) return E_INVALIDARG;

    util::unique_pidl child(copy_first_item(pidl));
    util::unique_pidl joined;
    if (pidl_ && child) {
        joined.reset(::ILCombine(pidl_.get(), child.get()));
    } else if (pidl_ || child) {
        joined.reset(::ILClone(pidl_ ? pidl_.get() : child.get()));
    }
    if (!joined) return E_FAIL;

    CShellFolder* folder = create();
    if (!folder) return E_OUTOFMEMORY;
    HRESULT hr = folder->Initialize(joined.get());
    if (SUCCEEDED(hr)) {
        folder->owner_ = owner_;
        hr = is_single_item(pidl) ? folder->QueryInterface(riid, out)
                                  : folder->BindToObject(next_item(pidl), bc, riid, out);
    }
    folder->Release();
    return hr;
}

IFACEMETHODIMP CShellFolder::BindToObject(LPCITEMIDLIST pidl, IBindCtx* bc, REFIID riid, void** out) {
    if (out) *out = nullptr;
    return util::guarded([&] { return bind(pidl, bc, riid, out); });
}

IFACEMETHODIMP CShellFolder::BindToStorage(LPCITEMIDLIST pidl, IBindCtx* bc, REFIID riid, void** out) {
    if (out) *out = nullptr;
    return util::guarded([&] { return bind(pidl, bc, riid, out); });
}

IFACEMETHODIMP CShellFolder::CompareIDs(LPARAM how, LPCITEMIDLIST a, LPCITEMIDLIST b) {
    return util::guarded([&] { return compare(how, a, b); });
}

namespace {

// The order travels in the code field of a success code: -1 as a bare HRESULT would read as a
// failure to every caller that checks.
HRESULT order_result(int order) {
    return MAKE_HRESULT(SEVERITY_SUCCESS, 0, static_cast<USHORT>(static_cast<short>(order)));
}

// The order of two lists of which at least one has ended: the shorter, a prefix of the other, first.
int ended_order(bool a_ends, bool b_ends) { return a_ends == b_ends ? 0 : a_ends ? -1 : 1; }

}  // namespace

HRESULT CShellFolder::compare(LPARAM how, LPCITEMIDLIST a, LPCITEMIDLIST b) {
    if (!a || !b) return E_INVALIDARG;
    const bool a_empty = item_size(a) == 0, b_empty = item_size(b) == 0;
    if (a_empty || b_empty) return order_result(ended_order(a_empty, b_empty));
    items::shell_item_fields first;
    items::shell_item_fields second;
    if (!read_own_item(a, first) || !read_own_item(b, second)) return E_INVALIDARG;

    // Only the low 32 bits carry the column and the flags, also where LPARAM is wider.
    const DWORD bits = static_cast<DWORD>(how);
    const UINT column = bits & SHCIDS_COLUMNMASK;
    const bool canonical = (bits & SHCIDS_CANONICALONLY) != 0;
    const bool all_fields = (bits & SHCIDS_ALLFIELDS) != 0;
    // Both flags ask for an order of the identifiers alone, whatever the column (which must be 0
    // with SHCIDS_ALLFIELDS).
    if (!canonical && !all_fields && column >= column_count) return E_INVALIDARG;
    int order = canonical || all_fields ? canonical_order(first, second)
                                        : column_order(first, second, root_of(pidl_.get()), column);
    // One and the same item may have been listed twice with another count in between.
    if (order == 0 && all_fields && first.count != second.count) order = first.count < second.count ? -1 : 1;
    if (order != 0) return order_result(order);

    // One item: the folder it opens orders what lies below it, as it is the one that reads them.
    const LPCITEMIDLIST rest_a = next_item(a), rest_b = next_item(b);
    const bool a_ends = item_size(rest_a) == 0, b_ends = item_size(rest_b) == 0;
    if (a_ends || b_ends) return order_result(ended_order(a_ends, b_ends));
    util::unique_pidl item(copy_first_item(a));
    if (!item) return E_OUTOFMEMORY;
    util::com_ptr<IShellFolder> below;
    QBX_RETURN_IF_FAILED(bind(item.get(), nullptr, IID_IShellFolder, below.put_void()));
    return below->CompareIDs(how, rest_a, rest_b);
}

IFACEMETHODIMP CShellFolder::CreateViewObject(HWND owner, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid == IID_IContextMenu) return util::guarded([&] { return background_menu(owner, riid, out); });
    if (riid != IID_IShellView) return E_NOINTERFACE;
    util::com_ptr<CShellViewCB> callback = util::com_ptr<CShellViewCB>::attach(CShellViewCB::create(owner, pidl_.get()));
    if (!callback) return E_OUTOFMEMORY;
    view_callback_ = callback;
    owner_ = owner;

    SFV_CREATE create_info = {};
    create_info.cbSize = sizeof create_info;
    create_info.pshf = static_cast<IShellFolder*>(this);
    create_info.psvOuter = nullptr;
    create_info.psfvcb = callback.get();
    const HRESULT hr = ::SHCreateShellFolderView(&create_info, reinterpret_cast<IShellView**>(out));
    // A view that was never made never reports its end: counting it would keep the
    // window's state alive for good.
    if (FAILED(hr)) return hr;
    const HRESULT opened = util::guarded([&] {
        items::tags_holder().view_opened(view_key_of(owner));
        return S_OK;
    });
    if (FAILED(opened)) {
        static_cast<IShellView*>(*out)->Release();
        *out = nullptr;
        return opened;
    }
    return hr;
}

// Windows' view shows it on a right click in empty space: the system's own menu of a folder
// with no items selected (View, Sort by, Refresh, Paste...). Wine 8 makes an item menu with no
// items here, which adds no entries; its view builds a background menu of its own instead.
HRESULT CShellFolder::background_menu(HWND owner, REFIID riid, void** out) {
    DEFCONTEXTMENU menu = {};
    menu.hwnd = owner;
    menu.pidlFolder = pidl_.get();
    menu.psf = static_cast<IShellFolder*>(this);
    return ::SHCreateDefaultContextMenu(&menu, riid, out);
}

IFACEMETHODIMP CShellFolder::GetAttributesOf(UINT count, LPCITEMIDLIST* list, SFGAOF* mask) {
    return util::guarded([&] { return attributes(count, list, mask); });
}

HRESULT CShellFolder::attributes(UINT count, LPCITEMIDLIST* list, SFGAOF* mask) {
    if (!mask) return E_POINTER;
    if (count == 0) return S_OK;
    if (!list) return E_INVALIDARG;
    // Every item is checked before the mask is touched, so a refused call changes nothing.
    for (UINT i = 0; i < count; ++i) {
        items::shell_item_fields item;
        if (!read_own_item(list[i], item)) return E_INVALIDARG;
    }
    SFGAOF result = *mask;
    for (UINT i = 0; i < count; ++i) {
        items::shell_item_fields item;
        read_own_item(list[i], item);
        if (item.file_id != 0) {
            std::wstring path;
            const bool known = items::tags_holder().find_path(item.file_id, path, root_of(pidl_.get()));
            const bool present = known && ::PathFileExistsW(path.c_str());
            // A program may have moved it without telling the shell: it is looked for by its
            // identity meanwhile, and the view reloads when it is found.
            if (known && !present) items::tags_holder().relink_later(item.file_id);
            result &= present ? file_attributes : file_attributes | SFGAO_GHOSTED;
        } else if (item.kind == items::item_root || item.kind == items::item_empty_node || item.kind == items::item_node) {
            result &= tag_level_attributes;
        } else if (item.kind == items::item_filtered || item.kind == items::item_query) {
            result &= file_level_attributes;
        } else {
            // An identifier of ours with a kind we never make: nothing can be done with it.
            result = 0;
        }
    }
    *mask = result;
    return S_OK;
}

IFACEMETHODIMP CShellFolder::GetUIObjectOf(HWND owner, UINT count, LPCITEMIDLIST* list, REFIID riid, UINT*,
                                           void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid == IID_IContextMenu) return util::guarded([&] { return context_menu(owner, count, list, out); });
    if (riid == IID_IDataObject) {
        return util::guarded([&] { return CDataObject::create(pidl_.get(), count, list, riid, out); });
    }
    if (riid != IID_IExtractIconW) return E_NOINTERFACE;
    if (count > 1) return E_NOINTERFACE;
    if (count == 0 || !list) return E_INVALIDARG;
    return util::guarded([&] {
        items::shell_item_fields item;
        if (!read_own_item(list[0], item)) return E_INVALIDARG;
        IconsHolder& icons = icons_holder();
        util::com_ptr<IExtractIconW> icon = util::com_ptr<IExtractIconW>::attach(
            item.file_id != 0 ? icons.icon_of_file(item.file_id, root_of(pidl_.get())) : icons.icon_of_kind(icon_kind(item)));
        if (!icon) return E_FAIL;
        return icon->QueryInterface(riid, out);
    });
}

HRESULT CShellFolder::context_menu(HWND owner, UINT count, LPCITEMIDLIST* list, void** out) {
    if (count == 0 || !list) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) {
        items::shell_item_fields item;
        if (!read_own_item(list[i], item)) return E_INVALIDARG;
    }
    util::com_ptr<CShellMenu> menu = util::com_ptr<CShellMenu>::attach(CShellMenu::create());
    if (!menu) return E_OUTOFMEMORY;
    QBX_RETURN_IF_FAILED(menu->Init(pidl_.get(), count, list, owner));
    return menu->QueryInterface(IID_IContextMenu, out);
}

IFACEMETHODIMP CShellFolder::GetDisplayNameOf(LPCITEMIDLIST pidl, SHGDNF flags, STRRET* name) {
    if (!name) return E_POINTER;
    name->uType = STRRET_WSTR;
    name->pOleStr = nullptr;
    return util::guarded([&] { return display_name(pidl, flags, name); });
}

HRESULT CShellFolder::display_name(LPCITEMIDLIST pidl, SHGDNF flags, STRRET* name) {
    items::shell_item_fields item;
    if (!read_own_item(pidl, item)) return E_INVALIDARG;
    // The desktop names an item deeper down by a list relative to the folder it binds
    // (SIGDN_DESKTOPABSOLUTEPARSING, SHGetPathFromIDList): the level that holds the last item
    // names it.
    if (!is_single_item(pidl)) {
        util::unique_pidl first(copy_first_item(pidl));
        if (!first) return E_OUTOFMEMORY;
        util::com_ptr<IShellFolder> below;
        QBX_RETURN_IF_FAILED(bind(first.get(), nullptr, IID_IShellFolder, below.put_void()));
        return below->GetDisplayNameOf(next_item(pidl), flags, name);
    }
    if (!(flags & SHGDN_FORPARSING)) return make_strret(shown_name(item.name), name);
    // In the folder an item parses back by its name as listed; a query keeps its mark, so no
    // query is taken for the root tag of the same name.
    if (flags & SHGDN_INFOLDER) return make_strret(item.name, name);
    std::wstring text;
    // A file-system item's parsing name is its path: that is what the preview and details
    // panes, "Copy as path" and every program handed the item ask for.
    if (item.file_id != 0 && items::tags_holder().find_path(item.file_id, text, root_of(pidl_.get()))) {
        return make_strret(text, name);
    }
    text = root_parsing_name();
    for (const std::wstring& part : own_names(pidl_.get())) text += L'\\' + part;
    text += L'\\' + item.name;
    return make_strret(text, name);
}

std::wstring CShellFolder::root_parsing_name() const {
    // The name the desktop gives a folder of its own namespace.
    const std::wstring fallback = std::wstring(L"::") + util::class_id_text;
    const LPCITEMIDLIST list = pidl_.get();
    std::size_t above = 0;
    for (LPCITEMIDLIST item = list; item_size(item) >= sizeof(USHORT); item = next_item(item)) {
        items::shell_item_fields own;
        if (read_own_item(item, own)) break;
        above += item_size(item);
    }
    if (above == 0) return fallback;
    std::vector<BYTE> junction(above + sizeof(USHORT), 0);
    std::memcpy(junction.data(), list, above);
    const LPCITEMIDLIST place = reinterpret_cast<LPCITEMIDLIST>(junction.data());
    util::com_ptr<IShellFolder> desktop;
    if (FAILED(::SHGetDesktopFolder(desktop.put()))) return fallback;
    STRRET parsing = {};
    if (FAILED(desktop->GetDisplayNameOf(place, SHGDN_FORPARSING, &parsing))) return fallback;
    wchar_t* text = nullptr;
    if (FAILED(::StrRetToStrW(&parsing, place, &text)) || !text) return fallback;
    util::unique_cotaskmem owned(text);
    return *text ? std::wstring(text) : fallback;
}

IFACEMETHODIMP CShellFolder::SetNameOf(HWND, LPCITEMIDLIST, LPCWSTR, SHGDNF, LPITEMIDLIST* out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

// --- IShellFolder2 ---

IFACEMETHODIMP CShellFolder::GetDefaultSearchGUID(GUID*) { return E_NOTIMPL; }

IFACEMETHODIMP CShellFolder::EnumSearches(IEnumExtraSearch** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

IFACEMETHODIMP CShellFolder::GetDefaultColumn(DWORD, ULONG* sort, ULONG* display) {
    if (!sort || !display) return E_POINTER;
    *sort = column_name;
    *display = column_name;
    return S_OK;
}

IFACEMETHODIMP CShellFolder::GetDefaultColumnState(UINT column_index, SHCOLSTATEF* state) {
    if (!state) return E_POINTER;
    const column_info* column = column_at(column_index);
    if (!column) return E_INVALIDARG;
    *state = column->state;
    return S_OK;
}

IFACEMETHODIMP CShellFolder::GetDetailsEx(LPCITEMIDLIST pidl, const SHCOLUMNID* key, VARIANT* value) {
    if (!value) return E_POINTER;
    ::VariantInit(value);
    if (!key) return E_POINTER;
    return util::guarded([&] {
        items::shell_item_fields item;
        if (!read_own_item(pidl, item)) return E_INVALIDARG;
        UINT column_index = 0;
        // Windows' view also asks for keys no column has (the property lists of tiles, tips
        // and the details pane): it then uses the columns.
        if (!column_of_key(*key, column_index)) return E_FAIL;
        return cell_value(item, root_of(pidl_.get()), column_index, value);
    });
}

IFACEMETHODIMP CShellFolder::GetDetailsOf(LPCITEMIDLIST pidl, UINT column_index, SHELLDETAILS* details) {
    if (!details) return E_POINTER;
    details->str.uType = STRRET_WSTR;
    details->str.pOleStr = nullptr;
    const column_info* column = column_at(column_index);
    if (!column) return E_FAIL;
    return util::guarded([&] {
        if (!pidl) {
            // Wine's view sizes its columns from these rather than from defaults of its own.
            details->fmt = LVCFMT_LEFT;
            details->cxChar = column->width;
            return make_strret(column->header, &details->str);
        }
        items::shell_item_fields item;
        if (!read_own_item(pidl, item)) return E_INVALIDARG;
        std::wstring text;
        QBX_RETURN_IF_FAILED(cell_text(item, root_of(pidl_.get()), column_index, text));
        return make_strret(text, &details->str);
    });
}

IFACEMETHODIMP CShellFolder::MapColumnToSCID(UINT column_index, SHCOLUMNID* key) {
    if (!key) return E_POINTER;
    const column_info* column = column_at(column_index);
    if (!column) return E_INVALIDARG;
    *key = column->key;
    return S_OK;
}

// --- IShellIcon ---

IFACEMETHODIMP CShellFolder::GetIconOf(LPCITEMIDLIST pidl, UINT, int* index) {
    if (!index) return E_POINTER;
    *index = 0;
    return util::guarded([&] {
        items::shell_item_fields item;
        if (!read_own_item(pidl, item)) return E_INVALIDARG;
        if (item.kind != items::item_file) {
            util::com_ptr<IconsHolder::IconObject> icon =
                util::com_ptr<IconsHolder::IconObject>::attach(icons_holder().icon_of_kind(icon_kind(item)));
            int system_index = 0;
            if (icon && icon->system_index(system_index) && system_index != 0) {
                *index = system_index;
                return S_OK;
            }
            // The view then asks for IExtractIconW.
            return S_FALSE;
        }
        std::wstring path;
        if (!items::tags_holder().find_path(item.file_id, path, root_of(pidl_.get()))) return S_FALSE;
        // The shell's own folder icon.
        if (::PathIsDirectoryW(path.c_str())) {
            *index = 3;
            return S_OK;
        }
        SHFILEINFOW info = {};
        if (!::SHGetFileInfoW(path.c_str(), FILE_ATTRIBUTE_DIRECTORY, &info, sizeof info, SHGFI_SYSICONINDEX)) {
            return S_FALSE;
        }
        *index = info.iIcon;
        return S_OK;
    });
}

}  // namespace ShellNamespace
