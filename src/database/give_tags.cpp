// Tags that differ from file to file, given in one request (the command-line tool's import).
#include "database/store_section.h"
#include "util/file_names.h"

#include <utility>

namespace items {

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
    {
        append_batch batch;
        for (const file_tags& file : files) {
            for (const tree_ptr& tree : file.trees) {
                root_scope* root = root_for(tree->name);
                root->add_file(id_for(*root, file.path), file.path, *tree);
            }
        }
        batch.flush();
    }
    for (const std::pair<node_ptr, bool>& root : touched) refresh_views(root.first->name, root.second);
}

}  // namespace items
