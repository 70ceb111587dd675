#include "database/nodes.h"

#include "util/file_names.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <algorithm>

namespace items {

file_id_t file_id(const std::wstring& path) {
    file_id_t h = 0;
    for (wchar_t c : path) h = h * 33 + static_cast<std::uint16_t>(c);
    return h;
}

base_node::base_node(const std::wstring& node_name, base_node* parent_node)
    : name(node_name), parent(parent_node), kind(kind_base), clean(true) {
    if (parent) path = parent->path + L'\\' + name;
}

base_node::~base_node() {}

bool base_node::load() {
    for (std::size_t i = 0; i < children.size();) {
        node_ptr child = children[i];
        if (child->load()) {
            ++i;
        } else {
            // The child may already have left (a root erasing itself does); drop it by pointer.
            std::vector<node_ptr>::iterator it = std::find(children.begin(), children.end(), child);
            if (it != children.end()) children.erase(it);
            i = std::min<std::size_t>(i, children.size());
        }
    }
    if (children.empty()) {
        erase_from_disk();
        return false;
    }
    return true;
}

void base_node::read_folder() {
    WIN32_FIND_DATAW data;
    util::unique_find find(store::find_first(path + L"\\*", data));
    if (!find) return;
    std::vector<node_ptr> found;
    do {
        const std::wstring entry = data.cFileName;
        if (entry == L"." || entry == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            node_ptr child(new scope(entry, this));
            child->read_folder();
            if (child->children.empty()) {
                ::RemoveDirectoryW(child->path.c_str());
                continue;
            }
            found.push_back(child);
        } else {
            found.push_back(node_ptr(new tag(entry, this)));
        }
    } while (::FindNextFileW(find.get(), &data));
    children.insert(children.end(), found.begin(), found.end());
}

node_ptr base_node::create_child(const tree_node& request) {
    if (!util::is_valid_file_name(request.name)) throw store_error(error_invalid_name);
    node_ptr child;
    if (request.children.empty()) {
        child.reset(new tag(request.name, this));
    } else {
        child.reset(new scope(request.name, this));
        if (!child->ensure_folder(true)) throw store_error(error_folder_not_created);
    }
    children.push_back(child);
    return child;
}

void base_node::add_file(const std::wstring& file_path, const tree_node& tree) {
    for (const tree_ptr& request : tree.children) {
        node_ptr child = find_child(request->name);
        if (!child) child = create_child(*request);
        child->add_file(file_path, *request);
    }
}

bool base_node::ensure_folder(bool create) {
    if (util::folder_exists(path)) return true;
    if (!create) return false;
    return store::create_folder(path);
}

void base_node::save() {
    for (const node_ptr& child : children) {
        try {
            child->save();
        } catch (const store_error&) {
            // Its file stays as it was on disk. The node stays too, still not clean, so that the
            // next save tries again: dropped, it would come back later as a new, empty node over
            // the files it left.
        }
    }
}

void base_node::export_tree(const hashed_ptr& out) {
    out->name = name;
    out->children.reserve(children.size());
    std::vector<std::uint32_t> all;
    for (const node_ptr& child : children) {
        hashed_ptr node(new hashed_tree_node);
        node->parent = out;
        out->children.push_back(node);
        child->export_tree(node);
        all.insert(all.end(), node->ids.begin(), node->ids.end());
    }
    // The union of the children's files, each once: a file with two tags of one scope counts once.
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    out->ids.swap(all);
}

void base_node::drop_child(base_node* node) {
    for (std::vector<node_ptr>::iterator it = children.begin(); it != children.end(); ++it) {
        if (it->get() == node) {
            children.erase(it);
            return;
        }
    }
}

void base_node::remove_child(base_node* node) {
    const std::size_t before = children.size();
    node_ptr keep_alive = node ? node->shared_from_this() : node_ptr();
    drop_child(node);
    if (children.size() == before || !children.empty()) return;
    erase_from_disk();
    if (parent && parent != this) parent->remove_child(this);
}

tree_ptr base_node::tags_of(file_id_t id) {
    tree_ptr result;
    for (const node_ptr& child : children) {
        tree_ptr below = child->tags_of(id);
        if (!below) continue;
        if (!result) result.reset(new tree_node(name));
        result->children.push_back(below);
    }
    return result;
}

void base_node::validate_ids(std::vector<file_id_t>& list) {
    if (parent && parent != this) parent->validate_ids(list);
}

node_ptr base_node::find_child(const std::wstring& child_name) const {
    for (const node_ptr& child : children) {
        if (child->name == child_name) return child;
    }
    return node_ptr();
}

const std::wstring& base_node::data_folder() const {
    const base_node* node = this;
    while (node->parent && node->parent != node) node = node->parent;
    return node->path;
}

void base_node::update_path() {
    if (parent) path = parent->path + L'\\' + name;
    for (const node_ptr& child : children) child->update_path();
}

// ---- scope

scope::scope(const std::wstring& node_name, base_node* parent_node) : base_node(node_name, parent_node) {
    kind = kind_scope;
}

bool scope::remove_file(file_id_t id, const tree_node* tree) {
    for (std::size_t i = 0; i < children.size();) {
        node_ptr child = children[i];
        const tree_node* request = nullptr;
        if (tree) {
            request = tree->find(child->name);
            if (!request) {
                ++i;
                continue;
            }
            // A leaf of the request names the whole child, whatever lies below it.
            if (request->children.empty()) request = nullptr;
        }
        if (child->remove_file(id, request)) {
            children.erase(children.begin() + i);
        } else {
            ++i;
        }
    }
    if (children.empty()) {
        erase_from_disk();
        return true;
    }
    return false;
}

void scope::collect_ids(std::set<file_id_t>& ids) {
    for (const node_ptr& child : children) child->collect_ids(ids);
}

void scope::erase_from_disk() {
    util::remove_folder_tree(path, util::removal::best_effort);
}

void scope::replace_id(file_id_t old_id, file_id_t new_id) {
    for (const node_ptr& child : children) child->replace_id(old_id, new_id);
}

// ---- name trees

tree_ptr tree_node::add(const std::wstring& child_name) {
    tree_ptr child(new tree_node(child_name));
    children.push_back(child);
    return child;
}

tree_node* tree_node::find(const std::wstring& child_name) const {
    for (const tree_ptr& child : children) {
        if (child->name == child_name) return child.get();
    }
    return nullptr;
}

tree_ptr make_chain(const std::vector<std::wstring>& names) {
    tree_ptr top;
    tree_node* last = nullptr;
    for (const std::wstring& n : names) {
        if (!last) {
            top.reset(new tree_node(n));
            last = top.get();
        } else {
            last = last->add(n).get();
        }
    }
    return top;
}

}  // namespace items
