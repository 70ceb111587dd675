// What the tag dialog's "Add" asks of the database: edits of the tag tree itself (create,
// rename, move, delete of root tags, scopes and tags), and the files' new choice of tags. Each
// edit changes the disk first and memory only when the disk change succeeded.
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
        const std::wstring_view known = root.id_map.find(id);
        if (!known.empty()) result.emplace_back(id, std::wstring(known));
    }
    return result;
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
        if (!apply_edit(edit)) return false;
    }
    return true;
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
        }
        if (!ready || !apply_edit(edit)) return false;
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
        if (!apply_edit(create)) return false;
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

bool TagsHolder::apply_edit(const tree_edit& edit) {
    if (edit.op == tree_edit::remove) {
        tree_ptr chain = make_chain(edit.node);
        return chain && delete_node(*chain);
    }
    if (edit.op == tree_edit::create) {
        if (!util::is_valid_file_name(edit.new_name)) return false;
        base_node* parent_node = this;
        node_ptr held;
        if (!edit.node.empty()) {
            held = find_node(edit.node);
            if (!held || held->kind == kind_tag) return false;
            parent_node = held.get();
        }
        if (parent_node->find_child(edit.new_name)) return false;
        if (parent_node == this) {
            if (edit.kind != kind_root) return false;
            create_root(edit.new_name);
            return true;
        }
        if (edit.kind == kind_root) return false;
        node_ptr child;
        if (edit.kind == kind_scope) {
            child.reset(new scope(edit.new_name, parent_node));
            if (!child->ensure_folder(true)) return false;
        } else {
            // A tag gets its file with its first file.
            child.reset(new tag(edit.new_name, parent_node));
        }
        parent_node->children.push_back(child);
        return true;
    }

    node_ptr node = find_node(edit.node);
    if (!node) return false;
    if (edit.op == tree_edit::rename) {
        if (!util::is_valid_file_name(edit.new_name)) return false;
        if (edit.new_name == node->name) return true;
        const node_ptr taken = node->parent->find_child(edit.new_name);
        if (taken && taken != node) return false;  // a change of letter case alone renames the node
        const std::wstring old_path = node->path;
        const std::wstring new_path = node->kind == kind_root ? path + edit.new_name
                                                               : node->parent->path + L'\\' + edit.new_name;
        if (!move_on_disk(old_path, new_path)) return false;
        if (node->kind == kind_root && !move_on_disk(old_path + L".dat", new_path + L".dat")) {
            move_on_disk(new_path, old_path);
            return false;
        }
        if (node->kind == kind_root) {
            // The identities go with the map; should they stay behind, the next re-link pass
            // records the files again from their paths.
            move_on_disk(static_cast<root_scope&>(*node).identity_path(), identity_table::path_for(path, edit.new_name));
        }
        node->name = edit.new_name;
        node->update_path();
        return true;
    }
    return move_node(node, edit.target);
}

bool TagsHolder::move_node(const node_ptr& node, const std::vector<std::wstring>& target_chain) {
    base_node* target = this;
    node_ptr held_target;
    if (!target_chain.empty()) {
        held_target = find_node(target_chain);
        if (!held_target || held_target->kind == kind_tag) return false;
        target = held_target.get();
    }
    if (is_inside(target, node.get()) || target == node->parent) return false;
    if (target->find_child(node->name)) return false;
    if (target == this && node->kind == kind_tag) return false;  // a root tag is a folder

    root_scope* from_root = node->root();
    root_scope* to_root = target == this ? nullptr : target->root();
    // A root that was not read would move without its files, or take files its map cannot
    // record: the move waits until it can be read.
    if (!read_whole(from_root) || !read_whole(to_root)) return false;
    base_node* old_parent = node->parent;
    const std::wstring new_path = target == this ? path + node->name : target->path + L'\\' + node->name;
    if (!move_on_disk(node->path, new_path)) return false;

    // The files below the node must stay known to the root that now holds it, or the next
    // load would drop their ids.
    std::vector<std::pair<file_id_t, std::wstring> > files;
    if (from_root && from_root != node.get()) files = paths_below(*node, *from_root);
    if (node->kind == kind_root) {
        const root_scope& moving = static_cast<const root_scope&>(*node);
        files.clear();
        moving.id_map.for_each([&files](file_id_t id, std::wstring_view file_path) {
            files.emplace_back(id, std::wstring(file_path));
        });
    }

    node_ptr moved = node;
    if (node->kind == kind_root || target == this) {
        // The kind changes with the place: a root below another root becomes a scope, a scope
        // at the top becomes a root tag.
        if (target == this) {
            boost::shared_ptr<root_scope> root(new root_scope(node->name, this));
            root->loaded = true;
            moved = root;
        } else {
            moved.reset(new scope(node->name, target));
        }
        moved->children.swap(node->children);
        for (const node_ptr& child : moved->children) child->parent = moved.get();
    }
    if (node->kind == kind_root) {
        drop_child(node.get());
    } else {
        old_parent->drop_child(node.get());
    }
    moved->parent = target;
    target->children.push_back(moved);
    moved->update_path();

    root_scope* new_root = target == this ? static_cast<root_scope*>(moved.get()) : to_root;
    append_batch batch;
    std::vector<std::pair<file_id_t, file_id_t> > renumbered;
    for (const auto& entry : files) {
        file_id_t id = entry.first;
        const std::wstring_view there = new_root->id_map.find(id);
        if (!there.empty() && there != entry.second) {
            // The new root knows this id as another file (two roots of an older store may): the
            // moved tags take the id the new root gives the path.
            id = id_for(*new_root, entry.second);
            renumbered.emplace_back(entry.first, id);
        }
        new_root->register_path(id, entry.second);
    }
    batch.flush();
    for (const auto& change : renumbered) moved->replace_id(change.first, change.second);
    // Only now that the new root's map knows the files may the old root's map go.
    if (node->kind == kind_root) {
        const root_scope& old_root = static_cast<const root_scope&>(*node);
        store::delete_file(old_root.map_path());
        old_root.delete_identity_file();
    }

    // The old parent may be empty now; it leaves like any emptied scope.
    if (node->kind != kind_root && old_parent->children.empty() && old_parent != this) {
        old_parent->erase_from_disk();
        if (old_parent->parent) old_parent->parent->remove_child(old_parent);
    }
    return true;
}

}  // namespace items
