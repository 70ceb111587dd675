#include "explorer/change_tracking.h"

#include "database/tags_holder.h"
#include "explorer/code_patch.h"
#include "util/file_names.h"
#include "util/file_system.h"
#include "util/module.h"

#include <algorithm>
#include <vector>

namespace explorer {

namespace {

typedef void(WINAPI* change_notify_fn)(LONG event, UINT flags, LPCVOID first, LPCVOID second);

// Set once, before the patched entry can reach the handler.
void* volatile original_notify = nullptr;

// The queues of the running trackers. Only the list is locked: callers of SHChangeNotify on
// different threads run the original function side by side, as they would without us.
util::critical_section& sinks_lock() {
    static util::critical_section* lock = new util::critical_section;
    return *lock;
}
std::vector<ShellChangeQueue*>& sinks() {
    static std::vector<ShellChangeQueue*>* list = new std::vector<ShellChangeQueue*>;
    return *list;
}

void WINAPI notify_handler(LONG event, UINT flags, LPCVOID first, LPCVOID second) {
    // SHCNF_FLUSH and SHCNF_FLUSHNOWAIT change only when the call returns: the items are
    // still item lists, and the change is as real.
    if ((event & tracked_events) && (flags & SHCNF_TYPE) == SHCNF_IDLIST) {
        try {
            ShellChangeRecord record;
            record.event = event;
            record.first = copy_pidl(static_cast<LPCITEMIDLIST>(first));
            record.second = copy_pidl(static_cast<LPCITEMIDLIST>(second));
            util::lock_guard lock(sinks_lock());
            for (ShellChangeQueue* queue : sinks()) queue->append(record);
        } catch (...) {
            // Out of memory: this change goes untracked, but the caller's call must still happen.
        }
    }
    reinterpret_cast<change_notify_fn>(original_notify)(event, flags, first, second);
}

bool intercept_shell_notify() {
    static const bool intercepted = [] {
        HMODULE shell = ::GetModuleHandleW(L"shell32.dll");
        void* target = shell ? reinterpret_cast<void*>(::GetProcAddress(shell, "SHChangeNotify")) : nullptr;
        return target && redirect_function(target, reinterpret_cast<const void*>(&notify_handler), &original_notify);
    }();
    return intercepted;
}

std::wstring path_of(LPCITEMIDLIST pidl) {
    wchar_t path[MAX_PATH] = L"";
    if (!pidl || !::SHGetPathFromIDListW(pidl, path)) return std::wstring();
    return path;
}

// Tagged paths strictly below `folder`.
std::vector<std::pair<items::file_id_t, std::wstring> > tagged_below(items::TagsHolder& db, const std::wstring& folder) {
    std::vector<std::pair<items::file_id_t, std::wstring> > below = db.tagged_paths();
    below.erase(std::remove_if(below.begin(), below.end(),
                               [&](const std::pair<items::file_id_t, std::wstring>& entry) {
                                   return entry.second.size() <= folder.size() ||
                                          !util::is_same_or_below(entry.second, folder);
                               }),
                below.end());
    return below;
}

}  // namespace

void move_item(items::TagsHolder& db, const std::wstring& from, const std::wstring& to) {
    if (from.empty() || to.empty()) return;
    db.follow_rename(from, to);
}

void rename_folder(items::TagsHolder& db, const std::wstring& from, const std::wstring& to) {
    if (from.empty() || to.empty()) return;
    move_item(db, from, to);
    for (const auto& entry : tagged_below(db, from)) {
        db.follow_rename(entry.second, to + entry.second.substr(from.size()));
    }
}

namespace {

// The renames are followed the same way by the worker and by the notification window.
bool follow_rename_event(items::TagsHolder& db, LONG event, const std::wstring& first, const std::wstring& second) {
    if (event == SHCNE_RENAMEITEM) {
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
        for (const auto& entry : tagged_below(db, path)) paths.push_back(entry.second);
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
      window_(nullptr),
      handled_(0) {}

ShellChangeTracker::~ShellChangeTracker() {
    {
        util::lock_guard lock(sinks_lock());
        std::vector<ShellChangeQueue*>& list = sinks();
        list.erase(std::remove(list.begin(), list.end(), &queue_), list.end());
    }
    ::SetEvent(stop_.get());
    if (worker_) ::WaitForSingleObject(worker_.get(), INFINITE);
}

bool ShellChangeTracker::start_intercepting() {
    if (worker_ || !stop_ || !queue_.event()) return false;
    if (!intercept_shell_notify()) return false;
    worker_.reset(::CreateThread(nullptr, 0, worker_thread, this, 0, nullptr));
    if (!worker_) return false;
    util::lock_guard lock(sinks_lock());
    sinks().push_back(&queue_);
    return true;
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
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = util::module_instance();
    window_class.lpszClassName = L"WatcherFS";
    if (!::RegisterClassW(&window_class) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    HWND window = ::CreateWindowExW(0, L"WatcherFS", L"", 0, 0, 0, 0, 0, nullptr, nullptr, util::module_instance(), this);
    if (!window) return;
    util::unique_pidl drives;
    if (FAILED(::SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, drives.put()))) {
        ::DestroyWindow(window);
        return;
    }
    SHChangeNotifyEntry entry = {drives.get(), TRUE};
    const ULONG registration = ::SHChangeNotifyRegister(
        window, SHCNRF_InterruptLevel | SHCNRF_ShellLevel | SHCNRF_NewDelivery,
        SHCNE_RENAMEITEM | SHCNE_DELETE | SHCNE_RMDIR | SHCNE_RENAMEFOLDER, change_notify_message, 1, &entry);
    if (!registration) {
        ::DestroyWindow(window);
        return;
    }
    window_ = window;
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    ::SHChangeNotifyDeregister(registration);
    window_ = nullptr;
}

void ShellChangeTracker::stop_window() {
    if (HWND window = window_.load()) ::PostMessageW(window, WM_CLOSE, 0, 0);
}

LRESULT CALLBACK ShellChangeTracker::window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    ShellChangeTracker* tracker = reinterpret_cast<ShellChangeTracker*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == change_notify_message && tracker) {
        try {
            tracker->on_notification(wparam, lparam);
        } catch (...) {
            // A store failure or no memory: this change is lost, the next ones are not.
        }
    } else if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
}

void ShellChangeTracker::on_notification(WPARAM wparam, LPARAM lparam) {
    PIDLIST_ABSOLUTE* items = nullptr;
    LONG event = 0;
    HANDLE lock = ::SHChangeNotification_Lock(reinterpret_cast<HANDLE>(wparam), static_cast<DWORD>(lparam), &items, &event);
    if (!lock) return;
    const std::wstring first = items ? path_of(items[0]) : std::wstring();
    const std::wstring second = items ? path_of(items[1]) : std::wstring();
    ::SHChangeNotification_Unlock(lock);
    // Without the interception there is no pairing: a deletion is final at once.
    const LONG kind = event & ~SHCNE_INTERRUPT;
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
                // Where the entry cannot be patched (a prologue the decoder does not know), the
                // window still follows renames and deletions, only without pairing moves.
                const bool intercepted = LOBYTE(LOWORD(::GetVersion())) >= 6 && tracker->start_intercepting();
                if (!intercepted) tracker->run_window();
            } catch (...) {
                // No memory for the tracker: Explorer goes on without following renames.
            }
            return 0;
        },
        nullptr, 0, nullptr));
}

}  // namespace explorer
