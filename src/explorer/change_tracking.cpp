#include "explorer/change_tracking.h"

#include "database/tags_holder.h"
#include "util/file_names.h"
#include "util/file_system.h"
#include "util/module.h"

#include <algorithm>
#include <vector>

namespace explorer {

namespace {

// The class of the window that queues notifications for the worker.
const wchar_t queue_window_class[] = L"QuibrixShellChanges";

// The event and both items of a registered notification, copied out of the shell's shared
// memory so that they outlive the message.
bool read_notification(WPARAM wparam, LPARAM lparam, ShellChangeRecord& record) {
    PIDLIST_ABSOLUTE* items = nullptr;
    LONG event = 0;
    HANDLE lock = ::SHChangeNotification_Lock(reinterpret_cast<HANDLE>(wparam), static_cast<DWORD>(lparam), &items, &event);
    if (!lock) return false;
    try {
        record.event = event;
        record.first = items ? copy_pidl(items[0]) : shared_pidl();
        record.second = items ? copy_pidl(items[1]) : shared_pidl();
    } catch (...) {
        ::SHChangeNotification_Unlock(lock);
        throw;
    }
    ::SHChangeNotification_Unlock(lock);
    return true;
}

std::wstring path_of(LPCITEMIDLIST pidl) {
    wchar_t path[MAX_PATH] = L"";
    if (!pidl || !::SHGetPathFromIDListW(pidl, path)) return std::wstring();
    return path;
}

}  // namespace

void move_item(items::TagsHolder& db, const std::wstring& from, const std::wstring& to) {
    if (from.empty() || to.empty()) return;
    db.follow_rename(from, to);
}

void rename_folder(items::TagsHolder& db, const std::wstring& from, const std::wstring& to) {
    if (from.empty() || to.empty()) return;
    // One request for the folder and all below it: each map and tag file is written once.
    db.follow_folder_rename(from, to);
}

namespace {

// The renames are followed the same way by the worker and by the notification window.
bool follow_rename_event(items::TagsHolder& db, LONG event, const std::wstring& first, const std::wstring& second) {
    if (event == SHCNE_RENAMEITEM && util::folder_exists(second)) {
        // Wine's SHFileOperation reports a renamed or moved folder as SHCNE_RENAMEITEM;
        // Windows reports SHCNE_RENAMEFOLDER, and a folder is a folder either way.
        rename_folder(db, first, second);
    } else if (event == SHCNE_RENAMEITEM) {
        move_item(db, first, second);
    } else if (event == SHCNE_RENAMEFOLDER) {
        rename_folder(db, first, second);
    } else {
        return false;
    }
    return true;
}

}  // namespace

void forget(items::TagsHolder& db, const std::wstring& path, bool was_folder) {
    if (path.empty()) return;
    std::vector<std::wstring> paths(1, path);
    if (was_folder || util::folder_exists(path)) {
        for (const auto& entry : db.tagged_below(path)) paths.push_back(entry.second);
    }
    // A path that is there again was saved, not deleted: editors that save by deleting the
    // file and renaming a new one into its place report the delete first, and the rename
    // after it is what makes the forget fall due.
    paths.erase(std::remove_if(paths.begin(), paths.end(), util::path_exists), paths.end());
    if (paths.empty()) return;
    // No view refresh: a refresh raises the virtual folder's windows, which a deletion made
    // elsewhere in Explorer should not do.
    db.remove_all_tags(paths, false);
}

ShellChangeTracker::ShellChangeTracker(items::TagsHolder& db, DWORD quiet_ms)
    : db_(db),
      quiet_ms_(quiet_ms),
      stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      queue_window_(nullptr),
      window_(nullptr),
      handled_(0) {}

ShellChangeTracker::~ShellChangeTracker() {
    // The window first: nothing is queued once its thread has ended.
    if (queue_thread_) {
        if (HWND window = queue_window_.load()) ::PostMessageW(window, WM_CLOSE, 0, 0);
        ::WaitForSingleObject(queue_thread_.get(), INFINITE);
    }
    ::SetEvent(stop_.get());
    if (worker_) ::WaitForSingleObject(worker_.get(), INFINITE);
}

bool ShellChangeTracker::start() {
    if (worker_ || !stop_ || !queue_.event()) return false;
    worker_.reset(::CreateThread(nullptr, 0, worker_thread, this, 0, nullptr));
    if (!worker_) return false;
    queue_ready_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!queue_ready_) return false;
    queue_thread_.reset(::CreateThread(nullptr, 0, queue_window_thread, this, 0, nullptr));
    if (!queue_thread_) return false;
    const HANDLE waits[] = {queue_ready_.get(), queue_thread_.get()};
    ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    return queue_window_.load() != nullptr;
}

DWORD WINAPI ShellChangeTracker::queue_window_thread(void* self) {
    ShellChangeTracker* tracker = static_cast<ShellChangeTracker*>(self);
    // Message-only: no broadcast reaches it, so it never holds up a program that broadcasts.
    // The desktop as the root: tagged files may lie on any drive, on network shares (not below
    // My Computer), or on the desktop itself, whose items the shell may name as its own.
    tracker->run_registered(queue_window_class, queue_window_proc, HWND_MESSAGE, CSIDL_DESKTOP, tracked_events,
                            tracker->queue_window_, tracker->queue_ready_.get());
    return 0;
}

DWORD WINAPI ShellChangeTracker::worker_thread(void* self) {
    static_cast<ShellChangeTracker*>(self)->work();
    return 0;
}

void ShellChangeTracker::work() {
    const HANDLE waits[] = {queue_.event(), stop_.get()};
    for (;;) {
        const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, quiet_ms_);
        if (woke == WAIT_TIMEOUT) {
            try {
                forget_pending();
            } catch (...) {
                // As below: a store failure loses this change, not the tracker.
            }
            continue;
        }
        if (woke != WAIT_OBJECT_0) return;
        ShellChangeRecord record;
        while (queue_.take(record)) {
            try {
                handle(record);
            } catch (...) {
                // A store failure or no memory: this change is lost, the next ones are not.
            }
            record = ShellChangeRecord();
            ++handled_;
        }
    }
}

void ShellChangeTracker::forget_pending() {
    if (pendingPath.empty()) return;
    const std::wstring path = pendingPath;
    const bool was_folder = pendingIsFolder;
    pendingPath.clear();
    pendingIsFolder = false;
    forget(db_, path, was_folder);
}

void ShellChangeTracker::handle(const ShellChangeRecord& record) {
    const std::wstring first = path_of(record.first.get());
    const std::wstring second = path_of(record.second.get());
    if (first.empty()) return;
    const LONG event = record.event & ~SHCNE_INTERRUPT;
    switch (event) {
    case SHCNE_DELETE:
    case SHCNE_RMDIR:
        // A deletion before this one was not followed by its creation: it is final. Keeping
        // only the newest would leave the tags of all but the last of several deleted files.
        forget_pending();
        pendingPath = first;
        pendingIsFolder = event == SHCNE_RMDIR;
        if (util::last_component(first) == pendingName) {
            pendingPath.clear();
            pendingIsFolder = false;
            pendingName.clear();
        }
        return;
    case SHCNE_CREATE:
    case SHCNE_MKDIR:
        pendingName = util::last_component(first);
        if (!pendingPath.empty() && util::last_component(pendingPath) == pendingName) {
            if (event == SHCNE_CREATE) {
                move_item(db_, pendingPath, first);
            } else {
                rename_folder(db_, pendingPath, first);
            }
            pendingPath.clear();
            pendingIsFolder = false;
            pendingName.clear();
        }
        break;
    default:
        follow_rename_event(db_, event, first, second);
        break;
    }
    forget_pending();
}

void ShellChangeTracker::run_window() {
    run_registered(L"WatcherFS", window_proc, nullptr, CSIDL_DRIVES,
                   SHCNE_RENAMEITEM | SHCNE_DELETE | SHCNE_RMDIR | SHCNE_RENAMEFOLDER, window_, nullptr);
}

void ShellChangeTracker::run_registered(const wchar_t* class_name, WNDPROC procedure, HWND parent, int root,
                                        LONG events, std::atomic<HWND>& published, HANDLE ready) {
    struct ready_signal {
        HANDLE event;
        ~ready_signal() {
            if (event) ::SetEvent(event);
        }
    } signal = {ready};
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = util::module_instance();
    window_class.lpszClassName = class_name;
    if (!::RegisterClassW(&window_class) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    HWND window = ::CreateWindowExW(0, class_name, L"", 0, 0, 0, 0, 0, parent, nullptr, util::module_instance(), this);
    if (!window) return;
    util::unique_pidl root_item;
    if (FAILED(::SHGetSpecialFolderLocation(nullptr, root, root_item.put()))) {
        ::DestroyWindow(window);
        return;
    }
    SHChangeNotifyEntry entry = {root_item.get(), TRUE};
    // Wine 8 delivers only the shell level: a change made with plain file calls, by this
    // process or another, reaches no registered window there.
    const ULONG registration = ::SHChangeNotifyRegister(
        window, SHCNRF_InterruptLevel | SHCNRF_ShellLevel | SHCNRF_NewDelivery, events, change_notify_message, 1, &entry);
    if (!registration) {
        ::DestroyWindow(window);
        return;
    }
    published = window;
    if (ready) ::SetEvent(ready);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    ::SHChangeNotifyDeregister(registration);
    published = nullptr;
}

void ShellChangeTracker::stop_window() {
    if (HWND window = window_.load()) ::PostMessageW(window, WM_CLOSE, 0, 0);
}

namespace {

ShellChangeTracker* tracker_of(HWND window, UINT message, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    if (message == WM_DESTROY) ::PostQuitMessage(0);
    return reinterpret_cast<ShellChangeTracker*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

LRESULT CALLBACK ShellChangeTracker::queue_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    ShellChangeTracker* tracker = tracker_of(window, message, lparam);
    if (message == change_notify_message && tracker) {
        // Only a copy is made here: the shell may deliver by a sent message (Wine's
        // SHChangeNotify sends it, and waits), so the caller of SHChangeNotify waits for this
        // window but never for the database.
        try {
            ShellChangeRecord record;
            if (read_notification(wparam, lparam, record) && (record.event & tracked_events)) {
                tracker->queue_.append(record);
            }
        } catch (...) {
            // Out of memory: this change goes untracked.
        }
        return 0;
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
}

LRESULT CALLBACK ShellChangeTracker::window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    ShellChangeTracker* tracker = tracker_of(window, message, lparam);
    if (message == change_notify_message && tracker) {
        try {
            tracker->on_notification(wparam, lparam);
        } catch (...) {
            // A store failure or no memory: this change is lost, the next ones are not.
        }
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
}

void ShellChangeTracker::on_notification(WPARAM wparam, LPARAM lparam) {
    ShellChangeRecord record;
    if (!read_notification(wparam, lparam, record)) return;
    const std::wstring first = path_of(record.first.get());
    const std::wstring second = path_of(record.second.get());
    // Without the worker there is no pairing: a deletion is final at once.
    const LONG kind = record.event & ~SHCNE_INTERRUPT;
    if (kind == SHCNE_DELETE || kind == SHCNE_RMDIR) {
        forget(db_, first, kind == SHCNE_RMDIR);
    } else {
        follow_rename_event(db_, kind, first, second);
    }
    ++handled_;
}

void start_change_tracking() {
    static std::atomic<bool> started(false);
    if (started.exchange(true)) return;
    util::unique_handle thread(::CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            try {
                // Lives until the process ends, like the database it serves.
                ShellChangeTracker* tracker = new ShellChangeTracker(items::tags_holder());
                // On Windows 6 and later a deletion waits for a creation of the same name, so
                // that moves to another drive keep their tags.
                if (LOBYTE(LOWORD(::GetVersion())) >= 6) {
                    tracker->start();
                } else {
                    tracker->run_window();
                }
            } catch (...) {
                // No memory for the tracker: Explorer goes on without following renames.
            }
            return 0;
        },
        nullptr, 0, nullptr));
}

}  // namespace explorer
