// The directory watcher: one thread notices files that appear in the watched directories, one
// handler thread waits until each new file's writer has closed it, and the watcher's window
// thread receives the path, remembers it and tags it with the plug-ins.
#pragma once

#include "autotag/plugins.h"
#include "autotag/settings.h"
#include "util/unique_resource.h"

#include <boost/shared_ptr.hpp>

#include <windows.h>

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
        bool pending = false;  // a change request is outstanding on `handle`
        bool closing = false;  // being released: a completion must not start another request

        DirEntrie() { ::ZeroMemory(&overlapped, sizeof overlapped); }
        DirEntrie(const DirEntrie&) = delete;
        DirEntrie& operator=(const DirEntrie&) = delete;
    };
    typedef boost::shared_ptr<DirEntrie> entry_ptr;

    static const DWORD default_poll_ms = 1000;
    // The most new files remembered for the user; the oldest go first.
    static const std::size_t max_new_files = 1000;

    // `poll_ms`: how often a handler tries whether its new file can be opened yet.
    DirectoryWatcher(const Settings& config, AutoAssignPlugins& plugins, items::TagsHolder& db,
                     DWORD poll_ms = default_poll_ms);
    // Stops the watching, lets waiting handlers give up, and ends the window thread.
    ~DirectoryWatcher();
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    // Starts the watching thread when watching is switched on in the settings, and the window
    // thread unless it runs already.
    void start_watcher();
    // Ends the watching thread, if any, and waits until it has ended. The window thread and
    // the files already waiting for their writers go on.
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

    util::unique_handle watch_thread;
    std::atomic<DWORD> ui_thread_id;
    util::unique_handle stop_event;    // auto-reset: ends the watching thread
    util::unique_handle cancel_event;  // manual-reset: files waiting for their writers are given up
    // Touched by the window thread; the lock lets other threads read a copy.
    std::deque<std::wstring> new_files;
    // Owned by the watching thread while it runs; other threads read them under the lock.
    std::vector<entry_ptr> records;

private:
    struct WatchJob {
        DirectoryWatcher* watcher;
        std::vector<WatchedDir> dirs;
    };
    // A new file whose writer may still hold it, and the tick count at which to try it next.
    struct WaitingFile {
        std::wstring path;
        DWORD due;
    };

    void start_watching_thread();
    static DWORD WINAPI watching_thread(void* job);
    void watch(const std::vector<WatchedDir>& dirs);
    bool request_changes(DirEntrie& entry, DWORD filter);
    static VOID CALLBACK changes_arrived(DWORD error, DWORD bytes, OVERLAPPED* overlapped);
    void take_changes(DirEntrie& entry, DWORD error, DWORD bytes);
    void consider(const DirEntrie& entry, const std::wstring& name);
    void drop(DirEntrie& entry);
    void release_records();

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

    const Settings& config_;
    AutoAssignPlugins& plugins_;
    items::TagsHolder& db_;
    const DWORD poll_ms_;

    mutable util::critical_section control_;  // one start or stop at a time
    mutable util::critical_section lock_;  // guards `records` and `new_files` for readers
    std::unordered_set<std::wstring> listed_;  // the paths in `new_files`; window thread only
    util::unique_handle window_thread_;
    util::unique_handle window_ready_;  // manual-reset: the window thread's queue takes messages

    util::critical_section arrivals_lock_;  // guards `arrivals_` and `handler_thread_`
    std::vector<std::wstring> arrivals_;    // new paths not yet taken by the handler thread
    util::unique_handle arrived_;           // auto-reset: `arrivals_` has paths
    util::unique_handle handler_thread_;
    std::atomic<bool> stopping_;  // set from the moment a stop is asked for until the next start
    std::atomic<long> watching_threads_;
    std::atomic<long> peak_watching_;
};

// The process's watcher, on the process's settings, plug-ins and database: built on first
// use, never destroyed while the host runs.
DirectoryWatcher& directory_watcher();

}  // namespace autotag
