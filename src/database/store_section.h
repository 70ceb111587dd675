// The scope of one operation on the shared store (see store_sync.cpp): the database lock, the
// store's lock across processes, and memory brought up to date on entry. Sections nest; only
// the outermost one takes the store's lock and syncs.
#pragma once

#include "database/tags_holder.h"

namespace items {

class TagsHolder::store_section {
public:
    store_section(TagsHolder& db, bool full_load) : db_(db), held_(db.lock()) {
        if (db_.section_depth_++ > 0) {
            if (full_load) db_.sync(true, false);
            return;
        }
        try {
            // The lock reports its abandonment once: it is kept until a sync has read everything.
            if (db_.store_lock_.acquire()) db_.reread_owed_ = true;
        } catch (...) {
            --db_.section_depth_;
            throw;
        }
        db_.outer_listener_ = store::exchange_write_listener(&db_);
        db_.announced_ = false;
        try {
            const std::uint64_t counter = db_.store_lock_.counter();
            const bool stale = full_load || db_.reread_owed_ || !db_.synced_ || db_.incomplete_ ||
                               counter != db_.seen_counter_ || counter == store_lock::unreadable;
            db_.seen_counter_ = counter;
            if (stale) db_.sync(full_load, db_.reread_owed_);
        } catch (...) {
            --db_.section_depth_;
            close();
            throw;
        }
    }
    ~store_section() {
        if (--db_.section_depth_ == 0) close();
    }
    store_section(const store_section&) = delete;
    store_section& operator=(const store_section&) = delete;

private:
    void close() {
        store::exchange_write_listener(db_.outer_listener_);
        db_.store_lock_.release();
    }

    TagsHolder& db_;
    util::lock_guard held_;
};

}  // namespace items
