// The tag tree of the Manage Tags dialog: a tree-view control that shows the root tags, scopes
// and tags with a row for a new one in each container, draws the tags chosen for the files in
// bold and those that only some of the files hold in grey, renames and creates in place,
// deletes and moves from its popup menu, and collects these edits for the dialog, which hands
// them to the database when the user presses "Add".
#pragma once

#include "database/tags_holder.h"
#include "shell/ui_thread.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <commctrl.h>

#include <map>
#include <string>
#include <vector>

// What each tree row is, kept in its item parameter.
enum TreeRowKind : LPARAM {
    row_root = 1,
    row_scope = 2,
    row_tag = 4,
    row_new_scope = 8,
    row_new_tag = 16,
    row_new_root = 32,
    row_chosen = 64,  // added to a root, scope or tag: chosen for the files (drawn bold)
    // Added to a tag that some of the files hold and some do not (drawn bold and grey, in
    // italics): each file keeps it or goes without it as before. A double click chooses it;
    // from then on it is chosen or not like any other tag.
    row_partial = 128,
};

struct font_traits {
    typedef HFONT type;
    static HFONT invalid() { return nullptr; }
    static void close(HFONT font) { ::DeleteObject(font); }
};

class TagTreeView {
public:
    // Its handling counts as the window's own on `thread`.
    explicit TagTreeView(UiThread& thread) : thread_(thread) {}
    TagTreeView(const TagTreeView&) = delete;
    TagTreeView& operator=(const TagTreeView&) = delete;

    // Takes over the dialog's tree and edit box; `owner` is the dialog.
    void attach(HWND owner, HWND tree, HWND edit);
    // The dialog is being destroyed (WM_DESTROY): the tooltip goes.
    void owner_destroying();
    // The dialog is gone (WM_NCDESTROY): the controls, the menu and the edits are forgotten.
    void detach();

    // Shows the database's tree `roots` for files that hold the tags of `file_tags` (one list of
    // name trees per file): a tag that every file holds is marked chosen, one that only some
    // hold partly chosen. What was shown before goes, with the edits not yet taken: they
    // belonged to its rows.
    void show(const std::vector<items::tree_ptr>& roots, const std::vector<std::vector<items::tree_ptr> >& file_tags);
    // The tags chosen now, and those neither chosen nor partly chosen; one name tree per root tag.
    std::vector<items::tree_ptr> chosen() const;
    std::vector<items::tree_ptr> unchosen() const;
    bool any_partly_chosen() const;
    // The edits collected since the tree was shown, in order; they are handed over.
    std::vector<items::tree_edit> take_edits();
    // Ends the name being edited as Enter would.
    void commit_edit();
    // The dialog moved to a monitor of `dpi` (WM_DPICHANGED): rows and fonts follow.
    void dpi_changed(UINT dpi);
    // The DPI the tree and the dialog are laid out for.
    UINT dpi() const { return dpi_; }

    // The dialog's WM_COMMAND and the tree's WM_NOTIFY, which reach the dialog; true when they
    // were the tree's, with `result` the notification's answer.
    bool on_command(UINT id, UINT code);
    bool on_notify(NMHDR& header, LRESULT& result);

private:
    static LRESULT CALLBACK tree_proc(HWND tree, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR id,
                                      DWORD_PTR data);
    bool handle_tree(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result);

    void fill(const std::vector<items::tree_ptr>& roots);
    void mark_chosen(const std::vector<std::vector<items::tree_ptr> >& file_tags);
    std::vector<items::tree_ptr> tags_marked(LPARAM kind) const;
    HTREEITEM insert_row(HTREEITEM parent, HTREEITEM after, const std::wstring& text, LPARAM kind);
    // A root tag's or scope's row, with `node`'s children (if any) and the rows for new ones.
    HTREEITEM insert_container(HTREEITEM parent, HTREEITEM after, const std::wstring& name, LPARAM kind,
                               const items::tree_node* node);
    void insert_subtree(HTREEITEM parent, const items::tree_node& node, bool top);
    void show_tooltip(const wchar_t* text);
    // The dialog's font, and the bold ones made from it.
    void take_fonts();

    LPARAM kind_of(HTREEITEM item) const;
    void set_kind(HTREEITEM item, LPARAM kind);
    std::wstring text_of(HTREEITEM item) const;
    std::vector<std::wstring> names_of(HTREEITEM item) const;
    HTREEITEM top_of(HTREEITEM item) const;
    HTREEITEM item_at(LPARAM point) const;
    std::vector<HTREEITEM> children_of(HTREEITEM parent) const;
    // Calls `visit` for every row below `parent` (null: the whole tree), parents first.
    template <typename Visit>
    void for_each_below(HTREEITEM parent, const Visit& visit) const;
    // Where a new node goes among `parent`'s children: after the last node, before the rows
    // for new ones.
    HTREEITEM insert_position(HTREEITEM parent) const;

    void on_left_down(LPARAM point);
    void on_double_click(HTREEITEM item);
    void on_right_down(LPARAM point);
    void add_move_targets(HMENU menu, HTREEITEM container, HTREEITEM moving);
    void start_editing(HTREEITEM item);
    void place_editor();
    void end_editing();
    bool name_refused(HTREEITEM item, const std::wstring& name);
    void delete_row(HTREEITEM item);
    void move_row(HTREEITEM item, HTREEITEM target);
    HTREEITEM copy_rows(HTREEITEM from, HTREEITEM to_parent, LPARAM kind);

    UiThread& thread_;
    HWND owner_ = nullptr;
    HWND tree_ = nullptr;
    HWND edit_ = nullptr;
    HWND tooltip_ = nullptr;
    UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
    HFONT normal_font_ = nullptr;
    util::unique_resource<font_traits> bold_font_;
    util::unique_resource<font_traits> partial_font_;
    util::unique_hmenu popup_;
    std::map<UINT, HTREEITEM> move_targets_;
    HTREEITEM menu_item_ = nullptr;

    HTREEITEM current_ = nullptr;
    HTREEITEM edited_ = nullptr;  // the row under the edit box while editing
    bool editing_ = false;
    bool place_editor_ = false;
    bool had_no_root_ = false;
    std::vector<items::tree_edit> edits_;
};
