// The Manage Tags dialog: a modeless window, one per process, in which the user edits the tag
// tree and chooses the tags of a list of files. Tree edits are collected and reach the database
// only when the user presses "Add". It runs on a user-interface thread of its own, so that it
// belongs to none of the Explorer windows that open it.
#pragma once

#include "database/tags_holder.h"
#include "shell/tag_tree_view.h"
#include "shell/ui_thread.h"

#include <windows.h>

#include <boost/function.hpp>

#include <atomic>
#include <string>
#include <vector>

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

    void show(const std::vector<std::wstring>& paths, const Callback& callback);

    static INT_PTR CALLBACK dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR handle(UINT message, WPARAM wparam, LPARAM lparam);
    void init_window();
    // Shows the database's tree with the tags of `file_tags_` chosen or partly chosen.
    void show_tags();
    // Reads each file's tags into `file_tags_`.
    void read_file_tags();
    void update_title();

    void on_add();
    void on_delete();
    void on_cancel();
    void on_close();
    void on_settings();
    void on_watcher();
    void call_back(int from_buttons);

    UiThread thread_;
    Services services_;
    std::atomic<HWND> window_{nullptr};
    TagTreeView tree_view_;
    std::vector<std::wstring> files_;
    // The tags each of `files_` held when the tree was shown, in the same order.
    std::vector<std::vector<items::tree_ptr> > file_tags_;
    Callback callback_;
};

// Opens the Manage Tags dialog, as the context-menu command and the other openers do; see open().
void open_manage_tags(const std::vector<std::wstring>& paths,
                      const ManageTagsDialog::Callback& callback = ManageTagsDialog::Callback());
