// Keeping the tree in memory the same as the store on disk while other processes write to it.
//
// Every operation that writes runs in a store section: it holds the database lock and the
// store's lock, which all processes of the data folder share. On entering, it reads the change
// counter beside the maps; when another process moved it on since this one last matched the
// store (or died holding the lock), the tree is synced: each folder is listed, each file's size
// and last-write time compared with the stamp memory has of it, and only the files whose stamp
// changed are read again. Before its first write a section moves the counter on, so that the
// others sync in turn. Listings and the lookups that callers show sync the same way, but take
// the store's lock only when the counter moved.
#include "database/store_section.h"

#include "database/case_aliases.h"
#include "database/store_snapshot.h"
#include "util/file_names.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <algorithm>

namespace items {

void TagsHolder::before_write() {
    // A holder of some roots could give a file an id that a root it did not read has taken.
    // What a sync repairs on the way (a torn file rewritten) needs no new id.
    if (some_roots_ && !syncing_) throw store_error(error_cannot_open, ERROR_ACCESS_DENIED);
    // Before the first write of a section: a process that cannot tell the others of its change
    // must not make it.
    if (announced_) return;
    seen_counter_ = store_lock_.advance();
    announced_ = true;
}

util::lock_guard TagsHolder::enter_section(bool listing, store_lock::outcome& got) {
    // A thread that already holds the database lock cannot let it go to wait: it waits no
    // longer than Explorer's threads may wait behind it.
    const bool patient = patient_thread::current() && !database_lock().held_by_this_thread();
    const DWORD started = ::GetTickCount();
    for (;;) {
        util::lock_guard held = lock();
        if (section_depth_ > 0) return held;  // the outer section holds the store's lock
        DWORD wait = listing ? listing_wait_ms : write_wait_ms;
        if (patient) {
            wait = 0;  // it waits below, holding nothing
        } else if (listing && store_busy_ && ::GetTickCount() - store_busy_at_ < busy_retry_ms) {
            wait = 0;
        }
        got = store_lock_.acquire(wait);
        if (got != store_lock::busy) {
            store_busy_ = false;
            return held;
        }
        const DWORD waited = ::GetTickCount() - started;
        if (!patient || stopping_ || waited >= background_wait_ms) {
            store_busy_ = true;
            store_busy_at_ = ::GetTickCount();
            return held;
        }
        util::unique_handle other = store_lock_.duplicate();
        { const util::lock_guard let_go(std::move(held)); }
        // In slices, so that a holder that ends its work sees the pass stop soon.
        const DWORD left = background_wait_ms - waited;
        store_lock_.wait_free(other.get(), left < 250 ? left : 250);
    }
}

bool TagsHolder::load_roots(const std::vector<std::wstring>& root_names) {
    {
        const util::lock_guard held = lock();
        some_roots_ = true;
        only_roots_ = root_names;
        children.clear();
        synced_ = false;
    }
    try {
        // Nothing to prune or repair on the way: a sync as after another process wrote.
        store_section section(*this, false);
        return true;
    } catch (...) {
        return false;
    }
}

void TagsHolder::refresh() {
    {
        const util::lock_guard held = lock();
        if (section_depth_ > 0 || path.empty()) return;
        const std::uint64_t counter = store_lock_.counter();
        // What could not be read is tried again now and then, not on every listing.
        const bool retry = incomplete_ && ::GetTickCount() - synced_at_ >= 1000;
        if (synced_ && !retry && counter == seen_counter_ && counter != store_lock::unreadable) return;
    }
    // Another process holding the store too long leaves memory as it is: the listing shows
    // what was loaded, and a later one syncs.
    store_section section(*this, false, store_section::listing);
}

void TagsHolder::sync(bool full_load, bool reread_all) {
    // Until this pass has ended: one that failed (a write refused on the way) must run again.
    synced_ = false;
    synced_at_ = ::GetTickCount();
    if (path.empty()) {
        synced_ = true;
        return;
    }
    struct syncing {
        bool& flag;
        explicit syncing(bool& f) : flag(f) { flag = true; }
        ~syncing() { flag = false; }
    } under_way(syncing_);
    sync_pass pass;
    pass.full_load = full_load;
    pass.reread_all = reread_all;
    pass.now = store::file_time_now();
    store_snapshot snapshot;
    // A holder of some roots starts from the snapshot as the start-up load does.
    if ((full_load || (some_roots_ && children.empty())) && snapshot.read(path, paths_)) pass.snapshot = &snapshot;
    // A replacement is never half-way while the lock is held: what is left was left by a
    // process that ended in the middle of one.
    if (full_load || reread_all) store::remove_temporary_files(path);
    read_folder(pass);
    base_node::load(pass);
    incomplete_ = pass.incomplete;
    if (pass.changed) changed();
    if (full_load && !children.empty() && (pass.files_read > 0 || !pass.snapshot)) write_snapshot();
    synced_ = true;
    if (full_load) full_load_pending_ = false;
    // What a process that died holding the lock may have left is checked once every file was.
    if (reread_all && !pass.incomplete) reread_owed_ = false;
}

void TagsHolder::read_folder(sync_pass& pass) {
    std::vector<std::pair<std::wstring, store::file_stamp> > files;
    // Two spellings of one root are folded into one on disk, and the data folder is listed
    // once more (case_aliases.h).
    for (int listing = 0;; ++listing) {
        for (const node_ptr& child : children) child->seen_ = false;
        files.clear();
        std::vector<node_ptr> fresh;
        std::vector<std::pair<std::wstring, std::wstring> > aliases;  // kept spelling, other spelling
        respellings respelled;
        WIN32_FIND_DATAW data;
        {
            util::unique_find find(store::find_first(path + L"*", data));
            if (!find) {
                // The data folder cannot be listed now: memory stays as it is.
                keep_as_is();
                pass.incomplete = true;
                return;
            }
            do {
                const std::wstring entry = data.cFileName;
                // A link is neither a root nor a map of the store's: it may lead anywhere.
                if (entry == L"." || entry == L".." || util::is_link(data.dwFileAttributes)) continue;
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                    if (entry == pending_moves::file_name) moves_left_ = true;
                    files.emplace_back(entry, store::stamp_from(data, pass.now));
                    continue;
                }
                if (some_roots_ && std::none_of(only_roots_.begin(), only_roots_.end(), [&entry](const std::wstring& only) {
                        return util::same_name(only, entry);
                    })) {
                    continue;
                }
                node_ptr root = find_child(entry);
                bool is_new = !root;
                if (is_new) {
                    for (const node_ptr& other : fresh) {
                        if (util::same_name(other->name, entry)) root = other;
                    }
                }
                if (root && root->seen_) {
                    aliases.push_back(spellings_to_fold(*root, is_new, entry, respelled));
                    continue;
                }
                if (is_new) {
                    root.reset(new root_scope(entry, this, paths_));
                } else if (root->name != entry) {
                    // Memory takes the disk's spelling: the one stored first.
                    respelled.emplace_back(root.get(), root->name);
                    root->name = entry;
                    root->update_path();
                }
                root->seen_ = true;
                root->read_folder(pass);
                if (is_new && root->children.empty() && !root->list_error_) {
                    // A root with nothing in it; the start-up load removes it with its map. One
                    // that could not be listed stays, unread, with its files.
                    if (pass.full_load) root->erase_from_disk();
                    continue;
                }
                if (is_new) fresh.push_back(root);
            } while (::FindNextFileW(find.get(), &data));
        }
        if (!aliases.empty() && listing == 0) {
            std::vector<std::wstring> names;
            for (const auto& file : files) names.push_back(file.first);
            bool folded = false;
            for (const auto& alias : aliases) {
                folded = fold_case_alias_root(path, alias.first, alias.second, names) || folded;
            }
            if (folded) continue;
        }
        merge_children(fresh, pass);
        break;
    }
    // Each root's map lies beside its folder; the file system does not tell case apart.
    for (const node_ptr& root : children) {
        root->on_disk = store::file_stamp();
        const std::wstring map_name = root->name + L".dat";
        for (const auto& file : files) {
            if (util::same_name(file.first, map_name)) {
                root->on_disk = file.second;
                break;
            }
        }
    }
}

namespace {

void add_tags(const base_node& node, std::size_t prefix, store_snapshot& snapshot) {
    for (const node_ptr& child : node.children) {
        if (child->kind != kind_tag) {
            add_tags(*child, prefix, snapshot);
            continue;
        }
        const tag& t = static_cast<const tag&>(*child);
        if (t.clean && !t.unread() && !t.ids.empty()) snapshot.add_tag(t.path.substr(prefix), t.stamp, t.ids);
    }
}

}  // namespace

void TagsHolder::write_snapshot() {
    store_snapshot snapshot;
    for (const node_ptr& node : children) {
        const root_scope& root = static_cast<const root_scope&>(*node);
        if (!root.loaded) continue;
        if (root.clean) snapshot.add_map(root.name, root.stamp, root.map_as_on_disk(), root.superseded());
        add_tags(root, path.size(), snapshot);
    }
    snapshot.write(path);
}

}  // namespace items
