#include "namespace/shell_menu.h"

#include "database/tags_holder.h"
#include "namespace/data_object.h"
#include "namespace/item_ids.h"
#include "namespace/link_folder.h"
#include "namespace/view_watch.h"
#include "namespace/view_windows.h"
#include "shell/manage_tags_dialog.h"
#include "util/apartment.h"
#include "util/hresult.h"

#include <shellapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace ShellNamespace {

namespace {

struct entry {
    int offset;  // -1: a separator
    const wchar_t* text;
    void (*run)(CShellMenu&);
    // The verb that names the entry for callers that invoke by text; null when none does.
    const char* verb;
};

void run_open(CShellMenu& menu) { menu.open(); }
void run_enter(CShellMenu& menu) { menu.enter_selected(); }
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

const char open_verb[] = "open";
const entry separator = {-1, nullptr, nullptr, nullptr};
// The default of a selection of files, and of one item of any other kind: what a double
// click or Enter runs. A default-only menu holds it alone.
const entry open_files = {0, L"Open", run_open, open_verb};
const entry open_item = {0, L"Open", run_enter, open_verb};

const entry one_file[] = {
    open_files,
    {1, L"Open path", run_open_path, nullptr},
    {2, L"Open with", run_open_with, nullptr},
    separator,
    {3, L"Manage Tags", run_manage_tags, nullptr},
    {4, L"Delete tags for file", run_delete_tags, nullptr},
    separator,
    {5, L"Copy", run_copy, "copy"},
    {6, L"Delete from disk", run_delete, nullptr},
    separator,
    {7, L"Properties", run_properties, "properties"},
};
const entry several_files[] = {
    {0, L"Open in real folder", run_real_folder, nullptr},
    separator,
    {1, L"Manage Tags", run_manage_tags, nullptr},
    {2, L"Delete tags for file", run_delete_tags, nullptr},
    separator,
    {3, L"Copy", run_copy, "copy"},
    {4, L"Delete from disk", run_delete, nullptr},
};
const entry one_tag[] = {
    {0, L"Filter to tag", run_filter, nullptr},
    {1, L"Exclude tag", run_exclude, nullptr},
    {2, L"Delete node", run_delete, nullptr},
};
const entry several_tags[] = {
    {0, L"Filter to tags", run_filter, nullptr},
    {1, L"Exclude tags", run_exclude, nullptr},
    {2, L"Merge tags", run_merge, nullptr},
    separator,
    {3, L"Delete nodes", run_delete, nullptr},
};
const entry one_node[] = {
    {0, L"Delete node", run_delete, nullptr},
};
const entry several_nodes[] = {
    {0, L"Delete nodes", run_delete, nullptr},
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

// The kind that every selected item has, 0 when they differ.
int common_kind_of(const std::vector<boost::shared_ptr<ITEMIDLIST> >& selection) {
    int kind = fields_of(selection[0].get()).kind;
    for (const boost::shared_ptr<ITEMIDLIST>& item : selection) {
        if (fields_of(item.get()).kind != kind) kind = 0;
    }
    return kind;
}

// Files open each; one item of another kind is entered; any other selection has no default.
const entry* default_of(std::size_t count, int common_kind) {
    if (common_kind == items::item_file) return &open_files;
    return count == 1 ? &open_item : nullptr;
}

// Verbs are ASCII and compared without regard to case, as the shell compares them.
template <typename Char>
bool same_verb(const char* verb, const Char* text) {
    for (;; ++verb, ++text) {
        const unsigned int a = static_cast<unsigned char>(*verb);
        const unsigned int b = static_cast<unsigned int>(*text);
        const unsigned int lower_b = b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b;
        if (a != lower_b) return false;
        if (a == 0) return true;
    }
}

template <typename Char>
const entry* entry_of_verb(std::size_t count, int common_kind, const Char* verb) {
    if (same_verb(open_verb, verb)) return default_of(count, common_kind);
    const entry_set set = entries_for(count, common_kind);
    for (std::size_t i = 0; i < set.count; ++i) {
        if (set.entries[i].verb && same_verb(set.entries[i].verb, verb)) return &set.entries[i];
    }
    return nullptr;
}

// The rule of the menu's entries, for commands named by verb: a busy database runs none.
bool database_free() {
    if (!items::tags_holder().wait_loaded(0)) return false;
    return util::lock_guard::try_lock(items::database_lock()).owns_lock();
}

// Copies `verb` and its terminator into `out` of `size` characters; nothing when it does not fit.
template <typename Char>
HRESULT copy_verb(const char* verb, Char* out, UINT size) {
    const std::size_t length = std::strlen(verb);
    if (!out || size <= length) return E_INVALIDARG;
    for (std::size_t i = 0; i <= length; ++i) out[i] = static_cast<Char>(verb[i]);
    return S_OK;
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

class command_error : public util::hresult_error {
public:
    command_error(const char* what, HRESULT hr) : util::hresult_error(what), hr_(hr) {}
    HRESULT hresult() const override { return hr_; }

private:
    HRESULT hr_;
};

boost::function<void(const std::wstring&)>& launch_observer() {
    static boost::function<void(const std::wstring&)>* observer = new boost::function<void(const std::wstring&)>;
    return *observer;
}

void launching(const std::wstring& file) {
    if (launch_observer()) launch_observer()(file);
}

void shell_open(HWND window, const std::wstring& file, const wchar_t* parameters) {
    launching(file);
    ::ShellExecuteW(window, L"open", file.c_str(), parameters, nullptr, SW_SHOWNORMAL);
}

// Runs a command's shell work in a single-threaded apartment (see util/apartment.h). The work
// gets copies of what it needs: it may run after the menu is gone, and it never reads the
// database, so a caller that holds the database lock cannot stop it.
void run_shell_work(const boost::function<void()>& work) {
    if (!util::run_in_single_threaded_apartment(work)) {
        throw command_error("the command's thread did not start", HRESULT_FROM_WIN32(::GetLastError()));
    }
}

// The owner for a window that the shell work may show. A caller in a single-threaded apartment
// runs the work itself and keeps its owner. Otherwise the work runs on a thread of its own: a
// window of a third thread (Explorer's) can still own its windows, as that thread pumps
// messages; a window of the calling thread cannot, since that thread need not pump them while
// an owned window waits on it.
HWND owner_for_shell_work(HWND owner) {
    if (!owner || util::in_single_threaded_apartment()) return owner;
    return ::GetWindowThreadProcessId(owner, nullptr) != ::GetCurrentThreadId() ? owner : nullptr;
}

}  // namespace

void observe_shell_launches(const boost::function<void(const std::wstring& file)>& observer) {
    launch_observer() = observer;
}

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

IFACEMETHODIMP CShellMenu::QueryContextMenu(HMENU menu, UINT index, UINT first_id, UINT last_id, UINT flags) {
    return util::guarded([&] {
        commands_.clear();
        verbs_.clear();
        id_shift_ = first_id == 0 ? 1 : 0;
        if (selection_.empty() || !menu) return S_OK;
        // The view's own request for the default of the very double click or Enter that the
        // view watch has just run finds none, so that it runs once.
        if ((flags & CMF_DEFAULTONLY) && view_default_just_ran()) return S_OK;
        int used = 0;
        {
            // Never wait: the lock may be held by a whole directory parse, and the start-up
            // load must have finished before the tree can be trusted. A busy database gives
            // no entries.
            if (!items::tags_holder().wait_loaded(0)) return S_OK;
            util::lock_guard held = util::lock_guard::try_lock(items::database_lock());
            if (!held.owns_lock()) return S_OK;
            used = build(menu, index, first_id, last_id, (flags & CMF_DEFAULTONLY) != 0);
        }
        // The count of ids taken from first_id, the unused id 0 of a zero-based menu included.
        return used ? MAKE_HRESULT(SEVERITY_SUCCESS, 0, used + static_cast<int>(id_shift_)) : S_OK;
    });
}

int CShellMenu::build(HMENU menu, UINT index, UINT first_id, UINT last_id, bool default_only) {
    const int common_kind = common_kind_of(selection_);
    const entry* chosen_default = default_of(selection_.size(), common_kind);
    entry_set set = entries_for(selection_.size(), common_kind);
    // A default-only request gets the default entry alone, or nothing; the caller invokes it.
    if (default_only) set = chosen_default ? entry_set{chosen_default, 1} : entry_set{nullptr, 0};
    int used = 0;
    UINT position = index;
    for (std::size_t i = 0; i < set.count; ++i, ++position) {
        const entry& e = set.entries[i];
        if (e.offset < 0) {
            ::InsertMenuW(menu, position, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
            continue;
        }
        const UINT id = first_id + id_shift_ + static_cast<UINT>(e.offset);
        if (id > last_id) break;
        if (!::InsertMenuW(menu, position, MF_BYPOSITION | MF_STRING, id, e.text)) continue;
        if (chosen_default && e.run == chosen_default->run) ::SetMenuDefaultItem(menu, id, FALSE);
        commands_[e.offset] = e.run;
        verbs_[e.offset] = e.verb;
        used = (std::max)(used, e.offset + 1);
    }
    return used;
}

IFACEMETHODIMP CShellMenu::InvokeCommand(CMINVOKECOMMANDINFO* invocation) {
    if (!invocation) return E_INVALIDARG;
    // A Unicode caller's verb is lpVerbW; the field lies inside the structure it gave only
    // when that structure is a CMINVOKECOMMANDINFOEX.
    const CMINVOKECOMMANDINFOEX* extended = reinterpret_cast<const CMINVOKECOMMANDINFOEX*>(invocation);
    const bool unicode = (invocation->fMask & CMIC_MASK_UNICODE) &&
                         invocation->cbSize >= offsetof(CMINVOKECOMMANDINFOEX, lpVerbW) + sizeof(LPCWSTR);
    const bool text_verb = unicode ? extended->lpVerbW && !IS_INTRESOURCE(extended->lpVerbW)
                                   : !IS_INTRESOURCE(invocation->lpVerb);
    return util::guarded([&] {
        CommandTable::mapped_type command;
        if (text_verb) {
            // Windows' view sends Ctrl+C and Alt+Enter as verbs, to a menu that may never have
            // been built: the verb is found from the selection alone.
            if (selection_.empty()) return E_INVALIDARG;
            const int kind = common_kind_of(selection_);
            const entry* e = unicode ? entry_of_verb(selection_.size(), kind, extended->lpVerbW)
                                     : entry_of_verb(selection_.size(), kind, invocation->lpVerb);
            if (!e) return E_INVALIDARG;
            if (!database_free()) return HRESULT_FROM_WIN32(ERROR_BUSY);
            command = e->run;
        } else {
            // The caller gives the chosen id less its first id.
            const int offset = static_cast<int>(LOWORD(reinterpret_cast<UINT_PTR>(invocation->lpVerb))) -
                               static_cast<int>(id_shift_);
            CommandTable::const_iterator found = commands_.find(offset);
            if (found == commands_.end()) return E_INVALIDARG;
            // A copy: the command may end in a rebuild of this very menu.
            command = found->second;
        }
        command(*this);
        return S_OK;
    });
}

IFACEMETHODIMP CShellMenu::GetCommandString(UINT_PTR command, UINT type, UINT*, CHAR* name, UINT size) {
    const int offset = static_cast<int>(command) - static_cast<int>(id_shift_);
    std::map<int, const char*>::const_iterator found = command > 0xFFFF ? verbs_.end() : verbs_.find(offset);
    switch (type) {
    case GCS_VALIDATEA:
    case GCS_VALIDATEW:
        return found != verbs_.end() ? S_OK : S_FALSE;
    case GCS_VERBA:
    case GCS_VERBW:
        if (found == verbs_.end() || !found->second) return E_INVALIDARG;
        return type == GCS_VERBW ? copy_verb(found->second, reinterpret_cast<WCHAR*>(name), size)
                                 : copy_verb(found->second, name, size);
    default:
        // No help texts and no verb icons.
        return E_NOTIMPL;
    }
}

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
    if (!target) return;
    if (!::IsWindow(owner_) || ::GetWindowThreadProcessId(owner_, nullptr) == ::GetCurrentThreadId()) {
        IShellBrowser* browser = shell_browser_of(owner_);
        if (browser) browser->BrowseObject(target.get(), SBSP_SAMEBROWSER);
        return;
    }
    // The browser is an object of its window's thread, never marshalled: a caller on another
    // thread hands the browse to that thread's view.
    if (!request_browse(owner_, target.get(), SBSP_SAMEBROWSER)) {
        throw command_error("the frame's browser is not reachable from this thread", RPC_E_WRONG_THREAD);
    }
}

void CShellMenu::open() {
    const std::vector<std::wstring> paths = file_paths();
    run_shell_work([paths] {
        for (const std::wstring& path : paths) shell_open(nullptr, path, nullptr);
    });
}

void CShellMenu::enter_selected() {
    if (selection_.size() == 1) enter(selection_[0].get());
}

void CShellMenu::open_path() {
    const std::wstring path = first_path();
    if (path.empty()) return;
    const std::wstring parameters = L"/select, \"" + path + L"\"";
    run_shell_work([parameters] { shell_open(nullptr, L"explorer", parameters.c_str()); });
}

void CShellMenu::open_with() {
    const std::wstring path = first_path();
    if (path.empty()) return;
    const std::wstring parameters = L"shell32.dll,OpenAs_RunDLL " + path;
    const HWND owner = owner_for_shell_work(owner_);
    run_shell_work([owner, parameters] { shell_open(owner, L"rundll32.exe", parameters.c_str()); });
}

void CShellMenu::properties() {
    const std::wstring path = first_path();
    run_shell_work([path] {
        launching(path);
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_INVOKEIDLIST | SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.lpVerb = L"properties";
        info.lpFile = path.empty() ? nullptr : path.c_str();
        info.nShow = SW_HIDE;
        ::ShellExecuteExW(&info);
        if (info.hProcess) ::CloseHandle(info.hProcess);
    });
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
    std::vector<std::wstring> deleted;
    for (const boost::shared_ptr<ITEMIDLIST>& item : selection_) {
        const items::shell_item_fields fields = fields_of(item.get());
        if (fields.file_id != 0) {
            std::wstring file;
            if (items::tags_holder().find_path(fields.file_id, file, path.empty() ? std::wstring() : path.front()) &&
                ::DeleteFileW(file.c_str())) {
                deleted.push_back(file);
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
    // The deleted files' tags go in one request, each map and tag file written once, rather
    // than one store rewrite per file as each deletion's change notification arrives.
    if (!deleted.empty()) {
        try {
            items::tags_holder().remove_all_tags(deleted, false);
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
    const std::vector<std::wstring> paths = file_paths();
    const HWND owner = owner_for_shell_work(owner_);
    // Its message box and the folder's opening both need the apartment; making the links does not
    // mind where it runs.
    run_shell_work([paths, owner] { ShellNamespace::open_in_real_folder(paths, owner); });
}

}  // namespace ShellNamespace
