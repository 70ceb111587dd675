#include "namespace/shell_menu.h"

#include "database/tags_holder.h"
#include "namespace/data_object.h"
#include "namespace/item_ids.h"
#include "namespace/link_folder.h"
#include "namespace/view_watch.h"
#include "namespace/view_windows.h"
#include "shell/manage_tags_dialog.h"
#include "util/hresult.h"

#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace ShellNamespace {

namespace {

struct entry {
    int offset;  // -1: a separator
    const wchar_t* text;
    void (*run)(CShellMenu&);
};

void run_open(CShellMenu& menu) { menu.open(); }
void run_open_path(CShellMenu& menu) { menu.open_path(); }
void run_open_with(CShellMenu& menu) { menu.open_with(); }
void run_properties(CShellMenu& menu) { menu.properties(); }
void run_manage_tags(CShellMenu& menu) { menu.manage_tags(); }
void run_delete_tags(CShellMenu& menu) { menu.delete_tags(); }
void run_copy(CShellMenu& menu) { menu.copy(); }
void run_delete(CShellMenu& menu) { menu.delete_items(); }
void run_filter(CShellMenu& menu) { menu.combine(L'|'); }
void run_exclude(CShellMenu& menu) { menu.combine(L':'); }
void run_merge(CShellMenu& menu) { menu.combine(L'*'); }
void run_real_folder(CShellMenu& menu) { menu.open_in_real_folder(); }

const entry separator = {-1, nullptr, nullptr};

const entry one_file[] = {
    {0, L"Open", run_open},
    {1, L"Open path", run_open_path},
    {2, L"Open with", run_open_with},
    separator,
    {3, L"Manage Tags", run_manage_tags},
    {4, L"Delete tags for file", run_delete_tags},
    separator,
    {5, L"Copy", run_copy},
    {6, L"Delete from disk", run_delete},
    separator,
    {7, L"Properties", run_properties},
};
const entry several_files[] = {
    {0, L"Open in real folder", run_real_folder},
    separator,
    {1, L"Manage Tags", run_manage_tags},
    {2, L"Delete tags for file", run_delete_tags},
    separator,
    {3, L"Copy", run_copy},
    {4, L"Delete from disk", run_delete},
};
const entry one_tag[] = {
    {0, L"Filter to tag", run_filter},
    {1, L"Exclude tag", run_exclude},
    {2, L"Delete node", run_delete},
};
const entry several_tags[] = {
    {0, L"Filter to tags", run_filter},
    {1, L"Exclude tags", run_exclude},
    {2, L"Merge tags", run_merge},
    separator,
    {3, L"Delete nodes", run_delete},
};
const entry one_node[] = {
    {0, L"Delete node", run_delete},
};
const entry several_nodes[] = {
    {0, L"Delete nodes", run_delete},
};

struct entry_set {
    const entry* entries;
    std::size_t count;
};

template <std::size_t N>
entry_set set_of(const entry (&entries)[N]) {
    return entry_set{entries, N};
}

entry_set entries_for(std::size_t count, int common_kind) {
    const bool one = count == 1;
    if (common_kind == items::item_file) return one ? set_of(one_file) : set_of(several_files);
    if (common_kind == items::item_node) return one ? set_of(one_tag) : set_of(several_tags);
    return one ? set_of(one_node) : set_of(several_nodes);
}

items::shell_item_fields fields_of(LPCITEMIDLIST item) {
    items::shell_item_fields fields;
    read_own_item(item, fields);
    return fields;
}

// An identifier list holding one item of the folder's layout with `name`, kind 3.
std::vector<BYTE> combined_item(const std::wstring& name) {
    items::shell_item_list list;
    list.add(items::item_node, 0, 0, name);
    const USHORT cb = list.cb(0);
    std::vector<BYTE> bytes(cb + sizeof(USHORT), 0);
    std::memcpy(bytes.data(), list.at(0), cb);
    return bytes;
}

void shell_open(HWND window, const wchar_t* file, const wchar_t* parameters) {
    ::ShellExecuteW(window, L"open", file, parameters, nullptr, SW_SHOWNORMAL);
}

}  // namespace

CShellMenu* CShellMenu::create() noexcept { return new (std::nothrow) CShellMenu; }

CShellMenu::~CShellMenu() {
    commands_.clear();
    selection_.clear();
}

const QITAB* CShellMenu::interface_table() {
    static const QITAB table[] = {
        QITABENT(CShellMenu, IContextMenu),
        QITABENT(CShellMenu, IShellExtInit),
        {nullptr, 0},
    };
    return table;
}

HRESULT CShellMenu::Init(LPCITEMIDLIST folder, UINT count, LPCITEMIDLIST* items, HWND owner) {
    return util::guarded([&] {
        if (count && !items) return E_INVALIDARG;
        if (folder) {
            folder_.reset(::ILClone(folder));
            if (!folder_) return E_OUTOFMEMORY;
        }
        selection_.clear();
        for (UINT i = 0; i < count; ++i) {
            LPITEMIDLIST copy = ::ILClone(items[i]);
            if (!copy) return E_OUTOFMEMORY;
            selection_.push_back(boost::shared_ptr<ITEMIDLIST>(copy, ::ILFree));
        }
        owner_ = owner;
        return S_OK;
    });
}

IFACEMETHODIMP CShellMenu::Initialize(PCIDLIST_ABSOLUTE, IDataObject* data, HKEY) {
    data_ = util::com_ptr<IDataObject>(data);
    return S_OK;
}

IFACEMETHODIMP CShellMenu::QueryContextMenu(HMENU menu, UINT index, UINT first_id, UINT, UINT flags) {
    const HRESULT hr = util::guarded([&] {
        commands_.clear();
        // Never wait: the lock may be held by a whole directory parse, and the start-up load
        // must have finished before the tree can be trusted. A busy database gives no entries.
        if (!items::tags_holder().wait_loaded(0)) return S_OK;
        {
            util::lock_guard held = util::lock_guard::try_lock(items::database_lock());
            if (!held.owns_lock() || selection_.empty()) return S_OK;
            if (selection_.size() != 1 || !(flags & CMF_DEFAULTONLY)) {
                build(menu, index, first_id);
                return S_OK;
            }
        }
        // The default command runs without the lock: opening a file can wait for the window of
        // the program that opens it, and browsing lists the level on this thread.
        const items::shell_item_fields item = fields_of(selection_[0].get());
        if (item.file_id != 0) {
            open();
        } else {
            enter(selection_[0].get());
        }
        return S_OK;
    });
    // The number of ids used is not reported: the view that asks is the menu's only user.
    return FAILED(hr) ? hr : S_OK;
}

void CShellMenu::build(HMENU menu, UINT index, UINT first_id) {
    int common_kind = fields_of(selection_[0].get()).kind;
    for (const boost::shared_ptr<ITEMIDLIST>& item : selection_) {
        if (fields_of(item.get()).kind != common_kind) common_kind = 0;
    }
    const entry_set set = entries_for(selection_.size(), common_kind);
    id_shift_ = first_id == 0 ? 1 : 0;
    UINT position = index;
    for (std::size_t i = 0; i < set.count; ++i, ++position) {
        const entry& e = set.entries[i];
        if (e.offset < 0) {
            ::InsertMenuW(menu, position, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
            continue;
        }
        ::InsertMenuW(menu, position, MF_BYPOSITION | MF_STRING, first_id + id_shift_ + e.offset, e.text);
        commands_[e.offset] = e.run;
    }
}

IFACEMETHODIMP CShellMenu::InvokeCommand(CMINVOKECOMMANDINFO* invocation) {
    if (!invocation) return E_INVALIDARG;
    // The menu has no verbs: a verb given as text names nothing here.
    if (!IS_INTRESOURCE(invocation->lpVerb)) return E_INVALIDARG;
    return util::guarded([&] {
        // The caller gives the chosen id less its first id.
        const int offset = static_cast<int>(LOWORD(reinterpret_cast<UINT_PTR>(invocation->lpVerb))) -
                           static_cast<int>(id_shift_);
        CommandTable::const_iterator found = commands_.find(offset);
        if (found == commands_.end()) return E_INVALIDARG;
        // A copy: the command may end in a rebuild of this very menu.
        const CommandTable::mapped_type command = found->second;
        command(*this);
        return S_OK;
    });
}

IFACEMETHODIMP CShellMenu::GetCommandString(UINT_PTR, UINT, UINT*, CHAR*, UINT) { return E_NOTIMPL; }

std::vector<std::wstring> CShellMenu::file_paths() const {
    std::vector<std::wstring> paths;
    const std::wstring root = root_of(folder_.get());
    for (const boost::shared_ptr<ITEMIDLIST>& item : selection_) {
        const items::shell_item_fields fields = fields_of(item.get());
        std::wstring path;
        if (fields.file_id != 0 && items::tags_holder().find_path(fields.file_id, path, root)) paths.push_back(path);
    }
    return paths;
}

std::wstring CShellMenu::first_path() const {
    std::wstring path;
    if (selection_.empty()) return path;
    const items::shell_item_fields fields = fields_of(selection_[0].get());
    if (fields.file_id == 0 || !items::tags_holder().find_path(fields.file_id, path, root_of(folder_.get()))) path.clear();
    return path;
}

void CShellMenu::enter(LPCITEMIDLIST child) {
    util::unique_pidl target(::ILAppendID(::ILClone(folder_.get()), &child->mkid, TRUE));
    IShellBrowser* browser = shell_browser_of(owner_);
    if (target && browser) browser->BrowseObject(target.get(), SBSP_SAMEBROWSER);
}

void CShellMenu::open() {
    const std::wstring path = first_path();
    if (!path.empty()) shell_open(nullptr, path.c_str(), nullptr);
}

void CShellMenu::open_path() {
    const std::wstring path = first_path();
    if (path.empty()) return;
    const std::wstring parameters = L"/select, \"" + path + L"\"";
    shell_open(nullptr, L"explorer", parameters.c_str());
}

void CShellMenu::open_with() {
    const std::wstring path = first_path();
    if (path.empty()) return;
    const std::wstring parameters = L"shell32.dll,OpenAs_RunDLL " + path;
    shell_open(owner_, L"rundll32.exe", parameters.c_str());
}

void CShellMenu::properties() {
    const std::wstring path = first_path();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_INVOKEIDLIST | SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"properties";
    info.lpFile = path.empty() ? nullptr : path.c_str();
    info.nShow = SW_HIDE;
    ::ShellExecuteExW(&info);
    if (info.hProcess) ::CloseHandle(info.hProcess);
}

void CShellMenu::manage_tags() {
    open_manage_tags(file_paths());
}

void CShellMenu::delete_tags() {
    items::tags_holder().remove_all_tags(file_paths(), true);
    refresh_after_change();
}

void CShellMenu::copy() {
    copy_to_clipboard(owner_, folder_.get(), selection_);
}

void CShellMenu::delete_items() {
    const std::vector<std::wstring> path = own_names(folder_.get());
    // A node whose file another program holds stays; the caller hears of the first such one
    // once the others are gone.
    std::unique_ptr<items::store_error> failed;
    for (const boost::shared_ptr<ITEMIDLIST>& item : selection_) {
        const items::shell_item_fields fields = fields_of(item.get());
        if (fields.file_id != 0) {
            std::wstring file;
            if (items::tags_holder().find_path(fields.file_id, file, path.empty() ? std::wstring() : path.front())) {
                ::DeleteFileW(file.c_str());
            }
            continue;
        }
        std::vector<std::wstring> chain = path;
        chain.push_back(fields.name);
        try {
            items::tags_holder().delete_node(*items::make_chain(chain));
        } catch (const items::store_error& error) {
            if (!failed) failed.reset(new items::store_error(error));
        }
    }
    refresh_after_change();
    if (failed) throw *failed;
}

void CShellMenu::refresh_after_change() {
    const std::vector<std::wstring> path = own_names(folder_.get());
    if (!path.empty()) items::tags_holder().refresh_views(path[0]);
    // This menu's own view lists again in any case: at the top it shows no root, and the
    // database knows no view of a root that was just deleted.
    view_windows().views_changed(std::vector<items::view_key>(1, view_key_of(owner_)));
}

void CShellMenu::combine(wchar_t separator) {
    std::wstring name;
    for (const boost::shared_ptr<ITEMIDLIST>& item : selection_) {
        name += separator;
        name += fields_of(item.get()).name;
    }
    const std::vector<BYTE> child = combined_item(name);
    enter(reinterpret_cast<LPCITEMIDLIST>(child.data()));
}

void CShellMenu::open_in_real_folder() {
    ShellNamespace::open_in_real_folder(file_paths(), owner_);
}

}  // namespace ShellNamespace
