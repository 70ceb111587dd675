// Reading the file system identities of newly tagged files (identity_file.h) without the
// database lock: opening files, listing folders and asking volumes may take as long as a slow
// disk or an offline share likes, and every menu and view of the process needs that lock.
//
// The roots note each new map entry; as the outermost store section ends, what they noted is
// queued for one background thread. It reads the identities holding no lock, then takes the
// lock in short sections to keep them, each only while the map still holds the registration it
// read (a root's marks tell one registration of an id from the next).
#include "database/store_section.h"

#include "database/file_identity.h"

#include <algorithm>

namespace items {

namespace {

// Kept per store section: a section stays short however many files a bulk change tagged.
const std::size_t identities_per_section = 1024;
// Journaled files flushed per store section.
const std::size_t journal_flushes_per_section = 64;

// Identity records change nothing that another process holds in memory (a re-link pass reads
// the file anew under the store's lock): they are written without moving the change counter on,
// so that no process syncs for them.
class unannounced_writes {
public:
    unannounced_writes() : previous_(store::exchange_write_listener(nullptr)) {}
    ~unannounced_writes() { store::exchange_write_listener(previous_); }
    unannounced_writes(const unannounced_writes&) = delete;
    unannounced_writes& operator=(const unannounced_writes&) = delete;

private:
    store::write_listener* previous_;
};

}  // namespace

void TagsHolder::queue_identities() {
    // Under the database lock, at the end of the outermost store section.
    try {
        std::vector<identity_job> fresh;
        for (const node_ptr& node : children) {
            root_scope& root = static_cast<root_scope&>(*node);
            for (root_scope::unidentified_file& file : root.take_unidentified()) {
                fresh.push_back(identity_job{boost::weak_ptr<base_node>(node), std::move(file)});
            }
        }
        const bool journal = store::journal_unflushed(path);
        if (fresh.empty() && !journal) return;
        const util::lock_guard held(relink_lock_);
        if (stopping_) return;
        journal_asked_ = journal_asked_ || journal;
        if (identity_queue_.empty()) {
            identity_queue_.swap(fresh);
        } else {
            identity_queue_.insert(identity_queue_.end(), std::make_move_iterator(fresh.begin()),
                                   std::make_move_iterator(fresh.end()));
        }
        if (identifying_) return;
        background_started();
        ::ResetEvent(identified_.get());
        util::unique_handle thread(::CreateThread(nullptr, 0, identity_thread, this, 0, nullptr));
        if (!thread) {
            identity_queue_.clear();
            ::SetEvent(identified_.get());
            background_ended();
            return;
        }
        identifying_ = true;
    } catch (...) {
        // Out of memory: these files go without identities until the next re-link pass.
    }
}

DWORD WINAPI TagsHolder::identity_thread(void* holder) {
    static_cast<TagsHolder*>(holder)->identify_queued();
    return 0;
}

void TagsHolder::identify_queued() {
    HANDLE self = ::GetCurrentThread();
    // No Explorer thread waits for this one: it may wait for another process's write.
    const patient_thread patient;
    for (;;) {
        std::vector<identity_job> jobs;
        bool flush_journal = false;
        {
            const util::lock_guard held(relink_lock_);
            if (identity_queue_.empty() && journal_asked_ && !stopping_) {
                journal_asked_ = false;
                flush_journal = true;
            } else if (identity_queue_.empty() || stopping_) {
                identity_queue_.clear();
                identifying_ = false;
                // The last use of the object's members: the holder's destructor waits for this
                // and then for the background event, set while relink_lock_ is still held.
                ::SetEvent(identified_.get());
                background_ended();
                return;
            }
            if (!flush_journal) jobs.swap(identity_queue_);
        }
        if (flush_journal) {
            flush_journal_files();
            continue;
        }
        try {
            std::vector<std::wstring> paths;
            paths.reserve(jobs.size());
            for (const identity_job& job : jobs) paths.push_back(job.file.path);
            ::SetThreadPriority(self, THREAD_PRIORITY_BELOW_NORMAL);
            volume_serials serials;
            const std::vector<file_identity> found = identify_all(paths, serials, &stopping_);
            // Held at normal priority: starved while holding the lock, this thread would keep
            // Explorer's threads waiting.
            ::SetThreadPriority(self, THREAD_PRIORITY_NORMAL);
            keep_identities(jobs, found);
        } catch (...) {
            // The store could not be had or written now: the next re-link pass records what
            // is in place.
        }
    }
}

void TagsHolder::flush_journal_files() {
    // A few files per section: the store stays free for Explorer's threads in between.
    try {
        for (;;) {
            if (stopping_) return;
            store_section section(*this, false);
            if (store::checkpoint(path, journal_flushes_per_section)) return;
        }
    } catch (const store_error&) {
        // A file held by another program: whichever write next touches one of the files, or
        // the next database to open the store, brings them to disk. This thread's own sections
        // asked for another try as they ended; it is not made now.
        const util::lock_guard held(relink_lock_);
        journal_asked_ = false;
    }
}

void TagsHolder::keep_identities(const std::vector<identity_job>& jobs, const std::vector<file_identity>& found) {
    for (std::size_t start = 0; start < jobs.size(); start += identities_per_section) {
        if (stopping_) return;
        const std::size_t end = (std::min)(jobs.size(), start + identities_per_section);
        store_section section(*this, false);
        std::vector<root_scope*> touched;
        const base_node* checked = nullptr;
        bool present = false;
        for (std::size_t i = start; i < end; ++i) {
            const node_ptr node = jobs[i].root.lock();
            if (!node) continue;
            // A root that left the tree (another data folder, a removal) keeps nothing.
            if (node.get() != checked) {
                checked = node.get();
                present = std::find(children.begin(), children.end(), node) != children.end();
            }
            if (!present) continue;
            root_scope& root = static_cast<root_scope&>(*node);
            root.identified(jobs[i].file, found[i]);
            if (found[i].known && std::find(touched.begin(), touched.end(), &root) == touched.end()) {
                touched.push_back(&root);
            }
        }
        // Written at once even while the store's writing is deferred: the records are only
        // ever a help, and a record of an entry whose map record is not written yet counts for
        // nothing until it is.
        const unannounced_writes unannounced;
        for (root_scope* root : touched) root->write_identities();
    }
}

}  // namespace items
