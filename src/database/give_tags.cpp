// Tags that differ from file to file, given in one request (the command-line tool's import).
#include "database/store_section.h"
#include "util/file_names.h"

#include <unordered_map>
#include <utility>

namespace items {

namespace {

// The tags that a file given `request` below `node` joins, with the request's node for each: where
// root_scope::add_file's walk ends, found once for every file that gets the same tree.
void tags_reached(base_node& node, const tree_node& request,
                  std::vector<std::pair<node_ptr, const tree_node*> >& reached) {
    for (const tree_ptr& wanted : request.children) {
        const node_ptr child = node.find_child(wanted->name);
        if (!child) continue;
        if (child->kind == kind_tag) {
            reached.emplace_back(child, wanted.get());
        } else {
            tags_reached(*child, *wanted, reached);
        }
    }
}

}  // namespace

void TagsHolder::give_tags(const std::vector<file_tags>& files) {
    store_section section(*this, false);
    changed();
    // Checked before anything is made, so that a refused path leaves no new root behind.
    for (const file_tags& file : files) {
        if (file.path.empty() || file.path.size() > max_stored_path) throw store_error(error_invalid_name);
    }
    // The roots touched, held so that none goes while the batch still has its appends, and
    // whether this request made them.
    std::vector<std::pair<node_ptr, bool> > touched;
    const auto root_for = [&](const std::wstring& root_name) {
        for (const std::pair<node_ptr, bool>& known : touched) {
            if (util::same_name(known.first->name, root_name)) return static_cast<root_scope*>(known.first.get());
        }
        root_scope* root = root_named(root_name);
        const bool made = !root;
        if (made) root = create_root(root_name);
        touched.emplace_back(root->shared_from_this(), made);
        return root;
    };
    // Callers share a tree among the files that get the same tags: the first of them walks it
    // (making what is missing), the others go straight to the tags that walk reached.
    struct walked {
        root_scope* root;
        std::vector<std::pair<node_ptr, const tree_node*> > tags;
    };
    std::unordered_map<const tree_node*, walked> trees;
    {
        append_batch batch;
        for (const file_tags& file : files) {
            for (const tree_ptr& tree : file.trees) {
                const auto known = trees.find(tree.get());
                if (known == trees.end()) {
                    // What root_scope::add_file does, telling the map whether the file is there.
                    root_scope* root = root_for(tree->name);
                    root->require_read(false);
                    const file_id_t id = id_for(*root, file.path);
                    root->scope::add_file(id, file.path, *tree);
                    root->register_path(id, file.path, nullptr, file.on_disk);
                    walked first = {root, {}};
                    tags_reached(*root, *tree, first.tags);
                    trees.emplace(tree.get(), std::move(first));
                    continue;
                }
                // The same without the walk.
                root_scope& root = *known->second.root;
                root.require_read(false);
                const file_id_t id = id_for(root, file.path);
                for (const auto& reached : known->second.tags) reached.first->add_file(id, file.path, *reached.second);
                root.register_path(id, file.path, nullptr, file.on_disk);
            }
        }
        batch.flush();
    }
    for (const std::pair<node_ptr, bool>& root : touched) refresh_views(root.first->name, root.second);
}

}  // namespace items
