#include "shell/manage_tags_dialog.h"

#include "manage_tags_ids.h"
#include "util/dpi.h"
#include "util/file_names.h"
#include "util/module.h"

#include <stdexcept>

namespace {

const wchar_t kNothingChosen[] =
    L"  Not choosen tags for adding, \nPlease add or select the real tags.\n( \"Root tag\" or \"Scope tag\" is not real tags)";
const wchar_t kUnableToAdd[] = L"Unable to add item";
const wchar_t kUnableToDelete[] = L"Unable delete item";

// At 96 DPI: the band of "Activate Directory Watcher" below "Settings".
const int kSettingsGrowth = 27;

}  // namespace

ManageTagsDialog& ManageTagsDialog::instance() {
    // Lives for the process: the window may outlive every object that opened it.
    static ManageTagsDialog* dialog = new ManageTagsDialog;
    return *dialog;
}

ManageTagsDialog::ManageTagsDialog()
    : thread_("Manage Tags", [this] { return window_.load(); }), tree_view_(thread_) {}

void open_manage_tags(const std::vector<std::wstring>& paths, const ManageTagsDialog::Callback& callback) {
    ManageTagsDialog::instance().open(paths, callback);
}

// ---- requests from other threads

void ManageTagsDialog::set_services(const Services& services) {
    thread_.run([&] { services_ = services; });
}

std::vector<std::wstring> ManageTagsDialog::files() const {
    std::vector<std::wstring> copy;
    thread_.run([&] { copy = files_; });
    return copy;
}

void ManageTagsDialog::open(const std::vector<std::wstring>& paths, const Callback& callback) {
    UiThread::Work request = [this, paths, callback] { show(paths, callback); };
    thread_.submit(request);
}

void ManageTagsDialog::close() {
    if (!thread_.started()) return;  // nothing is open
    UiThread::Work request = [this] {
        if (window_) ::DestroyWindow(window_);
    };
    thread_.submit(request);
}

bool ManageTagsDialog::settle(DWORD timeout_ms) const { return thread_.settle(timeout_ms); }

void ManageTagsDialog::show(const std::vector<std::wstring>& paths, const Callback& callback) {
    callback_ = callback;
    files_.clear();
    file_tags_.clear();
    files_ = paths;
    read_file_tags();

    if (window_) {
        // The tree is rebuilt from the database, so edits not yet applied would no longer be
        // shown: they are dropped with the rows they belonged to.
        show_tags();
        update_title();
    } else if (!::CreateDialogParamW(util::module_instance(), MAKEINTRESOURCEW(IDD_MANAGE_TAGS), ::GetDesktopWindow(),
                                     dialog_proc, reinterpret_cast<LPARAM>(this))) {
        return;
    }
    ::ShowWindow(window_, SW_SHOW);
    ::SetWindowPos(window_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

// ---- the window

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
    UiThread::Busy busy(self->thread_);
    try {
        return self->handle(message, wparam, lparam);
    } catch (...) {
        // Nothing may unwind into the window manager; the failed step simply has no effect.
        return FALSE;
    }
}

INT_PTR ManageTagsDialog::handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG:
        init_window();
        return TRUE;
    case WM_COMMAND:
        if (tree_view_.on_command(LOWORD(wparam), HIWORD(wparam))) return TRUE;
        switch (LOWORD(wparam)) {
        case IDC_ADD_TAGS: on_add(); break;
        case IDC_REMOVE_TAGS: on_delete(); break;
        case IDC_CANCEL_TAGS: on_cancel(); break;
        case IDC_SETTINGS: on_settings(); break;
        case IDC_WATCHER_ACTIVE: on_watcher(); break;
        default: return FALSE;
        }
        return TRUE;
    case WM_NOTIFY: {
        LRESULT result = 0;
        if (!tree_view_.on_notify(*reinterpret_cast<NMHDR*>(lparam), result)) return FALSE;
        ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, result);
        return TRUE;
    }
    case WM_CLOSE:
        on_close();
        return TRUE;
    case WM_DPICHANGED:
        // Moved to a monitor of another DPI (Explorer is per-monitor aware): the window takes
        // the size the system suggests, the tree's pixel sizes follow.
        util::take_suggested_rect(window_, lparam);
        tree_view_.dpi_changed(util::dpi_of_message(wparam));
        return TRUE;
    case WM_DESTROY:
        tree_view_.owner_destroying();
        return TRUE;
    case WM_NCDESTROY:
        // The last message of the window, after its children have gone.
        window_ = nullptr;
        tree_view_.detach();
        return TRUE;
    }
    return FALSE;
}

void ManageTagsDialog::init_window() {
    tree_view_.attach(window_, ::GetDlgItem(window_, IDC_TAG_TREE), ::GetDlgItem(window_, IDC_TAG_EDIT));
    const bool watching = services_.watcher_active && services_.watcher_active();
    ::CheckDlgButton(window_, IDC_WATCHER_ACTIVE, watching ? BST_CHECKED : BST_UNCHECKED);
    // The resource is laid out with the settings open; closed, the hidden check box would
    // leave an empty band below "Settings".
    RECT frame;
    ::GetWindowRect(window_, &frame);
    const int growth = util::scaled(kSettingsGrowth, tree_view_.dpi());
    ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top - growth,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    show_tags();
    update_title();
}

void ManageTagsDialog::show_tags() { tree_view_.show(items::tags_holder().name_trees(), file_tags_); }

void ManageTagsDialog::read_file_tags() {
    items::TagsHolder& db = items::tags_holder();
    // Held across the files, so that no change comes between two of them.
    const util::lock_guard held = db.lock();
    file_tags_.clear();
    for (const std::wstring& file : files_) file_tags_.push_back(db.tags_of_paths({file}));
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

// ---- buttons

void ManageTagsDialog::on_add() {
    tree_view_.commit_edit();
    items::TagsHolder& db = items::tags_holder();
    try {
        const std::vector<items::tree_edit> edits = tree_view_.take_edits();
        if (!edits.empty() && !db.apply_collected_edits(edits)) {
            throw std::runtime_error("tree edit refused by the database");
        }
        const std::vector<items::tree_ptr> chosen = tree_view_.chosen();
        // Partly chosen tags stay with the files that hold them: they are a choice too.
        if (chosen.empty() && !tree_view_.any_partly_chosen()) {
            ::MessageBoxW(nullptr, kNothingChosen, L"", MB_OK);
            return;
        }
        // Each file gets the chosen tags and loses the unchosen ones; the partly chosen stay
        // as each file has them, so one file's tags never reach another.
        db.change_tags(files_, chosen, tree_view_.unchosen());
        call_back(1);
    } catch (...) {
        ::MessageBoxW(window_, kUnableToAdd, L"", MB_OK);
        // Some edits may have reached the database and some not: show what it holds now.
        if (window_) {
            read_file_tags();
            show_tags();
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
    const int growth = util::scaled(kSettingsGrowth, tree_view_.dpi());
    const int height = frame.bottom - frame.top + (open ? growth : -growth);
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
