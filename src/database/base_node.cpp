#include "database/nodes.h"

#include "database/case_aliases.h"

#include "util/file_names.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

namespace items {

base_node::base_node(const std::wstring& node_name, base_node* parent_node)
    : name(node_name), parent(parent_node), kind(kind_base), clean(true) {
    if (parent) path = parent->path + L'\\' + name;
}

base_node::~base_node() {}

namespace {

// The nodes of `fresh` that are other spellings of one name (only a folder that tells case apart
// lists them side by side): all but the kept one leave `fresh`, noted with the name they fold into.
void take_fresh_aliases(std::vector<node_ptr>& fresh, std::vector<std::pair<std::wstring, std::wstring> >& aliases) {
    if (fresh.size() < 2) return;
    std::vector<std::pair<std::size_t, std::size_t> > keyed;  // name hash, position
    keyed.reserve(fresh.size());
    for (std::size_t i = 0; i < fresh.size(); ++i) keyed.emplace_back(util::name_hash(fresh[i]->name), i);
    std::sort(keyed.begin(), keyed.end());
    std::vector<bool> alias(fresh.size(), false);
    bool any = false;
    for (std::size_t run = 0; run < keyed.size();) {
        std::size_t end = run + 1;
        while (end < keyed.size() && keyed[end].first == keyed[run].first) ++end;
        for (std::size_t a = run; a < end; ++a) {
            if (alias[keyed[a].second]) continue;
            std::size_t kept = keyed[a].second;
            std::vector<std::size_t> others;
            for (std::size_t b = a + 1; b < end; ++b) {
                const std::size_t at = keyed[b].second;
                if (alias[at] || !util::same_name(fresh[kept]->name, fresh[at]->name)) continue;
                alias[at] = true;
                others.push_back(at);
            }
            if (others.empty()) continue;
            any = true;
            for (std::size_t& at : others) {
                if (fresh[at]->name < fresh[kept]->name) std::swap(at, kept);
            }
            alias[kept] = false;
            for (std::size_t at : others) {
                alias[at] = true;
                // A file and a folder of one name cannot be folded: the other one is left out.
                if ((fresh[kept]->kind == kind_tag) == (fresh[at]->kind == kind_tag)) {
                    aliases.emplace_back(fresh[kept]->name, fresh[at]->name);
                }
            }
        }
        run = end;
    }
    if (!any) return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        if (!alias[i]) fresh[kept++] = fresh[i];
    }
    fresh.resize(kept);
}

}  // namespace

std::pair<std::wstring, std::wstring> base_node::spellings_to_fold(const base_node& node, bool is_new,
                                                                   const std::wstring& entry,
                                                                   const respellings& respelled) {
    if (is_new) {
        if (entry < node.name) return std::make_pair(entry, node.name);
        return std::make_pair(node.name, entry);
    }
    std::wstring before = node.name;
    for (const auto& renamed : respelled) {
        if (renamed.first == &node) before = renamed.second;
    }
    // Memory's own spelling came second: it stays, and the one listed first folds into it.
    if (entry == before) return std::make_pair(entry, node.name);
    return std::make_pair(node.name, entry);
}

void base_node::read_folder(sync_pass& pass) {
    // Another spelling of a listed name is folded into it on disk, and the folder is listed once
    // more (case_aliases.h).
    for (int listing = 0;; ++listing) {
        for (const node_ptr& child : children) child->seen_ = false;
        // A folder of many tags is matched through an index, so that a sync stays linear.
        const bool indexed = children.size() > 16;
        std::unordered_multimap<std::size_t, node_ptr> index;
        if (indexed) {
            index.reserve(children.size());
            for (const node_ptr& child : children) index.emplace(util::name_hash(child->name), child);
        }
        const auto match = [&](const std::wstring& entry) -> node_ptr {
            if (!indexed) return find_child(entry);
            const auto range = index.equal_range(util::name_hash(entry));
            for (auto it = range.first; it != range.second; ++it) {
                if (util::same_name(it->second->name, entry)) return it->second;
            }
            return node_ptr();
        };

        std::vector<node_ptr> fresh;
        std::vector<std::pair<std::wstring, std::wstring> > aliases;  // kept spelling, other spelling
        respellings respelled;
        WIN32_FIND_DATAW data;
        util::unique_find find(store::find_first(path + L"\\*", data));
        list_error_ = find ? 0 : ::GetLastError();
        if (!find && util::folder_exists(path)) {
            // Taking an unlisted folder for an empty one would drop every node in it.
            keep_as_is();
            pass.incomplete = true;
            return;
        }
        if (!find) list_error_ = 0;  // gone: it holds nothing
        if (find) {
            do {
                const std::wstring entry = data.cFileName;
                // A link is no tag and no scope of the store's: it may lead anywhere.
                if (entry == L"." || entry == L".." || util::is_link(data.dwFileAttributes)) continue;
                const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                node_ptr child = match(entry);
                if (child && child->seen_) {
                    if ((child->kind == kind_tag) != folder) {
                        aliases.push_back(spellings_to_fold(*child, false, entry, respelled));
                    }
                    continue;
                }
                if (child && (child->kind == kind_tag) == folder) child.reset();  // a file became a folder or back
                const bool is_new = !child;
                if (is_new) {
                    if (folder) {
                        child.reset(new scope(entry, this));
                    } else {
                        child.reset(new tag(entry, this));
                    }
                } else if (child->name != entry) {
                    // Memory takes the disk's spelling: the one stored first.
                    respelled.emplace_back(child.get(), child->name);
                    child->name = entry;
                    child->update_path();
                }
                child->seen_ = true;
                if (folder) {
                    child->read_folder(pass);
                    if (is_new && child->children.empty() && !child->list_error_) {
                        // An empty folder is no scope; the start-up load removes it.
                        if (pass.full_load) store::remove_empty_folder(child->path, data_folder());
                        continue;
                    }
                } else {
                    child->on_disk = store::stamp_from(data, pass.now);
                }
                if (is_new) fresh.push_back(child);
            } while (::FindNextFileW(find.get(), &data));
        }
        find.reset();
        take_fresh_aliases(fresh, aliases);
        if (!aliases.empty() && listing == 0) {
            bool folded = false;
            for (const auto& alias : aliases) {
                const std::wstring kept = path + L'\\' + alias.first;
                folded = fold_case_alias(kept, path + L'\\' + alias.second, data_folder()) || folded;
            }
            if (folded) continue;
        }
        merge_children(fresh, pass);
        return;
    }
}

void base_node::merge_children(const std::vector<node_ptr>& fresh, sync_pass& pass) {
    for (std::size_t i = 0; i < children.size();) {
        base_node* child = children[i].get();
        bool stays = child->seen_;
        if (!stays) {
            // Another process removed it, or a folder took the place of a file of that name.
            const bool name_taken = std::any_of(fresh.begin(), fresh.end(), [child](const node_ptr& other) {
                return util::same_name(other->name, child->name);
            });
            stays = !name_taken && child->stays_without_disk();
        }
        if (stays) {
            ++i;
        } else {
            children.erase(children.begin() + i);
            pass.changed = true;
        }
    }
    if (!fresh.empty()) {
        children.insert(children.end(), fresh.begin(), fresh.end());
        pass.changed = true;
    }
}

bool base_node::load(sync_pass& pass) {
    for (std::size_t i = 0; i < children.size();) {
        node_ptr child = children[i];
        if (child->load(pass)) {
            ++i;
            continue;
        }
        // The child may already have left (a root erasing itself does); drop it by pointer.
        std::vector<node_ptr>::iterator it = std::find(children.begin(), children.end(), child);
        if (it != children.end()) children.erase(it);
        i = std::min<std::size_t>(i, children.size());
        pass.changed = true;
    }
    if (children.empty() && pass.full_load && !list_error_) {
        // The start-up load removes what nothing is left in; later syncs only follow the disk.
        erase_from_disk();
        return false;
    }
    return true;
}

void base_node::keep_as_is() {
    for (const node_ptr& child : children) {
        child->seen_ = true;
        child->on_disk = child->stamp;
        child->keep_as_is();
    }
}

bool base_node::stays_without_disk() {
    for (std::size_t i = 0; i < children.size();) {
        if (children[i]->stays_without_disk()) {
            ++i;
        } else {
            children.erase(children.begin() + i);
        }
    }
    on_disk = store::file_stamp();
    return !children.empty();
}

std::size_t base_node::unread_count() const {
    std::size_t count = list_error_ ? 1 : 0;
    for (const node_ptr& child : children) count += child->unread_count();
    return count;
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

void base_node::ensure_parent_folders() {
    std::vector<base_node*> above;
    for (base_node* node = parent; node && node->kind != kind_holder; node = node->parent) {
        above.push_back(node);
        if (node->kind == kind_root) break;
    }
    for (std::vector<base_node*>::reverse_iterator it = above.rbegin(); it != above.rend(); ++it) {
        (*it)->ensure_folder(true);
    }
}

void base_node::add_file(file_id_t id, const std::wstring& file_path, const tree_node& tree) {
    for (const tree_ptr& request : tree.children) {
        node_ptr child = find_child(request->name);
        if (!child) child = create_child(*request);
        child->add_file(id, file_path, *request);
    }
}

bool base_node::ensure_folder(bool create) {
    if (util::folder_exists(path)) return true;
    if (!create) return false;
    return store::create_folder(path);
}

void base_node::save() {
    std::unique_ptr<store_error> failed;
    for (const node_ptr& child : children) {
        try {
            child->save();
        } catch (const store_error& error) {
            // Its file stays as it was on disk. The node stays too, still not clean, so that the
            // next save tries again: dropped, it would come back later as a new, empty node over
            // the files it left. The others are saved all the same; the caller hears of the first.
            if (!failed) failed.reset(new store_error(error));
        }
    }
    if (failed) throw *failed;
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
        if (util::same_name(child->name, child_name)) return child;
    }
    return node_ptr();
}

const std::wstring& base_node::data_folder() const {
    const base_node* node = this;
    while (node->parent && node->parent != node) node = node->parent;
    return node->path;
}

root_scope* base_node::root() {
    base_node* node = this;
    while (node->kind != kind_root) {
        if (!node->parent || node->parent == node) return nullptr;
        node = node->parent;
    }
    return static_cast<root_scope*>(node);
}

void base_node::update_path() {
    if (parent) path = parent->path + L'\\' + name;
    for (const node_ptr& child : children) child->update_path();
}

// ---- scope

scope::scope(const std::wstring& node_name, base_node* parent_node) : base_node(node_name, parent_node) {
    kind = kind_scope;
}

namespace {

// Drops every child for which `emptied` (which removes from it) answers true; true when none is
// left. A copy of each child is held while it is asked, since the call may erase it from disk.
template <class Emptied>
bool drop_emptied_children(std::vector<node_ptr>& children, Emptied emptied) {
    for (std::size_t i = 0; i < children.size();) {
        node_ptr child = children[i];
        if (emptied(*child)) {
            children.erase(children.begin() + i);
        } else {
            ++i;
        }
    }
    return children.empty();
}

}  // namespace

bool scope::remove_file(file_id_t id, const tree_node* tree) {
    const bool none_left = drop_emptied_children(children, [&](base_node& child) {
        const tree_node* request = nullptr;
        if (tree) {
            request = tree->find(child.name);
            if (!request) return false;
            // A leaf of the request names the whole child, whatever lies below it.
            if (request->children.empty()) request = nullptr;
        }
        return child.remove_file(id, request);
    });
    if (none_left) erase_from_disk();
    return none_left;
}

bool scope::remove_ids(const id_set& gone) {
    const bool none_left =
        drop_emptied_children(children, [&](base_node& child) { return child.remove_ids(gone); });
    if (none_left) erase_from_disk();
    return none_left;
}

void scope::replace_ids(const std::vector<std::pair<file_id_t, file_id_t> >& renames, const id_set& old_ids) {
    for (const node_ptr& child : children) child->replace_ids(renames, old_ids);
}

void scope::collect_ids(std::set<file_id_t>& ids) {
    for (const node_ptr& child : children) child->collect_ids(ids);
}

void scope::erase_from_disk() {
    store::remove_folder_tree(path, data_folder());
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
        if (util::same_name(child->name, child_name)) return child.get();
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
