#include "database/nodes.h"

#include "database/file_identity.h"
#include "database/identity_file.h"
#include "database/store_snapshot.h"
#include "util/file_names.h"
#include "util/file_system.h"

#include <algorithm>
#include <atomic>

namespace items {

namespace {

// The case-blind index's key: util::name_hash folded to the index's width.
std::uint32_t spelling_key(std::wstring_view file_path) {
    const std::uint64_t hash = util::name_hash(file_path);
    return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

}  // namespace

root_scope::root_scope(const std::wstring& node_name, base_node* parent_node, std::shared_ptr<path_store> paths)
    : scope(node_name, parent_node), id_map(std::move(paths)), loaded(false) {
    kind = kind_root;
    path = parent_node ? parent_node->path + node_name : node_name;
}

root_scope::~root_scope() {
    id_map.clear();
    callback.clear();
}

void root_scope::update_path() {
    path = parent ? parent->path + name : name;
    for (const node_ptr& child : children) child->update_path();
}

bool root_scope::load(sync_pass& pass) {
    pass.map_changed = false;
    pass.map_checked = false;
    if (list_error_) {
        // Its tags are not all known: written now, it could lose the ones it did not list.
        loaded = false;
        read_error_ = list_error_;
        pass.incomplete = true;
    } else if (pass.reread_all || !loaded || !stamp.same_as(on_disk)) {
        if (!on_disk.known && loaded && !stamp.known) {
            // A root made here whose map has not been written yet: memory is all there is.
        } else if (!read_map(pass)) {
            // Without its map nothing of the root can be checked or written. It stays, unread,
            // with its files as they are, until the map can be read.
            loaded = false;
            pass.incomplete = true;
        }
    }
    const bool stays = scope::load(pass);
    unread_tags_ = base_node::unread_count();
    if (unread_tags_) pass.incomplete = true;
    return stays || !loaded;
}

bool root_scope::read_map(sync_pass& pass) {
    if (!on_disk.known) {
        read_error_ = ERROR_FILE_NOT_FOUND;
        return false;
    }
    // Into the store's paths that every root shares: a path another root holds (or this one,
    // read before) is kept once. The snapshot has the map as the file holds it, while the file
    // keeps the stamp recorded with it. Else the file is read a piece at a time: a map of many
    // megabytes in memory whole would be most of a load's peak.
    path_map fresh(id_map.paths());
    std::size_t records = 0;
    store::map_read_result read;
    if (!pass.snapshot || !pass.snapshot->take_map(name, on_disk, fresh, records)) {
        fresh.reserve(static_cast<std::size_t>(on_disk.size / 96) + 16);
        const bool readable = store::read_pieces(
            map_path(), store::longest_map_record,
            [&](const unsigned char* bytes, std::size_t size, bool last, std::size_t& used) {
                // Each record's id sends its map slot and its path's index slot to a cache miss:
                // both are asked for eight records ahead of the one being added.
                const path_store& paths = *id_map.paths();
                std::size_t ahead = 0;
                const auto ask_ahead = [&] {
                    file_id_t id = 0;
                    std::uint16_t length = 0;
                    if (!store::map_record_at(bytes, size, ahead, id, length)) return;
                    fresh.prefetch_slot(id);
                    paths.prefetch_key(id);
                    ahead += 6 + std::size_t(length) * 2;
                };
                for (int i = 0; i < 8; ++i) ask_ahead();
                used = store::decode_map_piece(bytes, size, last, read,
                                               [&](file_id_t id, std::size_t offset, std::size_t length) {
                                                   ask_ahead();
                                                   fresh.set(id, std::wstring_view(reinterpret_cast<const wchar_t*>(
                                                                                       bytes + offset),
                                                                                   length));
                                                   ++records;
                                               });
                return !read.damaged;
            });
        if (!readable) {
            read_error_ = ::GetLastError();
            return false;
        }
    }
    superseded_ = records - fresh.size();
    // What this process changed and has not written yet goes over what the file holds now.
    for (const std::pair<file_id_t, std::wstring>& change : deferred_) {
        if (change.second.empty()) {
            fresh.erase(change.first);
        } else {
            fresh.set(change.first, change.second);
        }
    }
    store::decode_map(unwritten_records_.data(), unwritten_records_.size(),
                      [this, &fresh](file_id_t id, std::size_t offset, std::size_t length) {
                          fresh.set(id, std::wstring_view(reinterpret_cast<const wchar_t*>(
                                                              unwritten_records_.data() + offset),
                                                          length));
                      });
    // Kept in the file only for tag files not saved yet.
    for (const std::pair<file_id_t, std::wstring>& gone : leaving_) {
        if (fresh.find(gone.first) == gone.second) fresh.erase(gone.first);
    }
    id_map = std::move(fresh);
    forget_path_indexes();
    stamp = on_disk;
    loaded = true;
    pass.map_changed = true;
    pass.map_checked = pass.snapshot && pass.snapshot->map_unchanged(name, on_disk) && deferred_.empty() &&
                       unwritten_records_.empty();
    if (pass.full_load && !pass.map_checked) ++pass.files_read;  // the snapshot's ids need checking
    // Void records, a damaged record or a torn tail: write the map clean now, or the next
    // append would land behind the damage and every later record would be unreadable.
    if (read.needs_rewrite) {
        try {
            rewrite_map();
        } catch (const store_error&) {
            // Held by another program: read, but its next write must replace it whole.
            must_rewrite_ = true;
            stamp = store::file_stamp();
        }
    }
    return true;
}

const path_map* root_scope::map_as_on_disk() const {
    const bool as_on_disk = loaded && clean && !must_rewrite_ && unwritten_records_.empty() && deferred_.empty() &&
                            leaving_.empty();
    return as_on_disk ? &id_map : nullptr;
}

void root_scope::require_read(bool all_tags) const {
    if (!loaded) throw store_error(error_cannot_open, read_error_);
    if (all_tags && unread_tags_) throw store_error(error_cannot_open, ERROR_SHARING_VIOLATION);
}

std::size_t root_scope::unread_count() const {
    // An unlisted folder counts among the tags already.
    return (loaded || list_error_ ? 0 : 1) + unread_tags_;
}

bool root_scope::stays_without_disk() {
    const bool pending = !clean;
    const bool children_stay = scope::stays_without_disk();
    return pending || children_stay;
}

void root_scope::validate_ids(std::vector<file_id_t>& list) {
    std::vector<file_id_t>::iterator out = list.begin();
    for (file_id_t id : list) {
        if (id_map.contains(id)) *out++ = id;
    }
    list.erase(out, list.end());
}

void root_scope::add_file(file_id_t id, const std::wstring& file_path, const tree_node& tree) {
    if (file_path.empty() || file_path.size() > max_stored_path) throw store_error(error_invalid_name);
    require_read(false);
    scope::add_file(id, file_path, tree);
    register_path(id, file_path);
}

file_id_t root_scope::find_id(const std::wstring& file_path, file_id_t hash) {
    const stored_path at = id_map.find(hash);
    if (!at.empty() && at == file_path) return hash;
    return find_displaced(file_path, hash);
}

void root_scope::prefetch_lookup(file_id_t hash) const {
    id_map.prefetch_slot(hash);
    if (displaced_indexed_) displaced_.prefetch(hash);
}

file_id_t root_scope::find_displaced(const std::wstring& file_path, file_id_t hash) {
    index_displaced();
    file_id_t found = 0;
    displaced_.for_key(hash, [&](file_id_t id) {
        if (!found && id_map.find(id) == file_path) found = id;
    });
    return found;
}

std::vector<file_id_t> root_scope::find_ids_any_case(const std::wstring& file_path, file_id_t hash) {
    std::vector<file_id_t> found;
    if (const file_id_t exact = find_id(file_path, hash)) {
        found.push_back(exact);
        return found;
    }
    if (!spellings_indexed_) {
        spellings_.clear();
        spellings_.reserve(id_map.size());
        std::wstring scratch;
        id_map.for_each([&](file_id_t id, const stored_path& known) {
            spellings_.insert(spelling_key(known.in(scratch)), id);
        });
        spellings_indexed_ = true;
    }
    std::wstring scratch;
    spellings_.for_key(spelling_key(file_path), [&](file_id_t id) {
        if (util::same_name(id_map.find(id).in(scratch), file_path)) found.push_back(id);
    });
    return found;
}

void root_scope::note_spelling(file_id_t id, std::wstring_view file_path, bool added) {
    if (!spellings_indexed_) return;
    if (added) {
        spellings_.insert(spelling_key(file_path), id);
    } else {
        spellings_.erase(spelling_key(file_path), id);
    }
}

void root_scope::index_displaced() {
    if (displaced_indexed_) return;
    displaced_.clear();
    id_map.for_each_hashed([this](file_id_t id, const stored_path&, file_id_t hash) {
        if (hash != id) displaced_.insert(hash, id);
    });
    displaced_indexed_ = true;
}

void root_scope::index_displaced(const std::vector<file_id_t>& entry_hashes) {
    if (displaced_indexed_) return;
    displaced_.clear();
    id_map.for_each_entry([&](file_id_t id, path_store::ref entry) {
        if (entry_hashes[entry] != id) displaced_.insert(entry_hashes[entry], id);
    });
    displaced_indexed_ = true;
}

void root_scope::forget_path_indexes() {
    displaced_.clear();
    displaced_indexed_ = false;
    spellings_.clear();
    spellings_indexed_ = false;
}

void root_scope::note_displaced_hash(file_id_t id, file_id_t hash, bool added) {
    if (!displaced_indexed_ || hash == id) return;
    if (added) {
        displaced_.insert(hash, id);
    } else {
        displaced_.erase(hash, id);
    }
}

std::wstring root_scope::identity_path() const {
    return identity_table::path_for(data_folder(), name);
}

void root_scope::delete_identity_file() const {
    const std::wstring file = identity_path();
    if (::GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES) store::delete_file(file);
}

void root_scope::register_path(file_id_t id, const std::wstring& file_path, const file_identity* identity,
                               bool on_disk) {
    const bool added = id_map.insert(id, file_path);
    if (added) note_new_path(id, file_path, identity, on_disk);
    if (!g_immediate_write) {
        // Noted even when known already: another process may drop it from the file meanwhile.
        clean = false;
        deferred_.emplace_back(id, file_path);
        return;
    }
    if (!added) return;
    append_record(id, file_path);
}

void root_scope::repath(file_id_t id, const std::wstring& file_path, const file_identity* identity) {
    const stored_path known = id_map.find(id);
    if (known.empty() || known == file_path) return;
    // The indexes let go of the old path before the map does, and with it the view; the path
    // is copied only for an index of spellings (a renamed folder's files are many).
    note_displaced_hash(id, file_id(known), false);
    if (spellings_indexed_) {
        std::wstring scratch;
        note_spelling(id, known.in(scratch), false);
    }
    id_map.set(id, file_path);
    note_new_path(id, file_path, identity, true);
    if (!g_immediate_write) {
        clean = false;
        deferred_.emplace_back(id, file_path);
        return;
    }
    // The file's record for the old path stays behind the new one until the map is written
    // whole, which it is once such records outnumber the live ones.
    if (++superseded_ > id_map.size()) must_rewrite_ = true;
    append_record(id, file_path);
}

void root_scope::note_new_path(file_id_t id, const std::wstring& file_path, const file_identity* identity,
                               bool on_disk) {
    note_displaced(id, file_path, true);
    note_spelling(id, file_path, true);
    if (identity && identity->known) {
        identity_table::encode(id, file_path, *identity, unwritten_identities_);
    } else if (on_disk) {
        // Across roots: a root made again under the same name must not take an old mark.
        static std::atomic<std::uint64_t> last_mark{0};
        const std::uint64_t mark = ++last_mark;
        unidentified_.push_back(unidentified_file{id, file_path, mark});
        identity_marks_.set(id, mark);
    }
}

void root_scope::append_record(file_id_t id, const std::wstring& file_path) {
    store::encode_map_record(id, file_path, unwritten_records_);
    if (!append_batch::defer(this, in_batch_)) flush_appends();
}

void root_scope::expect_paths(std::size_t count, std::size_t characters) {
    id_map.reserve(id_map.size() + count);
    if (g_immediate_write) reserve_growing(unwritten_records_, unwritten_records_.size() + count * 6 + characters * 2);
    reserve_growing(unidentified_, unidentified_.size() + count);
}

void root_scope::forget_path(file_id_t id) {
    std::wstring scratch;
    const std::wstring_view known = id_map.find(id).in(scratch);
    if (known.empty()) return;
    note_displaced(id, known, false);
    note_spelling(id, known, false);
    if (!identity_marks_.empty()) identity_marks_.erase(id);
    if (!g_immediate_write) {
        clean = false;
        deferred_.emplace_back(id, std::wstring());
        leaving_.emplace_back(id, std::wstring(known));
    }
    id_map.erase(id);
}

bool root_scope::leaving(file_id_t id) const {
    for (const std::pair<file_id_t, std::wstring>& gone : leaving_) {
        if (gone.first == id) return true;
    }
    return false;
}

void root_scope::flush_appends() {
    in_batch_ = false;
    if (unwritten_records_.empty()) return;
    // A map file lies beside its root's folder and is written only while that folder exists;
    // until then the records wait for the next flush.
    if (!ensure_folder(true)) return;
    if (must_rewrite_) {
        rewrite_map();
        return;
    }
    try {
        store::append_file(map_path(), unwritten_records_);
        stamp = store::stamp_of(map_path());
    } catch (const store_error&) {
        // A failed append: write the whole map anew in one step instead. If that fails too,
        // the records wait for the next flush and the caller hears of it.
        stamp = store::file_stamp();
        must_rewrite_ = true;
        rewrite_map();
    }
    unwritten_records_.clear();
    write_identities();
}

std::vector<root_scope::unidentified_file> root_scope::take_unidentified() {
    std::vector<unidentified_file> taken;
    taken.swap(unidentified_);
    return taken;
}

void root_scope::identified(const unidentified_file& file, const file_identity& identity) {
    if (identity_marks_.find(file.id) != file.mark) return;
    identity_marks_.erase(file.id);
    // A path that is not there (yet) has no identity to keep; the re-link pass records it once
    // it is.
    if (!identity.known || id_map.find(file.id) != file.path) return;
    identity_table::encode(file.id, file.path, identity, unwritten_identities_);
}

void root_scope::write_identities() {
    if (unwritten_identities_.empty()) return;
    std::vector<unsigned char> records;
    records.swap(unwritten_identities_);
    try {
        identity_table::append(identity_path(), records);
    } catch (const store_error&) {
        // Only ever a help: the next re-link pass records the files that are still in place.
    }
}

void root_scope::rewrite_map() {
    if (!g_immediate_write) {
        clean = false;
        return;
    }
    // Written from memory, a map that was never read would lose every path in the file.
    require_read(false);
    if (!ensure_folder(true)) return;
    try {
        write_map(map_path());
    } catch (const store_error&) {
        stamp = store::file_stamp();
        throw;
    }
    written();
}

void root_scope::write_map(const std::wstring& file) const {
    // Sized first: a map of many megabytes grown record by record is copied over and over.
    std::size_t size = 0;
    id_map.for_each([&size](file_id_t, const stored_path& file_path) { size += 6 + file_path.size() * 2; });
    std::vector<unsigned char> bytes;
    bytes.reserve(size);
    std::wstring scratch;
    id_map.for_each_by_folder([&](file_id_t id, const stored_path& file_path) {
        store::encode_map_record(id, file_path.in(scratch), bytes);
    });
    for (const std::pair<file_id_t, std::wstring>& gone : leaving_) {
        if (!id_map.contains(gone.first)) store::encode_map_record(gone.first, gone.second, bytes);
    }
    store::replace_file(file, bytes, data_folder());
}

void root_scope::written() {
    stamp = store::stamp_of(map_path());
    unwritten_records_.clear();
    must_rewrite_ = false;
    superseded_ = 0;
    deferred_.clear();
    clean = true;
    write_identities();
}

bool root_scope::remove_file(file_id_t id, const tree_node* tree) {
    require_read(false);
    return forget_unheld(scope::remove_file(id, tree), std::vector<file_id_t>(1, id));
}

bool root_scope::remove_from_tags(const std::vector<file_id_t>& files) {
    require_read(false);
    id_set gone;
    gone.reserve(files.size());
    for (file_id_t id : files) gone.insert(id);
    return scope::remove_ids(gone);
}

bool root_scope::forget_unheld(bool emptied, const std::vector<file_id_t>& files) {
    // The end of a removal whose tags are written: a tag that could not be written holds its
    // ids again, and the map keeps them for it.
    if (emptied) {
        id_map.clear();  // erase_from_disk removed the map file with the folder
        forget_path_indexes();
        return true;
    }
    // The tag files are written by now: a file leaves the map only when no tag of this root
    // still holds it; dropping it while a tag keeps the id (or a tag whose file could not be
    // read may) would make the next load discard that tag's id. The map is rewritten once.
    bool forgot = false;
    if (!unread_tags_) {
        for (file_id_t id : files) {
            if (!id_map.contains(id) || tags_of(id)) continue;
            forget_path(id);
            forgot = true;
        }
    }
    if (!forgot) return false;
    if (id_map.empty()) {
        erase_from_disk();
        children.clear();
        return true;
    }
    rewrite_map();
    return false;
}

void root_scope::save() {
    if (!g_immediate_write || !loaded) return;
    // The map first, still with the ids that leave it: whichever tag files are written after it
    // and whichever are not, every id on disk is known to the map.
    if (!clean) rewrite_map();
    // A tag that fails keeps its old ids on disk, and the map keeps them with it.
    scope::save();
    if (leaving_.empty() || base_node::unread_count()) return;
    leaving_.clear();
    rewrite_map();
}

void root_scope::erase_from_disk() {
    scope::erase_from_disk();
    // Beside a folder that stayed (a file in it held open) the map stays too: without it the
    // root could not be read again.
    if (util::folder_exists(path)) return;
    store::delete_file(map_path());
    leaving_.clear();
    unidentified_.clear();
    identity_marks_.clear();
    unwritten_identities_.clear();
    delete_identity_file();
    stamp = store::file_stamp();
}

}  // namespace items
