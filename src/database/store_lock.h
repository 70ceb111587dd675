// What the processes that share one data folder (every Explorer of every signed-in user, and
// the command-line tool) use to keep its files whole: one lock, named after the folder, around
// every write, and a change counter beside the maps that each writer moves on before it writes,
// so that the others know their memory is out of date.
//
// Another process may hold the lock for as long as it likes (it hangs, or a debugger stopped
// it), so nobody waits for it without a bound. A thread that holds the database lock waits for
// the store's lock at most write_wait_ms, since Explorer's threads may be waiting behind it.
#pragma once

#include "util/unique_resource.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace items {

// A listing that cannot have the store's lock this soon shows what memory holds.
const DWORD listing_wait_ms = 1000;
// A change that cannot have it this soon fails as a write error does, and changes nothing.
const DWORD write_wait_ms = 3000;
// After a listing found the store held, the next ones for this long only try the lock: a
// folder view lists level after level, and each would wait again for the same holder.
const DWORD busy_retry_ms = 10000;
// How long a patient thread (below) waits for the lock in all, holding no lock meanwhile.
const DWORD background_wait_ms = 60000;

// Marks the calling thread, while the object lives, as one that no Explorer thread waits for:
// the tool, the re-link pass. Its store sections (when it holds no database lock on entering)
// wait up to background_wait_ms for the store's lock, and wait outside the database lock.
class patient_thread {
public:
    patient_thread();
    ~patient_thread();
    patient_thread(const patient_thread&) = delete;
    patient_thread& operator=(const patient_thread&) = delete;
    static bool current();

private:
    bool previous_;
};

class store_lock {
public:
    // The counter when no process has written yet, and when the counter cannot be read now.
    static const std::uint64_t no_counter = 0;
    static const std::uint64_t unreadable = ~0ull;

    // For the data folder (with its trailing backslash). The lock is named after the folder's
    // final path, so that every spelling of the folder (another case, another drive letter
    // mapped onto it) names one lock; it is made at the first acquire, with the store's
    // security, so that every user's processes can open it whoever made it.
    void set_folder(const std::wstring& data_folder);
    // The name of the lock object ("Global\Quibrix-store-" and a hash of the final path).
    const std::wstring& name();

    enum outcome {
        taken,
        taken_abandoned,  // its last owner ended without letting it go: a write may be cut short
        busy,             // another process held it for the whole wait
    };
    // Waits up to `timeout_ms` for the lock (a thread that holds it may take it again). Throws
    // store_error when the lock cannot be made or opened.
    outcome acquire(DWORD timeout_ms);
    void release();
    // Another handle to the lock (made if need be), for waiting outside the database lock.
    util::unique_handle duplicate();
    // Waits, holding nothing else, until `lock` is free or `timeout_ms` passed; true when it was
    // free (it is taken and let go again at once). An abandonment seen here is reported by the
    // next acquire.
    bool wait_free(HANDLE lock, DWORD timeout_ms);

    // The counter as it is on disk; readable without the lock.
    std::uint64_t counter() const;
    // Under the lock: moves the counter on and returns its new value. Throws store_error when
    // it cannot be written: a change the others would not hear of must not be made.
    std::uint64_t advance();

private:
    void open_mutex();

    std::wstring folder_;
    std::wstring name_;
    bool name_final_ = false;  // named after the final path (the folder could be opened)
    std::wstring counter_path_;
    util::unique_handle mutex_;
    std::atomic<bool> abandoned_seen_{false};
};

}  // namespace items
