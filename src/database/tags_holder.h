// The one tag database of the process: the top of the tag tree, whose children are the root
// tags. Every operation takes the database lock, so Explorer's threads, the loader, the
// watcher, the plug-in parse and the change tracker always see the tree whole.
//
// Other processes (other Explorers, other users, the command-line tool) use the same store.
// Every operation that writes also takes the store's lock, which those processes share, and
// first brings memory up to date with what they changed (listings do that too); see
// store_sync.cpp.
#pragma once

#include "database/navigation.h"
#include "database/nodes.h"
#include "database/pending_moves.h"
#include "database/shell_item.h"
#include "database/store_lock.h"
#include "util/unique_resource.h"

#include <windows.h>

#include <boost/weak_ptr.hpp>

#include <atomic>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace items {

// The process-wide, re-entrant database lock.
util::critical_section& database_lock();

class TagsHolder;
// The process's one database object: built on first use, never destroyed while the host runs.
TagsHolder& tags_holder();

// One change to the tag tree, as the tag dialog collects them before "Add" applies them.
// A merge gives the files of the tag `node` the tag `target` and removes `node`.
struct tree_edit {
    enum operation { create, rename, move, remove, merge };
    operation op = create;
    std::vector<std::wstring> node;    // names from the root tag down to the node
    node_kind kind = kind_tag;         // create: kind_root, kind_scope or kind_tag
    std::wstring new_name;             // create, rename; move: the name at the new place (empty: its own)
    std::vector<std::wstring> target;  // move: the new parent (empty: the top, as a root tag); merge: the tag
};

// Why the database refused a tree edit; a refused edit changed nothing.
enum class edit_refusal {
    none,            // done
    missing_node,    // no node of that chain
    missing_target,  // no parent, or tag merged into, of that chain
    name_taken,      // a sibling has the name, in any letter case
    name_unsafe,     // the name cannot be a file or folder name
    into_tag,        // a tag holds files, not nodes
    into_itself,     // a node into itself or below itself
    wrong_place,     // a tag or scope made at the top, a tag moved there, a root made below it
    not_a_tag,       // a merge is of two tags
    not_read,        // a root the edit needs all of could not be read whole
};

class TagsHolder : public base_node, private store::write_listener {
public:
    TagsHolder();
    ~TagsHolder() override;

    // The data folder, with a trailing backslash; roots live directly in it. Another folder
    // than the current one starts an empty tree (load_store reads it).
    void set_data_folder(const std::wstring& folder);

    // Starts the idle-priority loader thread; wait_loaded() returns once it has finished.
    void start_loader();
    // The database lock, taken once the start-up load has finished: a request that came before
    // would see a tree not read yet. Every operation takes it so; so must code that holds the
    // lock across several of them. The wait for the load has a bound (a loader held back at
    // idle priority must not keep Explorer waiting); the first section after it then loads.
    util::lock_guard lock();
    bool wait_loaded(DWORD timeout_ms);
    // What the loader does: read the data folder, then load every root. Tag files whose stamp
    // is the one recorded in the snapshot beside the maps are taken from it, not read. False
    // when the store could not be read under its lock (another process held it throughout):
    // memory then stays as it was, and the next section that has the lock loads the store.
    bool load_store();
    // For a process that only reads, and only from some roots (the tool's query): loads the
    // roots of these names (in any letter case) from the snapshot as load_store does, and no
    // other, now and at every later sync. Unlike the start-up load it prunes nothing and writes
    // no snapshot. Such a holder refuses every change (store_error), since the roots it did not
    // read decide ids too; a sync still repairs what it reads. False as for load_store.
    bool load_roots(const std::vector<std::wstring>& root_names);

    void read_folder(sync_pass& pass) override;
    bool remove_file(file_id_t, const tree_node*) override { return true; }
    void collect_ids(std::set<file_id_t>&) override {}
    void remove_child(base_node* node) override;
    void erase_from_disk() override {}
    void replace_id(file_id_t, file_id_t) override {}
    void save() override;

    // The path of file `id`. In stores written before ids were unique across roots one id may
    // name files of two roots: an item listed below root `in_root` names that root's file. Where
    // `in_root` names no root (the top, a query level), the first root that knows the id answers.
    root_scope* find_path(file_id_t id, std::wstring& path, const std::wstring& in_root = std::wstring());
    // With a path: the first root that holds that path; else the first that holds the id.
    root_scope* find_root(const std::wstring* path, file_id_t id);
    // Gives every path the tags of `tree` (root name at its top); with `previous`, the tags of
    // `previous` that `tree` no longer names are removed first. Store errors pass out as store_error.
    bool set_tags(const std::vector<std::wstring>& paths, const tree_ptr& tree, const tree_ptr& previous);
    // The file moved: every root that holds it follows. A root that could not be read whole
    // keeps the old path (changing it unread could lose ids); the others follow.
    void follow_rename(const std::wstring& old_path, const std::wstring& new_path);
    // The same for many files at once (old path, new path; a folder's files when it moved):
    // each touched tag file and map is written once, not once per file.
    void follow_renames(const std::vector<std::pair<std::wstring, std::wstring> >& moves);
    // A folder renamed or moved: the folder and every tagged path below it, in any letter
    // case, follow as one request.
    void follow_folder_rename(const std::wstring& from, const std::wstring& to);

    // A drive whose volume came back under another letter: its tagged paths moved from one
    // drive root ("E:\\") to the other.
    struct volume_move {
        std::wstring from;
        std::wstring to;
        std::size_t files;
    };
    // What a re-link pass found (relink.cpp).
    struct relink_report {
        std::vector<std::pair<std::wstring, std::wstring> > moved;  // old path, new path, on one volume
        std::vector<volume_move> volume_moves;
        std::size_t missing = 0;  // tagged paths not there and not found elsewhere
        std::size_t folders_listed = 0;  // folders read whole (unchanged ones since the last pass are not)
    };
    // Finds the tagged files that are no longer at their paths by their file system identity
    // and follows each move as a reported rename does, also to the letter that a drive's volume
    // has now (volume_moves.h); records the identities that the identity files lack. The
    // database lock is held to collect and to apply, never while the files are looked at.
    relink_report relink_moved();
    // A listing met the file `id` missing: it is looked for on a thread of its own, and the
    // views of its roots reload when it is found. Returns at once.
    void relink_later(file_id_t id);
    // Waits until the work in the background is done: the re-link passes (after the start-up
    // load, and for listings) and the reading of the identities of files just tagged.
    bool wait_relinked(DWORD timeout_ms);
    // Deletes the node named by the chain with all below it; false when there is none. A file
    // that stays on disk (another program holds it) keeps its node and the nodes above it, and
    // the call then throws store_error once the rest is gone.
    bool delete_node(const tree_node& chain);
    // The views of the root and whatever lists it hear that it changed; `made`: this change
    // made the root (a root that is no longer there went with the change).
    void refresh_views(const std::wstring& root_name, bool made = false);

    // Removes every tag of each path, in every root; with `refresh`, the views of the touched
    // roots reload. Roots that could not be read keep theirs, and the call then throws
    // store_error once the others are done.
    void remove_all_tags(const std::vector<std::wstring>& paths, bool refresh);
    // The whole tag tree as name trees, one per root tag, in order.
    std::vector<tree_ptr> name_trees();
    // The tags that any of `paths` carries, one name tree per root that has some.
    std::vector<tree_ptr> tags_of_paths(const std::vector<std::wstring>& paths);
    // Applies the edits in order; stops at the first that fails and returns false.
    bool apply_edits(const std::vector<tree_edit>& edits);
    // Applies one edit, or says why not.
    edit_refusal apply_tree_edit(const tree_edit& edit);
    // The same for edits collected against the tree as it was shown some time before. The
    // database drops a root tag or scope that an edit leaves empty, while whoever collected the
    // edits still showed it and may have given it new children, a new name or a new place since:
    // such a container is made again before the edit that needs it, and the removal of a node
    // that went with its parent is done already.
    bool apply_collected_edits(const std::vector<tree_edit>& edits);
    // Gives every path exactly the tags of `trees` (one name tree per root tag): the other tags
    // they carry, in these roots or in any other, are taken off. Store errors pass out as
    // store_error.
    void replace_tags(const std::vector<std::wstring>& paths, const std::vector<tree_ptr>& trees);
    // Gives every path the tags of `chosen` and takes off those of `unchosen` (one name tree per
    // root tag each); every other tag a path carries stays as that path has it, so files that
    // held different tags keep their differences. Store errors pass out as store_error.
    void change_tags(const std::vector<std::wstring>& paths, const std::vector<tree_ptr>& chosen,
                     const std::vector<tree_ptr>& unchosen);
    // Each file and the tags it is to get, one name tree per root tag.
    struct file_tags {
        std::wstring path;
        std::vector<tree_ptr> trees;
        bool on_disk = true;  // false: the caller found no file there, so no identity is read
    };
    // Gives every file the tags of its trees, keeping the tags it has, as one request: every
    // touched tag file and map is written once. Missing roots, scopes and tags are made. Store
    // errors pass out as store_error.
    void give_tags(const std::vector<file_tags>& files);
    // How many roots and tags of the tree could not be read from the disk.
    // How many roots and tags of the store could not be read (held by another program, or a
    // root without its map); they refuse changes until they can be.
    std::size_t unread_count();
    // Every tagged file (id and path), each once, first root first.
    std::vector<std::pair<file_id_t, std::wstring> > tagged_paths();
    // Those of them that lie strictly below `folder` (util::is_same_or_below), without copying
    // the others: a folder's rename or deletion asks this of a store of any size.
    std::vector<std::pair<file_id_t, std::wstring> > tagged_below(const std::wstring& folder);

    // Folder navigation for the window that the folder layer knows as `view`.
    bool list_level(const std::vector<std::wstring>& path, view_key view, shell_item_list& out);
    void view_opened(view_key view);
    void view_closed(view_key view);
    // The layer that owns the windows; null (the default) leaves them alone.
    void set_view_listener(view_listener* listener) { listener_ = listener; }

    std::vector<boost::shared_ptr<filtered_item> > contexts;
    std::wstring unused;

private:
    friend class filtered_item;
    class store_section;

    root_scope* root_named(const std::wstring& root_name) const;
    root_scope* create_root(const std::wstring& root_name);
    node_ptr find_node(const std::vector<std::wstring>& chain) const;
    // The id under which `target` is to hold the path: the one a root knows it by, else its
    // hash, else (when another path has the hash) the next id no root uses.
    file_id_t id_for(root_scope& target, const std::wstring& path) { return id_for(target, path, file_id(path)); }
    // The same with `hash` = file_id(path).
    file_id_t id_for(root_scope& target, const std::wstring& path, file_id_t hash);
    // set_tags' additions to one root: each path's id and map record in the list's order, then
    // every tag the tree reaches gets the ids at once.
    void add_files(root_scope& root, const std::vector<std::wstring>& paths, const tree_node& tree);
    struct path_move {
        std::wstring old_path;
        std::wstring new_path;
        const file_identity* identity;
    };
    // Moves the tags of each old id (registered with its new id already) to the new id and
    // drops the old ids from the map.
    void rename_in_root(root_scope& root, const std::vector<std::pair<file_id_t, file_id_t> >& renames,
                        const id_set& old_ids);
    // follow_rename's work; returns the names of the roots that followed.
    std::vector<std::wstring> follow_move(const std::wstring& old_path, const std::wstring& new_path,
                                          const file_identity* identity);
    // What the caller of follow_moves knows of its moves; false unless it says so.
    struct move_facts {
        // Every tagged spelling of a moved file is a move of its own, so each old path is
        // looked up as it is spelled (a case-blind look-up indexes every path of every root).
        bool spellings_listed;
        // No root holds any of the new paths, each of which is a move's own: none is looked up.
        bool targets_free;
    };
    std::vector<std::wstring> follow_moves(const std::vector<path_move>& moves, const move_facts& facts = move_facts());
    // Whether the move can keep the file's id: no root knows the new path, and the old one is
    // one id in every root that holds it, each read whole. `holders` gets those roots and
    // `kept` the id (0 when no root holds the old path, or there is nothing to follow).
    bool can_keep_id(const path_move& move, file_id_t old_hash, const move_facts& facts,
                     std::vector<root_scope*>* holders, file_id_t* kept);
    // The move, its id kept (false, and nothing done, when it cannot be). An id that several
    // roots hold is noted in `shared` for the moves file.
    bool follow_keeping_id(const path_move& move, file_id_t old_hash, const move_facts& facts,
                           std::vector<std::wstring>& followed, std::vector<kept_id_move>& shared);
    // Each root's paths at `folder` (with_folder) or below it, an id that an earlier root
    // knows left out.
    std::vector<std::pair<file_id_t, std::wstring> > collect_below(const std::wstring& folder, bool with_folder) const;
    // Gives the new path to every id of a moves file that a crash or a failure left and that
    // a root still holds at its old path, then removes the file. Never throws: what could not
    // be done is tried again by the next write.
    void finish_left_moves();
    // Writes what the maps of the roots that hold any of the ids still owe, and flushes them.
    void flush_maps_holding(const std::vector<kept_id_move>& moves);
    // moves[begin, end) with new ids, each root's tag files rewritten once.
    void follow_with_new_ids(const std::vector<path_move>& moves, const std::vector<file_id_t>& old_hashes,
                             std::size_t begin, std::size_t end, std::vector<std::wstring>& followed);
    // The re-link pass over every tagged file, or over the files `only` names.
    relink_report relink(const std::vector<file_id_t>* only);
    static DWORD WINAPI loader_thread(void* holder);
    static DWORD WINAPI relink_thread(void* holder);
    void relink_queued();
    void background_started();
    void background_ended();
    // The identities of new map entries (identity_pass.cpp): handed over by each root as the
    // outermost store section ends, read on a thread of their own with no lock held, and kept
    // under the lock in short sections, so that a menu (which only tries the lock) built
    // meanwhile is not left empty.
    struct identity_job {
        boost::weak_ptr<base_node> root;
        root_scope::unidentified_file file;
    };
    void queue_identities();
    static DWORD WINAPI identity_thread(void* holder);
    void identify_queued();
    void keep_identities(const std::vector<identity_job>& jobs, const std::vector<file_identity>& found);
    // Brings the files a journaled change wrote to disk, a few per store section.
    void flush_journal_files();
    // Takes the database lock, and for the outermost section the store's lock as well; `got`
    // says whether that was had (store_sync.cpp).
    util::lock_guard enter_section(bool listing, store_lock::outcome& got);
    // Brings memory up to date with the store (store_sync.cpp).
    void sync(bool full_load, bool reread_all);
    void write_snapshot();
    // Before a listing or a lookup that callers show: syncs when another process wrote.
    void refresh();
    void before_write() override;
    void remove_tags(const std::vector<std::wstring>& paths, const tree_node& previous);
    edit_refusal apply_edit(const tree_edit& edit);
    // Makes the root tag and scopes of `chain` that are missing.
    bool ensure_containers(const std::vector<std::wstring>& chain);
    edit_refusal move_node(const node_ptr& node, const std::vector<std::wstring>& target, const std::wstring& new_name);
    edit_refusal merge_tag(const node_ptr& from, const std::vector<std::wstring>& into);
    boost::shared_ptr<filtered_item> context_for(view_key view, bool create);
    void changed() { ++generation_; }

    util::unique_handle loaded_event_;
    // Background re-link work: the listings' requests wait in the queue for one thread. The
    // queue's lock is never held while waiting for the database lock.
    util::critical_section relink_lock_;
    std::vector<file_id_t> relink_queue_;
    std::unordered_map<file_id_t, DWORD> relink_tried_;  // when each was last looked for
    bool relink_running_ = false;
    std::vector<identity_job> identity_queue_;  // guarded by relink_lock_ too
    bool identifying_ = false;
    bool journal_asked_ = false;  // a change left journaled files to flush; guarded by relink_lock_
    util::unique_handle identified_;  // set while no identity pass runs
    int background_jobs_ = 0;
    util::unique_handle background_idle_;
    std::atomic<bool> stopping_;
    std::atomic<bool> loading_;
    std::atomic<DWORD> loader_thread_;
    std::atomic<view_listener*> listener_;
    // Bumped by every change of the tree, so that views built before it are rebuilt.
    std::atomic<unsigned long> generation_;

    // The shared store, guarded by the database lock.
    store_lock store_lock_;
    int section_depth_ = 0;
    std::uint64_t seen_counter_ = store_lock::no_counter;  // when memory last matched the store
    bool synced_ = false;
    bool full_load_pending_ = false;  // the start-up load has not read the store yet
    bool reread_owed_ = false;  // a process died holding the store's lock: no stamp is trusted
    bool incomplete_ = false;  // something could not be read at the last sync
    bool store_busy_ = false;  // the last listing found the store held by another process
    DWORD store_busy_at_ = 0;
    DWORD synced_at_ = 0;
    bool announced_ = false;   // this section has moved the counter on
    store::write_listener* outer_listener_ = nullptr;
    // load_roots: the roots memory holds; the others are left out of every sync.
    bool some_roots_ = false;
    std::vector<std::wstring> only_roots_;
    bool syncing_ = false;
    // A moves file (pending_moves.h) was seen in the data folder, or left by a move here that
    // failed on the way: the next write section finishes it.
    bool moves_left_ = false;
    // The paths of every root's map, each kept once.
    std::shared_ptr<path_store> paths_ = std::make_shared<path_store>();
};

}  // namespace items
