// Wine's Explorer window read from outside, as a user sees it: its tree and list controls are
// asked through a scratch block in Explorer's process, since a pointer into this process means
// nothing to them.
#pragma once

#include "util/unique_resource.h"

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// Polls `done` every 100 ms until it holds or `seconds` have passed; its last answer.
bool wait_for(const std::function<bool()>& done, int seconds = 15);

// The first visible child of `parent` of the window class `class_name`.
HWND find_visible_child(HWND parent, const wchar_t* class_name);

class RemoteBlock {
public:
    explicit RemoteBlock(HWND window);
    ~RemoteBlock();
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;

    bool valid() const { return block_ != nullptr; }
    // Sends `message` to `control` with the structure `request` copied into the block, its text
    // buffer pointing into the block as well; the text the control wrote there.
    template <class Request>
    std::wstring ask_text(HWND control, UINT message, WPARAM wparam, Request request, LRESULT* result = nullptr) const {
        request.pszText = reinterpret_cast<wchar_t*>(at(text_offset));
        request.cchTextMax = text_chars;
        return exchange(control, message, wparam, &request, sizeof request, result);
    }

private:
    static const std::size_t size = 4096;
    static const std::size_t text_offset = 1024;
    static const int text_chars = 256;

    BYTE* at(std::size_t offset) const { return static_cast<BYTE*>(block_) + offset; }
    std::wstring exchange(HWND control, UINT message, WPARAM wparam, const void* request, std::size_t bytes,
                          LRESULT* result) const;

    util::unique_handle process_;
    void* block_ = nullptr;
};

class ExplorerTree {
public:
    explicit ExplorerTree(HWND tree) : tree_(tree), remote_(tree) {}
    bool valid() const { return remote_.valid(); }

    std::vector<HTREEITEM> children(HTREEITEM parent) const;
    std::wstring text(HTREEITEM item) const;
    std::vector<std::wstring> names(HTREEITEM parent) const;
    HTREEITEM child_named(HTREEITEM parent, const std::wstring& name) const;
    void expand(HTREEITEM item, UINT how = TVE_EXPAND) const;
    void select(HTREEITEM item) const;
    // Unfolds `item` and names its children as the tree shows them (waits up to 5 s for one).
    std::vector<std::wstring> unfold(HTREEITEM item) const;
    // The Quibrix folder under Desktop and the names of its roots. The extension's start-up
    // loads the tag data on a thread of its own; a level listed before that is empty and is
    // not listed again, so Desktop is folded away and unfolded until Quibrix shows its roots.
    // Null when it never did within 15 s.
    HTREEITEM quibrix_roots(std::vector<std::wstring>& roots) const;

private:
    HWND tree_;
    RemoteBlock remote_;
};

// The rows of the list view `list` as the texts of two of its columns, sorted.
std::vector<std::pair<std::wstring, std::wstring>> list_rows(HWND list, int first_column, int second_column);
