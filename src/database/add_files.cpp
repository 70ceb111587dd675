// set_tags' additions: many files given the same tags of one root.
#include "database/store_section.h"

namespace items {

namespace {

// The tags a file given `request` below `node` joins, as base_node::add_file's walk reaches them.
void reached_tags(base_node& node, const tree_node& request, std::vector<tag*>& reached) {
    for (const tree_ptr& wanted : request.children) {
        const node_ptr child = node.find_child(wanted->name);
        if (!child) continue;
        if (child->kind == kind_tag) {
            reached.push_back(static_cast<tag*>(child.get()));
        } else {
            reached_tags(*child, *wanted, reached);
        }
    }
}

}  // namespace

void TagsHolder::add_files(root_scope& root, const std::vector<std::wstring>& paths, const tree_node& tree) {
    if (paths.empty()) return;
    // The first file walks the tree, making what is missing (and meeting a tag that cannot be
    // changed before anything else is); the others go straight to the tags that walk reached.
    root.add_file(id_for(root, paths.front()), paths.front(), tree);
    if (paths.size() == 1) return;
    std::vector<tag*> reached;
    reached_tags(root, tree, reached);
    // An id depends on the paths registered before it, the tags' ids on nothing but the ids:
    // the map takes each path in turn, and each tag the ids in the same order afterwards, which
    // leaves memory and the appends as adding the files one by one would.
    std::vector<file_id_t> hashes(paths.size());
    std::size_t characters = 0;
    for (std::size_t i = 1; i < paths.size(); ++i) {
        hashes[i] = file_id(paths[i]);
        characters += paths[i].size();
    }
    root.expect_paths(paths.size(), characters);
    // Each path is looked up in every root's map: the slots a few paths ahead, and then their
    // paths, are asked for while this one is looked at.
    const std::size_t slot_ahead = 16, path_ahead = 8;
    const auto prefetch = [&](std::size_t i, bool path) {
        if (i >= paths.size()) return;
        for (const node_ptr& child : children) {
            const path_map& map = static_cast<root_scope&>(*child).id_map;
            path ? map.prefetch_path(hashes[i]) : map.prefetch_slot(hashes[i]);
        }
    };
    std::vector<file_id_t> ids;
    ids.reserve(paths.size() - 1);
    for (std::size_t i = 1; i < paths.size(); ++i) {
        prefetch(i + slot_ahead, false);
        prefetch(i + path_ahead, true);
        const file_id_t id = id_for(root, paths[i], hashes[i]);
        root.register_path(id, paths[i]);
        ids.push_back(id);
    }
    for (tag* node : reached) node->add_ids(ids);
}

}  // namespace items
