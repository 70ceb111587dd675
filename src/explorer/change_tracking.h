// Keeps tags with their files when the shell reports renames, moves and deletions: a hidden
// window registered with SHChangeNotifyRegister queues the tracked events for a worker thread
// that updates the tag database.
#pragma once

#include "explorer/change_queue.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <string>

namespace items {
class TagsHolder;
}

namespace explorer {

const LONG tracked_events =
    SHCNE_RENAMEITEM | SHCNE_CREATE | SHCNE_DELETE | SHCNE_MKDIR | SHCNE_RMDIR | SHCNE_RENAMEFOLDER;

// The message that the notification windows receive for each registered notification.
const UINT change_notify_message = 1101;

// The database operations the tracking derives from the shell's events. Folder members are
// matched by whole leading path components: renaming C:\Photos leaves C:\Photos2 alone.
void move_item(items::TagsHolder& db, const std::wstring& from, const std::wstring& to);
void rename_folder(items::TagsHolder& db, const std::wstring& from, const std::wstring& to);
// Drops the tags of `path`, and of everything below it when it was a folder (reported removed
// as one, or still existing).
void forget(items::TagsHolder& db, const std::wstring& path, bool was_folder);

class ShellChangeTracker {
public:
    static const DWORD default_quiet_ms = 5000;

    // `quiet_ms`: how long a deletion waits for a creation of the same name (a move to another
    // drive) before it is final.
    explicit ShellChangeTracker(items::TagsHolder& db, DWORD quiet_ms = default_quiet_ms);
    // Stops the worker; a window loop must have been ended (stop_window) before.
    ~ShellChangeTracker();
    ShellChangeTracker(const ShellChangeTracker&) = delete;
    ShellChangeTracker& operator=(const ShellChangeTracker&) = delete;

    // Starts the worker, and a thread of the tracker's own with a message-only window that is
    // registered for the whole namespace and queues every tracked event for the worker. False
    // when the window or the registration cannot be made.
    bool start();

    // Older Windows: a hidden "WatcherFS" window registered for the whole of My Computer that
    // follows renames and deletions at once, without pairing moves. Runs its message loop on
    // the calling thread until stop_window(); returns at once if the window or the
    // registration fails.
    void run_window();
    void stop_window();
    // The window once it is registered, else null.
    HWND window() const { return window_.load(); }

    // Records and window notifications dealt with so far.
    unsigned long handled() const { return handled_.load(); }

private:
    static DWORD WINAPI worker_thread(void* self);
    static DWORD WINAPI queue_window_thread(void* self);
    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK queue_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    // Creates a window of `class_name` under `parent`, registers it for `events` below the
    // folder `root` and runs its message loop; `published` holds the window while it is
    // registered, and `ready` (if given) is set once the window is registered or has failed.
    void run_registered(const wchar_t* class_name, WNDPROC procedure, HWND parent, int root, LONG events,
                        std::atomic<HWND>& published, HANDLE ready);
    void work();
    void handle(const ShellChangeRecord& record);
    void on_notification(WPARAM wparam, LPARAM lparam);
    void forget_pending();

    items::TagsHolder& db_;
    const DWORD quiet_ms_;
    ShellChangeQueue queue_;
    util::unique_handle stop_;
    util::unique_handle worker_;
    util::unique_handle queue_ready_;
    util::unique_handle queue_thread_;
    std::atomic<HWND> queue_window_;
    std::atomic<HWND> window_;
    std::atomic<unsigned long> handled_;

    // Worker state: the last deleted item not yet known to be final, and the name of the last
    // created one.
    std::wstring pendingPath;
    bool pendingIsFolder = false;
    std::wstring pendingName;
};

// The product's tracking of the process's database, started once per process on a thread of
// its own.
void start_change_tracking();

}  // namespace explorer
