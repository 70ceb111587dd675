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

#include "database/store_snapshot.h"
#include "util/unique_resource.h"

namespace items {

void TagsHolder::before_write() {
    // Before the first write of a section: a process that cannot tell the others of its change
    // must not make it.
    if (announced_) return;
    seen_counter_ = store_lock_.advance();
    announced_ = true;
}

void TagsHolder::refresh() {
    const util::lock_guard held = lock();
    if (section_depth_ > 0 || path.empty()) return;
    const std::uint64_t counter = store_lock_.counter();
    // What could not be read is tried again now and then, not on every listing.
    const bool retry = incomplete_ && ::GetTickCount() - synced_at_ >= 1000;
    if (synced_ && !retry && counter == seen_counter_ && counter != store_lock::unreadable) return;
    store_section section(*this, false);
}

void TagsHolder::sync(bool full_load, bool reread_all) {
    // Until this pass has ended: one that failed (a write refused on the way) must run again.
    synced_ = false;
    synced_at_ = ::GetTickCount();
    if (path.empty()) {
        synced_ = true;
        return;
    }
    sync_pass pass;
    pass.full_load = full_load;
    pass.reread_all = reread_all;
    pass.now = store::file_time_now();
    store_snapshot snapshot;
    if (full_load && snapshot.read(path)) pass.snapshot = &snapshot;
    // A replacement is never half-way while the lock is held: what is left was left by a
    // process that ended in the middle of one.
    if (full_load || reread_all) store::remove_temporary_files(path);
    read_folder(pass);
    base_node::load(pass);
    incomplete_ = pass.incomplete;
    if (pass.changed) changed();
    if (full_load && !children.empty() && (pass.files_read > 0 || !pass.snapshot)) write_snapshot();
    synced_ = true;
    // What a process that died holding the lock may have left is checked once every file was.
    if (reread_all && !pass.incomplete) reread_owed_ = false;
}

void TagsHolder::read_folder(sync_pass& pass) {
    for (const node_ptr& child : children) child->seen_ = false;
    std::vector<std::pair<std::wstring, store::file_stamp> > files;
    std::vector<node_ptr> fresh;
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
            if (entry == L"." || entry == L"..") continue;
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                files.emplace_back(entry, store::stamp_from(data, pass.now));
                continue;
            }
            node_ptr root = find_child(entry);
            const bool is_new = !root;
            if (is_new) root.reset(new root_scope(entry, this));
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
    merge_children(fresh, pass);
    // Each root's map lies beside its folder; the file system does not tell case apart.
    for (const node_ptr& root : children) {
        root->on_disk = store::file_stamp();
        const std::wstring map_name = root->name + L".dat";
        for (const auto& file : files) {
            if (::CompareStringOrdinal(file.first.c_str(), static_cast<int>(file.first.size()), map_name.c_str(),
                                       static_cast<int>(map_name.size()), TRUE) == CSTR_EQUAL) {
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
        if (root.clean) snapshot.add_map(root.name, root.stamp);
        add_tags(root, path.size(), snapshot);
    }
    snapshot.write(path);
}

}  // namespace items
