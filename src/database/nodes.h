// The tag tree: root tags hold scopes and tags, scopes hold scopes and tags, tags hold the ids
// of the files that carry them. The tree mirrors a folder tree in the data folder: a root tag
// and a scope are folders, a tag is a file of ids, and each root has a map file (name + ".dat")
// from id to path beside its folder.
#pragma once

#include "database/id_tables.h"
#include "database/store_io.h"
#include "database/tree_nodes.h"

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace items {

enum node_kind : std::uint32_t {
    kind_root = 1,
    kind_scope = 2,
    kind_tag = 4,
    kind_holder = 128,
    kind_base = 256,
};

class base_node;
typedef boost::shared_ptr<base_node> node_ptr;
class root_scope;
class store_snapshot;
struct file_identity;

// One pass that brings the tree in memory up to date with the store on disk (store_sync.cpp):
// read_folder matches the nodes with the folders' entries and notes each file's stamp, load then
// reads what changed.
struct sync_pass {
    bool full_load = false;    // the start-up load: prunes what is empty, uses the snapshot
    bool reread_all = false;   // a process ended in the middle of a write: no stamp is trusted
    std::uint64_t now = 0;     // when the listings were made
    store_snapshot* snapshot = nullptr;
    bool map_changed = false;  // the map of the root being loaded was read anew
    bool map_checked = false;  // ...and the snapshot's ids were checked against that same map
    std::size_t files_read = 0;
    bool changed = false;      // memory changed
    bool incomplete = false;   // something could not be read
};

class base_node : public boost::enable_shared_from_this<base_node> {
public:
    base_node(const std::wstring& node_name, base_node* parent_node);
    virtual ~base_node();

    // Matches the children with the entries of the node's folder: new entries become nodes,
    // nodes whose entry is gone leave (unless they hold changes not yet written), and each
    // file's stamp is noted for load.
    virtual void read_folder(sync_pass& pass);
    // Reads what changed since memory last matched the disk; false when the node holds
    // nothing and must leave its parent.
    virtual bool load(sync_pass& pass);
    // Gives the file (known by `id`, its id in this root) the tags named by the children of
    // `tree`, creating missing nodes.
    virtual void add_file(file_id_t id, const std::wstring& path, const tree_node& tree);
    // Removes the file from the tags named by `tree`'s children (all tags when `tree` is null);
    // true when the node became empty and erased itself from disk.
    virtual bool remove_file(file_id_t id, const tree_node* tree) = 0;
    virtual bool ensure_folder(bool create);
    virtual void collect_ids(std::set<file_id_t>& ids) = 0;
    // Writes what deferred mode left unwritten.
    virtual void save();
    virtual void export_tree(const hashed_ptr& out);
    // Drops `node` from the children; a node left without children erases itself and climbs.
    virtual void remove_child(base_node* node);
    // The name tree of this file's tags at or below this node; null when it has none.
    virtual tree_ptr tags_of(file_id_t id);
    virtual void erase_from_disk() = 0;
    virtual void replace_id(file_id_t old_id, file_id_t new_id) = 0;
    // remove_file(id, nullptr) for every id of `gone` at once: each tag file below is written
    // once, however many of the ids it held. True when the node became empty and erased itself.
    virtual bool remove_ids(const id_set&) { return false; }
    // replace_id for every pair at once (old id -> new id, in the order the renames came): each
    // tag file below is written once.
    virtual void replace_ids(const std::vector<std::pair<file_id_t, file_id_t> >&, const id_set&) {}
    // Removes from `list` the ids that the root does not know.
    virtual void validate_ids(std::vector<file_id_t>& list);

    // The child of that name in any letter case (util::same_name), or null.
    node_ptr find_child(const std::wstring& child_name) const;
    // The data folder (with its trailing backslash), found at the top of the tree.
    const std::wstring& data_folder() const;
    // The root tag this node lies in (itself for a root); null above the roots.
    root_scope* root();
    // Re-derives `path` from the parent's (after a rename or a move), down the whole subtree.
    virtual void update_path();
    // Drops `node` from the children without touching the disk.
    void drop_child(base_node* node);
    // Read_folder found no entry for this node: whether it stays in memory, because it holds
    // changes not yet written or has never been written. Drops the children that do not stay.
    virtual bool stays_without_disk();
    // How many tags at or below this node could not be read.
    virtual std::size_t unread_count() const;

    std::wstring path;
    std::wstring name;
    std::vector<node_ptr> children;
    base_node* parent;
    std::uint32_t kind;
    bool clean;
    // The stamp of the node's file (a tag's file, a root's map) when memory last matched it,
    // and the stamp the last read_folder found.
    store::file_stamp stamp;
    store::file_stamp on_disk;

protected:
    // Creates the child for a name-tree node: a scope when it has children, else a tag.
    node_ptr create_child(const tree_node& request);
    // Creates the folders above this node that are missing (a save after another process
    // removed them).
    void ensure_parent_folders();

    // A folder that exists but cannot be listed now: its nodes stay as memory has them.
    void keep_as_is();
    // Nodes that a listing renamed to the disk's spelling, with the names they had before.
    typedef std::vector<std::pair<const base_node*, std::wstring> > respellings;
    // A listing met `entry`, another spelling of `node`'s name: the spelling to keep and the one
    // to fold into it (case_aliases.h). Memory's spelling is kept; between two spellings new to
    // memory, the one first in ordinal order, so that the listing's order does not decide.
    static std::pair<std::wstring, std::wstring> spellings_to_fold(const base_node& node, bool is_new,
                                                                   const std::wstring& entry,
                                                                   const respellings& respelled);
    // The end of a read_folder: drops the children the folder no longer has (unless they stay
    // without the disk and no new node of their name took their place) and adds `fresh`.
    void merge_children(const std::vector<node_ptr>& fresh, sync_pass& pass);

    bool seen_ = false;  // during read_folder: the folder has an entry for this node
    // Why the node's folder could not be listed at the last read_folder (0: it was). Its nodes
    // are not all known then: the node is not empty, and its root refuses what needs all tags.
    DWORD list_error_ = 0;

    friend class TagsHolder;  // matches the roots with the data folder's entries
};

class scope : public base_node {
public:
    scope(const std::wstring& node_name, base_node* parent_node);

    bool remove_file(file_id_t id, const tree_node* tree) override;
    void collect_ids(std::set<file_id_t>& ids) override;
    void erase_from_disk() override;
    void replace_id(file_id_t old_id, file_id_t new_id) override;
    bool remove_ids(const id_set& gone) override;
    void replace_ids(const std::vector<std::pair<file_id_t, file_id_t> >& renames, const id_set& old_ids) override;
};

class tag : public base_node {
public:
    tag(const std::wstring& node_name, base_node* parent_node);

    void read_folder(sync_pass&) override {}
    bool load(sync_pass& pass) override;
    void add_file(file_id_t id, const std::wstring& path, const tree_node& tree) override;
    bool remove_file(file_id_t id, const tree_node* tree) override;
    void collect_ids(std::set<file_id_t>& ids) override;
    void save() override;
    void export_tree(const hashed_ptr& out) override;
    void remove_child(base_node*) override {}
    tree_ptr tags_of(file_id_t id) override;
    void erase_from_disk() override;
    void replace_id(file_id_t old_id, file_id_t new_id) override;
    bool remove_ids(const id_set& gone) override;
    void replace_ids(const std::vector<std::pair<file_id_t, file_id_t> >& renames, const id_set& old_ids) override;
    bool stays_without_disk() override;
    std::size_t unread_count() const override { return unread_ ? 1 : 0; }

    bool contains(file_id_t id);
    // Adds the id unless present; true when it was added. Writes nothing.
    bool insert_id(file_id_t id);
    // add_file for each id in turn (those present already are left as they are), with one append.
    void add_ids(const std::vector<file_id_t>& added);
    // Writes the ids added since the last append: at once, or at the end of the current batch.
    void append_new_ids();
    void flush_appends();
    void rewrite();
    bool unread() const { return unread_; }

    // In the order they were added; each id once.
    std::vector<file_id_t> ids;

private:
    void build_index();
    bool erase_id(file_id_t id);
    // Drops from `ids` every id the index no longer holds, in one pass.
    void compact_ids();
    void set_ids(std::vector<file_id_t>& fresh);
    // Changes made while writing was deferred, in order, so that a sync can lay them over the
    // file another process changed meanwhile (true: added).
    void note_deferred(file_id_t id, bool added);
    // Replaces the file with every id in memory; the tag is then clean.
    void write_whole();
    // What write_whole does once the file holds every id in memory.
    void whole_written();
    // Before a bulk change of `ids`: an open rewrite batch takes the tag (and the ids its file
    // holds). True when the tag's rewrite waits in that batch.
    bool enlist_rewrite();
    friend class rewrite_batch;
    // Refuses to change a tag whose file could not be read: a write from memory would drop
    // the ids in the file.
    void require_read() const;

    // Membership index over `ids`, built on first use so that a load pays nothing for it.
    id_set index_;
    bool indexed_ = false;
    // ids[unwritten_from_ ..] were added in a batch and are not on disk yet.
    std::size_t unwritten_from_ = 0;
    bool in_batch_ = false;
    bool in_rewrite_batch_ = false;
    bool unread_ = false;         // its file could not be read
    bool must_rewrite_ = false;   // an append or a repair failed: the file may be torn
    std::vector<std::pair<file_id_t, bool> > deferred_;
};

class root_scope : public scope {
public:
    // `paths`: where its map keeps its paths, shared by every root of the store.
    root_scope(const std::wstring& node_name, base_node* parent_node, std::shared_ptr<path_store> paths);
    ~root_scope() override;

    bool load(sync_pass& pass) override;
    void add_file(file_id_t id, const std::wstring& path, const tree_node& tree) override;
    bool remove_file(file_id_t id, const tree_node* tree) override;
    // remove_file(id, nullptr) for every id of `files` at once, in two steps so that several
    // roots can write their tags together: first the tags (each tag file written once, or left
    // to the open rewrite batch; true when no tag is left), then, once the tag files are
    // written, forget_unheld with that answer and the same files: the map once after them. True
    // when the root became empty and erased itself.
    bool remove_from_tags(const std::vector<file_id_t>& files);
    bool forget_unheld(bool emptied, const std::vector<file_id_t>& files);
    void save() override;
    void erase_from_disk() override;
    void validate_ids(std::vector<file_id_t>& list) override;
    void update_path() override;
    bool stays_without_disk() override;

    std::wstring map_path() const { return path + L".dat"; }
    // The file of the identities of the map's files, beside the map (identity_file.h).
    std::wstring identity_path() const;
    // Deletes that file, when there is one.
    void delete_identity_file() const;
    // Registers id -> path (map entry and map record) unless the id is known already. A new
    // entry's file identity is recorded too: `identity` when the caller knows it, else it is
    // read from the file later, with no lock held (take_unidentified), unless the caller found
    // no file at the path (`on_disk` false): the re-link pass records it once it is there.
    void register_path(file_id_t id, const std::wstring& file_path, const file_identity* identity = nullptr,
                       bool on_disk = true);
    // Gives the file `id` the path it was moved to and keeps its id, so that no tag file
    // changes: the map appends one record, which wins over the old path's. Its identity is
    // `identity` or read again later, as a new entry's is.
    void repath(file_id_t id, const std::wstring& file_path, const file_identity* identity);
    // Room for `count` new entries of `characters` in all, about to be registered by one bulk
    // request: the map, the records to append and the identities to read each grow once.
    void expect_paths(std::size_t count, std::size_t characters);
    // A new entry whose identity is still to be read; `mark` tells this registration of the id
    // from any later one.
    struct unidentified_file {
        file_id_t id;
        std::wstring path;
        std::uint64_t mark;
    };
    // Hands over the entries registered since the last call, for TagsHolder's identity pass.
    std::vector<unidentified_file> take_unidentified();
    // What the pass read for one of them. Kept only while the map holds that very registration:
    // a file untagged or renamed since gets none, and one tagged again is read again.
    void identified(const unidentified_file& file, const file_identity& identity);
    // Appends the identity records kept so far to the identity file (only ever a help: a
    // failure is left to the next re-link pass).
    void write_identities();
    // Drops the id from the map (written with the next rewrite). While writing is deferred, the
    // map file keeps it until every tag file of the root has been saved without it.
    void forget_path(file_id_t id);
    // Whether the map file may still hold the id for tag files not saved yet: no other file may
    // take it meanwhile.
    bool leaving(file_id_t id) const;
    void flush_appends();
    // Writes the whole map file anew (immediate mode) or marks the root not clean.
    void rewrite_map();
    // Writes the map as memory has it to `file`, as one step (the map of a root about to be
    // renamed or made is written before its folder moves). Throws store_error.
    void write_map(const std::wstring& file) const;

    // The id this root knows `file_path` by; 0 when it does not hold the path. `hash` is
    // file_id(file_path). Usually the hash itself; another id when the hash was taken by
    // another path when this one came.
    file_id_t find_id(const std::wstring& file_path, file_id_t hash);
    file_id_t find_id(const std::wstring& file_path) { return find_id(file_path, file_id(file_path)); }
    // The same for a path whose hash this root does not hold as that path.
    file_id_t find_displaced(const std::wstring& file_path, file_id_t hash);
    // Asks for what find_id(path, hash) will read first, a few lookups ahead of it.
    void prefetch_lookup(file_id_t hash) const;
    // Builds the index find_displaced needs, unless built, from the hashes of the store's
    // entries (path_store::entry_hashes).
    void index_displaced(const std::vector<file_id_t>& entry_hashes);
    bool displaced_indexed() const { return displaced_indexed_; }
    // The ids this root knows the file at `file_path` by: find_id's when it holds that very
    // spelling, else those of the spellings that differ from it in letter case only (one file
    // for Windows, but another hash). Lookups that must not miss a tagged file use it; the
    // case-blind index behind it is built on the first miss.
    std::vector<file_id_t> find_ids_any_case(const std::wstring& file_path, file_id_t hash);
    // Throws unless the map was read (and, with `all_tags`, every tag file too): nothing
    // may write a root that was not read.
    void require_read(bool all_tags) const;
    std::size_t unread_count() const override;
    // The map when it holds exactly what its file does (nothing unwritten, nothing kept in the
    // file for tags not saved yet), else null; and how many records in the file are replaced.
    const path_map* map_as_on_disk() const;
    std::size_t superseded() const { return superseded_; }

    boost::function<void()> callback;  // kept for callers; the database never calls it
    path_map id_map;  // file id -> full path of every file tagged under this root
    bool loaded;

private:
    bool read_map(sync_pass& pass);
    // The indexes and the identity to read for a path the map has just taken for `id`.
    void note_new_path(file_id_t id, const std::wstring& file_path, const file_identity* identity, bool on_disk);
    void append_record(file_id_t id, const std::wstring& file_path);
    void note_displaced(file_id_t id, std::wstring_view file_path, bool added) {
        note_displaced_hash(id, file_id(file_path), added);
    }
    // The same given file_id of the path.
    void note_displaced_hash(file_id_t id, file_id_t hash, bool added);
    void note_spelling(file_id_t id, std::wstring_view file_path, bool added);
    void index_displaced();
    void forget_path_indexes();
    void written();

    std::vector<unsigned char> unwritten_records_;
    // The identities of new entries: those still to be read (and each id's latest registration
    // until its identity comes back), and identity records still to be written.
    std::vector<unidentified_file> unidentified_;
    id_numbers identity_marks_;
    std::vector<unsigned char> unwritten_identities_;
    bool in_batch_ = false;
    // The next write replaces the file whole: a failed append may have left torn bytes, or
    // records of old paths outnumber the live ones.
    bool must_rewrite_ = false;
    std::size_t superseded_ = 0;   // records in the file that a later record for their id replaced
    std::size_t unread_tags_ = 0;  // counted by each load
    DWORD read_error_ = 0;         // why the map could not be read
    // Map changes made while writing was deferred, in order (an empty path: the id left).
    std::vector<std::pair<file_id_t, std::wstring> > deferred_;
    // Ids forgotten while writing was deferred, with their paths: tag files on disk hold them
    // until save has written every tag of the root.
    std::vector<std::pair<file_id_t, std::wstring> > leaving_;
    // Ids whose path does not hash to them, keyed by the hash of their path; built on first
    // use, since every path of the map must be hashed for it.
    keyed_ids displaced_;
    bool displaced_indexed_ = false;
    // Every id, keyed by spelling_key of its path; built on the first case-blind miss.
    keyed_ids spellings_;
    bool spellings_indexed_ = false;
};

// Collects the appends of one bulk operation so that every touched file is opened once.
// While a batch is open on a thread, tags and roots queue their appends in it; flush() writes
// them all. Only one batch is open at a time (bulk operations run under the database lock).
class append_batch {
public:
    append_batch();
    ~append_batch();  // an unflushed batch is flushed, ignoring errors
    append_batch(const append_batch&) = delete;
    append_batch& operator=(const append_batch&) = delete;

    // Writes every queued append. A tag whose file cannot be written loses the ids of this
    // batch again (the disk never knew them); the first failure is rethrown after all the
    // others have been written.
    void flush();

    static append_batch* current();
    // Leaves the node's appends to the thread's open batch, if there is one (enlisting the node
    // once); false when there is none and the node must write them itself.
    template <typename Node>
    static bool defer(Node* node, bool& enlisted) {
        append_batch* batch = current();
        if (!batch) return false;
        if (!enlisted) {
            enlisted = true;
            batch->enlist(node);
        }
        return true;
    }
    void enlist(tag* node);
    void enlist(root_scope* node);

private:
    std::vector<boost::shared_ptr<base_node> > tags_;
    std::vector<boost::shared_ptr<base_node> > roots_;
    append_batch* previous_;
};

// Collects the rewrites of the tags that one bulk removal or rename changes, so that they reach
// the disk together (store::replace_files) instead of one flush after another. While a batch is
// open on a thread, such a tag waits in it; flush() writes them all. A tag whose file could not
// be replaced goes back to the ids that file still holds.
class rewrite_batch {
public:
    rewrite_batch();
    ~rewrite_batch();  // an unflushed batch is flushed, ignoring errors
    rewrite_batch(const rewrite_batch&) = delete;
    rewrite_batch& operator=(const rewrite_batch&) = delete;

    // Writes every waiting tag; the first failure is rethrown once all have been tried.
    void flush();

    static rewrite_batch* current();
    void enlist(tag* node);

private:
    struct waiting {
        boost::shared_ptr<base_node> node;
        std::vector<file_id_t> on_disk;  // the ids its file holds
    };
    std::vector<waiting> tags_;
    rewrite_batch* previous_;
};

}  // namespace items
