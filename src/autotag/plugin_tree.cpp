// From a plug-in's answer to a tag request: walking and freeing the plug-in's tree, and the
// names that the watched directory adds.
#include "autotag/plugins.h"

#include "database/tags_holder.h"
#include "util/file_names.h"

#include <objbase.h>

#include <cstdint>

namespace autotag {

namespace {

// Deeper trees cannot be stored anyway: every level is a folder in the data folder's path.
const int max_tree_depth = 64;

std::size_t byte_distance(const void* from, const void* to) {
    return reinterpret_cast<std::uintptr_t>(to) - reinterpret_cast<std::uintptr_t>(from);
}

// The children array is walked only when its three pointers describe whole records.
bool children_well_formed(const PluginNodeArray& array) {
    if (!array.first) return !array.last && !array.capacity_end;
    if (array.last < array.first || array.capacity_end < array.last) return false;
    return byte_distance(array.first, array.last) % sizeof(PluginNode) == 0;
}

bool read_name(const PluginString& name, std::wstring& out) {
    const wchar_t* text = nullptr;
    if (name.is_inline()) {
        if (name.length > PluginString::inline_capacity) return false;
        text = name.text.inline_text;
    } else {
        if (name.length > name.capacity || (!name.text.heap_text && name.length > 0)) return false;
        text = name.text.heap_text;
    }
    out.assign(text ? text : L"", static_cast<std::size_t>(name.length));
    for (wchar_t& c : out) {
        switch (c) {
        case L'>': case L'<': case L'|': case L'?': case L'*':
        case L'/': case L'\\': case L':': case L'"':
            c = L'.';
            break;
        default:
            break;
        }
    }
    return true;
}

items::tree_ptr convert_node(const PluginNode& node, int depth) {
    if (depth > max_tree_depth || !children_well_formed(node.children)) return items::tree_ptr();
    items::tree_ptr out(new items::tree_node);
    if (!read_name(node.name, out->name)) return items::tree_ptr();
    for (const PluginNode* child = node.children.first; child != node.children.last; ++child) {
        items::tree_ptr converted = convert_node(*child, depth + 1);
        if (!converted) return items::tree_ptr();
        out->children.push_back(converted);
    }
    return out;
}

void free_node_blocks(PluginNode& node) {
    if (!node.name.is_inline() && node.name.text.heap_text) ::CoTaskMemFree(node.name.text.heap_text);
    if (!node.children.first) return;
    // A damaged array is freed as one block without walking into it.
    if (children_well_formed(node.children)) {
        for (PluginNode* child = node.children.first; child != node.children.last; ++child) free_node_blocks(*child);
    }
    ::CoTaskMemFree(node.children.first);
}

// Drops the children whose names cannot be file names, with everything below them. A scope
// whose children all went is dropped too: left childless it would turn into a tag.
void drop_unsafe_children(items::tree_node& node) {
    std::vector<items::tree_ptr> kept;
    for (const items::tree_ptr& child : node.children) {
        if (!util::is_valid_file_name(child->name)) continue;
        if (!child->children.empty()) {
            drop_unsafe_children(*child);
            if (child->children.empty()) continue;
        }
        kept.push_back(child);
    }
    node.children.swap(kept);
}

}  // namespace

bool usable_extension(const std::wstring& path, std::wstring& ext) {
    const std::wstring::size_type dot = path.rfind(L'.');
    if (dot == std::wstring::npos || path.size() - dot > 6) return false;
    ext = path.substr(dot + 1);
    return true;
}

items::tree_ptr convert_plugin_tree(const PluginNode& root) {
    return convert_node(root, 0);
}

void free_plugin_tree(PluginNode* root) {
    if (!root) return;
    free_node_blocks(*root);
    ::CoTaskMemFree(root);
}

items::tree_ptr build_tag_request(const items::tree_ptr& plugin_tree, const WatchedDir& entry,
                                  const std::wstring& file_path, std::wstring::size_type dir_end) {
    if (!plugin_tree) return items::tree_ptr();
    items::tree_ptr request = plugin_tree;
    if (entry.autotag) {
        request->add(L"Auto tag")->add(entry.autotagname);
        // A drive root such as D:\ already ends with its separator.
        std::wstring::size_type start = dir_end;
        if (start < file_path.size() && file_path[start] == L'\\' && !entry.path.empty() && entry.path.back() != L'\\') {
            ++start;
        }
        items::tree_ptr chain;
        items::tree_node* level = nullptr;
        for (std::wstring::size_type slash; start <= file_path.size() &&
                                            (slash = file_path.find(L'\\', start)) != std::wstring::npos;
             start = slash + 1) {
            const std::wstring component = file_path.substr(start, slash - start);
            if (!chain) {
                chain.reset(new items::tree_node(L"Path"));
                level = chain.get();
            }
            level = level->add(component).get();
        }
        if (chain) request->children.push_back(chain);
    }
    if (!util::is_valid_file_name(request->name)) return items::tree_ptr();
    drop_unsafe_children(*request);
    if (request->children.empty()) return items::tree_ptr();
    return request;
}

bool apply_tag_request(items::TagsHolder& db, const std::wstring& file_path, const items::tree_ptr& request) {
    if (!request) return false;
    try {
        return db.set_tags(std::vector<std::wstring>(1, file_path), request, items::tree_ptr());
    } catch (const items::store_error&) {
        // The store refused a name or could not write; the file simply stays untagged.
        return false;
    }
}

}  // namespace autotag
