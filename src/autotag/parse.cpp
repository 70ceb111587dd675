#include "autotag/parse.h"

#include "autotag/files_iterator.h"
#include "database/tags_holder.h"
#include "util/class_id.h"
#include "resource.h"
#include "util/module.h"
#include "util/unique_resource.h"

#include <boost/make_shared.hpp>

#include <objbase.h>
#include <shellapi.h>

#include <cstring>
#include <memory>

namespace autotag {

std::atomic<HWND> g_parse_dialog(nullptr);
std::atomic<bool> g_parse_stop(false);

namespace {

const wchar_t busy_message[] =
    L"Now is executing parsing another directory\nIt is impossible parsing more then one directory simultaneously";

// Private messages of the progress dialog. The parse thread only posts: it takes the database
// lock between entries, and a sent message would wait for the dialog's thread, which may itself
// be waiting for that lock (the watcher tags new files on the same thread).
const UINT show_progress_message = WM_APP + 1;
const UINT close_message = WM_APP + 2;

// The directory the parse entered last, handed from the parse thread to the dialog's thread.
class shared_progress {
public:
    void set(const std::wstring& dir) {
        util::lock_guard lock(cs_);
        dir_ = dir;
    }
    std::wstring get() {
        util::lock_guard lock(cs_);
        return dir_;
    }

private:
    util::critical_section cs_;
    std::wstring dir_;
};
typedef boost::shared_ptr<shared_progress> shared_progress_ptr;

INT_PTR CALLBACK progress_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG:
        // The dialog keeps its own reference: it may outlive the parse thread's.
        ::SetWindowLongPtrW(dialog, DWLP_USER,
                            reinterpret_cast<LONG_PTR>(new shared_progress_ptr(*reinterpret_cast<shared_progress_ptr*>(lparam))));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDCANCEL) g_parse_stop = true;
        return FALSE;
    case show_progress_message:
        if (shared_progress_ptr* progress = reinterpret_cast<shared_progress_ptr*>(::GetWindowLongPtrW(dialog, DWLP_USER))) {
            ::SetDlgItemTextW(dialog, IDC_PARSE_PATH, (*progress)->get().c_str());
        }
        return TRUE;
    case close_message:
        ::DestroyWindow(dialog);
        return TRUE;
    case WM_NCDESTROY:
        delete reinterpret_cast<shared_progress_ptr*>(::SetWindowLongPtrW(dialog, DWLP_USER, 0));
        return FALSE;
    default:
        return FALSE;
    }
}

class dialog_progress : public parse_progress {
public:
    dialog_progress(HWND dialog, const shared_progress_ptr& shared) : dialog_(dialog), shared_(shared) {}

    void entered(const std::wstring& dir) override {
        shared_->set(dir);
        ::PostMessageW(dialog_, show_progress_message, 0, 0);
    }
    bool stop_requested() override { return g_parse_stop; }

private:
    HWND dialog_;
    shared_progress_ptr shared_;
};

struct parse_job {
    WatchedDir entry;
    const AutoAssignPlugins* plugins;
    items::TagsHolder* db;
    HWND dialog;
    shared_progress_ptr shared;
};

DWORD WINAPI parse_thread(void* param) {
    std::unique_ptr<parse_job> job(static_cast<parse_job*>(param));
    // Begins once the database is loaded and free: a "Stop" pressed while it waits here ends
    // the parse before its first entry.
    { const util::lock_guard wait_for_database = job->db->lock(); }
    dialog_progress progress(job->dialog, job->shared);
    try {
        parse_directory(job->entry, *job->plugins, *job->db, progress);
    } catch (...) {
        // Nothing may leave this thread: the host would end. The dialog must still close and
        // the next parse be allowed.
    }
    ::PostMessageW(job->dialog, close_message, 0, 0);
    g_parse_stop = false;
    job.reset();
    g_parse_dialog = nullptr;
    if (g_first_run.exchange(false)) show_extension_folder();
    return 0;
}

}  // namespace

void parse_directory(const WatchedDir& job, const AutoAssignPlugins& plugins, items::TagsHolder& db,
                     parse_progress& progress) {
    // The plug-ins are called without the database lock, and the lock is taken per file to tag
    // it: held for the whole walk it would freeze every Explorer window that needs the database
    // until the parse ends. Writing is deferred only while the parse holds the lock, so other
    // threads between two files write at once, as they always do; the nodes they touch that the
    // parse has left unwritten stay marked, and the one save at the end writes them whole.
    FilesIteratorInDir files(job.path, job.recursive != 0);
    try {
        std::wstring path;
        bool is_dir = false;
        while (!progress.stop_requested() && files.next(path, is_dir)) {
            if (is_dir) {
                progress.entered(path);
                continue;
            }
            if (db.find_root(&path, 0)) continue;
            const items::tree_ptr tree = plugins.plugin_tree(job, path);
            if (!tree) continue;
            const items::tree_ptr request = build_tag_request(tree, job, path, job.path.size());
            const util::lock_guard held = db.lock();
            // Tagged meanwhile (the watcher, the user): files already known are not parsed.
            if (db.find_root(&path, 0)) continue;
            items::deferred_writing deferred;
            apply_tag_request(db, path, request);
        }
    } catch (const std::exception&) {
        // Out of memory or the like ends the walk early; what was tagged is still saved.
    }
    db.save();
}

void show_parse_busy_message() {
    ::MessageBoxW(g_parse_dialog, busy_message, nullptr, MB_OK);
}

bool start_parse(const WatchedDir& entry) {
    return start_parse(entry, autoassign_plugins(), items::tags_holder());
}

bool start_parse(const WatchedDir& entry, const AutoAssignPlugins& plugins, items::TagsHolder& db) {
    if (HWND running = g_parse_dialog) {
        ::MessageBoxW(running, busy_message, nullptr, MB_OK);
        return false;
    }
    std::unique_ptr<parse_job> job(new parse_job{entry, &plugins, &db, nullptr, boost::make_shared<shared_progress>()});
    HWND dialog = ::CreateDialogParamW(util::module_instance(), MAKEINTRESOURCEW(IDD_PARSE_DIRECTORY), nullptr,
                                       progress_dialog_proc, reinterpret_cast<LPARAM>(&job->shared));
    if (!dialog) return false;
    job->dialog = dialog;
    // A "Stop" that came after the last parse had finished must not end this one.
    g_parse_stop = false;
    g_parse_dialog = dialog;
    ::ShowWindow(dialog, SW_SHOW);
    util::unique_handle thread(::CreateThread(nullptr, 0, parse_thread, job.get(), 0, nullptr));
    if (!thread) {
        g_parse_dialog = nullptr;
        ::DestroyWindow(dialog);
        return false;
    }
    job.release();
    return true;
}

std::vector<unsigned char> extension_folder_id_list() {
    // One 20-byte item (size, type 0x1F, sort order 0x80, the class id as laid out in memory),
    // then the 2-byte terminator.
    std::vector<unsigned char> ids(22, 0);
    ids[0] = 20;
    ids[2] = 0x1F;
    ids[3] = 0x80;
    std::memcpy(&ids[4], &util::class_id, sizeof util::class_id);
    return ids;
}

void show_extension_folder() {
    std::vector<unsigned char> ids = extension_folder_id_list();
    // The shell may hand the verb to COM objects, which need an apartment on this thread.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_IDLIST;
    info.lpVerb = L"explore";
    info.nShow = SW_SHOWNORMAL;
    info.lpIDList = ids.data();
    ::ShellExecuteExW(&info);
    if (SUCCEEDED(com)) ::CoUninitialize();
}

}  // namespace autotag
