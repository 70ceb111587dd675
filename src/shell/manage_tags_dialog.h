// The Manage Tags dialog: a modeless window, one per process, in which the user edits the tag
// tree and chooses the tags of a list of files. Tree edits are collected and reach the database
// only when the user presses "Add". It runs on a user-interface thread of its own, so that it
// belongs to none of the Explorer windows that open it.
#pragma once

#include "database/tags_holder.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <commctrl.h>

#include <boost/function.hpp>

#include <atomic>
#include <map>
#include <string>
#include <vector>

// What each tree row is, kept in its item parameter.
enum TreeRowKind : LPARAM {
    row_root = 1,
    row_scope = 2,
    row_tag = 4,
    row_new_scope = 8,
    row_new_tag = 16,
    row_new_root = 32,
    row_chosen = 64,  // added to a root, scope or tag: chosen for the files (drawn bold)
};

struct font_traits {
    typedef HFONT type;
    static HFONT invalid() { return nullptr; }
    static void close(HFONT font) { ::DeleteObject(font); }
};

class ManageTagsDialog {
public:
    // Told when the dialog is done with the files: `from_buttons` is 1 when a button called it
    // with the window still open, 0 after the window was closed.
    typedef boost::function<void(const std::vector<std::wstring>& files, int from_buttons)> Callback;

    // What the dialog needs from other parts of the extension. The owner of the process wires
    // these once; a member left empty means that part is not there.
    struct Services {
        // The confirmation with "Don't show this dialog again": true for OK. Empty counts as
        // Cancel, so nothing is removed without the user having been asked.
        boost::function<bool(unsigned bit, HWND owner)> confirm;
        // The settings flag "directory watcher active". Empty: shown unchecked.
        boost::function<bool()> watcher_active;
        // Stores the flag, starts or stops the watcher to match and saves the settings.
        boost::function<void(bool active)> set_watcher_active;
    };

    static ManageTagsDialog& instance();

    // Wired by the owner of the process; stored on the dialog thread once that runs.
    void set_services(const Services& services);
    const Services& services() const { return services_; }

    // Opens the dialog for `paths`, or refreshes the open one with them. Any thread may call it.
    // The dialog runs on a user-interface thread of its own, started by the first call and kept
    // for the process, whatever becomes of the windows that opened it; the callback is called on
    // that thread. The call returns once the dialog thread has taken the request, which it
    // carries out at once, or, when the request arrives while the dialog is inside one of its
    // own steps (a message box, a menu, a callback), as soon as that step has ended. The dialog
    // thread never waits for a caller; the caller waits for it, so it must not hold the database
    // lock (then the request is only posted) nor any lock that the callback takes.
    void open(const std::vector<std::wstring>& paths, const Callback& callback = Callback());
    // Destroys the window without calling back. Any thread may call it; it is handed to the
    // dialog thread as open() is.
    void close();

    // The window, null while closed. Other threads may send it messages but not destroy it.
    HWND window() const { return window_; }
    // A copy of the files it shows, read on the dialog thread.
    std::vector<std::wstring> files() const;
    // Waits until the dialog thread has handled every message posted to it before the call, and
    // every request, with nothing of the dialog's running any more (for tests, which drive the
    // dialog from another thread). False when that took longer than `timeout_ms`.
    bool settle(DWORD timeout_ms) const;

private:
    ManageTagsDialog();
    ManageTagsDialog(const ManageTagsDialog&) = delete;
    ManageTagsDialog& operator=(const ManageTagsDialog&) = delete;

    // An open or close asked by another thread.
    struct Request {
        bool close = false;
        std::vector<std::wstring> paths;
        Callback callback;
    };
    // The dialog thread's message-only window, which takes requests from other threads;
    // started on first use. Null when the thread could not be started.
    HWND host();
    static DWORD WINAPI thread_main(void* self);
    static LRESULT CALLBACK host_proc(HWND host, UINT message, WPARAM wparam, LPARAM lparam);
    void run_message_loop();
    // Runs `work` on the dialog thread and waits for it; at once when called there, or before
    // the thread has started.
    void on_dialog_thread(const boost::function<void()>& work) const;
    // Hands a request to the dialog thread: carried out there at once, or after the step the
    // dialog is in (see open()).
    void submit(Request& request);
    void take(Request& request);
    void run_pending();
    // The dialog's handling has ended: wakes the loop for waiting requests and settle marks.
    void at_rest();
    void carry_out(const Request& request);
    void show(const std::vector<std::wstring>& paths, const Callback& callback);

    static INT_PTR CALLBACK dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK tree_proc(HWND tree, UINT message, WPARAM wparam, LPARAM lparam,
                                      UINT_PTR id, DWORD_PTR data);
    INT_PTR handle(UINT message, WPARAM wparam, LPARAM lparam);
    bool handle_tree(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result);

    void init_window();
    void fill_tree();
    HTREEITEM insert_row(HTREEITEM parent, HTREEITEM after, const std::wstring& text, LPARAM kind);
    void insert_subtree(HTREEITEM parent, const items::tree_node& node, bool top);
    void mark_chosen();
    void update_title();
    void show_tooltip(const wchar_t* text);

    LPARAM kind_of(HTREEITEM item) const;
    void set_kind(HTREEITEM item, LPARAM kind);
    std::wstring text_of(HTREEITEM item) const;
    std::vector<std::wstring> names_of(HTREEITEM item) const;
    HTREEITEM top_of(HTREEITEM item) const;
    HTREEITEM item_at(LPARAM point) const;
    std::vector<HTREEITEM> children_of(HTREEITEM parent) const;

    void on_left_down(LPARAM point);
    void on_double_click(HTREEITEM item);
    void on_right_down(LPARAM point);
    void start_editing(HTREEITEM item);
    void place_editor();
    void commit_edit();
    void end_editing();
    bool name_refused(HTREEITEM item, const std::wstring& name);
    void delete_row(HTREEITEM item);
    void move_row(HTREEITEM item, HTREEITEM target);
    HTREEITEM copy_rows(HTREEITEM from, HTREEITEM to_parent, LPARAM kind);
    void add_move_targets(HMENU menu, HTREEITEM container, HTREEITEM moving);

    void on_add();
    void on_delete();
    void on_cancel();
    void on_close();
    void on_settings();
    void on_watcher();
    void call_back(int from_buttons);

    Services services_;
    util::critical_section start_lock_;
    std::atomic<HWND> host_{nullptr};
    DWORD thread_id_ = 0;
    // How deep the dialog thread is inside the dialog's own message handling; requests from
    // other threads that arrive meanwhile wait in `pending_` for the message loop.
    class Handling;
    int handling_ = 0;
    std::vector<Request> pending_;
    bool wake_posted_ = false;
    std::vector<LPARAM> settle_marks_;  // taken by a nested loop, posted again once handling ends

    std::atomic<HWND> window_{nullptr};
    HWND tree_ = nullptr;
    HWND edit_ = nullptr;
    HWND tooltip_ = nullptr;
    HFONT normal_font_ = nullptr;
    util::unique_resource<font_traits> bold_font_;
    util::unique_hmenu popup_;
    std::map<UINT, HTREEITEM> move_targets_;
    HTREEITEM menu_item_ = nullptr;

    HTREEITEM current_ = nullptr;
    HTREEITEM edited_ = nullptr;  // the row under the edit box while editing
    bool editing_ = false;
    bool place_editor_ = false;
    bool had_no_root_ = false;

    std::vector<std::wstring> files_;
    std::vector<std::wstring> added_files_;
    std::vector<items::tree_ptr> file_tags_;
    std::vector<items::tree_edit> PendingTreeEdits;
    Callback callback_;
};

// Opens the Manage Tags dialog, as the context-menu command and the other openers do; see open().
void open_manage_tags(const std::vector<std::wstring>& paths,
                      const ManageTagsDialog::Callback& callback = ManageTagsDialog::Callback());
