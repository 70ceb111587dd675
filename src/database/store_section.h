// The scope of one operation on the shared store (see store_sync.cpp): the database lock, the
// store's lock across processes, and memory brought up to date on entry. Sections nest; only
// the outermost one takes the store's lock and syncs. The database lock is always taken first.
#pragma once

#include "database/tags_holder.h"

namespace items {

class TagsHolder::store_section {
public:
    enum kind {
        write,    // throws store_error (error_store_busy) when the store's lock cannot be had in time
        listing,  // then stays closed instead: memory is shown as it is
    };

    store_section(TagsHolder& db, bool full_load, kind type = write)
        : db_(db), held_(db.enter_section(type == listing, got_)) {
        if (db_.section_depth_ > 0) {
            ++db_.section_depth_;
            open_ = true;
            if (full_load) {
                try {
                    db_.sync(true, false);
                } catch (...) {
                    --db_.section_depth_;
                    throw;
                }
            }
            return;
        }
        if (got_ == store_lock::busy) {
            if (type == listing) return;
            throw store_error(error_store_busy, ERROR_TIMEOUT);
        }
        // The lock reports its abandonment once: it is kept until a sync has read everything.
        if (got_ == store_lock::taken_abandoned) db_.reread_owed_ = true;
        ++db_.section_depth_;
        open_ = true;
        db_.outer_listener_ = store::exchange_write_listener(&db_);
        db_.announced_ = false;
        try {
            const bool full = full_load || db_.full_load_pending_;
            std::uint64_t counter = db_.store_lock_.counter();
            bool stale = full || db_.reread_owed_ || !db_.synced_ || db_.incomplete_ ||
                         counter != db_.seen_counter_ || counter == store_lock::unreadable;
            // A journal that another process, or a crash, left is applied before anything is
            // written, and by a load. Its writes move the counter on, as any write does: the
            // changes of the process that wrote it are still to be read. A listing (Explorer's
            // threads) leaves it, since rewriting and flushing its files would hold the view up:
            // a live writer flushes them soon, and where a crash left one, the listing may show
            // a torn file's ids until the next write or load applies it; the journal keeps them.
            if (type == write && store::apply_foreign_journal(db_.path)) {
                stale = true;
                counter = db_.store_lock_.counter();
            }
            db_.seen_counter_ = counter;
            if (stale) db_.sync(full, db_.reread_owed_);
            if (type == write && db_.moves_left_) db_.finish_left_moves();
        } catch (...) {
            --db_.section_depth_;
            close();
            throw;
        }
    }
    ~store_section() {
        if (open_ && --db_.section_depth_ == 0) close();
    }
    store_section(const store_section&) = delete;
    store_section& operator=(const store_section&) = delete;

    // False for a listing that found the store held by another process.
    bool open() const { return open_; }

private:
    void close() {
        store::exchange_write_listener(db_.outer_listener_);
        db_.store_lock_.release();
        db_.queue_identities();
    }

    TagsHolder& db_;
    store_lock::outcome got_ = store_lock::busy;
    util::lock_guard held_;
    bool open_ = false;
};

}  // namespace items
