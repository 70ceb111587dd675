// The contract between Quibrix and its metadata plug-ins, shared by the host and by plug-ins
// built here. A plug-in is a DLL in the "plugins" folder with four exports; it answers with a
// tree of names that the host walks and then frees. Host and plug-in may come from different
// compilers, so the tree is laid out here byte for byte instead of borrowing a library's
// vector or string, whose layouts differ between compilers and versions.
//
// Every block a plug-in hands over (extension texts and their array, the description, the
// tree's root record, children arrays and long names) comes from CoTaskMemAlloc; the host
// frees each with CoTaskMemFree.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace autotag {

struct PluginNode;

// A growable array of nodes: allocator state, then first, one past the last, end of capacity.
struct PluginNodeArray {
    std::uint64_t allocator_state;
    PluginNode* first;
    PluginNode* last;
    PluginNode* capacity_end;
};

// A UTF-16 text with a small buffer: up to 7 units and the terminator inline, longer texts on
// the heap, told apart by the capacity.
struct PluginString {
    static const std::uint64_t inline_capacity = 7;

    std::uint64_t allocator_state;
    union {
        wchar_t inline_text[inline_capacity + 1];
        wchar_t* heap_text;
    } text;
    std::uint64_t length;    // in UTF-16 units, without the terminator
    std::uint64_t capacity;  // 7 or less: inline; 8 or more: `text.heap_text`

    bool is_inline() const { return capacity <= inline_capacity; }
};

struct PluginNode {
    PluginNodeArray children;
    PluginString name;
};

#if defined(_WIN64)
static_assert(sizeof(wchar_t) == 2, "plug-in texts are UTF-16");
static_assert(sizeof(PluginNodeArray) == 32, "children: 32 bytes");
static_assert(sizeof(PluginString) == 40, "name: 40 bytes");
static_assert(sizeof(PluginNode) == 72, "a node is 72 bytes on x86-64");
static_assert(offsetof(PluginNode, children) == 0, "children at 0");
static_assert(offsetof(PluginNode, children.first) == 8, "first element at 8");
static_assert(offsetof(PluginNode, children.last) == 16, "end of elements at 16");
static_assert(offsetof(PluginNode, children.capacity_end) == 24, "end of capacity at 24");
static_assert(offsetof(PluginNode, name) == 32, "name at 32");
static_assert(offsetof(PluginNode, name.text) == 40, "name text at 40");
static_assert(offsetof(PluginNode, name.length) == 56, "name length at 56");
static_assert(offsetof(PluginNode, name.capacity) == 64, "name capacity at 64");
#endif

// One byte, nonzero for success: read as a byte, whatever a plug-in leaves in the rest of
// the register.
typedef std::uint8_t plugin_bool;

// The exports, looked up by these names. "SaveNode" must exist but is never called, so its
// signature is the plug-in's business.
typedef plugin_bool(WINAPI* GetExtsProc)(wchar_t*** exts, std::uint32_t* count);
typedef plugin_bool(WINAPI* FillNodeProc)(const wchar_t* file_path, PluginNode** root);
typedef plugin_bool(WINAPI* GetDescriptionProc)(wchar_t** description);
typedef void(WINAPI* SaveNodeProc)();

}  // namespace autotag
