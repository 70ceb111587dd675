// What the tag dialog's "Add" and the command-line tool ask of the database: edits of the tag
// tree itself (create, rename, move, delete of root tags, scopes and tags, merge of two tags),
// and the files' new choice of tags. Each edit changes the disk first and memory only when the
// disk change succeeded; a refused edit has changed nothing.
#include "database/store_section.h"

#include "database/identity_file.h"

#include "util/file_names.h"

#include <algorithm>
#include <set>

namespace items {

namespace {

bool is_inside(const base_node* node, const base_node* ancestor) {
    for (const base_node* step = node; step; step = step->parent == step ? nullptr : step->parent) {
        if (step == ancestor) return true;
    }
    return false;
}

// Moves the node's file or folder; a node with nothing on disk yet (a new, empty tag or scope)
// has nothing to move.
bool move_on_disk(const std::wstring& from, const std::wstring& to) {
    if (::GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    return store::move_path(from, to);
}

// Whether the root's map and all its tag files were read: files move out of or into a root
// only through its map.
bool read_whole(const root_scope* root) {
    return !root || root->unread_count() == 0;
}

// The paths of the files below `node`, taken from its root's map.
std::vector<std::pair<file_id_t, std::wstring> > paths_below(base_node& node, const root_scope& root) {
    std::set<file_id_t> ids;
    node.collect_ids(ids);
    std::vector<std::pair<file_id_t, std::wstring> > result;
    for (file_id_t id : ids) {
        const stored_path known = root.id_map.find(id);
        if (!known.empty()) result.emplace_back(id, known.str());
    }
    return result;
}

// A root's folder and its map are renamed in two steps. The map under the new name is written
// first, so that wherever a crash ends the rename, the folder that holds the tags has its map.
void rename_root(root_scope& root, const std::wstring& new_path) {
    const std::wstring old_map = root.map_path();
    const std::wstring new_map = new_path + L".dat";
    if (::CompareStringOrdinal(old_map.c_str(), static_cast<int>(old_map.size()), new_map.c_str(),
                               static_cast<int>(new_map.size()), TRUE) == CSTR_EQUAL) {
        // One file to the file system, which finds a map whose name differs only in case.
        if (!move_on_disk(root.path, new_path)) throw store_error(error_cannot_open);
        move_on_disk(old_map, new_map);
        return;
    }
    root.require_read(false);  // the new map is written from memory
    root.write_map(new_map);
    if (!move_on_disk(root.path, new_path)) {
        const DWORD error = ::GetLastError();
        store::delete_file(new_map);
        throw store_error(error_cannot_open, error);
    }
    // Should it stay, the old map only waits for a root of its name, which removes it.
    store::delete_file(old_map);
}

// The names from the root tag down to `node`, as the tree spells them.
std::vector<std::wstring> chain_of(const base_node& node) {
    std::vector<std::wstring> names;
    for (const base_node* step = &node; step->kind != kind_holder; step = step->parent) {
        names.insert(names.begin(), step->name);
    }
    return names;
}

tree_ptr tree_named(const std::vector<tree_ptr>& trees, const std::wstring& name) {
    for (const tree_ptr& tree : trees) {
        if (tree->name == name) return tree;
    }
    return tree_ptr();
}

// The tags that both `a` and `b` name, as a tree named as `a` (null when none).
tree_ptr shared_tags(const tree_node& a, const tree_node& b) {
    tree_ptr result;
    for (const tree_ptr& child : a.children) {
        const tree_node* other = b.find(child->name);
        if (!other || child->children.empty() != other->children.empty()) continue;
        tree_ptr shared = child->children.empty() ? child : shared_tags(*child, *other);
        if (!shared) continue;
        if (!result) result.reset(new tree_node(a.name));
        result->children.push_back(shared);
    }
    return result;
}

}  // namespace

bool TagsHolder::apply_edits(const std::vector<tree_edit>& edits) {
    store_section section(*this, false);
    changed();
    for (const tree_edit& edit : edits) {
        if (apply_edit(edit) != edit_refusal::none) return false;
    }
    return true;
}

edit_refusal TagsHolder::apply_tree_edit(const tree_edit& edit) {
    store_section section(*this, false);
    changed();
    return apply_edit(edit);
}

bool TagsHolder::apply_collected_edits(const std::vector<tree_edit>& edits) {
    store_section section(*this, false);
    changed();
    for (const tree_edit& edit : edits) {
        bool ready = true;
        switch (edit.op) {
        case tree_edit::remove:
            if (!find_node(edit.node)) continue;
            break;
        case tree_edit::create:
        case tree_edit::rename:
            // Only containers vanish unasked, so a missing node to rename was an emptied one.
            ready = ensure_containers(edit.node);
            break;
        case tree_edit::move:
            ready = ensure_containers(edit.node) && ensure_containers(edit.target);
            break;
        case tree_edit::merge:
            break;
        }
        if (!ready || apply_edit(edit) != edit_refusal::none) return false;
    }
    return true;
}

bool TagsHolder::ensure_containers(const std::vector<std::wstring>& chain) {
    tree_edit create;
    create.op = tree_edit::create;
    for (std::size_t length = 1; length <= chain.size(); ++length) {
        const std::vector<std::wstring> prefix(chain.begin(), chain.begin() + length);
        if (find_node(prefix)) continue;
        create.node.assign(prefix.begin(), prefix.end() - 1);
        create.kind = length == 1 ? kind_root : kind_scope;
        create.new_name = prefix.back();
        if (apply_edit(create) != edit_refusal::none) return false;
    }
    return true;
}

void TagsHolder::replace_tags(const std::vector<std::wstring>& paths, const std::vector<tree_ptr>& trees) {
    store_section section(*this, false);
    change_tags(paths, trees, tags_of_paths(paths));
}

void TagsHolder::change_tags(const std::vector<std::wstring>& paths, const std::vector<tree_ptr>& chosen,
                             const std::vector<tree_ptr>& unchosen) {
    // One section: no other writer comes between reading what the files hold and changing it.
    store_section section(*this, false);
    if (paths.empty()) return;
    // Only tags that one of the files holds are taken off: a root that none of them is in is
    // left alone, so that a root which cannot be read now does not refuse the change.
    const std::vector<tree_ptr> held = tags_of_paths(paths);
    std::vector<tree_ptr> dropped;
    for (const tree_ptr& tree : unchosen) {
        const tree_ptr in_files = tree_named(held, tree->name);
        if (!in_files) continue;
        if (tree_ptr both = shared_tags(*tree, *in_files)) dropped.push_back(both);
    }
    std::vector<std::wstring> roots;
    for (const tree_ptr& tree : chosen) roots.push_back(tree->name);
    for (const tree_ptr& tree : dropped) {
        if (std::find(roots.begin(), roots.end(), tree->name) == roots.end()) roots.push_back(tree->name);
    }
    // set_tags takes off the tags of its second tree that its first does not name: a tag both
    // chosen and unchosen stays.
    for (const std::wstring& root : roots) set_tags(paths, tree_named(chosen, root), tree_named(dropped, root));
}

edit_refusal TagsHolder::apply_edit(const tree_edit& edit) {
    if (edit.op == tree_edit::remove) {
        tree_ptr chain = make_chain(edit.node);
        return chain && delete_node(*chain) ? edit_refusal::none : edit_refusal::missing_node;
    }
    if (edit.op == tree_edit::create) {
        if (!util::is_valid_file_name(edit.new_name)) return edit_refusal::name_unsafe;
        base_node* parent_node = this;
        node_ptr held;
        if (!edit.node.empty()) {
            held = find_node(edit.node);
            if (!held) return edit_refusal::missing_target;
            if (held->kind == kind_tag) return edit_refusal::into_tag;
            parent_node = held.get();
        }
        if (parent_node->find_child(edit.new_name)) return edit_refusal::name_taken;
        if (parent_node == this) {
            if (edit.kind != kind_root) return edit_refusal::wrong_place;
            create_root(edit.new_name);
            return edit_refusal::none;
        }
        if (edit.kind == kind_root) return edit_refusal::wrong_place;
        node_ptr child;
        if (edit.kind == kind_scope) {
            child.reset(new scope(edit.new_name, parent_node));
            if (!child->ensure_folder(true)) throw store_error(error_cannot_open, ::GetLastError());
        } else {
            // A tag gets its file with its first file.
            child.reset(new tag(edit.new_name, parent_node));
        }
        parent_node->children.push_back(child);
        return edit_refusal::none;
    }

    node_ptr node = find_node(edit.node);
    if (!node) return edit_refusal::missing_node;
    if (edit.op == tree_edit::rename) {
        if (!util::is_valid_file_name(edit.new_name)) return edit_refusal::name_unsafe;
        if (edit.new_name == node->name) return edit_refusal::none;
        const node_ptr taken = node->parent->find_child(edit.new_name);
        if (taken && taken != node) return edit_refusal::name_taken;  // a change of letter case alone renames the node
        const std::wstring old_path = node->path;
        const std::wstring new_path = node->kind == kind_root ? path + edit.new_name
                                                               : node->parent->path + L'\\' + edit.new_name;
        if (node->kind == kind_root) {
            rename_root(static_cast<root_scope&>(*node), new_path);
            // The identities go with the map; should they stay behind, the next re-link pass
            // records the files again from their paths.
            move_on_disk(static_cast<root_scope&>(*node).identity_path(), identity_table::path_for(path, edit.new_name));
        } else if (!move_on_disk(old_path, new_path)) {
            throw store_error(error_cannot_open);
        }
        node->name = edit.new_name;
        node->update_path();
        return edit_refusal::none;
    }
    if (edit.op == tree_edit::merge) return merge_tag(node, edit.target);
    return move_node(node, edit.target, edit.new_name);
}

edit_refusal TagsHolder::move_node(const node_ptr& node, const std::vector<std::wstring>& target_chain,
                                   const std::wstring& new_name) {
    base_node* target = this;
    node_ptr held_target;
    if (!target_chain.empty()) {
        held_target = find_node(target_chain);
        if (!held_target) return edit_refusal::missing_target;
        if (held_target->kind == kind_tag) return edit_refusal::into_tag;
        target = held_target.get();
    }
    if (is_inside(target, node.get())) return edit_refusal::into_itself;
    const std::wstring name = new_name.empty() ? node->name : new_name;
    if (!util::is_valid_file_name(name)) return edit_refusal::name_unsafe;
    if (target == node->parent) {
        // A move that stays with its parent is a rename, or nothing to do.
        if (name == node->name) return edit_refusal::name_taken;
        tree_edit rename;
        rename.op = tree_edit::rename;
        rename.node = chain_of(*node);
        rename.new_name = name;
        return apply_edit(rename);
    }
    if (target->find_child(name)) return edit_refusal::name_taken;
    if (target == this && node->kind == kind_tag) return edit_refusal::wrong_place;  // a root tag is a folder

    root_scope* from_root = node->root();
    root_scope* to_root = target == this ? nullptr : target->root();
    // A root that was not read would move without its files, or take files its map cannot
    // record: the move waits until it can be read.
    if (!read_whole(from_root) || !read_whole(to_root)) return edit_refusal::not_read;
    const node_ptr keep_from = from_root->shared_from_this();
    base_node* old_parent = node->parent;
    const bool is_root = node->kind == kind_root;
    const std::wstring new_path = target == this ? path + name : target->path + L'\\' + name;

    // Every step below keeps each id that a tag file holds known to the map of the root the tag
    // file lies in, whichever step a crash or a failed write ends the move at: the root that
    // takes the files learns them before their tag files come, and the old root forgets them
    // only once they have left.
    std::vector<std::pair<file_id_t, std::wstring> > files;
    if (to_root != from_root) files = paths_below(*node, *from_root);
    std::vector<file_id_t> left_behind;  // the ids the old root knows the files by
    for (const auto& entry : files) left_behind.push_back(entry.first);
    boost::shared_ptr<root_scope> made;  // a scope moved to the top becomes this root
    if (target == this) {
        made.reset(new root_scope(name, this, paths_));
        made->loaded = true;
        for (const auto& entry : files) made->id_map.insert(entry.first, entry.second);
        // Beside the folder it is about to get; without that folder it is never read.
        made->write_map(made->map_path());
    } else if (to_root != from_root) {
        // Ids the new root knows as other files (two roots of an older store may share one id)
        // are replaced first, in the tag files where they are, their map knowing both ids:
        // moved with the old ids, the tags would go to those other files.
        std::vector<std::pair<file_id_t, file_id_t> > renumbered;
        {
            append_batch batch;
            for (auto& entry : files) {
                const stored_path there = to_root->id_map.find(entry.first);
                if (there.empty() || there == entry.second) continue;
                const file_id_t id = id_for(*to_root, entry.second);
                from_root->register_path(id, entry.second);
                renumbered.emplace_back(entry.first, id);
                left_behind.push_back(id);
                entry.first = id;
            }
            batch.flush();
        }
        for (const auto& change : renumbered) node->replace_id(change.first, change.second);
        append_batch batch;
        for (const auto& entry : files) to_root->register_path(entry.first, entry.second);
        batch.flush();
    }
    if (!move_on_disk(node->path, new_path)) {
        const DWORD error = ::GetLastError();
        if (made) store::delete_file(made->map_path());
        throw store_error(error_cannot_open, error);
    }

    node_ptr moved = node;
    if (is_root || made) {
        // The kind changes with the place: a root below another root becomes a scope, a scope
        // at the top becomes a root tag.
        if (made) {
            moved = made;
        } else {
            moved.reset(new scope(name, target));
        }
        moved->children.swap(node->children);
        for (const node_ptr& child : moved->children) child->parent = moved.get();
    }
    old_parent->drop_child(node.get());
    moved->name = name;
    moved->parent = target;
    target->children.push_back(moved);
    moved->update_path();

    if (is_root) {
        // Its map goes only now that the new root's map knows the files; should a crash leave
        // it, it waits for a root of its name.
        const root_scope& old_root = static_cast<const root_scope&>(*node);
        store::delete_file(old_root.map_path());
        old_root.delete_identity_file();
        return edit_refusal::none;
    }
    // The old parent may be empty now; it leaves like any emptied scope (a root with its map).
    if (old_parent->children.empty() && old_parent != this) {
        old_parent->erase_from_disk();
        if (old_parent->parent) old_parent->parent->remove_child(old_parent);
    }
    const bool old_root_stays = std::find(children.begin(), children.end(), keep_from) != children.end();
    if (left_behind.empty() || !old_root_stays) return edit_refusal::none;
    // The old root forgets the files that no tag of its own holds any more.
    bool forgot = false;
    for (const file_id_t id : left_behind) {
        if (!from_root->id_map.contains(id) || from_root->tags_of(id)) continue;
        from_root->forget_path(id);
        forgot = true;
    }
    if (forgot) from_root->rewrite_map();
    return edit_refusal::none;
}

edit_refusal TagsHolder::merge_tag(const node_ptr& from, const std::vector<std::wstring>& into_chain) {
    const node_ptr into = find_node(into_chain);
    if (!into) return edit_refusal::missing_target;
    if (from->kind != kind_tag || into->kind != kind_tag) return edit_refusal::not_a_tag;
    if (into == from) return edit_refusal::into_itself;
    root_scope* from_root = from->root();
    // The files are known by the ids of the tag's root, whose map must be read to name them.
    if (!read_whole(from_root) || !read_whole(into->root())) return edit_refusal::not_read;
    std::vector<std::wstring> paths;
    for (const auto& entry : paths_below(*from, *from_root)) paths.push_back(entry.second);
    // The files have the tag they go to before the one they leave goes: a crash between the two
    // leaves them with both, never with neither.
    if (!paths.empty()) set_tags(paths, make_chain(chain_of(*into)), tree_ptr());
    delete_node(*make_chain(chain_of(*from)));
    return edit_refusal::none;
}

}  // namespace items
