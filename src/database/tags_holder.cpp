#include "database/store_section.h"

#include "util/file_names.h"
#include "util/file_system.h"

#include <algorithm>
#include <memory>

namespace items {

util::critical_section& database_lock() {
    static util::critical_section lock;
    return lock;
}

TagsHolder& tags_holder() {
    // Deliberately leaked: threads of the host may still use it while static objects are torn down.
    static TagsHolder* holder = new TagsHolder;
    return *holder;
}

namespace {

// The tags of `previous` that `current` no longer names (null when none).
tree_ptr tags_dropped(const tree_node& previous, const tree_node* current) {
    tree_ptr result;
    for (const tree_ptr& child : previous.children) {
        const tree_node* kept = current ? current->find(child->name) : nullptr;
        tree_ptr dropped;
        if (!kept) {
            dropped = child;
        } else if (!child->children.empty()) {
            dropped = tags_dropped(*child, kept);
        }
        if (!dropped) continue;
        if (!result) result.reset(new tree_node(previous.name));
        result->children.push_back(dropped);
    }
    return result;
}

void merge_names(tree_node& into, const tree_node& from) {
    for (const tree_ptr& child : from.children) {
        tree_node* same = into.find(child->name);
        if (!same) {
            into.children.push_back(child);
        } else {
            merge_names(*same, *child);
        }
    }
}

tree_ptr names_of(const base_node& node) {
    tree_ptr result(new tree_node(node.name));
    for (const node_ptr& child : node.children) result->children.push_back(names_of(*child));
    return result;
}

// A request waits this long at most for the start-up load; the loader waits for the store's
// lock no longer than a change does, so this covers a loader that was not given the processor.
const DWORD load_wait_ms = 10000;

void check_path(const std::wstring& file_path) {
    if (file_path.empty() || file_path.size() > max_stored_path) throw store_error(error_invalid_name);
}

// Erases the node's files and folders, dropping from memory each node that left the disk. A
// file that stays (another program holds it open) would come back at the next sync: its node
// stays, and so do the nodes above it. The first such failure is kept in `failed`.
bool erase_tree(base_node& node, std::unique_ptr<store_error>& failed) {
    if (node.kind != kind_tag) {
        const std::vector<node_ptr> children = node.children;
        for (const node_ptr& child : children) {
            if (erase_tree(*child, failed)) node.drop_child(child.get());
        }
        if (!node.children.empty()) return false;
    }
    try {
        node.erase_from_disk();
    } catch (const store_error& error) {
        if (!failed) failed.reset(new store_error(error));
        return false;
    }
    if (node.kind == kind_tag || !util::folder_exists(node.path)) return true;
    // A file memory did not know kept the folder.
    if (!failed) failed.reset(new store_error(error_cannot_open, ERROR_DIR_NOT_EMPTY));
    return false;
}

}  // namespace

TagsHolder::TagsHolder()
    : base_node(std::wstring(), nullptr),
      loaded_event_(::CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      loading_(false),
      loader_thread_(0),
      listener_(nullptr),
      generation_(1) {
    background_idle_.reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    identified_.reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    stopping_ = false;
    parent = this;
    kind = kind_holder;
}

TagsHolder::~TagsHolder() {
    // The identities of the files tagged last are kept first: the tool ends right after its
    // change, and a move made after it could be followed only with them.
    ::WaitForSingleObject(identified_.get(), INFINITE);
    // The loader and the re-link thread work on this object; a pass under way stops early.
    stopping_ = true;
    wait_loaded(INFINITE);
    wait_relinked(INFINITE);
    // The last background thread sets the idle event while it still holds relink_lock_; it
    // has let go of this object only once it has left the lock, which goes with the members.
    const util::lock_guard last_out(relink_lock_);
    store::forget_journal(path, static_cast<store::write_listener*>(this));
}

void TagsHolder::set_data_folder(const std::wstring& folder) {
    const util::lock_guard held = lock();
    const std::wstring next = util::with_trailing_backslash(folder);
    if (next == path) return;
    // The tree mirrors one folder: what was read from another means nothing here.
    store::forget_journal(path, static_cast<store::write_listener*>(this));
    path = next;
    children.clear();
    contexts.clear();
    store_lock_.set_folder(next);
    synced_ = false;
    reread_owed_ = false;
    incomplete_ = false;
    seen_counter_ = store_lock::no_counter;
    changed();
}

DWORD WINAPI TagsHolder::loader_thread(void* holder) {
    TagsHolder& db = *static_cast<TagsHolder*>(holder);
    db.load_store();
    // Files moved while no Explorer watched are looked for once the tree is there; requests
    // go first meanwhile, since the pass holds the lock only to collect and to apply. No
    // Explorer thread waits for the pass, so it may wait for another process's write.
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_IDLE);
    if (!db.stopping_) {
        const patient_thread patient;
        try {
            db.relink_moved();
        } catch (...) {
            // A store that cannot be written now: the next start tries again.
        }
    }
    db.background_ended();
    return 0;
}

void TagsHolder::start_loader() {
    {
        const util::lock_guard held = lock();
        full_load_pending_ = true;
    }
    ::ResetEvent(loaded_event_.get());
    loading_ = true;
    background_started();
    DWORD id = 0;
    util::unique_handle thread(::CreateThread(nullptr, 0, loader_thread, this, CREATE_SUSPENDED, &id));
    if (!thread) {
        loading_ = false;
        ::SetEvent(loaded_event_.get());
        background_ended();
        return;
    }
    loader_thread_ = id;
    ::ResumeThread(thread.get());
}

util::lock_guard TagsHolder::lock() {
    // The loader itself, and a thread already holding the lock (which the loader needs), go on.
    if (loading_ && ::GetCurrentThreadId() != loader_thread_ && !database_lock().held_by_this_thread()) {
        ::WaitForSingleObject(loaded_event_.get(), load_wait_ms);
    }
    return util::lock_guard(database_lock());
}

bool TagsHolder::wait_loaded(DWORD timeout_ms) {
    return ::WaitForSingleObject(loaded_event_.get(), timeout_ms) == WAIT_OBJECT_0;
}

bool TagsHolder::load_store() {
    // Wait for the lock at idle priority, so start-up work of the host goes first, but load at
    // normal priority: while the lock is held, an idle thread starved by busy threads would keep
    // Explorer's window thread waiting on it.
    HANDLE self = ::GetCurrentThread();
    const int previous = ::GetThreadPriority(self);
    ::SetThreadPriority(self, THREAD_PRIORITY_IDLE);
    bool loaded = false;
    try {
        { const util::lock_guard turn = lock(); }
        ::SetThreadPriority(self, THREAD_PRIORITY_NORMAL);
        // Explorer's threads wait for the load: it waits for the store's lock no longer than a
        // change would, unless the caller is patient (the tool).
        store_section section(*this, true);
        loaded = true;
    } catch (...) {
        // Out of memory, or the store's lock could not be had: what was read is kept. The
        // requests waiting for the load must be let go whatever happened, or they would wait
        // forever.
    }
    ::SetThreadPriority(self, previous);
    loading_ = false;
    ::SetEvent(loaded_event_.get());
    return loaded;
}

void TagsHolder::remove_child(base_node* node) {
    // A root that emptied itself has already left the disk; it must leave memory too, or a
    // later request would add tags under a folder that no longer exists.
    drop_child(node);
}

void TagsHolder::save() {
    store_section section(*this, false);
    changed();
    base_node::save();
}

root_scope* TagsHolder::root_named(const std::wstring& root_name) const {
    return static_cast<root_scope*>(find_child(root_name).get());
}

root_scope* TagsHolder::create_root(const std::wstring& root_name) {
    if (!util::is_valid_file_name(root_name)) throw store_error(error_invalid_name);
    boost::shared_ptr<root_scope> root(new root_scope(root_name, this, paths_));
    // Nothing of a new root is on disk yet: there is no map file to read. A map without its
    // folder was left by a rename or move that ended before it could remove it.
    root->loaded = true;
    if (!util::folder_exists(root->path) && util::path_exists(root->map_path())) store::delete_file(root->map_path());
    if (!root->ensure_folder(true)) throw store_error(error_cannot_open);
    children.push_back(root);
    return root.get();
}

root_scope* TagsHolder::find_path(file_id_t id, std::wstring& found, const std::wstring& in_root) {
    const util::lock_guard held = lock();
    found.clear();
    const root_scope* only = in_root.empty() ? nullptr : root_named(in_root);
    for (const node_ptr& child : children) {
        root_scope* root = static_cast<root_scope*>(child.get());
        if (only && root != only) continue;
        const stored_path known = root->id_map.find(id);
        if (!known.empty()) {
            found = known.str();
            return root;
        }
    }
    return nullptr;
}

root_scope* TagsHolder::find_root(const std::wstring* file_path, file_id_t id) {
    const util::lock_guard held = lock();
    if (id == 0 && file_path) {
        const file_id_t hash = file_id(*file_path);
        for (const node_ptr& child : children) {
            root_scope* root = static_cast<root_scope*>(child.get());
            if (root->find_id(*file_path, hash)) return root;
        }
        return nullptr;
    }
    std::wstring ignored;
    return find_path(id, ignored);
}

file_id_t TagsHolder::id_for(root_scope& target, const std::wstring& file_path, file_id_t hash) {
    const stored_path in_target = target.id_map.find(hash);
    if (!in_target.empty() && in_target == file_path) return hash;
    if (const file_id_t known = target.find_displaced(file_path, hash)) return known;
    // Every root knows a file by one id, so that an id names one file wherever it is shown. An
    // id that is leaving a map is taken until the tag files holding it are saved.
    const auto leaving = [this](file_id_t id) {
        for (const node_ptr& child : children) {
            if (static_cast<root_scope&>(*child).leaving(id)) return true;
        }
        return false;
    };
    bool hash_taken = hash == 0 || !in_target.empty() || leaving(hash);
    for (const node_ptr& child : children) {
        root_scope& root = static_cast<root_scope&>(*child);
        if (&root == &target) continue;
        const stored_path at = root.id_map.find(hash);
        if (!at.empty()) {
            if (at != file_path) {
                hash_taken = true;
            } else if (in_target.empty()) {
                return hash;
            }
        }
        const file_id_t known = root.find_displaced(file_path, hash);
        if (known && !target.id_map.contains(known)) return known;
    }
    if (!hash_taken) return hash;
    // Another file has this hash: two paths are never merged into one file, so this one takes
    // the next id that no root uses. The map file records it with the path, as any other.
    file_id_t id = hash;
    for (;;) {
        ++id;
        if (id == 0) continue;
        bool used = false;
        for (const node_ptr& child : children) {
            if (static_cast<root_scope&>(*child).id_map.contains(id)) {
                used = true;
                break;
            }
        }
        if (!used && !leaving(id)) return id;
    }
}

void TagsHolder::remove_tags(const std::vector<std::wstring>& paths, const tree_node& previous) {
    root_scope* root = root_named(previous.name);
    if (!root) return;
    node_ptr keep = root->shared_from_this();
    // Removing from tags that were not read, or from a root whose map was not, would lose ids.
    root->require_read(true);
    for (const std::wstring& file_path : paths) {
        for (const file_id_t id : root->find_ids_any_case(file_path, file_id(file_path))) {
            if (root->remove_file(id, &previous)) {
                drop_child(root);
                return;
            }
        }
    }
}

bool TagsHolder::set_tags(const std::vector<std::wstring>& paths, const tree_ptr& tree, const tree_ptr& previous) {
    store_section section(*this, false);
    if (paths.empty() || (!tree && !previous)) return false;
    changed();
    append_batch batch;
    if (previous) {
        const bool same_root = tree && util::same_name(tree->name, previous->name);
        if (tree_ptr dropped = tags_dropped(*previous, same_root ? tree.get() : nullptr)) {
            remove_tags(paths, *dropped);
        }
        if (!tree) {
            batch.flush();
            refresh_views(previous->name);
            return true;
        }
    }
    for (const std::wstring& file_path : paths) check_path(file_path);
    root_scope* root = root_named(tree->name);
    const bool made = !root;
    if (made) root = create_root(tree->name);
    node_ptr keep = root->shared_from_this();
    add_files(*root, paths, *tree);
    batch.flush();
    refresh_views(tree->name, made);
    return true;
}

void TagsHolder::follow_rename(const std::wstring& old_path, const std::wstring& new_path) {
    store_section section(*this, false);
    follow_move(old_path, new_path, nullptr);
}

void TagsHolder::follow_folder_rename(const std::wstring& from, const std::wstring& to) {
    store_section section(*this, false);
    if (from.empty() || to.empty()) return;
    // Every tagged spelling of the folder and of each path below it is a move of its own: the
    // moves look their old paths up as they are spelled.
    move_facts facts = move_facts();
    facts.spellings_listed = true;
    // Into a folder where no root holds a path (the usual rename): no new path needs looking up.
    facts.targets_free = collect_below(to, true).empty();
    std::vector<std::pair<file_id_t, std::wstring> > below = collect_below(from, true);
    std::vector<path_move> moves;
    moves.reserve(below.size());
    for (auto& entry : below) {
        std::wstring moved;
        moved.reserve(to.size() + entry.second.size() - from.size());
        moved.append(to).append(entry.second, from.size(), std::wstring::npos);
        moves.push_back(path_move{std::move(entry.second), std::move(moved), nullptr});
    }
    follow_moves(moves, facts);
}

void TagsHolder::follow_renames(const std::vector<std::pair<std::wstring, std::wstring> >& moves) {
    store_section section(*this, false);
    std::vector<path_move> all;
    all.reserve(moves.size());
    for (const std::pair<std::wstring, std::wstring>& move : moves) all.push_back({move.first, move.second, nullptr});
    follow_moves(all);
}

std::vector<std::wstring> TagsHolder::follow_move(const std::wstring& old_path, const std::wstring& new_path,
                                                  const file_identity* identity) {
    return follow_moves(std::vector<path_move>(1, path_move{old_path, new_path, identity}));
}

namespace {

// From this many moves on, the roots' indexes of moved files are built together.
const std::size_t bulk_moves = 256;

bool nothing_to_follow(const std::wstring& old_path, const std::wstring& new_path) {
    return old_path == new_path || new_path.empty() || new_path.size() > max_stored_path;
}

void note_followed(std::vector<std::wstring>& followed, const std::wstring& root_name) {
    if (std::find(followed.begin(), followed.end(), root_name) == followed.end()) followed.push_back(root_name);
}

}  // namespace

std::vector<std::wstring> TagsHolder::follow_moves(const std::vector<path_move>& moves, const move_facts& facts) {
    std::vector<std::wstring> followed;
    std::vector<file_id_t> old_hashes;
    old_hashes.reserve(moves.size());
    for (const path_move& move : moves) old_hashes.push_back(file_id(move.old_path));
    // The moves file of an earlier request that is still to be let go is finished first: this
    // one's moves file takes its place. Moves it could not finish stay in the new one. Only
    // while writing at once: deferred writing writes no moves file, and its repaths would not be
    // on disk when the old one went.
    std::vector<kept_id_move> shared;
    if (moves_left_ && g_immediate_write) {
        finish_left_moves();
        if (moves_left_ && !some_roots_) pending_moves::read(path, shared);
    }
    shared.reserve(shared.size() + moves.size());
    std::size_t secured = 0;  // how many of them the moves file holds
    // Before the first map is written: the records wait in the batch until then, and a run
    // with new ids writes the maps it touches.
    const auto secure = [&] {
        if (shared.size() == secured) return;
        try {
            pending_moves::write(path, shared);
            secured = shared.size();
        } catch (const store_error&) {
            // The appends are made all the same: only a crash among them, on a disk that has
            // just refused a write, would go unmended.
        }
    };
    // Every root that does not hold a moved path looks it up among its moved files, whose
    // index it builds at the first such lookup by hashing each path it holds. For many moves
    // the store's paths, which the roots share, are hashed once for them all, in order.
    if (moves.size() >= bulk_moves) {
        const auto unindexed = [](const node_ptr& child) { return !static_cast<root_scope&>(*child).displaced_indexed(); };
        if (std::any_of(children.begin(), children.end(), unindexed)) {
            const std::vector<file_id_t> hashes = paths_->entry_hashes();
            for (const node_ptr& child : children) static_cast<root_scope&>(*child).index_displaced(hashes);
        }
    }
    try {
        // The map records wait here until the tag files are to be written.
        append_batch batch;
        // In order, as one by one: a run of moves that cannot keep their ids follows with new
        // ids (their judgement may change once the run is applied, so the move after it is
        // judged again).
        for (std::size_t i = 0; i < moves.size();) {
            // Each move looks its old path up in every root, and in a large map each lookup
            // misses the cache: the slots, and then the paths, are asked for a few moves ahead.
            for (const node_ptr& child : children) {
                const root_scope& root = static_cast<const root_scope&>(*child);
                if (i + 8 < moves.size()) root.prefetch_lookup(old_hashes[i + 8]);
                if (i + 4 < moves.size()) root.id_map.prefetch_path(old_hashes[i + 4]);
            }
            if (follow_keeping_id(moves[i], old_hashes[i], facts, followed, shared)) {
                ++i;
                continue;
            }
            std::size_t end = i + 1;
            while (end < moves.size() && !can_keep_id(moves[end], old_hashes[end], facts, nullptr, nullptr)) ++end;
            secure();
            follow_with_new_ids(moves, old_hashes, i, end, followed);
            i = end;
        }
        secure();
        batch.flush();
    } catch (const store_error&) {
        // Some maps may have the new paths: the next write gives them to the others.
        if (secured) moves_left_ = true;
        throw;
    }
    // The maps are flushed, and the moves file let go, by the next write section: the pass
    // that reads the moved files' identities opens one soon after, in the background (or the
    // next write does, here or in another process). A dozen flushes of a folder's rename need
    // not keep Explorer's thread waiting: the moves file, on disk before any record was
    // appended, answers for the records until then, and a crash replays them.
    if (secured) moves_left_ = true;
    return followed;
}

void TagsHolder::flush_maps_holding(const std::vector<kept_id_move>& moves) {
    for (const node_ptr& child : children) {
        root_scope& root = static_cast<root_scope&>(*child);
        if (std::any_of(moves.begin(), moves.end(), [&root](const kept_id_move& move) {
                return root.id_map.contains(move.id);
            })) {
            // Records that a failed append left waiting are written first.
            root.flush_appends();
            store::flush_file(root.map_path());
        }
    }
}

void TagsHolder::finish_left_moves() {
    moves_left_ = false;
    // A holder of some roots cannot see the others, which may still hold the old paths.
    if (some_roots_ || path.empty()) return;
    try {
        std::vector<kept_id_move> moves;
        if (pending_moves::read(path, moves)) {
            for (const node_ptr& child : children) {
                if (child->unread_count()) {
                    moves_left_ = true;  // it may hold an old path unseen
                    return;
                }
            }
            {
                append_batch batch;
                for (const kept_id_move& move : moves) {
                    for (const node_ptr& child : children) {
                        root_scope& root = static_cast<root_scope&>(*child);
                        if (root.id_map.find(move.id) == move.old_path) root.repath(move.id, move.new_path, nullptr);
                    }
                }
                batch.flush();
            }
            flush_maps_holding(moves);
            changed();
        }
        pending_moves::clear(path);
    } catch (const store_error&) {
        moves_left_ = true;
    }
}

bool TagsHolder::can_keep_id(const path_move& move, file_id_t old_hash, const move_facts& facts,
                             std::vector<root_scope*>* holders, file_id_t* kept) {
    if (kept) *kept = 0;
    if (nothing_to_follow(move.old_path, move.new_path)) return true;
    // Deferred writing saves root after root, with no moves file: a crash among them would
    // leave one id at two paths.
    if (!g_immediate_write) return false;
    const file_id_t new_hash = facts.targets_free ? 0 : file_id(move.new_path);
    file_id_t id = 0;
    std::size_t holding = 0;
    for (const node_ptr& child : children) {
        root_scope& root = static_cast<root_scope&>(*child);
        // Tags at the new path meet those of the file: they become one id.
        if (!facts.targets_free && root.find_id(move.new_path, new_hash)) return false;
        file_id_t found = 0;
        if (facts.spellings_listed) {
            found = root.find_id(move.old_path, old_hash);
        } else {
            const std::vector<file_id_t> any_case = root.find_ids_any_case(move.old_path, old_hash);
            // Spellings that an older version stored apart change their ids, as they always did.
            if (any_case.size() > 1) return false;
            if (!any_case.empty()) found = any_case[0];
        }
        if (!found) continue;
        // Roots that disagree, and a root whose tag files may hold the id unseen: the same.
        if ((id && found != id) || root.unread_count()) return false;
        id = found;
        ++holding;
        if (holders) holders->push_back(&root);
    }
    if (!id) return true;
    std::size_t containing = 0;
    for (const node_ptr& child : children) {
        const root_scope& root = static_cast<const root_scope&>(*child);
        if (root.leaving(id)) return false;
        if (root.id_map.contains(id)) ++containing;
    }
    // A root that knows the id by another spelling than the one looked up would keep it.
    if (containing != holding) return false;
    if (kept) *kept = id;
    return true;
}

bool TagsHolder::follow_keeping_id(const path_move& move, file_id_t old_hash, const move_facts& facts,
                                   std::vector<std::wstring>& followed, std::vector<kept_id_move>& shared) {
    std::vector<root_scope*> holders;
    holders.reserve(children.size());
    file_id_t id = 0;
    if (!can_keep_id(move, old_hash, facts, &holders, &id)) return false;
    if (!id) return true;
    // The one id of the file takes the new path in every root: its tag files stay as they are.
    if (holders.size() > 1) shared.push_back(kept_id_move{id, holders[0]->id_map.find(id).str(), move.new_path});
    for (root_scope* root : holders) {
        root->repath(id, move.new_path, move.identity);
        note_followed(followed, root->name);
    }
    changed();
    return true;
}

void TagsHolder::follow_with_new_ids(const std::vector<path_move>& moves, const std::vector<file_id_t>& old_hashes,
                                     std::size_t begin, std::size_t end, std::vector<std::wstring>& followed) {
    std::vector<node_ptr> roots = children;
    for (const node_ptr& node : roots) {
        root_scope& root = static_cast<root_scope&>(*node);
        // A root that was not read whole keeps the old path: its tag files may hold the old id
        // where memory cannot see it. The others follow all the same.
        if (root.unread_count()) continue;
        std::vector<std::pair<file_id_t, file_id_t> > renames;
        id_set old_ids;
        id_set new_ids;
        const auto apply = [&] {
            if (renames.empty()) return;
            rename_in_root(root, renames, old_ids);
            renames.clear();
            old_ids.clear();
            new_ids.clear();
        };
        bool touched = false;
        for (std::size_t i = begin; i < end; ++i) {
            const path_move& move = moves[i];
            if (nothing_to_follow(move.old_path, move.new_path)) continue;
            std::vector<file_id_t> found = root.find_ids_any_case(move.old_path, old_hashes[i]);
            // A file whose ids meet those of the renames gathered so far (an earlier file moved
            // onto its path, say) sees the map as those renames leave it, as one by one it would.
            const auto meets = [&] {
                return std::any_of(found.begin(), found.end(),
                                   [&](file_id_t id) { return old_ids.contains(id) || new_ids.contains(id); });
            };
            if (meets()) {
                apply();
                found = root.find_ids_any_case(move.old_path, old_hashes[i]);
            }
            if (found.empty()) continue;
            touched = true;
            // Spellings of one file that an older version stored apart become the new path's one id.
            for (const file_id_t old_id : found) {
                file_id_t new_id = id_for(root, move.new_path);
                if (old_ids.contains(new_id)) {
                    apply();
                    new_id = id_for(root, move.new_path);
                }
                // The new path may be the very spelling an old id stands for: that id stays.
                if (new_id == old_id) continue;
                // The map learns the new id (its record is written before any tag file holds it).
                root.register_path(new_id, move.new_path, move.identity);
                renames.emplace_back(old_id, new_id);
                old_ids.insert(old_id);
                new_ids.insert(new_id);
            }
        }
        apply();
        if (!touched) continue;
        changed();
        note_followed(followed, root.name);
    }
}

void TagsHolder::rename_in_root(root_scope& root, const std::vector<std::pair<file_id_t, file_id_t> >& renames,
                                const id_set& old_ids) {
    // The map learns the new ids before any tag file holds them, and loses the old ones only
    // when no tag holds them any more: whichever step fails, every id on disk stays known to
    // the map.
    root.flush_appends();
    {
        rewrite_batch rewrites;
        for (const node_ptr& child : root.children) child->replace_ids(renames, old_ids);
        rewrites.flush();
    }
    for (const std::pair<file_id_t, file_id_t>& rename : renames) root.forget_path(rename.first);
    root.rewrite_map();
}

node_ptr TagsHolder::find_node(const std::vector<std::wstring>& chain) const {
    node_ptr node;
    const base_node* current = this;
    for (const std::wstring& step : chain) {
        node = current->find_child(step);
        if (!node) return node_ptr();
        current = node.get();
    }
    return node;
}

bool TagsHolder::delete_node(const tree_node& chain) {
    store_section section(*this, false);
    std::vector<std::wstring> names;
    for (const tree_node* step = &chain; step; step = step->children.empty() ? nullptr : step->children[0].get()) {
        names.push_back(step->name);
    }
    node_ptr target = find_node(names);
    if (!target) return false;
    changed();
    std::unique_ptr<store_error> failed;
    // Through remove_child, so that a scope left empty goes as well.
    if (erase_tree(*target, failed)) target->parent->remove_child(target.get());
    if (failed) throw *failed;
    return true;
}

void TagsHolder::refresh_views(const std::wstring& root_name, bool made) {
    const util::lock_guard held = lock();
    if (!g_immediate_write) return;
    std::vector<view_key> views;
    for (const boost::shared_ptr<filtered_item>& context : contexts) {
        node_ptr shown = context->root.lock();
        if (!shown || !util::same_name(shown->name, root_name)) continue;
        context->drop_to(0);
        if (context->view) views.push_back(context->view);
    }
    view_listener* listener = listener_.load();
    if (!listener) return;
    if (!views.empty()) listener->views_changed(views);
    const root_change change = made ? root_made : root_named(root_name) ? root_kept : root_gone;
    listener->root_changed(root_name, change);
}

void TagsHolder::remove_all_tags(const std::vector<std::wstring>& paths, bool refresh) {
    store_section section(*this, false);
    changed();
    if (paths.empty()) return;
    std::vector<file_id_t> hashes;
    hashes.reserve(paths.size());
    for (const std::wstring& file_path : paths) hashes.push_back(file_id(file_path));
    std::vector<std::wstring> touched;
    bool refused = false;
    std::unique_ptr<store_error> failed;
    struct removal {
        node_ptr root;
        std::vector<file_id_t> ids;
        bool emptied;
    };
    std::vector<removal> removals;
    {
        // All paths at once, the tag files of every root together: each tag file is written
        // once, and each map once after the tag files of its root.
        rewrite_batch rewrites;
        std::vector<node_ptr> roots = children;
        for (const node_ptr& node : roots) {
            root_scope* root = static_cast<root_scope*>(node.get());
            if (!root->loaded) {
                refused = true;  // whether it holds the files cannot be known
                continue;
            }
            std::vector<file_id_t> ids;
            id_set seen;
            for (std::size_t i = 0; i < paths.size(); ++i) {
                for (const file_id_t id : root->find_ids_any_case(paths[i], hashes[i])) {
                    if (seen.insert(id)) ids.push_back(id);
                }
            }
            if (ids.empty()) continue;
            if (root->unread_count()) {
                refused = true;
                continue;
            }
            touched.push_back(root->name);
            removals.push_back(removal{node, std::move(ids), false});
            try {
                removals.back().emptied = root->remove_from_tags(removals.back().ids);
            } catch (const store_error& error) {
                // A tag file that could not be removed keeps its ids, in memory as on disk.
                if (!failed) failed.reset(new store_error(error));
            }
        }
        try {
            rewrites.flush();
        } catch (const store_error& error) {
            if (!failed) failed.reset(new store_error(error));
        }
    }
    for (const removal& done : removals) {
        root_scope* root = static_cast<root_scope*>(done.root.get());
        try {
            if (root->forget_unheld(done.emptied, done.ids)) drop_child(root);
        } catch (const store_error& error) {
            if (!failed) failed.reset(new store_error(error));
        }
    }
    if (refresh) {
        for (const std::wstring& root_name : touched) refresh_views(root_name);
    }
    if (failed) throw *failed;
    if (refused) throw store_error(error_cannot_open, ERROR_SHARING_VIOLATION);
}

std::vector<tree_ptr> TagsHolder::name_trees() {
    refresh();
    const util::lock_guard held = lock();
    std::vector<tree_ptr> result;
    for (const node_ptr& root : children) result.push_back(names_of(*root));
    return result;
}

std::vector<tree_ptr> TagsHolder::tags_of_paths(const std::vector<std::wstring>& paths) {
    refresh();
    const util::lock_guard held = lock();
    std::vector<file_id_t> hashes;
    for (const std::wstring& file_path : paths) hashes.push_back(file_id(file_path));
    std::vector<tree_ptr> result;
    for (const node_ptr& node : children) {
        root_scope* root = static_cast<root_scope*>(node.get());
        tree_ptr merged;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            std::vector<file_id_t> ids = root->find_ids_any_case(paths[i], hashes[i]);
            // A move to another root that ended while it gave the file a new id leaves the file
            // both ids in its old root, each in some of its tags, until the move is made again.
            if (ids.size() == 1 && ids[0] == hashes[i]) {
                if (const file_id_t second = root->find_displaced(paths[i], hashes[i])) ids.push_back(second);
            }
            for (const file_id_t id : ids) {
                tree_ptr tags = root->tags_of(id);
                if (!tags) continue;
                if (!merged) {
                    merged = tags;
                } else {
                    merge_names(*merged, *tags);
                }
            }
        }
        if (merged) result.push_back(merged);
    }
    return result;
}

std::vector<std::pair<file_id_t, std::wstring> > TagsHolder::tagged_paths() {
    refresh();
    const util::lock_guard held = lock();
    std::vector<std::pair<file_id_t, std::wstring> > result;
    id_set seen;
    for (const node_ptr& node : children) {
        const root_scope* root = static_cast<const root_scope*>(node.get());
        root->id_map.for_each([&](file_id_t id, const stored_path& file_path) {
            if (seen.insert(id)) result.emplace_back(id, file_path.str());
        });
    }
    return result;
}

std::vector<std::pair<file_id_t, std::wstring> > TagsHolder::tagged_below(const std::wstring& folder) {
    refresh();
    const util::lock_guard held = lock();
    return collect_below(folder, false);
}

std::vector<std::pair<file_id_t, std::wstring> > TagsHolder::collect_below(const std::wstring& folder,
                                                                          bool with_folder) const {
    std::vector<std::pair<file_id_t, std::wstring> > result;
    if (folder.empty()) return result;
    const bool ends_in_separator = folder.back() == L'\\';
    // Whether a path lies below `folder` is, but for a few, a question of its folder, which
    // the path store keeps once for all its files: each folder is asked once, not each path.
    enum verdict : std::uint8_t { outside, below, ask_path };
    const path_store& paths = *paths_;
    std::vector<std::uint8_t> verdicts(paths.folder_count(), outside);
    std::wstring scratch;
    for (std::uint32_t f = 0; f < verdicts.size(); ++f) {
        const std::wstring_view text = paths.folder_text(f);
        if (text.empty() || text.back() != L'\\') {
            verdicts[f] = ask_path;  // a name too long to keep apart from its folder
        } else if (text.size() > folder.size()) {
            const bool separated = ends_in_separator || text[folder.size()] == L'\\';
            if (separated && util::same_name(text.substr(0, folder.size()), folder)) verdicts[f] = below;
        } else if (text.size() == folder.size()) {
            // Its files' names go on where `folder` has ended with its separator.
            if (ends_in_separator && util::same_name(text, folder)) verdicts[f] = below;
        } else if (with_folder && util::same_name(std::wstring_view(folder).substr(0, text.size()), text)) {
            verdicts[f] = ask_path;  // a name of this folder may be `folder` itself
        }
    }
    if (std::all_of(verdicts.begin(), verdicts.end(), [](std::uint8_t v) { return v == outside; })) return result;
    for (std::size_t i = 0; i < children.size(); ++i) {
        const root_scope* root = static_cast<const root_scope*>(children[i].get());
        root->id_map.for_each_entry([&](file_id_t id, path_store::ref entry) {
            const std::uint8_t verdict = verdicts[paths.folder_index(entry)];
            if (verdict == outside) return;
            if (verdict == ask_path) {
                const stored_path stored = paths.at(entry);
                // The separator first: it turns away almost every path without a comparison.
                if (stored.size() < folder.size() || (stored.size() == folder.size() && !with_folder)) return;
                if (!ends_in_separator && stored.size() > folder.size() && stored[folder.size()] != L'\\') return;
                if (!util::same_name(stored.in(scratch).substr(0, folder.size()), folder)) return;
            }
            // As tagged_paths: an id that an earlier root knows is that root's file.
            for (std::size_t j = 0; j < i; ++j) {
                if (static_cast<const root_scope*>(children[j].get())->id_map.contains(id)) return;
            }
            result.emplace_back(id, paths.at(entry).str());
        });
    }
    return result;
}

std::size_t TagsHolder::unread_count() {
    refresh();
    const util::lock_guard held = lock();
    std::size_t count = 0;
    for (const node_ptr& node : children) count += node->unread_count();
    return count;
}

}  // namespace items
