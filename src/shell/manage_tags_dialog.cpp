#include "shell/manage_tags_dialog.h"

#include "manage_tags_ids.h"
#include "util/file_names.h"
#include "util/hresult.h"
#include "util/module.h"

#include <objbase.h>
#include <windowsx.h>

#include <boost/shared_ptr.hpp>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace {

const wchar_t kNewScope[] = L"< New scope >";
const wchar_t kNewTag[] = L"< New tag >";
const wchar_t kNewRoot[] = L"< New root tag >";
const wchar_t kFirstSteps[] =
    L"First of all , you must add \"Root\" tag \nlike \"books\" or \"docs\" or\"photos\" , or whatever you see fit.\n"
    L"To do it click to <New root tag>\nAfter all click to \"Enter\"";
const wchar_t kRootAdded[] =
    L"Ok , great work !\nNow you can add the tag or scope to file.\nBut remember: only tags have a real value.";
const wchar_t kNameUsed[] = L"This name is already used";
const wchar_t kNameUnsafe[] =
    L"This name cannot be used for a tag: it must be a valid file name\n"
    L"(no \\ / : * ? \" < > |, not \".\" or \"..\", not a device name such as CON or NUL).";
const wchar_t kNothingChosen[] =
    L"  Not choosen tags for adding, \nPlease add or select the real tags.\n( \"Root tag\" or \"Scope tag\" is not real tags)";
const wchar_t kUnableToAdd[] = L"Unable to add item";
const wchar_t kUnableToDelete[] = L"Unable delete item";

// The dialog thread's own window: requests from other threads reach the thread through it.
const wchar_t kThreadWindowClass[] = L"QuibrixManageTagsThread";
const UINT kTakeRequest = WM_APP + 10;    // sent; lparam: the caller's Request, moved from
const UINT kPostedRequest = WM_APP + 11;  // posted; lparam: a Request that the message owns
const UINT kRunWork = WM_APP + 12;        // sent; lparam: const boost::function<void()>*
const UINT kSettleMark = WM_APP + 13;     // posted; lparam: settle_mark*, owned by the message
const UINT kRunPending = WM_APP + 14;     // posted when the dialog's handling ends with requests waiting

// Signalled once the main message loop reaches the mark. Shared, because the waiter may give up
// and go before the dialog thread gets there.
typedef boost::shared_ptr<util::unique_handle> settle_mark;

struct thread_start {
    ManageTagsDialog* dialog;
    HANDLE ready;
};

class thread_start_error : public util::hresult_error {
public:
    explicit thread_start_error(DWORD error)
        : util::hresult_error("the Manage Tags thread did not start"), error_(error ? error : ERROR_NOT_READY) {}
    HRESULT hresult() const override { return HRESULT_FROM_WIN32(error_); }

private:
    DWORD error_;
};

// Posted by the edit box's EN_MAXTEXT: the edit control is still inside its own text change when
// it reports, so the name is read and the box hidden only after it has returned.
const UINT kCommitEdit = WM_APP + 1;
const int kRowHeight = 20;
const int kSettingsGrowth = 27;
const std::size_t kMaxName = 4096;

const LPARAM kNodeRows = row_root | row_scope | row_tag;
const LPARAM kNewRows = row_new_scope | row_new_tag | row_new_root;

bool same_file_name(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

LPARAM base_kind(LPARAM kind) { return kind & ~LPARAM(row_chosen); }

std::wstring trimmed(const std::wstring& text) {
    const wchar_t* blanks = L" \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Adds the chain names[0] / ... / names[n-1] to the name tree of its root in `roots`.
void add_chain(std::vector<items::tree_ptr>& roots, const std::vector<std::wstring>& names) {
    if (names.size() < 2) return;
    items::tree_ptr root;
    for (const items::tree_ptr& tree : roots) {
        if (tree->name == names[0]) root = tree;
    }
    if (!root) {
        root.reset(new items::tree_node(names[0]));
        roots.push_back(root);
    }
    items::tree_node* node = root.get();
    for (std::size_t i = 1; i < names.size(); ++i) {
        items::tree_node* next = node->find(names[i]);
        node = next ? next : node->add(names[i]).get();
    }
}

items::tree_ptr tree_named(const std::vector<items::tree_ptr>& trees, const std::wstring& name) {
    for (const items::tree_ptr& tree : trees) {
        if (tree->name == name) return tree;
    }
    return items::tree_ptr();
}

bool node_exists(const std::vector<items::tree_ptr>& roots, const std::vector<std::wstring>& chain) {
    const items::tree_node* node = nullptr;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        if (i == 0) {
            items::tree_ptr root = tree_named(roots, chain[0]);
            node = root.get();
        } else {
            node = node->find(chain[i]);
        }
        if (!node) return false;
    }
    return true;
}

// Creates the root tags and scopes of `chain` that the database no longer has.
void ensure_containers(items::TagsHolder& db, const std::vector<std::wstring>& chain) {
    for (std::size_t length = 1; length <= chain.size(); ++length) {
        const std::vector<std::wstring> prefix(chain.begin(), chain.begin() + length);
        if (node_exists(db.name_trees(), prefix)) continue;
        items::tree_edit create;
        create.op = items::tree_edit::create;
        create.node.assign(prefix.begin(), prefix.end() - 1);
        create.kind = length == 1 ? items::kind_root : items::kind_scope;
        create.new_name = prefix.back();
        if (!db.apply_edits({create})) throw std::runtime_error("container not recreated");
    }
}

// Applies the dialog's edits one by one. The database drops a root tag or scope that an edit
// left empty, while the dialog still shows it and may have given it new children, a new name
// or a new place since; such a container is made again before the edit that needs it.
void apply_tree_edits(items::TagsHolder& db, const std::vector<items::tree_edit>& edits) {
    for (const items::tree_edit& edit : edits) {
        switch (edit.op) {
        case items::tree_edit::create:
            ensure_containers(db, edit.node);
            break;
        case items::tree_edit::remove:
            if (!node_exists(db.name_trees(), edit.node)) continue;  // already gone with its parent
            break;
        case items::tree_edit::rename:
        case items::tree_edit::move:
            // Only containers vanish unasked, so a missing node was an emptied one.
            ensure_containers(db, edit.node);
            if (edit.op == items::tree_edit::move) ensure_containers(db, edit.target);
            break;
        }
        if (!db.apply_edits({edit})) throw std::runtime_error("tree edit refused by the database");
    }
}

}  // namespace

// Counts how deep the dialog thread is inside the dialog's own handling.
class ManageTagsDialog::Handling {
public:
    explicit Handling(ManageTagsDialog& dialog) : dialog_(dialog) { ++dialog_.handling_; }
    ~Handling() {
        if (--dialog_.handling_ == 0) dialog_.at_rest();
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    ManageTagsDialog& dialog_;
};

ManageTagsDialog& ManageTagsDialog::instance() {
    // Lives for the process: the window may outlive every object that opened it.
    static ManageTagsDialog* dialog = new ManageTagsDialog;
    return *dialog;
}

ManageTagsDialog::ManageTagsDialog() {}

void open_manage_tags(const std::vector<std::wstring>& paths, const ManageTagsDialog::Callback& callback) {
    ManageTagsDialog::instance().open(paths, callback);
}

// ---- the dialog thread

HWND ManageTagsDialog::host() {
    if (HWND host = host_) return host;
    util::lock_guard hold(start_lock_);
    if (HWND host = host_) return host;
    util::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ready) return nullptr;
    thread_start start = {this, ready.get()};
    util::unique_handle thread(::CreateThread(nullptr, 0, thread_main, &start, 0, nullptr));
    if (!thread) return nullptr;
    // The thread sets host_ before it says it is ready; it ends at once if it cannot.
    HANDLE either[2] = {ready.get(), thread.get()};
    ::WaitForMultipleObjects(2, either, FALSE, INFINITE);
    return host_;
}

DWORD WINAPI ManageTagsDialog::thread_main(void* param) {
    const thread_start start = *static_cast<const thread_start*>(param);
    ManageTagsDialog& self = *start.dialog;
    // Callbacks run here and may reach the shell.
    const HRESULT com = ::CoInitialize(nullptr);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = host_proc;
    window_class.hInstance = util::module_instance();
    window_class.lpszClassName = kThreadWindowClass;
    ::RegisterClassW(&window_class);
    HWND host = ::CreateWindowExW(0, kThreadWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  util::module_instance(), nullptr);
    if (!host) {
        if (SUCCEEDED(com)) ::CoUninitialize();
        return 1;
    }
    self.thread_id_ = ::GetCurrentThreadId();
    self.host_ = host;
    ::SetEvent(start.ready);
    // Never left: the thread serves the dialog for the life of the process.
    self.run_message_loop();
    return 0;
}

void ManageTagsDialog::run_message_loop() {
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == host_ && message.message == kSettleMark) {
            // Reached here, outside every handler, all that was posted before it is done;
            // requests still waiting are run first.
            if (!pending_.empty() && ::PostMessageW(host_, kSettleMark, 0, message.lParam)) continue;
            std::unique_ptr<settle_mark> mark(reinterpret_cast<settle_mark*>(message.lParam));
            ::SetEvent((*mark)->get());
            continue;
        }
        HWND dialog = window_;
        if (!dialog || !::IsDialogMessageW(dialog, &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

void ManageTagsDialog::at_rest() {
    // The handling that just ended may have been for a message sent from another thread, after
    // which the loop would not look at what came in meanwhile: it is woken for it.
    if (!pending_.empty() && !wake_posted_) wake_posted_ = ::PostMessageW(host_, kRunPending, 0, 0) != FALSE;
    // Marks that a nested loop (a message box, a menu) took go round again, behind what that
    // step left posted.
    std::vector<LPARAM> marks;
    marks.swap(settle_marks_);
    for (LPARAM mark : marks) {
        if (!::PostMessageW(host_, kSettleMark, 0, mark)) {
            std::unique_ptr<settle_mark> lost(reinterpret_cast<settle_mark*>(mark));
            ::SetEvent((*lost)->get());
        }
    }
}

LRESULT CALLBACK ManageTagsDialog::host_proc(HWND host, UINT message, WPARAM wparam, LPARAM lparam) {
    ManageTagsDialog& self = instance();
    switch (message) {
    case kTakeRequest:
        try {
            self.take(*reinterpret_cast<Request*>(lparam));
        } catch (...) {
            // Nothing may unwind into the window manager; the request simply has no effect.
        }
        return 1;
    case kPostedRequest: {
        std::unique_ptr<Request> request(reinterpret_cast<Request*>(lparam));
        try {
            self.take(*request);
        } catch (...) {
        }
        return 1;
    }
    case kRunWork:
        try {
            (*reinterpret_cast<const boost::function<void()>*>(lparam))();
        } catch (...) {
        }
        return 1;
    case kRunPending:
        self.wake_posted_ = false;
        self.run_pending();
        return 0;
    case kSettleMark:
        // Only a loop inside the dialog's handling dispatches a mark.
        self.settle_marks_.push_back(lparam);
        if (self.handling_ == 0) self.at_rest();
        return 0;
    }
    return ::DefWindowProcW(host, message, wparam, lparam);
}

void ManageTagsDialog::take(Request& request) {
    // Inside one of the dialog's steps the request would pull the files, the tree or the window
    // from under it; it waits for the message loop.
    if (handling_ > 0 || !pending_.empty()) {
        pending_.push_back(std::move(request));
        return;
    }
    carry_out(request);
}

void ManageTagsDialog::run_pending() {
    while (handling_ == 0 && !pending_.empty()) {
        Request next = std::move(pending_.front());
        pending_.erase(pending_.begin());
        try {
            carry_out(next);
        } catch (...) {
        }
    }
}

void ManageTagsDialog::carry_out(const Request& request) {
    Handling busy(*this);
    if (request.close) {
        if (window_) ::DestroyWindow(window_);
    } else {
        show(request.paths, request.callback);
    }
}

void ManageTagsDialog::submit(Request& request) {
    HWND host = this->host();
    if (!host) throw thread_start_error(::GetLastError());
    if (::GetCurrentThreadId() == thread_id_) {
        // A callback or a service of the dialog itself: done at once, as the caller expects.
        carry_out(request);
        return;
    }
    if (items::database_lock().held_by_this_thread()) {
        // The dialog thread reads the database: waiting for it here would never end.
        std::unique_ptr<Request> posted(new Request(std::move(request)));
        if (::PostMessageW(host, kPostedRequest, 0, reinterpret_cast<LPARAM>(posted.get()))) posted.release();
        return;
    }
    ::SendMessageW(host, kTakeRequest, 0, reinterpret_cast<LPARAM>(&request));
}

void ManageTagsDialog::on_dialog_thread(const boost::function<void()>& work) const {
    HWND host = host_;
    if (!host || ::GetCurrentThreadId() == thread_id_) {
        work();
        return;
    }
    ::SendMessageW(host, kRunWork, 0, reinterpret_cast<LPARAM>(&work));
}

void ManageTagsDialog::set_services(const Services& services) {
    on_dialog_thread([&] { services_ = services; });
}

std::vector<std::wstring> ManageTagsDialog::files() const {
    std::vector<std::wstring> copy;
    on_dialog_thread([&] { copy = files_; });
    return copy;
}

void ManageTagsDialog::open(const std::vector<std::wstring>& paths, const Callback& callback) {
    Request request;
    request.paths = paths;
    request.callback = callback;
    submit(request);
}

void ManageTagsDialog::close() {
    if (!host_) return;  // no thread yet: nothing is open
    Request request;
    request.close = true;
    submit(request);
}

bool ManageTagsDialog::settle(DWORD timeout_ms) const {
    HWND host = host_;
    if (!host || ::GetCurrentThreadId() == thread_id_) return true;
    settle_mark done(new util::unique_handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
    if (!*done) return false;
    std::unique_ptr<settle_mark> mark(new settle_mark(done));
    if (!::PostMessageW(host, kSettleMark, 0, reinterpret_cast<LPARAM>(mark.get()))) return false;
    mark.release();
    // Messages sent to this thread meanwhile are answered, as SendMessage itself would.
    const DWORD end = ::GetTickCount() + timeout_ms;
    for (;;) {
        const DWORD now = ::GetTickCount();
        const DWORD left = static_cast<LONG>(end - now) > 0 ? end - now : 0;
        HANDLE event = done->get();
        const DWORD woke = ::MsgWaitForMultipleObjects(1, &event, FALSE, left, QS_SENDMESSAGE);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke != WAIT_OBJECT_0 + 1) return false;
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void ManageTagsDialog::show(const std::vector<std::wstring>& paths, const Callback& callback) {
    callback_ = callback;
    files_.clear();
    added_files_.clear();
    file_tags_.clear();
    files_ = paths;
    file_tags_ = items::tags_holder().tags_of_paths(files_);

    if (window_) {
        // The tree is rebuilt from the database, so edits not yet applied would no longer be
        // shown: they are dropped with the rows they belonged to.
        end_editing();
        PendingTreeEdits.clear();
        current_ = menu_item_ = nullptr;
        move_targets_.clear();
        TreeView_DeleteAllItems(tree_);
        fill_tree();
        mark_chosen();
        update_title();
    } else if (!::CreateDialogParamW(util::module_instance(), MAKEINTRESOURCEW(IDD_MANAGE_TAGS), ::GetDesktopWindow(),
                                     dialog_proc, reinterpret_cast<LPARAM>(this))) {
        return;
    }
    ::ShowWindow(window_, SW_SHOW);
    ::SetWindowPos(window_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

INT_PTR CALLBACK ManageTagsDialog::dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    ManageTagsDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<ManageTagsDialog*>(lparam);
        ::SetWindowLongPtrW(window, DWLP_USER, lparam);
        self->window_ = window;
    } else {
        self = reinterpret_cast<ManageTagsDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!self) return FALSE;
    Handling busy(*self);
    try {
        return self->handle(message, wparam, lparam);
    } catch (...) {
        // Nothing may unwind into the window manager; the failed step simply has no effect.
        return FALSE;
    }
}

LRESULT CALLBACK ManageTagsDialog::tree_proc(HWND tree, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                             DWORD_PTR data) {
    ManageTagsDialog* self = reinterpret_cast<ManageTagsDialog*>(data);
    if (message == WM_NCDESTROY) ::RemoveWindowSubclass(tree, tree_proc, 1);
    Handling busy(*self);
    try {
        LRESULT result = 0;
        if (self->handle_tree(message, wparam, lparam, result)) return result;
    } catch (...) {
        return 0;
    }
    return ::DefSubclassProc(tree, message, wparam, lparam);
}

INT_PTR ManageTagsDialog::handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG:
        init_window();
        return TRUE;
    case WM_COMMAND: {
        const UINT id = LOWORD(wparam);
        const UINT code = HIWORD(wparam);
        if (id == IDC_TAG_EDIT) {
            if (code == EN_MAXTEXT) ::PostMessageW(window_, kCommitEdit, 0, 0);
            return TRUE;
        }
        switch (id) {
        case IDC_ADD_TAGS: on_add(); break;
        case IDC_REMOVE_TAGS: on_delete(); break;
        case IDC_CANCEL_TAGS: on_cancel(); break;
        case IDC_SETTINGS: on_settings(); break;
        case IDC_WATCHER_ACTIVE: on_watcher(); break;
        case IDM_RENAME_NODE: start_editing(menu_item_); break;
        case IDM_DELETE_NODE: delete_row(menu_item_); break;
        default: {
            std::map<UINT, HTREEITEM>::const_iterator target = move_targets_.find(id);
            if (target == move_targets_.end()) return FALSE;
            move_row(menu_item_, target->second);
        }
        }
        return TRUE;
    }
    case kCommitEdit:
        commit_edit();
        return TRUE;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lparam);
        if (header->idFrom != IDC_TAG_TREE || header->code != NM_CUSTOMDRAW) return FALSE;
        NMTVCUSTOMDRAW* draw = reinterpret_cast<NMTVCUSTOMDRAW*>(lparam);
        LRESULT result = CDRF_DODEFAULT;
        if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) {
            result = CDRF_NOTIFYITEMDRAW;
        } else if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
            const LPARAM kind = draw->nmcd.lItemlParam;
            const bool bold = (kind & row_chosen) && (kind & kNodeRows);
            ::SelectObject(draw->nmcd.hdc, bold && bold_font_ ? bold_font_.get() : normal_font_);
            // The selected row keeps the highlight colours, or its white text would vanish.
            if (!(draw->nmcd.uItemState & CDIS_SELECTED)) draw->clrTextBk = ::GetSysColor(COLOR_WINDOW);
            result = CDRF_NEWFONT;
        }
        ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, result);
        return TRUE;
    }
    case WM_CLOSE:
        on_close();
        return TRUE;
    case WM_DESTROY:
        if (tooltip_) ::DestroyWindow(tooltip_);
        tooltip_ = nullptr;
        return TRUE;
    case WM_NCDESTROY:
        // The last message of the window, after its children have gone.
        window_ = nullptr;
        tree_ = edit_ = nullptr;
        editing_ = place_editor_ = false;
        edited_ = current_ = menu_item_ = nullptr;
        move_targets_.clear();
        popup_.reset();
        bold_font_.reset();
        PendingTreeEdits.clear();
        return TRUE;
    }
    return FALSE;
}

bool ManageTagsDialog::handle_tree(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
    switch (message) {
    case WM_LBUTTONDOWN:
        // Handled here rather than by the tree: its own handler would wait in a loop for a drag.
        on_left_down(lparam);
        return true;
    case WM_LBUTTONDBLCLK: {
        HTREEITEM item = item_at(lparam);
        if (!item || base_kind(kind_of(item)) != row_tag) return false;
        on_double_click(item);
        return true;
    }
    case WM_RBUTTONDOWN:
        on_right_down(lparam);
        return true;
    case WM_PAINT:
        result = ::DefSubclassProc(tree_, message, wparam, lparam);
        if (place_editor_) place_editor();
        return true;
    case WM_COMMAND:
        // The edit box lives inside the tree, so its notifications may arrive here.
        if (LOWORD(wparam) == IDC_TAG_EDIT && HIWORD(wparam) == EN_MAXTEXT) {
            ::PostMessageW(window_, kCommitEdit, 0, 0);
            return true;
        }
        return false;
    }
    return false;
}

void ManageTagsDialog::init_window() {
    tree_ = ::GetDlgItem(window_, IDC_TAG_TREE);
    edit_ = ::GetDlgItem(window_, IDC_TAG_EDIT);
    ::SetParent(edit_, tree_);
    ::ShowWindow(edit_, SW_HIDE);
    ::SendMessageW(edit_, EM_LIMITTEXT, kMaxName, 0);
    TreeView_SetItemHeight(tree_, kRowHeight);
    ::SetWindowSubclass(tree_, tree_proc, 1, reinterpret_cast<DWORD_PTR>(this));

    normal_font_ = reinterpret_cast<HFONT>(::SendMessageW(window_, WM_GETFONT, 0, 0));
    if (!normal_font_) normal_font_ = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW font = {};
    if (::GetObjectW(normal_font_, sizeof(font), &font)) {
        font.lfWeight = FW_BOLD;
        bold_font_.reset(::CreateFontIndirectW(&font));
    }

    const bool watching = services_.watcher_active && services_.watcher_active();
    ::CheckDlgButton(window_, IDC_WATCHER_ACTIVE, watching ? BST_CHECKED : BST_UNCHECKED);
    // The resource is laid out with the settings open; closed, the hidden check box would
    // leave an empty band below "Settings".
    RECT frame;
    ::GetWindowRect(window_, &frame);
    ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top - kSettingsGrowth,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    fill_tree();
    mark_chosen();
    update_title();
}

void ManageTagsDialog::fill_tree() {
    const std::vector<items::tree_ptr> roots = items::tags_holder().name_trees();
    for (const items::tree_ptr& root : roots) insert_subtree(nullptr, *root, true);
    insert_row(nullptr, TVI_LAST, kNewRoot, row_new_root);
    had_no_root_ = roots.empty();
    if (had_no_root_) show_tooltip(kFirstSteps);
}

HTREEITEM ManageTagsDialog::insert_row(HTREEITEM parent, HTREEITEM after, const std::wstring& text, LPARAM kind) {
    TVINSERTSTRUCTW insert = {};
    insert.hParent = parent ? parent : TVI_ROOT;
    insert.hInsertAfter = after;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_STATE;
    insert.item.pszText = const_cast<wchar_t*>(text.c_str());
    insert.item.lParam = kind;
    insert.item.state = (kind & row_chosen) ? TVIS_BOLD : 0;
    insert.item.stateMask = TVIS_BOLD;
    HTREEITEM item = TreeView_InsertItem(tree_, &insert);
    if (!item) throw std::runtime_error("tree row not inserted");
    return item;
}

void ManageTagsDialog::insert_subtree(HTREEITEM parent, const items::tree_node& node, bool top) {
    const LPARAM kind = top ? row_root : node.children.empty() ? row_tag : row_scope;
    HTREEITEM item = insert_row(parent, TVI_LAST, node.name, kind);
    if (kind == row_tag) return;
    for (const items::tree_ptr& child : node.children) insert_subtree(item, *child, false);
    insert_row(item, TVI_LAST, kNewScope, row_new_scope);
    insert_row(item, TVI_LAST, kNewTag, row_new_tag);
    TreeView_Expand(tree_, item, TVE_EXPAND);
}

void ManageTagsDialog::mark_chosen() {
    struct marker {
        ManageTagsDialog& dialog;
        void mark(HTREEITEM row, const items::tree_node& node) {
            for (const items::tree_ptr& child : node.children) {
                for (HTREEITEM below : dialog.children_of(row)) {
                    if (!(dialog.kind_of(below) & kNodeRows) || dialog.text_of(below) != child->name) continue;
                    if (!child->children.empty()) {
                        mark(below, *child);
                    } else if (base_kind(dialog.kind_of(below)) == row_tag) {
                        dialog.set_kind(below, row_tag | row_chosen);
                    }
                }
            }
        }
    } marker_ = {*this};
    for (const items::tree_ptr& tree : file_tags_) {
        for (HTREEITEM root : children_of(nullptr)) {
            if (kind_of(root) == row_root && text_of(root) == tree->name) marker_.mark(root, *tree);
        }
    }
}

void ManageTagsDialog::update_title() {
    std::wstring title;
    if (files_.size() > 1) {
        title = L"File list";
    } else if (files_.size() == 1) {
        title = util::last_component(files_[0]);
    }
    ::SetWindowTextW(window_, title.c_str());
}

void ManageTagsDialog::show_tooltip(const wchar_t* text) {
    TOOLINFOW tool = {};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(tree_);
    tool.lpszText = const_cast<wchar_t*>(text);
    if (!tooltip_) {
        tooltip_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                     CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, tree_, nullptr,
                                     util::module_instance(), nullptr);
        if (!tooltip_) return;
        ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 250);
        ::SendMessageW(tooltip_, TTM_SETDELAYTIME, TTDT_AUTOPOP, 15000);
        ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    } else {
        ::SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    ::SendMessageW(tooltip_, TTM_POPUP, 0, 0);
}

// ---- rows

LPARAM ManageTagsDialog::kind_of(HTREEITEM item) const {
    TVITEMW row = {};
    row.mask = TVIF_PARAM;
    row.hItem = item;
    if (!TreeView_GetItem(tree_, &row)) return 0;
    return row.lParam;
}

void ManageTagsDialog::set_kind(HTREEITEM item, LPARAM kind) {
    TVITEMW row = {};
    row.mask = TVIF_PARAM | TVIF_STATE;
    row.hItem = item;
    row.lParam = kind;
    row.state = (kind & row_chosen) ? TVIS_BOLD : 0;
    row.stateMask = TVIS_BOLD;
    TreeView_SetItem(tree_, &row);
}

std::wstring ManageTagsDialog::text_of(HTREEITEM item) const {
    std::vector<wchar_t> buffer(kMaxName + 1, L'\0');
    TVITEMW row = {};
    row.mask = TVIF_TEXT;
    row.hItem = item;
    row.pszText = buffer.data();
    row.cchTextMax = static_cast<int>(buffer.size());
    if (!TreeView_GetItem(tree_, &row)) return std::wstring();
    return std::wstring(row.pszText);
}

std::vector<std::wstring> ManageTagsDialog::names_of(HTREEITEM item) const {
    std::vector<std::wstring> names;
    for (HTREEITEM step = item; step; step = TreeView_GetParent(tree_, step)) names.push_back(text_of(step));
    std::reverse(names.begin(), names.end());
    return names;
}

HTREEITEM ManageTagsDialog::top_of(HTREEITEM item) const {
    HTREEITEM top = item;
    while (HTREEITEM parent = TreeView_GetParent(tree_, top)) top = parent;
    return top;
}

HTREEITEM ManageTagsDialog::item_at(LPARAM point) const {
    TVHITTESTINFO hit = {};
    hit.pt.x = GET_X_LPARAM(point);
    hit.pt.y = GET_Y_LPARAM(point);
    HTREEITEM item = TreeView_HitTest(tree_, &hit);
    return (hit.flags & (TVHT_ONITEM | TVHT_ONITEMRIGHT)) ? item : nullptr;
}

std::vector<HTREEITEM> ManageTagsDialog::children_of(HTREEITEM parent) const {
    std::vector<HTREEITEM> children;
    HTREEITEM child = parent ? TreeView_GetChild(tree_, parent) : TreeView_GetRoot(tree_);
    for (; child; child = TreeView_GetNextSibling(tree_, child)) children.push_back(child);
    return children;
}

// Where a new node goes among `parent`'s children: after the last node, before the new-item rows.
static HTREEITEM insert_position(const std::vector<HTREEITEM>& children, const std::vector<LPARAM>& kinds) {
    HTREEITEM after = TVI_FIRST;
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (kinds[i] & kNewRows) break;
        after = children[i];
    }
    return after;
}

// ---- mouse and menu

void ManageTagsDialog::on_left_down(LPARAM point) {
    if (editing_) end_editing();
    ::SetFocus(tree_);
    TVHITTESTINFO hit = {};
    hit.pt.x = GET_X_LPARAM(point);
    hit.pt.y = GET_Y_LPARAM(point);
    HTREEITEM item = TreeView_HitTest(tree_, &hit);
    if (item && (hit.flags & TVHT_ONITEMBUTTON)) {
        TreeView_Expand(tree_, item, TVE_TOGGLE);
        return;
    }
    if (!item || !(hit.flags & (TVHT_ONITEM | TVHT_ONITEMRIGHT))) return;
    current_ = item;
    TreeView_SelectItem(tree_, item);
    if (kind_of(item) & kNewRows) start_editing(item);
}

void ManageTagsDialog::on_double_click(HTREEITEM item) {
    set_kind(item, kind_of(item) ^ row_chosen);
    RECT row;
    if (TreeView_GetItemRect(tree_, item, &row, FALSE)) ::InvalidateRect(tree_, &row, TRUE);
}

void ManageTagsDialog::on_right_down(LPARAM point) {
    if (editing_) end_editing();
    HTREEITEM item = item_at(point);
    if (!item || !(kind_of(item) & kNodeRows)) return;
    current_ = menu_item_ = item;
    TreeView_SelectItem(tree_, item);

    move_targets_.clear();
    popup_.reset(::CreatePopupMenu());
    // Owned here until the popup menu takes it: a menu that is not part of another is freed by
    // nobody else.
    util::unique_hmenu move(::CreatePopupMenu());
    if (!popup_ || !move) return;
    ::AppendMenuW(popup_.get(), MF_STRING, IDM_RENAME_NODE, L"Rename");
    ::AppendMenuW(popup_.get(), MF_STRING, IDM_DELETE_NODE, L"Delete");
    if (kind_of(item) == row_root) {
        // A root tag may go under any other root tag or one of its scopes.
        for (HTREEITEM root : children_of(nullptr)) {
            if (kind_of(root) == row_root && root != item) add_move_targets(move.get(), root, item);
        }
    } else {
        // Scopes and tags stay within their root tag.
        add_move_targets(move.get(), top_of(item), item);
    }
    if (::AppendMenuW(popup_.get(), MF_POPUP | (::GetMenuItemCount(move.get()) > 0 ? 0 : MF_GRAYED),
                      reinterpret_cast<UINT_PTR>(move.get()), L"MoveTo")) {
        move.release();
    }

    POINT screen = {GET_X_LPARAM(point), GET_Y_LPARAM(point)};
    ::ClientToScreen(tree_, &screen);
    // The chosen command arrives as WM_COMMAND to the dialog, once the menu has closed.
    ::TrackPopupMenu(popup_.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, screen.x, screen.y, 0, window_,
                     nullptr);
}

void ManageTagsDialog::add_move_targets(HMENU menu, HTREEITEM container, HTREEITEM moving) {
    if (container == moving) return;
    util::unique_hmenu submenu(::CreatePopupMenu());
    if (!submenu) return;
    const UINT id = IDM_MOVE_FIRST + static_cast<UINT>(move_targets_.size());
    move_targets_[id] = container;
    ::AppendMenuW(submenu.get(), MF_STRING, id, L"<Place Here>");
    for (HTREEITEM child : children_of(container)) {
        if (base_kind(kind_of(child)) == row_scope && child != moving) add_move_targets(submenu.get(), child, moving);
    }
    // Destroying a menu destroys the submenus it holds, so only this one is at stake.
    if (::AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(submenu.get()), text_of(container).c_str())) {
        submenu.release();
    }
}

// ---- in-place editing

void ManageTagsDialog::start_editing(HTREEITEM item) {
    if (!item || !tree_) return;
    edited_ = item;
    editing_ = true;
    place_editor_ = true;
    TreeView_EnsureVisible(tree_, item);
    RECT row;
    if (TreeView_GetItemRect(tree_, item, &row, FALSE)) {
        ::InvalidateRect(tree_, &row, TRUE);
    } else {
        ::InvalidateRect(tree_, nullptr, TRUE);
    }
}

void ManageTagsDialog::place_editor() {
    place_editor_ = false;
    RECT text;
    if (!editing_ || !edited_ || !TreeView_GetItemRect(tree_, edited_, &text, TRUE)) return;
    RECT client;
    ::GetClientRect(tree_, &client);
    const int width = std::max<int>(client.right - text.left, 40);
    const std::wstring initial = (kind_of(edited_) & kNodeRows) ? text_of(edited_) : std::wstring();
    ::SetWindowTextW(edit_, initial.c_str());
    ::SetWindowPos(edit_, HWND_TOP, text.left, text.top, width, text.bottom - text.top, SWP_SHOWWINDOW);
    ::SendMessageW(edit_, EM_SETSEL, 0, -1);
    ::SetFocus(edit_);
}

void ManageTagsDialog::end_editing() {
    editing_ = false;
    place_editor_ = false;
    edited_ = nullptr;
    if (edit_) {
        ::SetWindowTextW(edit_, L"");
        ::ShowWindow(edit_, SW_HIDE);
    }
}

void ManageTagsDialog::commit_edit() {
    if (!editing_) return;
    std::vector<wchar_t> buffer(kMaxName + 1, L'\0');
    ::GetWindowTextW(edit_, buffer.data(), static_cast<int>(buffer.size()));
    const std::wstring name = trimmed(buffer.data());
    HTREEITEM item = edited_;
    end_editing();
    if (name.empty() || !item) return;
    if (name_refused(item, name)) return;

    const LPARAM kind = base_kind(kind_of(item));
    items::tree_edit edit;
    if (kind & kNodeRows) {
        if (text_of(item) == name) return;
        edit.op = items::tree_edit::rename;
        edit.node = names_of(item);
        edit.new_name = name;
        TVITEMW row = {};
        row.mask = TVIF_TEXT;
        row.hItem = item;
        row.pszText = const_cast<wchar_t*>(name.c_str());
        TreeView_SetItem(tree_, &row);
        PendingTreeEdits.push_back(edit);
        return;
    }

    HTREEITEM parent = TreeView_GetParent(tree_, item);
    std::vector<HTREEITEM> siblings = children_of(parent);
    std::vector<LPARAM> kinds;
    for (HTREEITEM sibling : siblings) kinds.push_back(kind_of(sibling));
    const HTREEITEM after = insert_position(siblings, kinds);

    edit.op = items::tree_edit::create;
    edit.new_name = name;
    if (parent) edit.node = names_of(parent);
    HTREEITEM created = nullptr;
    if (kind == row_new_tag) {
        edit.kind = items::kind_tag;
        created = insert_row(parent, after, name, row_tag | row_chosen);
    } else {
        edit.kind = kind == row_new_root ? items::kind_root : items::kind_scope;
        created = insert_row(parent, after, name, kind == row_new_root ? row_root : row_scope);
        insert_row(created, TVI_LAST, kNewScope, row_new_scope);
        insert_row(created, TVI_LAST, kNewTag, row_new_tag);
        TreeView_Expand(tree_, created, TVE_EXPAND);
    }
    PendingTreeEdits.push_back(edit);
    if (kind == row_new_root && had_no_root_) show_tooltip(kRootAdded);
    TreeView_EnsureVisible(tree_, created);
}

bool ManageTagsDialog::name_refused(HTREEITEM item, const std::wstring& name) {
    // The name becomes a folder or file in the data folder; one that Windows would refuse or
    // reinterpret (a separator, "..", a device name) must never reach the store.
    if (!util::is_valid_file_name(name)) {
        ::MessageBoxW(window_, kNameUnsafe, L"", MB_OK);
        return true;
    }
    bool clash = false;
    if (base_kind(kind_of(item)) == row_new_tag) {
        // A tag name is unique in its whole root tag.
        struct finder {
            const ManageTagsDialog& dialog;
            const std::wstring& name;
            bool below(HTREEITEM row) const {
                for (HTREEITEM child : dialog.children_of(row)) {
                    if (!(dialog.kind_of(child) & kNodeRows)) continue;
                    if (dialog.text_of(child) == name || below(child)) return true;
                }
                return false;
            }
        } find = {*this, name};
        clash = find.below(top_of(item));
    }
    // Siblings share a folder, and the file system does not tell "Docs" from "docs".
    for (HTREEITEM sibling : children_of(TreeView_GetParent(tree_, item))) {
        if (sibling != item && (kind_of(sibling) & kNodeRows) && same_file_name(text_of(sibling), name)) clash = true;
    }
    if (clash) ::MessageBoxW(window_, kNameUsed, L"", MB_OK);
    return clash;
}

// ---- delete and move

void ManageTagsDialog::delete_row(HTREEITEM item) {
    if (!item || !tree_) return;
    if (editing_) end_editing();
    items::tree_edit edit;
    edit.op = items::tree_edit::remove;
    edit.node = names_of(item);
    HTREEITEM parent = TreeView_GetParent(tree_, item);
    TreeView_DeleteItem(tree_, item);
    current_ = menu_item_ = nullptr;
    PendingTreeEdits.push_back(edit);
    if (parent) ::InvalidateRect(tree_, nullptr, TRUE);
}

HTREEITEM ManageTagsDialog::copy_rows(HTREEITEM from, HTREEITEM to_parent, LPARAM kind) {
    std::vector<HTREEITEM> siblings = children_of(to_parent);
    std::vector<LPARAM> kinds;
    for (HTREEITEM sibling : siblings) kinds.push_back(kind_of(sibling));
    HTREEITEM copy = insert_row(to_parent, insert_position(siblings, kinds), text_of(from), kind);
    struct copier {
        ManageTagsDialog& dialog;
        void below(HTREEITEM source, HTREEITEM target) {
            for (HTREEITEM child : dialog.children_of(source)) {
                HTREEITEM made = dialog.insert_row(target, TVI_LAST, dialog.text_of(child), dialog.kind_of(child));
                below(child, made);
            }
            if (TreeView_GetChild(dialog.tree_, target)) TreeView_Expand(dialog.tree_, target, TVE_EXPAND);
        }
    } copy_below = {*this};
    copy_below.below(from, copy);
    return copy;
}

void ManageTagsDialog::move_row(HTREEITEM item, HTREEITEM target) {
    if (!item || !target || !tree_) return;
    if (editing_) end_editing();
    // Already there: the database would refuse a move onto the same parent.
    if (TreeView_GetParent(tree_, item) == target) return;
    const std::wstring name = text_of(item);
    for (HTREEITEM child : children_of(target)) {
        if ((kind_of(child) & kNodeRows) && same_file_name(text_of(child), name)) {
            ::MessageBoxW(window_, kNameUsed, L"", MB_OK);
            return;
        }
    }
    items::tree_edit edit;
    edit.op = items::tree_edit::move;
    edit.node = names_of(item);
    edit.target = names_of(target);
    LPARAM kind = kind_of(item);
    // A root tag placed inside another root tag becomes one of its scopes.
    if (base_kind(kind) == row_root) kind = row_scope;
    HTREEITEM moved = copy_rows(item, target, kind);
    TreeView_DeleteItem(tree_, item);
    current_ = menu_item_ = nullptr;
    PendingTreeEdits.push_back(edit);
    TreeView_Expand(tree_, target, TVE_EXPAND);
    TreeView_SelectItem(tree_, moved);
}

// ---- buttons

void ManageTagsDialog::on_add() {
    if (editing_) commit_edit();
    items::TagsHolder& db = items::tags_holder();
    try {
        if (!PendingTreeEdits.empty()) {
            std::vector<items::tree_edit> edits;
            edits.swap(PendingTreeEdits);
            apply_tree_edits(db, edits);
        }

        std::vector<items::tree_ptr> chosen;
        struct collector {
            const ManageTagsDialog& dialog;
            std::vector<items::tree_ptr>& chosen;
            void walk(HTREEITEM parent) {
                for (HTREEITEM row : dialog.children_of(parent)) {
                    const LPARAM kind = dialog.kind_of(row);
                    if (kind == (row_tag | row_chosen)) add_chain(chosen, dialog.names_of(row));
                    if (kind & (row_root | row_scope)) walk(row);
                }
            }
        } collect = {*this, chosen};
        collect.walk(nullptr);
        if (chosen.empty()) {
            ::MessageBoxW(nullptr, kNothingChosen, L"", MB_OK);
            return;
        }

        added_files_ = files_;
        // What the files hold now, after the edits above: a tag no longer chosen is taken off.
        const std::vector<items::tree_ptr> previous = db.tags_of_paths(added_files_);
        std::vector<std::wstring> roots;
        for (const items::tree_ptr& tree : chosen) roots.push_back(tree->name);
        for (const items::tree_ptr& tree : previous) {
            if (std::find(roots.begin(), roots.end(), tree->name) == roots.end()) roots.push_back(tree->name);
        }
        for (const std::wstring& root : roots) {
            db.set_tags(added_files_, tree_named(chosen, root), tree_named(previous, root));
        }
        file_tags_ = chosen;
        call_back(1);
    } catch (...) {
        ::MessageBoxW(window_, kUnableToAdd, L"", MB_OK);
        PendingTreeEdits.clear();
        // Some edits may have reached the database and some not: show what it holds now.
        if (window_) {
            end_editing();
            current_ = menu_item_ = nullptr;
            TreeView_DeleteAllItems(tree_);
            file_tags_ = db.tags_of_paths(files_);
            fill_tree();
            mark_chosen();
        }
    }
    if (window_) on_cancel();
}

void ManageTagsDialog::on_delete() {
    bool remove = files_.size() <= 1;
    // Without a confirmation service the answer is Cancel: several files never lose their tags
    // unasked.
    if (!remove) remove = services_.confirm && services_.confirm(0, window_);
    if (remove && !files_.empty()) {
        try {
            items::tags_holder().remove_all_tags(files_, true);
        } catch (...) {
            ::MessageBoxW(window_, kUnableToDelete, L"", MB_OK);
        }
    }
    if (window_) ::DestroyWindow(window_);
}

void ManageTagsDialog::on_cancel() {
    if (callback_) {
        call_back(1);
    } else if (window_) {
        ::DestroyWindow(window_);
    }
}

void ManageTagsDialog::on_close() {
    const Callback callback = callback_;
    const std::vector<std::wstring> files = files_;
    if (window_) ::DestroyWindow(window_);
    if (callback && !files.empty()) {
        try {
            callback(files, 0);
        } catch (...) {
        }
    }
}

void ManageTagsDialog::on_settings() {
    const bool open = ::IsDlgButtonChecked(window_, IDC_SETTINGS) == BST_CHECKED;
    RECT frame;
    ::GetWindowRect(window_, &frame);
    const int height = frame.bottom - frame.top + (open ? kSettingsGrowth : -kSettingsGrowth);
    ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, height, SWP_NOMOVE | SWP_NOZORDER);
    ::ShowWindow(::GetDlgItem(window_, IDC_WATCHER_ACTIVE), open ? SW_SHOW : SW_HIDE);
}

void ManageTagsDialog::on_watcher() {
    const bool active = ::IsDlgButtonChecked(window_, IDC_WATCHER_ACTIVE) == BST_CHECKED;
    if (services_.set_watcher_active) services_.set_watcher_active(active);
}

void ManageTagsDialog::call_back(int from_buttons) {
    // Copies: the opener may open the dialog again from inside its callback.
    const Callback callback = callback_;
    const std::vector<std::wstring> files = files_;
    if (!callback) return;
    try {
        callback(files, from_buttons);
    } catch (...) {
    }
}
