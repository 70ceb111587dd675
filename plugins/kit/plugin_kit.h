// What every metadata plug-in built here shares: a tree of names drafted in ordinary C++ and
// handed to the host in the contract's layout, and the answers of "GetExts" and
// "GetDescription". Every block handed over comes from CoTaskMemAlloc, as the host frees it
// with CoTaskMemFree.
#pragma once

#include "autotag/plugin_abi.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The four exports, undecorated, with the platform calling convention.
#define QUIBRIX_PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace plugin_kit {

// A tree of names under construction. A node with children becomes a scope, one without a tag.
class NameDraft {
public:
    explicit NameDraft(const std::wstring& name = std::wstring()) : name(name) {}

    // The child of that name, added when missing.
    NameDraft& child(const std::wstring& child_name);
    // Adds the tag `tag` to the scope `scope` below this node; an empty tag (a name that the
    // metadata could not give safely) adds nothing, not even the scope.
    void add_tag(const std::wstring& scope, const std::wstring& tag);
    bool empty() const { return children.empty(); }

    std::wstring name;
    std::vector<NameDraft> children;
};

// What a plug-in reads of one file: drafts its tags into `tree`; false when it has none.
typedef bool (*file_reader)(const wchar_t* file_path, NameDraft& tree);

// The whole of "FillNode": `read` drafts the file's tags under `root_name` and the draft is
// handed over in the contract's layout. A file without tags, a damaged one (whatever `read`
// throws) and a lack of memory all answer 0 with nothing allocated: nothing may cross into
// the host.
autotag::plugin_bool fill_node(const wchar_t* file_path, autotag::PluginNode** root, const wchar_t* root_name,
                               file_reader read);

// The draft in the contract's layout; null when memory ran out (nothing is left allocated).
autotag::PluginNode* to_plugin_tree(const NameDraft& root);
// Frees a tree made by to_plugin_tree, as the host would.
void free_plugin_tree(autotag::PluginNode* root);

// The answers of the exports: copies into blocks of the task allocator. False when memory ran
// out, with nothing left allocated and the out-parameters untouched.
bool answer_extensions(const std::vector<std::wstring>& exts, wchar_t*** out, std::uint32_t* count);
bool answer_text(const std::wstring& text, wchar_t** out);

// Lower-case ASCII letters, the way file extensions are compared here.
std::wstring ascii_lower(std::wstring text);

}  // namespace plugin_kit
