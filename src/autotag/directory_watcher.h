// The directory watcher: one thread notices files that appear in the watched directories, one
// handler thread waits until each new file's writer has closed it, and the watcher's window
// thread receives the path, remembers it and tags it with the plug-ins.
#pragma once

#include "autotag/plugins.h"
#include "autotag/settings.h"
#include "util/unique_resource.h"

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_set>
#include <vector>

namespace items {
class TagsHolder;
}

namespace autotag {

// Thread messages of the window thread (no window): a new file, whose wParam is a heap copy
// of its zero-terminated path that the receiver frees; and the end of its message loop.
const UINT watcher_new_file_message = WM_USER + 10;
const UINT watcher_quit_message = WM_USER + 11;

// True when a new path names a download or temporary file that is still being written:
// ".part", ".tmp" or ".crdownload" anywhere in it, also in a directory name.
bool is_temporary_path(const std::wstring& path);

// Messages of the hidden window: the tray icon's notifications, and the Manage Tags dialog's
// answer for a file of the Files list (wParam a heap copy of the path, lParam 1 when done).
const UINT tray_callback_message = WM_USER + 1;
const UINT tag_dialog_done_message = WM_APP + 20;

// The Manage Tags dialog, as the watcher's windows use it. It lives in a layer above this one,
// so the owner of the process wires these; a member left empty means there is no such dialog.
struct TagDialogLink {
    // Told when the dialog is done with a file: `done` false when the user closed the dialog.
    typedef boost::function<void(const std::wstring& file, bool done)> Completion;
    boost::function<void(const std::vector<std::wstring>& files, const Completion& completion)> open;
    boost::function<HWND()> window;  // null while the dialog is closed
    boost::function<std::wstring()> first_file;  // the first file it shows now
    boost::function<void()> close;
};

class DirectoryWatcher {
public:
    // One watched directory while the watching thread runs.
    struct DirEntrie {
        std::wstring path;
        util::unique_file handle;  // opened for change notification, overlapped
        OVERLAPPED overlapped;
        alignas(DWORD) BYTE buffer[4096];  // FILE_NOTIFY_INFORMATION records
        BOOL subtree = FALSE;
        DirectoryWatcher* owner = nullptr;
        unsigned job = 0;      // the watching thread's job that opened it
        bool pending = false;  // a change request is outstanding on `handle`
        bool closing = false;  // being released: a completion must not start another request

        DirEntrie() { ::ZeroMemory(&overlapped, sizeof overlapped); }
        DirEntrie(const DirEntrie&) = delete;
        DirEntrie& operator=(const DirEntrie&) = delete;
    };
    typedef boost::shared_ptr<DirEntrie> entry_ptr;

    static const DWORD default_poll_ms = 1000;
    // How long a stop waits for the watching thread. One that is opening a directory on a
    // network share that went offline may not return for a minute: it is left to end by itself
    // once the open returns, reporting nothing and touching nothing of the next thread's.
    static const DWORD stop_wait_ms = 2000;
    // Tests stand for a directory whose open hangs with this: it is called instead of the open.
    static HANDLE (*g_open_directory)(const std::wstring& path);
    // The most new files remembered for the user; the oldest go first.
    static const std::size_t max_new_files = 1000;

    // `poll_ms`: how often a handler tries whether its new file can be opened yet.
    DirectoryWatcher(Settings& config, AutoAssignPlugins& plugins, items::TagsHolder& db,
                     DWORD poll_ms = default_poll_ms);
    // Stops the watching, lets waiting handlers give up, and ends the window thread.
    ~DirectoryWatcher();
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    // Starts the watching thread when watching is switched on in the settings, and the window
    // thread unless it runs already.
    void start_watcher();
    // Ends the watching thread, if any, and waits until it has ended, at most stop_wait_ms. The
    // window thread and the files already waiting for their writers go on.
    void stop_watching();
    // Stops and watches the settings' directories again, whether watching is switched on or
    // not: for a changed list of directories.
    void restart_watching();

    // True while the watching thread runs.
    bool is_watching() const;
    // The directories the watching thread watches now (those that could be opened), in order.
    std::vector<std::wstring> watched_paths() const;
    // The new files reported since start (the latest `max_new_files`), in arrival order.
    std::vector<std::wstring> new_file_list() const;
    // The most watching threads that ever ran at the same time.
    long peak_watching_threads() const { return peak_watching_.load(); }

    // Where the watcher's windows save the settings they change; empty: the process's own
    // settings file (save_settings()).
    void set_settings_folder(const std::wstring& folder) { settings_folder_ = folder; }
    void set_tag_dialog(const TagDialogLink& link) { tag_dialog_ = link; }

    // The flows of the watcher's windows; call them on the window thread.
    // Adds a watched directory (`parse_only` false) or parses one without storing it.
    void choose_directory(bool parse_only);
    // Opens or refreshes the "Files list" beside the Manage Tags dialog.
    void show_files_list();
    // "Directory settings" on `edit_entry`; 1 for OK.
    INT_PTR edit_directory_settings(HWND owner);
    // "Manage Watching Directories", created when it is not open.
    void show_manage_dialog();

    // Whether the tray icon is in the notification area now.
    bool tray_icon_shown() const { return icon_shown_.load(); }
    // The balloons the notification area accepted, in order: their texts (the file paths).
    std::vector<std::wstring> balloons() const;

    std::atomic<HWND> tray_window;
    HWND manage_dialog = nullptr;
    HWND files_dialog = nullptr;
    NOTIFYICONDATAW tray_icon;
    WatchedDir edit_entry;  // the working copy of "Directory settings"

    util::unique_handle watch_thread;
    std::atomic<DWORD> ui_thread_id;
    util::unique_handle stop_event;    // manual-reset, one per watching thread: ends it
    util::unique_handle cancel_event;  // manual-reset: files waiting for their writers are given up
    // Touched by the window thread; the lock lets other threads read a copy.
    std::deque<std::wstring> new_files;
    // Owned by the watching threads while they run, each its own (by `job`); other threads
    // read them under the lock.
    std::vector<entry_ptr> records;

private:
    struct WatchJob {
        DirectoryWatcher* watcher;
        std::vector<WatchedDir> dirs;
        unsigned id;
        util::unique_handle stop;  // the thread's own handle to its stop event
    };
    // A new file whose writer may still hold it, and the tick count at which to try it next.
    struct WaitingFile {
        std::wstring path;
        DWORD due;
    };

    void start_watching_thread();
    void stop_watching_thread(DWORD timeout_ms);
    static DWORD WINAPI watching_thread(void* job);
    void watch(const WatchJob& job);
    bool is_current(unsigned job) const { return job == current_job_.load(); }
    bool request_changes(DirEntrie& entry, DWORD filter);
    static VOID CALLBACK changes_arrived(DWORD error, DWORD bytes, OVERLAPPED* overlapped);
    void take_changes(DirEntrie& entry, DWORD error, DWORD bytes);
    void consider(const DirEntrie& entry, const std::wstring& name);
    void drop(DirEntrie& entry);
    void release_records(unsigned job);

    void start_handler(const std::wstring& path);
    static DWORD WINAPI handler_thread(void* self);
    void hand_on();
    // Adds the files that arrived since the last call to `waiting`; false when cancelled.
    bool take_arrivals(std::vector<WaitingFile>& waiting, std::unordered_set<std::wstring>& known);
    void add_waiting(const std::wstring& path, DWORD first_wait, std::vector<WaitingFile>& waiting,
                     std::unordered_set<std::wstring>& known);
    // Hands on the files whose writers have let go; false when cancelled.
    bool try_waiting(std::vector<WaitingFile>& waiting, std::unordered_set<std::wstring>& known);
    bool post_new_file(const std::wstring& path);

    void start_window_thread();
    static DWORD WINAPI window_thread(void* self);
    void run_message_loop();
    void new_file_step(const std::wstring& path);
    void take_new_file(WPARAM copy);

    // The hidden window and the tray icon (watcher_window.cpp).
    bool create_tray_window();
    void add_tray_icon();
    void remove_tray_icon();
    void show_balloon(const std::wstring& path);
    static LRESULT CALLBACK tray_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    LRESULT on_tray_message(UINT message, WPARAM wparam, LPARAM lparam);
    void show_tray_menu();
    void perform_menu_command(UINT id);
    void new_files_step();
    void greet_first_run();
    void save();

    // The dialogs (watcher_dialogs.cpp).
    bool tag_dialog_open() const;
    void open_tag_dialog(const std::wstring& file);
    void tag_dialog_done(const std::wstring& file, bool done);
    void remove_new_file(const std::wstring& file);
    void fill_manage_list();
    void manage_command(UINT id);
    void files_command(UINT id, UINT code);
    static INT_PTR CALLBACK settings_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
    static INT_PTR CALLBACK manage_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
    static INT_PTR CALLBACK files_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

    Settings& config_;
    AutoAssignPlugins& plugins_;
    items::TagsHolder& db_;
    const DWORD poll_ms_;

    mutable util::critical_section control_;  // one start or stop at a time
    mutable util::critical_section lock_;  // guards `records` and `new_files` for readers
    std::unordered_set<std::wstring> listed_;  // the paths in `new_files`; window thread only
    util::unique_handle window_thread_;
    util::unique_handle window_ready_;  // manual-reset: the window thread's queue takes messages
    std::wstring settings_folder_;
    TagDialogLink tag_dialog_;
    std::atomic<bool> icon_shown_;
    UINT taskbar_created_ = 0;  // sent to top-level windows when the taskbar is made again
    std::vector<std::wstring> balloons_;  // guarded by `lock_`

    util::critical_section arrivals_lock_;  // guards `arrivals_` and `handler_thread_`
    std::vector<std::wstring> arrivals_;    // new paths not yet taken by the handler thread
    util::unique_handle arrived_;           // auto-reset: `arrivals_` has paths
    util::unique_handle handler_thread_;
    // The job of the watching thread that is to run: 0 from the moment a stop is asked for
    // until the next start. A thread whose job is not current reports nothing.
    std::atomic<unsigned> current_job_;
    unsigned last_job_ = 0;  // under `control_`
    std::vector<util::unique_handle> left_behind_;  // threads a stop did not wait for; under `control_`
    std::atomic<long> watching_threads_;
    std::atomic<long> peak_watching_;
};

// The process's watcher, on the process's settings, plug-ins and database: built on first
// use, never destroyed while the host runs.
DirectoryWatcher& directory_watcher();

}  // namespace autotag
