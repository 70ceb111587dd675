#include "autotag/directory_watcher.h"

#include "autotag/files_iterator.h"
#include "database/tags_holder.h"
#include "util/file_names.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace autotag {

namespace {

// Names of files and directories, and creations. Every request asks for directory names too:
// without them a directory moved or copied into a recursive watch after the first report
// would never be seen, and the files it brings would never be handed on.
const DWORD change_filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_CREATION;

// How long a stopping thread waits for its cancelled requests to report back. A request that
// has not reported by then keeps its record for good: the system may still write into it.
const DWORD cancel_drain_ms = 5000;

bool is_set(HANDLE event) {
    return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

}  // namespace

bool is_temporary_path(const std::wstring& path) {
    return path.find(L".part") != std::wstring::npos || path.find(L".tmp") != std::wstring::npos ||
           path.find(L".crdownload") != std::wstring::npos;
}

DirectoryWatcher& directory_watcher() {
    // Deliberately leaked: its threads may still run while statics are torn down.
    static DirectoryWatcher* watcher = new DirectoryWatcher(settings(), autoassign_plugins(), items::tags_holder());
    return *watcher;
}

DirectoryWatcher::DirectoryWatcher(Settings& config, AutoAssignPlugins& plugins, items::TagsHolder& db,
                                   DWORD poll_ms)
    : tray_window(nullptr),
      ui_thread_id(0),
      stop_event(),
      cancel_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      config_(config),
      plugins_(plugins),
      db_(db),
      poll_ms_(poll_ms),
      window_ready_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      icon_shown_(false),
      arrived_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      current_job_(0),
      watching_threads_(0),
      peak_watching_(0) {
    ::ZeroMemory(&tray_icon, sizeof tray_icon);
}

HANDLE (*DirectoryWatcher::g_open_directory)(const std::wstring& path) = nullptr;

DirectoryWatcher::~DirectoryWatcher() {
    {
        // The threads use this object: here they are waited for, however long their opens take.
        util::lock_guard hold(control_);
        stop_watching_thread(INFINITE);
        for (const util::unique_handle& thread : left_behind_) ::WaitForSingleObject(thread.get(), INFINITE);
    }
    // The handler thread uses this object; the files it waits for are given up.
    ::SetEvent(cancel_event.get());
    HANDLE handler = nullptr;
    {
        util::lock_guard hold(arrivals_lock_);
        handler = handler_thread_.get();
    }
    // Not under the lock: the ending thread takes it once more.
    if (handler) ::WaitForSingleObject(handler, 10000);
    if (window_thread_) {
        if (::WaitForSingleObject(window_ready_.get(), 5000) == WAIT_OBJECT_0) {
            ::PostThreadMessageW(ui_thread_id.load(), watcher_quit_message, 0, 0);
        }
        ::WaitForSingleObject(window_thread_.get(), 5000);
    }
}

void DirectoryWatcher::start_watcher() {
    util::lock_guard hold(control_);
    bool watching = false;
    {
        // The Manage Tags dialog's thread starts the watcher too, while the window thread may
        // change the settings.
        const util::lock_guard held(settings_lock());
        watching = config_.is_watch_dirs;
    }
    if (watching) start_watching_thread();
    ::ResetEvent(cancel_event.get());
    start_window_thread();
}

void DirectoryWatcher::stop_watching() {
    util::lock_guard hold(control_);
    stop_watching_thread(stop_wait_ms);
}

// Called with `control_` held.
void DirectoryWatcher::stop_watching_thread(DWORD timeout_ms) {
    if (!watch_thread) return;
    current_job_ = 0;
    ::SetEvent(stop_event.get());
    // Never TerminateThread: a thread killed inside the heap or the loader would leave their
    // locks held and freeze Explorer. The thread spends its life in an alertable wait and
    // looks at the stop event between directory opens, so it ends promptly, unless an open
    // hangs; it then ends by itself once the open returns.
    if (::WaitForSingleObject(watch_thread.get(), timeout_ms) == WAIT_TIMEOUT) {
        left_behind_.erase(std::remove_if(left_behind_.begin(), left_behind_.end(),
                                          [](const util::unique_handle& thread) {
                                              return ::WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0;
                                          }),
                           left_behind_.end());
        left_behind_.push_back(std::move(watch_thread));
    }
    watch_thread.reset();
}

void DirectoryWatcher::restart_watching() {
    util::lock_guard hold(control_);
    start_watching_thread();
}

bool DirectoryWatcher::is_watching() const {
    util::lock_guard hold(control_);
    HANDLE thread = watch_thread.get();
    return thread && ::WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

std::vector<std::wstring> DirectoryWatcher::watched_paths() const {
    util::lock_guard hold(lock_);
    std::vector<std::wstring> paths;
    for (const entry_ptr& entry : records) {
        if (is_current(entry->job)) paths.push_back(entry->path);
    }
    return paths;
}

std::vector<std::wstring> DirectoryWatcher::new_file_list() const {
    util::lock_guard hold(lock_);
    return std::vector<std::wstring>(new_files.begin(), new_files.end());
}

// Called with `control_` held.
void DirectoryWatcher::start_watching_thread() {
    // The previous thread has ended before the next begins (two would report every file
    // twice), or is stuck in an open and reports nothing any more: its job is not current.
    stop_watching();
    // A copy taken here under the settings lock, rather than read by the watching thread while
    // the settings may change under it.
    std::unique_ptr<WatchJob> job(new WatchJob{this, std::vector<WatchedDir>(), ++last_job_, util::unique_handle()});
    {
        const util::lock_guard held(settings_lock());
        job->dirs = config_.watch_dirs;
    }
    if (job->dirs.empty()) return;
    if (job->id == 0) job->id = ++last_job_;
    // An event of its own: a thread that a stop left behind still sees its stop once its open
    // returns, whatever the next thread's event does.
    stop_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE process = ::GetCurrentProcess();
    if (!stop_event ||
        !::DuplicateHandle(process, stop_event.get(), process, job->stop.put(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return;
    }
    current_job_ = job->id;
    watch_thread.reset(::CreateThread(nullptr, 0, watching_thread, job.get(), 0, nullptr));
    if (watch_thread) {
        job.release();
    } else {
        current_job_ = 0;
    }
}

DWORD WINAPI DirectoryWatcher::watching_thread(void* param) {
    std::unique_ptr<WatchJob> job(static_cast<WatchJob*>(param));
    DirectoryWatcher& watcher = *job->watcher;
    const long running = ++watcher.watching_threads_;
    long peak = watcher.peak_watching_.load();
    while (running > peak && !watcher.peak_watching_.compare_exchange_weak(peak, running)) {
    }
    try {
        watcher.watch(*job);
    } catch (...) {
        watcher.release_records(job->id);
    }
    --watcher.watching_threads_;
    return 0;
}

void DirectoryWatcher::watch(const WatchJob& job) {
    for (const WatchedDir& dir : job.dirs) {
        if (is_set(job.stop.get())) break;
        entry_ptr entry(new DirEntrie);
        entry->path = dir.path;
        entry->subtree = dir.recursive ? TRUE : FALSE;
        entry->owner = this;
        entry->job = job.id;
        entry->handle.reset(g_open_directory
                                ? g_open_directory(dir.path)
                                : ::CreateFileW(dir.path.c_str(), FILE_LIST_DIRECTORY,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                                nullptr));
        // Stopped while the open took its time: nothing more is watched.
        if (is_set(job.stop.get())) break;
        // A directory that is missing or refuses the request is not watched.
        if (!entry->handle || !request_changes(*entry, change_filter)) continue;
        util::lock_guard hold(lock_);
        records.push_back(entry);
    }

    // Completion routines rather than one wait on every directory's handle: a wait takes at
    // most 64 handles, and the user may watch more directories than that.
    while (!is_set(job.stop.get())) {
        {
            util::lock_guard hold(lock_);
            const bool any = std::any_of(records.begin(), records.end(),
                                         [&](const entry_ptr& entry) { return entry->job == job.id; });
            if (!any) break;  // none could be watched, or all have gone
        }
        const DWORD woke = ::WaitForSingleObjectEx(job.stop.get(), INFINITE, TRUE);
        if (woke == WAIT_IO_COMPLETION) continue;
        break;  // the stop event, or a wait that cannot go on
    }
    release_records(job.id);
}

bool DirectoryWatcher::request_changes(DirEntrie& entry, DWORD filter) {
    ::ZeroMemory(&entry.overlapped, sizeof entry.overlapped);
    entry.pending = ::ReadDirectoryChangesW(entry.handle.get(), entry.buffer, sizeof entry.buffer, entry.subtree,
                                            filter, nullptr, &entry.overlapped, changes_arrived) != FALSE;
    return entry.pending;
}

VOID CALLBACK DirectoryWatcher::changes_arrived(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
    DirEntrie& entry = *CONTAINING_RECORD(overlapped, DirEntrie, overlapped);
    entry.pending = false;
    // Nothing may unwind through the system's frames that called this routine.
    try {
        entry.owner->take_changes(entry, error, bytes);
    } catch (...) {
        entry.owner->drop(entry);
    }
}

void DirectoryWatcher::take_changes(DirEntrie& entry, DWORD error, DWORD bytes) {
    // Once a stop has been asked for, a completion (a change that arrived just before the
    // cancel) starts no further request: one started now would be one that nothing cancels,
    // whose buffer would be freed under it. Its changes come after the stop and are not reported.
    if (entry.closing || !is_current(entry.job)) return;
    if (error == ERROR_OPERATION_ABORTED) return;  // cancelled by the stop
    // An overflow arrives as a completion without records: nothing to report, watch on.
    if (error != ERROR_SUCCESS && error != ERROR_NOTIFY_ENUM_DIR) {
        drop(entry);  // the directory went away, or its volume did
        return;
    }
    const DWORD size = std::min<DWORD>(bytes, sizeof entry.buffer);
    const DWORD header = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    for (DWORD offset = 0; offset + header <= size;) {
        if (!is_current(entry.job)) return;  // a full buffer takes a while to hand on; the stop goes first
        FILE_NOTIFY_INFORMATION info;
        std::memcpy(&info, entry.buffer + offset, header);
        const DWORD name_bytes = std::min<DWORD>(info.FileNameLength, size - offset - header);
        if (name_bytes >= sizeof(wchar_t) &&
            (info.Action == FILE_ACTION_ADDED || info.Action == FILE_ACTION_RENAMED_NEW_NAME)) {
            std::wstring name(name_bytes / sizeof(wchar_t), L'\0');
            std::memcpy(&name[0], entry.buffer + offset + header, name.size() * sizeof(wchar_t));
            consider(entry, name);
        }
        if (info.NextEntryOffset == 0) break;
        offset += info.NextEntryOffset;
    }
    if (!request_changes(entry, change_filter)) drop(entry);
}

void DirectoryWatcher::consider(const DirEntrie& entry, const std::wstring& name) {
    // A drive root already ends with its separator.
    const std::wstring path = util::with_trailing_backslash(entry.path) + name;
    if (!::PathFileExistsW(path.c_str())) return;
    if (!entry.subtree && ::PathIsDirectoryW(path.c_str())) return;
    if (is_temporary_path(path)) return;
    start_handler(path);
}

void DirectoryWatcher::drop(DirEntrie& entry) {
    entry_ptr keep;  // the record outlives its removal until this call returns
    util::lock_guard hold(lock_);
    for (std::vector<entry_ptr>::iterator it = records.begin(); it != records.end(); ++it) {
        if (it->get() != &entry) continue;
        keep = *it;
        records.erase(it);
        break;
    }
}

void DirectoryWatcher::release_records(unsigned job) {
    std::vector<entry_ptr> ending;
    {
        util::lock_guard hold(lock_);
        const auto own = std::stable_partition(records.begin(), records.end(),
                                               [&](const entry_ptr& entry) { return entry->job != job; });
        ending.assign(own, records.end());
        records.erase(own, records.end());
    }
    // The system writes into a request's buffer until the request reports back, so the
    // records are freed only after their requests have reported; `closing` keeps a completion
    // that reports meanwhile from starting another one.
    for (const entry_ptr& entry : ending) {
        entry->closing = true;
        if (entry->pending) ::CancelIo(entry->handle.get());
    }
    const DWORD started = ::GetTickCount();
    for (;;) {
        bool pending = false;
        for (const entry_ptr& entry : ending) pending = pending || entry->pending;
        if (!pending) return;
        if (::GetTickCount() - started > cancel_drain_ms) break;
        ::SleepEx(10, TRUE);
    }
    // A request that never reported: its record (buffer, overlapped block, handle) is left
    // alive for the life of the process rather than freed while the system may still use it.
    for (const entry_ptr& entry : ending) {
        if (entry->pending) new entry_ptr(entry);
    }
}

// One handler thread for every new path, started on the first: a thread per file would mean
// thousands of threads, each polling, during a bulk copy into a watched folder.
void DirectoryWatcher::start_handler(const std::wstring& path) {
    util::lock_guard hold(arrivals_lock_);
    arrivals_.push_back(path);
    ::SetEvent(arrived_.get());
    // Started again after a cancel had ended it.
    if (handler_thread_ && ::WaitForSingleObject(handler_thread_.get(), 0) == WAIT_TIMEOUT) return;
    handler_thread_.reset(::CreateThread(nullptr, 0, handler_thread, this, 0, nullptr));
}

DWORD WINAPI DirectoryWatcher::handler_thread(void* self) {
    try {
        static_cast<DirectoryWatcher*>(self)->hand_on();
    } catch (...) {
        // Out of memory: the waiting files are given up; the next new path starts a new thread.
    }
    return 0;
}

void DirectoryWatcher::hand_on() {
    std::vector<WaitingFile> waiting;  // in arrival order, which is the order of their reports
    std::unordered_set<std::wstring> known;  // the paths in `waiting`: a path comes at most once
    for (;;) {
        DWORD timeout = INFINITE;
        const DWORD now = ::GetTickCount();
        for (const WaitingFile& file : waiting) {
            const LONG left = static_cast<LONG>(file.due - now);
            timeout = std::min<DWORD>(timeout, left > 0 ? static_cast<DWORD>(left) : 0);
        }
        HANDLE events[] = {cancel_event.get(), arrived_.get()};
        if (::WaitForMultipleObjects(2, events, FALSE, timeout) == WAIT_OBJECT_0) break;
        if (!take_arrivals(waiting, known) || !try_waiting(waiting, known)) break;
    }
    // Cancelled: everything waiting is given up, also what arrived meanwhile.
    util::lock_guard hold(arrivals_lock_);
    arrivals_.clear();
}

bool DirectoryWatcher::take_arrivals(std::vector<WaitingFile>& waiting, std::unordered_set<std::wstring>& known) {
    std::vector<std::wstring> arrived;
    {
        util::lock_guard hold(arrivals_lock_);
        arrived.swap(arrivals_);
    }
    for (const std::wstring& path : arrived) {
        if (!::PathIsDirectoryW(path.c_str())) {
            // A new file is tried first after one poll: its writer has only just made it.
            add_waiting(path, poll_ms_, waiting, known);
            continue;
        }
        // A directory moved or copied in: every file below it, each once, the directory itself
        // not. They may still be being written, so they wait like new files, but are tried at once.
        FilesIteratorInDir walk(path, true);
        std::wstring found;
        bool is_dir = false;
        while (walk.next(found, is_dir)) {
            if (is_set(cancel_event.get())) return false;
            // The same rule as for new names: nothing below a ".tmp" folder is reported.
            if (is_dir || is_temporary_path(found)) continue;
            add_waiting(found, 0, waiting, known);
        }
    }
    return true;
}

void DirectoryWatcher::add_waiting(const std::wstring& path, DWORD first_wait, std::vector<WaitingFile>& waiting,
                                   std::unordered_set<std::wstring>& known) {
    if (!known.insert(path).second) return;
    WaitingFile file = {path, ::GetTickCount() + first_wait};
    waiting.push_back(file);
}

bool DirectoryWatcher::try_waiting(std::vector<WaitingFile>& waiting, std::unordered_set<std::wstring>& known) {
    std::vector<WaitingFile> still;
    for (const WaitingFile& file : waiting) {
        if (is_set(cancel_event.get())) return false;
        if (static_cast<LONG>(file.due - ::GetTickCount()) > 0) {
            still.push_back(file);
            continue;
        }
        // Gone before its writer let go of it: given up silently.
        if (!::PathFileExistsW(file.path.c_str())) {
            known.erase(file.path);
            continue;
        }
        // Read access while denying others write access: this fails as long as anyone holds
        // the file open for writing, whatever share mode the writer chose. (An open for
        // FILE_WRITE_EA alone would not do: the system checks sharing only for data and
        // delete access, so it succeeds while the writer is still writing.)
        util::unique_file opened(::CreateFileW(file.path.c_str(), FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!opened) {
            WaitingFile later = {file.path, ::GetTickCount() + poll_ms_};
            still.push_back(later);
            continue;
        }
        opened.reset();
        known.erase(file.path);
        if (!post_new_file(file.path) && is_set(cancel_event.get())) return false;
    }
    waiting.swap(still);
    return true;
}

bool DirectoryWatcher::post_new_file(const std::wstring& path) {
    // Start-up does not wait for the window thread (it runs on the shell's thread that first
    // asked for an object, which must not be held up), so a handler waits here until that
    // thread's queue exists.
    HANDLE wait[] = {cancel_event.get(), window_ready_.get()};
    if (::WaitForMultipleObjects(2, wait, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return false;
    std::unique_ptr<wchar_t[]> copy(new wchar_t[path.size() + 1]);
    std::memcpy(copy.get(), path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    // To the hidden window when there is one: a thread message is lost while the window thread
    // runs a modal loop (a menu, a message box, a dialog), and with it the path's copy.
    const WPARAM wparam = reinterpret_cast<WPARAM>(copy.get());
    HWND window = tray_window;
    const BOOL posted = window ? ::PostMessageW(window, watcher_new_file_message, wparam, 0)
                               : ::PostThreadMessageW(ui_thread_id.load(), watcher_new_file_message, wparam, 0);
    if (!posted) return false;
    copy.release();  // the window thread owns it now
    return true;
}

}  // namespace autotag
