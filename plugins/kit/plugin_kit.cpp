#include "plugin_kit.h"

#include <objbase.h>
#include <windows.h>

#include <cstring>

using autotag::PluginNode;
using autotag::PluginString;

namespace plugin_kit {

namespace {

wchar_t* copy_text(const std::wstring& text, std::size_t capacity) {
    wchar_t* block = static_cast<wchar_t*>(::CoTaskMemAlloc((capacity + 1) * sizeof(wchar_t)));
    if (!block) return nullptr;
    std::memcpy(block, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return block;
}

bool write_name(PluginString& out, const std::wstring& name) {
    out.length = name.size();
    if (name.size() <= PluginString::inline_capacity) {
        out.capacity = PluginString::inline_capacity;
        std::memcpy(out.text.inline_text, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
        return true;
    }
    out.capacity = name.size();
    out.text.heap_text = copy_text(name, name.size());
    return out.text.heap_text != nullptr;
}

void free_node_blocks(PluginNode& node) {
    if (!node.name.is_inline() && node.name.text.heap_text) ::CoTaskMemFree(node.name.text.heap_text);
    if (!node.children.first) return;
    for (PluginNode* child = node.children.first; child != node.children.last; ++child) free_node_blocks(*child);
    ::CoTaskMemFree(node.children.first);
}

// Fills `out` (already zeroed); on failure `out` holds only blocks that free_node_blocks frees.
bool write_node(PluginNode& out, const NameDraft& draft) {
    if (!write_name(out.name, draft.name)) return false;
    if (draft.children.empty()) return true;
    const std::size_t count = draft.children.size();
    PluginNode* array = static_cast<PluginNode*>(::CoTaskMemAlloc(count * sizeof(PluginNode)));
    if (!array) return false;
    std::memset(array, 0, count * sizeof(PluginNode));
    out.children.first = array;
    out.children.last = array;
    out.children.capacity_end = array + count;
    for (std::size_t i = 0; i < count; ++i) {
        // Counted before it is written, so that a failure frees the half-written child too.
        ++out.children.last;
        if (!write_node(array[i], draft.children[i])) return false;
    }
    return true;
}

}  // namespace

NameDraft& NameDraft::child(const std::wstring& child_name) {
    for (NameDraft& c : children) {
        if (c.name == child_name) return c;
    }
    children.push_back(NameDraft(child_name));
    return children.back();
}

void NameDraft::add_tag(const std::wstring& scope, const std::wstring& tag) {
    if (tag.empty()) return;
    NameDraft& scope_node = child(scope);
    // The data folder's file system does not tell case apart: two tags that differ only in
    // case would be one file on disk.
    for (const NameDraft& existing : scope_node.children) {
        if (::CompareStringOrdinal(existing.name.c_str(), static_cast<int>(existing.name.size()), tag.c_str(),
                                   static_cast<int>(tag.size()), TRUE) == CSTR_EQUAL) {
            return;
        }
    }
    scope_node.child(tag);
}

PluginNode* to_plugin_tree(const NameDraft& root) {
    PluginNode* node = static_cast<PluginNode*>(::CoTaskMemAlloc(sizeof(PluginNode)));
    if (!node) return nullptr;
    std::memset(node, 0, sizeof(PluginNode));
    if (!write_node(*node, root)) {
        free_plugin_tree(node);
        return nullptr;
    }
    return node;
}

void free_plugin_tree(PluginNode* root) {
    if (!root) return;
    free_node_blocks(*root);
    ::CoTaskMemFree(root);
}

bool answer_extensions(const std::vector<std::wstring>& exts, wchar_t*** out, std::uint32_t* count) {
    if (exts.empty()) {
        *out = nullptr;
        *count = 0;
        return true;
    }
    wchar_t** array = static_cast<wchar_t**>(::CoTaskMemAlloc(exts.size() * sizeof(wchar_t*)));
    if (!array) return false;
    for (std::size_t i = 0; i < exts.size(); ++i) {
        array[i] = copy_text(exts[i], exts[i].size());
        if (!array[i]) {
            for (std::size_t k = 0; k < i; ++k) ::CoTaskMemFree(array[k]);
            ::CoTaskMemFree(array);
            return false;
        }
    }
    *out = array;
    *count = static_cast<std::uint32_t>(exts.size());
    return true;
}

bool answer_text(const std::wstring& text, wchar_t** out) {
    wchar_t* block = copy_text(text, text.size());
    if (!block) return false;
    *out = block;
    return true;
}

std::wstring ascii_lower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

autotag::plugin_bool fill_node(const wchar_t* file_path, PluginNode** root, const wchar_t* root_name,
                               file_reader read) {
    if (!file_path || !root) return 0;
    try {
        NameDraft tree(root_name);
        if (!read(file_path, tree)) return 0;
        PluginNode* node = to_plugin_tree(tree);
        if (!node) return 0;
        *root = node;
        return 1;
    } catch (...) {
        return 0;
    }
}

}  // namespace plugin_kit
