// The Manage Tags dialog: a modeless window, one per process, in which the user edits the tag
// tree and chooses the tags of a list of files. Tree edits are collected and reach the database
// only when the user presses "Add".
#pragma once

#include "database/tags_holder.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <commctrl.h>

#include <boost/function.hpp>

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
};

struct font_traits {
    typedef HFONT type;
    static HFONT invalid() { return nullptr; }
    static void close(HFONT font) { ::DeleteObject(font); }
};

class ManageTagsDialog {
public:
    // Told when the dialog is done with the files: `from_buttons` is 1 when a button called it
    // with the window still open, 0 after the window was closed.
    typedef boost::function<void(const std::vector<std::wstring>& files, int from_buttons)> Callback;

    // What the dialog needs from other parts of the extension. The owner of the process wires
    // these once; a member left empty means that part is not there.
    struct Services {
        // The confirmation with "Don't show this dialog again": true for OK. Empty counts as
        // Cancel, so nothing is removed without the user having been asked.
        boost::function<bool(unsigned bit, HWND owner)> confirm;
        // The settings flag "directory watcher active". Empty: shown unchecked.
        boost::function<bool()> watcher_active;
        // Stores the flag, starts or stops the watcher to match and saves the settings.
        boost::function<void(bool active)> set_watcher_active;
    };

    static ManageTagsDialog& instance();

    void set_services(const Services& services) { services_ = services; }
    const Services& services() const { return services_; }

    // Opens the dialog for `paths`, or refreshes the open one with them. Call on the shell's
    // user-interface thread; the window belongs to that thread.
    void open(const std::vector<std::wstring>& paths, const Callback& callback = Callback());

    HWND window() const { return window_; }
    const std::vector<std::wstring>& files() const { return files_; }

private:
    ManageTagsDialog();
    ManageTagsDialog(const ManageTagsDialog&) = delete;
    ManageTagsDialog& operator=(const ManageTagsDialog&) = delete;

    static INT_PTR CALLBACK dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK tree_proc(HWND tree, UINT message, WPARAM wparam, LPARAM lparam,
                                      UINT_PTR id, DWORD_PTR data);
    INT_PTR handle(UINT message, WPARAM wparam, LPARAM lparam);
    bool handle_tree(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result);

    void init_window();
    void fill_tree();
    HTREEITEM insert_row(HTREEITEM parent, HTREEITEM after, const std::wstring& text, LPARAM kind);
    void insert_subtree(HTREEITEM parent, const items::tree_node& node, bool top);
    void mark_chosen();
    void update_title();
    void show_tooltip(const wchar_t* text);

    LPARAM kind_of(HTREEITEM item) const;
    void set_kind(HTREEITEM item, LPARAM kind);
    std::wstring text_of(HTREEITEM item) const;
    std::vector<std::wstring> names_of(HTREEITEM item) const;
    HTREEITEM top_of(HTREEITEM item) const;
    HTREEITEM item_at(LPARAM point) const;
    std::vector<HTREEITEM> children_of(HTREEITEM parent) const;

    void on_left_down(LPARAM point);
    void on_double_click(HTREEITEM item);
    void on_right_down(LPARAM point);
    void start_editing(HTREEITEM item);
    void place_editor();
    void commit_edit();
    void end_editing();
    bool name_refused(HTREEITEM item, const std::wstring& name);
    void delete_row(HTREEITEM item);
    void move_row(HTREEITEM item, HTREEITEM target);
    HTREEITEM copy_rows(HTREEITEM from, HTREEITEM to_parent, LPARAM kind);
    void add_move_targets(HMENU menu, HTREEITEM container, HTREEITEM moving);

    void on_add();
    void on_delete();
    void on_cancel();
    void on_close();
    void on_settings();
    void on_watcher();
    void call_back(int from_buttons);

    Services services_;
    HWND window_ = nullptr;
    HWND tree_ = nullptr;
    HWND edit_ = nullptr;
    HWND tooltip_ = nullptr;
    HFONT normal_font_ = nullptr;
    util::unique_resource<font_traits> bold_font_;
    util::unique_hmenu popup_;
    std::map<UINT, HTREEITEM> move_targets_;
    HTREEITEM menu_item_ = nullptr;

    HTREEITEM current_ = nullptr;
    HTREEITEM edited_ = nullptr;  // the row under the edit box while editing
    bool editing_ = false;
    bool place_editor_ = false;
    bool had_no_root_ = false;

    std::vector<std::wstring> files_;
    std::vector<std::wstring> added_files_;
    std::vector<items::tree_ptr> file_tags_;
    std::vector<items::tree_edit> PendingTreeEdits;
    Callback callback_;
};

// Opens the Manage Tags dialog, as the context-menu command and the other openers do.
void open_manage_tags(const std::vector<std::wstring>& paths,
                      const ManageTagsDialog::Callback& callback = ManageTagsDialog::Callback());
