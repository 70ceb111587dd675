#include "database/nodes.h"

#include "database/store_snapshot.h"

#include <algorithm>

namespace items {

tag::tag(const std::wstring& node_name, base_node* parent_node) : base_node(node_name, parent_node) {
    kind = kind_tag;
}

bool tag::load(sync_pass& pass) {
    if (!on_disk.known) {
        // Kept without a file (stays_without_disk): changes not yet written, or a new tag.
        if (stamp.known) {
            // Its file is gone: what is left are the changes this process has not written.
            std::vector<file_id_t> none;
            set_ids(none);
            stamp = store::file_stamp();
            pass.changed = true;
        }
        return true;
    }
    root_scope* owner = root();
    if (!owner || !owner->loaded) {
        // Without its root's map the ids cannot be checked, so the file is not read either.
        unread_ = true;
        pass.incomplete = true;
        return true;
    }
    if (!pass.reread_all && !unread_ && stamp.same_as(on_disk)) {
        if (pass.map_changed) {
            const std::size_t before = ids.size();
            validate_ids(ids);
            if (ids.size() != before) {
                index_.clear();
                indexed_ = false;
                unwritten_from_ = ids.size();
                pass.changed = true;
                if (!ids.empty() && clean) {
                    try {
                        rewrite();
                    } catch (const store_error&) {
                        must_rewrite_ = true;
                    }
                }
            }
        }
        return !ids.empty() || !clean;
    }

    std::vector<file_id_t> fresh;
    bool damaged = false;
    bool checked = false;
    if (pass.snapshot && pass.snapshot->find_tag(path.substr(data_folder().size()), on_disk, fresh)) {
        checked = pass.map_checked;
    } else {
        std::vector<unsigned char> bytes;
        // A file that exists but cannot be read now (held by another program) is kept: dropping
        // it would let its scope, and then the root with its map, erase themselves from disk.
        if (!store::read_file(path, bytes)) {
            unread_ = true;
            stamp = store::file_stamp();
            pass.incomplete = true;
            return true;
        }
        ++pass.files_read;
        // A size that is not a multiple of 4 means a torn append: rewrite, or the next append
        // would land after the torn bytes and shift every later id.
        damaged = !store::decode_ids(bytes, fresh);
    }
    unread_ = false;
    stamp = on_disk;
    const std::size_t read = fresh.size();
    if (!checked) validate_ids(fresh);
    const bool repair = damaged || fresh.size() != read;
    set_ids(fresh);
    pass.changed = true;
    if (repair && !ids.empty() && clean) {
        try {
            rewrite();
        } catch (const store_error&) {
            // Held by another program: read, but the next write must replace it whole.
            must_rewrite_ = true;
            stamp = store::file_stamp();
        }
    }
    return !ids.empty() || !clean;
}

void tag::set_ids(std::vector<file_id_t>& fresh) {
    if (!deferred_.empty()) {
        // Changes made while writing was deferred go over what the file holds now.
        id_set present;
        present.reserve(fresh.size());
        for (file_id_t id : fresh) present.insert(id);
        for (const std::pair<file_id_t, bool>& change : deferred_) {
            if (change.second) {
                if (present.insert(change.first)) fresh.push_back(change.first);
            } else if (present.erase(change.first)) {
                fresh.erase(std::find(fresh.begin(), fresh.end(), change.first));
            }
        }
    }
    ids.swap(fresh);
    index_.clear();
    indexed_ = false;
    unwritten_from_ = ids.size();
}

bool tag::stays_without_disk() {
    on_disk = store::file_stamp();
    // Changes not yet written stay, and so does a tag that has never had a file (one the tag
    // dialog made, whose file comes with its first file).
    return !clean || (!stamp.known && ids.empty() && !unread_);
}

void tag::require_read() const {
    if (unread_) throw store_error(error_cannot_open, ERROR_SHARING_VIOLATION);
}

void tag::build_index() {
    if (indexed_) return;
    index_.reserve(ids.size());
    for (file_id_t id : ids) index_.insert(id);
    indexed_ = true;
}

bool tag::contains(file_id_t id) {
    build_index();
    return index_.contains(id);
}

bool tag::insert_id(file_id_t id) {
    build_index();
    if (!index_.insert(id)) return false;
    ids.push_back(id);
    return true;
}

bool tag::erase_id(file_id_t id) {
    build_index();
    if (!index_.erase(id)) return false;
    ids.erase(std::find(ids.begin(), ids.end(), id));
    unwritten_from_ = std::min(unwritten_from_, ids.size());
    return true;
}

void tag::compact_ids() {
    ids.erase(std::remove_if(ids.begin(), ids.end(), [this](file_id_t id) { return !index_.contains(id); }),
              ids.end());
    unwritten_from_ = std::min(unwritten_from_, ids.size());
}

void tag::note_deferred(file_id_t id, bool added) {
    if (!g_immediate_write) deferred_.emplace_back(id, added);
}

void tag::write_whole() {
    std::vector<unsigned char> bytes;
    store::encode_ids(ids, 0, bytes);
    try {
        store::replace_file(path, bytes, data_folder());
    } catch (const store_error&) {
        stamp = store::file_stamp();  // memory and file now differ
        throw;
    }
    whole_written();
}

void tag::whole_written() {
    stamp = store::stamp_of(path);
    unwritten_from_ = ids.size();
    must_rewrite_ = false;
    deferred_.clear();
    clean = true;
}

bool tag::enlist_rewrite() {
    if (in_rewrite_batch_) return true;
    // Deferred writing writes nothing now: rewrite only marks the tag.
    rewrite_batch* batch = rewrite_batch::current();
    if (!batch || !g_immediate_write) return false;
    batch->enlist(this);
    return true;
}

void tag::add_file(file_id_t id, const std::wstring&, const tree_node&) {
    // Its ids were never read: a later rewrite from memory would drop them from the file.
    require_read();
    if (!insert_id(id)) return;
    note_deferred(id, true);
    append_new_ids();
}

void tag::add_ids(const std::vector<file_id_t>& added) {
    require_read();
    build_index();
    const std::size_t wanted = ids.size() + added.size();
    // Grown as push_back would, so that many small requests do not copy the ids each time.
    if (ids.capacity() < wanted) ids.reserve(std::max(wanted, ids.size() * 2));
    index_.reserve(wanted);
    const std::size_t before = ids.size();
    for (file_id_t id : added) {
        if (insert_id(id)) note_deferred(id, true);
    }
    if (ids.size() != before) append_new_ids();
}

void tag::append_new_ids() {
    if (!g_immediate_write) {
        clean = false;
        unwritten_from_ = ids.size();
        return;
    }
    if (!append_batch::defer(this, in_batch_)) flush_appends();
}

void tag::flush_appends() {
    in_batch_ = false;
    if (unwritten_from_ >= ids.size()) return;
    try {
        if (must_rewrite_) {
            rewrite();
        } else {
            std::vector<unsigned char> bytes;
            store::encode_ids(ids, unwritten_from_, bytes);
            store::append_file(path, bytes);
            stamp = store::stamp_of(path);
        }
    } catch (const store_error&) {
        // The disk never got these ids: take them back, so memory does not claim what a restart
        // would lose. A tag left with nothing leaves its parent (and empties climb).
        while (ids.size() > unwritten_from_) {
            index_.erase(ids.back());
            ids.pop_back();
        }
        stamp = store::file_stamp();
        must_rewrite_ = true;
        if (ids.empty() && parent) {
            node_ptr self = shared_from_this();
            parent->remove_child(this);
        }
        throw;
    }
    unwritten_from_ = ids.size();
}

void tag::rewrite() {
    if (!g_immediate_write) {
        clean = false;
        unwritten_from_ = ids.size();
        return;
    }
    require_read();
    write_whole();
}

bool tag::remove_file(file_id_t id, const tree_node*) {
    require_read();
    if (!contains(id)) return false;
    if (ids.size() == 1) {
        // The file goes first: one that stays keeps its id, in memory as on disk.
        erase_from_disk();
        erase_id(id);
        note_deferred(id, false);
        return true;
    }
    erase_id(id);
    note_deferred(id, false);
    try {
        rewrite();
    } catch (const store_error&) {
        insert_id(id);  // the file still holds it
        throw;
    }
    return false;
}

bool tag::remove_ids(const id_set& gone) {
    require_read();
    build_index();
    std::vector<file_id_t> removed;
    for (file_id_t id : ids) {
        if (gone.contains(id)) removed.push_back(id);
    }
    if (removed.empty()) return false;
    // As remove_file: a file left with nothing goes first, and one that stays keeps its ids.
    const bool emptied = removed.size() == ids.size();
    if (emptied) erase_from_disk();
    const bool waits = !emptied && enlist_rewrite();
    for (file_id_t id : removed) {
        index_.erase(id);
        note_deferred(id, false);
    }
    compact_ids();
    if (ids.empty()) return true;
    if (waits) return false;
    try {
        rewrite();
    } catch (const store_error&) {
        for (file_id_t id : removed) insert_id(id);  // the file still holds them
        throw;
    }
    return false;
}

void tag::replace_ids(const std::vector<std::pair<file_id_t, file_id_t> >& renames, const id_set& old_ids) {
    require_read();
    build_index();
    if (std::none_of(ids.begin(), ids.end(), [&old_ids](file_id_t id) { return old_ids.contains(id); })) return;
    const bool waits = enlist_rewrite();
    // The new ids come last, in the order of the renames, as replace_id one by one would put them.
    std::vector<file_id_t> added;
    for (const std::pair<file_id_t, file_id_t>& rename : renames) {
        if (!index_.erase(rename.first)) continue;
        note_deferred(rename.first, false);
        added.push_back(rename.second);
    }
    compact_ids();
    for (file_id_t id : added) {
        if (insert_id(id)) note_deferred(id, true);
    }
    if (!waits) rewrite();
}

void tag::collect_ids(std::set<file_id_t>& out) {
    out.insert(ids.begin(), ids.end());
}

void tag::save() {
    if (clean || unread_) return;
    // Another process may have removed the folders meanwhile.
    ensure_parent_folders();
    write_whole();
}

void tag::export_tree(const hashed_ptr& out) {
    out->name = name;
    out->ids.assign(ids.begin(), ids.end());
    std::sort(out->ids.begin(), out->ids.end());
    out->flag = true;
}

tree_ptr tag::tags_of(file_id_t id) {
    if (!contains(id)) return tree_ptr();
    return tree_ptr(new tree_node(name));
}

void tag::erase_from_disk() {
    if (!store::delete_file(path, data_folder())) {
        const DWORD error = ::GetLastError();
        // A file that stays (another program holds it open) brings the tag back at the next sync.
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) throw store_error(error_cannot_open, error);
    }
    stamp = store::file_stamp();
}

void tag::replace_id(file_id_t old_id, file_id_t new_id) {
    // Unread, it may hold the old id in its file: the rename cannot be followed here.
    require_read();
    if (!erase_id(old_id)) return;
    note_deferred(old_id, false);
    if (insert_id(new_id)) note_deferred(new_id, true);
    rewrite();
}

}  // namespace items
