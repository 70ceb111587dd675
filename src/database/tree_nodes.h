// The two small trees that travel between the tag database and its callers: a name tree says
// which tags are meant, a display tree carries the files found at or below each node.
#pragma once

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace items {

// Names a set of tags under one root: the root name at the top, scope names inside, tag names
// at the leaves. A node with children stands for a scope, a node without for a tag.
class tree_node {
public:
    tree_node() {}
    explicit tree_node(const std::wstring& node_name) : name(node_name) {}
    virtual ~tree_node() {}

    // Appends a child named `child_name` and returns it, for building chains in one line.
    boost::shared_ptr<tree_node> add(const std::wstring& child_name);
    // The child named `child_name` in any letter case (util::same_name), or null.
    tree_node* find(const std::wstring& child_name) const;

    std::wstring name;
    std::vector<boost::shared_ptr<tree_node> > children;
};
typedef boost::shared_ptr<tree_node> tree_ptr;

// Builds the chain root -> scopes -> tag from a list of names (first name at the top).
tree_ptr make_chain(const std::vector<std::wstring>& names);

// A copy of the tag tree in which every node carries the file ids at or below it, for views.
class hashed_tree_node {
public:
    std::wstring name;
    std::uint32_t number = 0;  // depth at which a view entered this tag; 0 while it may be listed
    bool flag = true;          // true while the node may be listed
    // The files at or below this node, sorted ascending and unique: an ordered set kept as a
    // flat array, so that unions and intersections are linear merges.
    std::vector<std::uint32_t> ids;
    std::vector<boost::shared_ptr<hashed_tree_node> > children;
    boost::weak_ptr<hashed_tree_node> parent;
};
typedef boost::shared_ptr<hashed_tree_node> hashed_ptr;

}  // namespace items
