#include "shell/tag_tree_view.h"

#include "manage_tags_ids.h"
#include "util/dpi.h"
#include "util/file_names.h"
#include "util/module.h"

#include <windowsx.h>

#include <algorithm>
#include <stdexcept>

namespace {

const wchar_t kNewScope[] = L"< New scope >";
const wchar_t kNewTag[] = L"< New tag >";
const wchar_t kNewRoot[] = L"< New root tag >";
const wchar_t kFirstSteps[] =
    L"First of all , you must add \"Root\" tag \nlike \"books\" or \"docs\" or\"photos\" , or whatever you see fit.\n"
    L"To do it click to <New root tag>\nAfter all click to \"Enter\"";
const wchar_t kRootAdded[] =
    L"Ok , great work !\nNow you can add the tag or scope to file.\nBut remember: only tags have a real value.";
const wchar_t kNameUsed[] = L"This name is already used";
const wchar_t kNameUnsafe[] =
    L"This name cannot be used for a tag: it must be a valid file name\n"
    L"(no \\ / : * ? \" < > |, not \".\" or \"..\", not a device name such as CON or NUL).";

// Posted by the edit box's EN_MAXTEXT: the edit control is still inside its own text change when
// it reports, so the name is read and the box hidden only after it has returned.
const UINT kCommitEdit = WM_APP + 1;
// Sizes at 96 DPI.
const int kRowHeight = 20;
const int kTipWidth = 250;
const int kLeastEditorWidth = 40;
const std::size_t kMaxName = 4096;

const LPARAM kNodeRows = row_root | row_scope | row_tag;
const LPARAM kNewRows = row_new_scope | row_new_tag | row_new_root;

bool same_file_name(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

LPARAM base_kind(LPARAM kind) { return kind & ~LPARAM(row_chosen | row_partial); }

// Bold rows are measured in bold by the tree, so that their text fits the highlight.
UINT row_state(LPARAM kind) { return (kind & (row_chosen | row_partial)) ? TVIS_BOLD : 0; }

std::wstring trimmed(const std::wstring& text) {
    const wchar_t* blanks = L" \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Adds the chain names[0] / ... / names[n-1] to the name tree of its root in `roots`.
void add_chain(std::vector<items::tree_ptr>& roots, const std::vector<std::wstring>& names) {
    if (names.size() < 2) return;
    items::tree_ptr root;
    for (const items::tree_ptr& tree : roots) {
        if (tree->name == names[0]) root = tree;
    }
    if (!root) {
        root.reset(new items::tree_node(names[0]));
        roots.push_back(root);
    }
    items::tree_node* node = root.get();
    for (std::size_t i = 1; i < names.size(); ++i) {
        items::tree_node* next = node->find(names[i]);
        node = next ? next : node->add(names[i]).get();
    }
}

// Whether `chain` (the root tag's name first) ends at a tag of `trees`.
bool names_a_tag(const std::vector<items::tree_ptr>& trees, const std::vector<std::wstring>& chain) {
    const items::tree_node* node = nullptr;
    for (const items::tree_ptr& tree : trees) {
        if (!node && tree->name == chain[0]) node = tree.get();
    }
    for (std::size_t i = 1; node && i < chain.size(); ++i) node = node->find(chain[i]);
    return node && node->children.empty();
}

}  // namespace

template <typename Visit>
void TagTreeView::for_each_below(HTREEITEM parent, const Visit& visit) const {
    for (HTREEITEM row : children_of(parent)) {
        visit(row);
        for_each_below(row, visit);
    }
}

void TagTreeView::attach(HWND owner, HWND tree, HWND edit) {
    owner_ = owner;
    tree_ = tree;
    edit_ = edit;
    ::SetParent(edit_, tree_);
    ::ShowWindow(edit_, SW_HIDE);
    ::SendMessageW(edit_, EM_LIMITTEXT, kMaxName, 0);
    dpi_ = util::dpi_of(owner_);
    TreeView_SetItemHeight(tree_, util::scaled(kRowHeight, dpi_));
    ::SetWindowSubclass(tree_, tree_proc, 1, reinterpret_cast<DWORD_PTR>(this));
    take_fonts();
}

void TagTreeView::dpi_changed(UINT dpi) {
    if (!tree_) return;
    dpi_ = dpi;
    TreeView_SetItemHeight(tree_, util::scaled(kRowHeight, dpi_));
    if (tooltip_) ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, util::scaled(kTipWidth, dpi_));
    take_fonts();
    if (editing_) place_editor_ = true;
    ::InvalidateRect(tree_, nullptr, TRUE);
}

void TagTreeView::take_fonts() {
    normal_font_ = reinterpret_cast<HFONT>(::SendMessageW(owner_, WM_GETFONT, 0, 0));
    if (!normal_font_) normal_font_ = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW font = {};
    if (::GetObjectW(normal_font_, sizeof(font), &font)) {
        font.lfWeight = FW_BOLD;
        bold_font_.reset(::CreateFontIndirectW(&font));
        // Italic as well as grey: a selected row is drawn in the highlight colours.
        font.lfItalic = TRUE;
        partial_font_.reset(::CreateFontIndirectW(&font));
    }
}

void TagTreeView::owner_destroying() {
    if (tooltip_) ::DestroyWindow(tooltip_);
    tooltip_ = nullptr;
}

void TagTreeView::detach() {
    owner_ = tree_ = edit_ = nullptr;
    editing_ = place_editor_ = false;
    edited_ = current_ = menu_item_ = nullptr;
    move_targets_.clear();
    popup_.reset();
    bold_font_.reset();
    partial_font_.reset();
    edits_.clear();
}

void TagTreeView::show(const std::vector<items::tree_ptr>& roots,
                       const std::vector<std::vector<items::tree_ptr> >& file_tags) {
    end_editing();
    edits_.clear();
    current_ = menu_item_ = nullptr;
    move_targets_.clear();
    TreeView_DeleteAllItems(tree_);
    fill(roots);
    mark_chosen(file_tags);
}

std::vector<items::tree_ptr> TagTreeView::chosen() const { return tags_marked(row_tag | row_chosen); }

std::vector<items::tree_ptr> TagTreeView::unchosen() const { return tags_marked(row_tag); }

bool TagTreeView::any_partly_chosen() const { return !tags_marked(row_tag | row_partial).empty(); }

std::vector<items::tree_ptr> TagTreeView::tags_marked(LPARAM kind) const {
    std::vector<items::tree_ptr> tags;
    for_each_below(nullptr, [&](HTREEITEM row) {
        if (kind_of(row) == kind) add_chain(tags, names_of(row));
    });
    return tags;
}

std::vector<items::tree_edit> TagTreeView::take_edits() {
    std::vector<items::tree_edit> taken;
    taken.swap(edits_);
    return taken;
}

bool TagTreeView::on_command(UINT id, UINT code) {
    switch (id) {
    case IDC_TAG_EDIT:
        if (code == EN_MAXTEXT && tree_) ::PostMessageW(tree_, kCommitEdit, 0, 0);
        return true;
    case IDM_RENAME_NODE:
        start_editing(menu_item_);
        return true;
    case IDM_DELETE_NODE:
        delete_row(menu_item_);
        return true;
    }
    std::map<UINT, HTREEITEM>::const_iterator target = move_targets_.find(id);
    if (target == move_targets_.end()) return false;
    move_row(menu_item_, target->second);
    return true;
}

bool TagTreeView::on_notify(NMHDR& header, LRESULT& result) {
    if (!tree_ || header.hwndFrom != tree_ || header.code != NM_CUSTOMDRAW) return false;
    NMTVCUSTOMDRAW& draw = reinterpret_cast<NMTVCUSTOMDRAW&>(header);
    result = CDRF_DODEFAULT;
    if (draw.nmcd.dwDrawStage == CDDS_PREPAINT) {
        result = CDRF_NOTIFYITEMDRAW;
    } else if (draw.nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
        const LPARAM kind = draw.nmcd.lItemlParam;
        const bool bold = (kind & row_chosen) && (kind & kNodeRows);
        const bool partial = (kind & row_partial) && (kind & kNodeRows);
        HFONT font = normal_font_;
        if (partial && partial_font_) {
            font = partial_font_.get();
        } else if ((bold || partial) && bold_font_) {
            font = bold_font_.get();
        }
        ::SelectObject(draw.nmcd.hdc, font);
        // The selected row keeps the highlight colours, or its white text would vanish.
        if (!(draw.nmcd.uItemState & CDIS_SELECTED)) {
            draw.clrTextBk = ::GetSysColor(COLOR_WINDOW);
            if (partial) draw.clrText = ::GetSysColor(COLOR_GRAYTEXT);
        }
        result = CDRF_NEWFONT;
    }
    return true;
}

LRESULT CALLBACK TagTreeView::tree_proc(HWND tree, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                        DWORD_PTR data) {
    TagTreeView* self = reinterpret_cast<TagTreeView*>(data);
    if (message == WM_NCDESTROY) ::RemoveWindowSubclass(tree, tree_proc, 1);
    UiThread::Busy busy(self->thread_);
    try {
        LRESULT result = 0;
        if (self->handle_tree(message, wparam, lparam, result)) return result;
    } catch (...) {
        // Nothing may unwind into the window manager; the failed step simply has no effect.
        return 0;
    }
    return ::DefSubclassProc(tree, message, wparam, lparam);
}

bool TagTreeView::handle_tree(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
    switch (message) {
    case WM_LBUTTONDOWN:
        // Handled here rather than by the tree: its own handler would wait in a loop for a drag.
        on_left_down(lparam);
        return true;
    case WM_LBUTTONDBLCLK: {
        HTREEITEM item = item_at(lparam);
        if (!item || base_kind(kind_of(item)) != row_tag) return false;
        on_double_click(item);
        return true;
    }
    case WM_RBUTTONDOWN:
        on_right_down(lparam);
        return true;
    case WM_PAINT:
        result = ::DefSubclassProc(tree_, message, wparam, lparam);
        if (place_editor_) place_editor();
        return true;
    case WM_COMMAND:
        // The edit box lives inside the tree, so its notifications may arrive here.
        return LOWORD(wparam) == IDC_TAG_EDIT && HIWORD(wparam) == EN_MAXTEXT && on_command(IDC_TAG_EDIT, EN_MAXTEXT);
    case kCommitEdit:
        commit_edit();
        return true;
    case util::wm_dpichanged_afterparent:
        // The dialog has its new font by now (Windows rescales a dialog's font for per-monitor
        // aware threads): the bold fonts follow it.
        take_fonts();
        return false;
    }
    return false;
}

// ---- filling

void TagTreeView::fill(const std::vector<items::tree_ptr>& roots) {
    for (const items::tree_ptr& root : roots) insert_subtree(nullptr, *root, true);
    insert_row(nullptr, TVI_LAST, kNewRoot, row_new_root);
    had_no_root_ = roots.empty();
    if (had_no_root_) show_tooltip(kFirstSteps);
}

void TagTreeView::mark_chosen(const std::vector<std::vector<items::tree_ptr> >& file_tags) {
    for_each_below(nullptr, [&](HTREEITEM row) {
        if (base_kind(kind_of(row)) != row_tag) return;
        const std::vector<std::wstring> chain = names_of(row);
        std::size_t holders = 0;
        for (const std::vector<items::tree_ptr>& tags : file_tags) {
            if (names_a_tag(tags, chain)) ++holders;
        }
        if (holders == 0) return;
        set_kind(row, holders == file_tags.size() ? row_tag | row_chosen : row_tag | row_partial);
    });
}

HTREEITEM TagTreeView::insert_row(HTREEITEM parent, HTREEITEM after, const std::wstring& text, LPARAM kind) {
    TVINSERTSTRUCTW insert = {};
    insert.hParent = parent ? parent : TVI_ROOT;
    insert.hInsertAfter = after;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_STATE;
    insert.item.pszText = const_cast<wchar_t*>(text.c_str());
    insert.item.lParam = kind;
    insert.item.state = row_state(kind);
    insert.item.stateMask = TVIS_BOLD;
    HTREEITEM item = TreeView_InsertItem(tree_, &insert);
    if (!item) throw std::runtime_error("tree row not inserted");
    return item;
}

HTREEITEM TagTreeView::insert_container(HTREEITEM parent, HTREEITEM after, const std::wstring& name, LPARAM kind,
                                        const items::tree_node* node) {
    HTREEITEM item = insert_row(parent, after, name, kind);
    if (node) {
        for (const items::tree_ptr& child : node->children) insert_subtree(item, *child, false);
    }
    insert_row(item, TVI_LAST, kNewScope, row_new_scope);
    insert_row(item, TVI_LAST, kNewTag, row_new_tag);
    TreeView_Expand(tree_, item, TVE_EXPAND);
    return item;
}

void TagTreeView::insert_subtree(HTREEITEM parent, const items::tree_node& node, bool top) {
    const LPARAM kind = top ? row_root : node.children.empty() ? row_tag : row_scope;
    if (kind == row_tag) {
        insert_row(parent, TVI_LAST, node.name, kind);
    } else {
        insert_container(parent, TVI_LAST, node.name, kind, &node);
    }
}

void TagTreeView::show_tooltip(const wchar_t* text) {
    TOOLINFOW tool = {};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = owner_;
    tool.uId = reinterpret_cast<UINT_PTR>(tree_);
    tool.lpszText = const_cast<wchar_t*>(text);
    if (!tooltip_) {
        tooltip_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                     CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, tree_, nullptr,
                                     util::module_instance(), nullptr);
        if (!tooltip_) return;
        ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, util::scaled(kTipWidth, dpi_));
        ::SendMessageW(tooltip_, TTM_SETDELAYTIME, TTDT_AUTOPOP, 15000);
        ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    } else {
        ::SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    ::SendMessageW(tooltip_, TTM_POPUP, 0, 0);
}

// ---- rows

LPARAM TagTreeView::kind_of(HTREEITEM item) const {
    TVITEMW row = {};
    row.mask = TVIF_PARAM;
    row.hItem = item;
    if (!TreeView_GetItem(tree_, &row)) return 0;
    return row.lParam;
}

void TagTreeView::set_kind(HTREEITEM item, LPARAM kind) {
    TVITEMW row = {};
    row.mask = TVIF_PARAM | TVIF_STATE;
    row.hItem = item;
    row.lParam = kind;
    row.state = row_state(kind);
    row.stateMask = TVIS_BOLD;
    TreeView_SetItem(tree_, &row);
}

std::wstring TagTreeView::text_of(HTREEITEM item) const {
    std::vector<wchar_t> buffer(kMaxName + 1, L'\0');
    TVITEMW row = {};
    row.mask = TVIF_TEXT;
    row.hItem = item;
    row.pszText = buffer.data();
    row.cchTextMax = static_cast<int>(buffer.size());
    if (!TreeView_GetItem(tree_, &row)) return std::wstring();
    return std::wstring(row.pszText);
}

std::vector<std::wstring> TagTreeView::names_of(HTREEITEM item) const {
    std::vector<std::wstring> names;
    for (HTREEITEM step = item; step; step = TreeView_GetParent(tree_, step)) names.push_back(text_of(step));
    std::reverse(names.begin(), names.end());
    return names;
}

HTREEITEM TagTreeView::top_of(HTREEITEM item) const {
    HTREEITEM top = item;
    while (HTREEITEM parent = TreeView_GetParent(tree_, top)) top = parent;
    return top;
}

HTREEITEM TagTreeView::item_at(LPARAM point) const {
    TVHITTESTINFO hit = {};
    hit.pt.x = GET_X_LPARAM(point);
    hit.pt.y = GET_Y_LPARAM(point);
    HTREEITEM item = TreeView_HitTest(tree_, &hit);
    return (hit.flags & (TVHT_ONITEM | TVHT_ONITEMRIGHT)) ? item : nullptr;
}

std::vector<HTREEITEM> TagTreeView::children_of(HTREEITEM parent) const {
    std::vector<HTREEITEM> children;
    HTREEITEM child = parent ? TreeView_GetChild(tree_, parent) : TreeView_GetRoot(tree_);
    for (; child; child = TreeView_GetNextSibling(tree_, child)) children.push_back(child);
    return children;
}

HTREEITEM TagTreeView::insert_position(HTREEITEM parent) const {
    HTREEITEM after = TVI_FIRST;
    for (HTREEITEM child : children_of(parent)) {
        if (kind_of(child) & kNewRows) break;
        after = child;
    }
    return after;
}

// ---- mouse and menu

void TagTreeView::on_left_down(LPARAM point) {
    if (editing_) end_editing();
    ::SetFocus(tree_);
    TVHITTESTINFO hit = {};
    hit.pt.x = GET_X_LPARAM(point);
    hit.pt.y = GET_Y_LPARAM(point);
    HTREEITEM item = TreeView_HitTest(tree_, &hit);
    if (item && (hit.flags & TVHT_ONITEMBUTTON)) {
        TreeView_Expand(tree_, item, TVE_TOGGLE);
        return;
    }
    if (!item || !(hit.flags & (TVHT_ONITEM | TVHT_ONITEMRIGHT))) return;
    current_ = item;
    TreeView_SelectItem(tree_, item);
    if (kind_of(item) & kNewRows) start_editing(item);
}

void TagTreeView::on_double_click(HTREEITEM item) {
    // Partly chosen, then chosen, then not chosen, then chosen again: what each file held is
    // shown again only by Cancel or a new open.
    const LPARAM kind = kind_of(item);
    set_kind(item, (kind & row_chosen) ? base_kind(kind) : base_kind(kind) | row_chosen);
    RECT row;
    if (TreeView_GetItemRect(tree_, item, &row, FALSE)) ::InvalidateRect(tree_, &row, TRUE);
}

void TagTreeView::on_right_down(LPARAM point) {
    if (editing_) end_editing();
    HTREEITEM item = item_at(point);
    if (!item || !(kind_of(item) & kNodeRows)) return;
    current_ = menu_item_ = item;
    TreeView_SelectItem(tree_, item);

    move_targets_.clear();
    popup_.reset(::CreatePopupMenu());
    // Owned here until the popup menu takes it: a menu that is not part of another is freed by
    // nobody else.
    util::unique_hmenu move(::CreatePopupMenu());
    if (!popup_ || !move) return;
    ::AppendMenuW(popup_.get(), MF_STRING, IDM_RENAME_NODE, L"Rename");
    ::AppendMenuW(popup_.get(), MF_STRING, IDM_DELETE_NODE, L"Delete");
    if (kind_of(item) == row_root) {
        // A root tag may go under any other root tag or one of its scopes.
        for (HTREEITEM root : children_of(nullptr)) {
            if (kind_of(root) == row_root && root != item) add_move_targets(move.get(), root, item);
        }
    } else {
        // Scopes and tags stay within their root tag.
        add_move_targets(move.get(), top_of(item), item);
    }
    if (::AppendMenuW(popup_.get(), MF_POPUP | (::GetMenuItemCount(move.get()) > 0 ? 0 : MF_GRAYED),
                      reinterpret_cast<UINT_PTR>(move.get()), L"MoveTo")) {
        move.release();
    }

    POINT screen = {GET_X_LPARAM(point), GET_Y_LPARAM(point)};
    ::ClientToScreen(tree_, &screen);
    // The chosen command arrives as WM_COMMAND to the dialog, once the menu has closed.
    ::TrackPopupMenu(popup_.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, screen.x, screen.y, 0, owner_,
                     nullptr);
}

void TagTreeView::add_move_targets(HMENU menu, HTREEITEM container, HTREEITEM moving) {
    if (container == moving) return;
    util::unique_hmenu submenu(::CreatePopupMenu());
    if (!submenu) return;
    const UINT id = IDM_MOVE_FIRST + static_cast<UINT>(move_targets_.size());
    move_targets_[id] = container;
    ::AppendMenuW(submenu.get(), MF_STRING, id, L"<Place Here>");
    for (HTREEITEM child : children_of(container)) {
        if (base_kind(kind_of(child)) == row_scope && child != moving) add_move_targets(submenu.get(), child, moving);
    }
    // Destroying a menu destroys the submenus it holds, so only this one is at stake.
    if (::AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(submenu.get()), text_of(container).c_str())) {
        submenu.release();
    }
}

// ---- in-place editing

void TagTreeView::start_editing(HTREEITEM item) {
    if (!item || !tree_) return;
    edited_ = item;
    editing_ = true;
    place_editor_ = true;
    TreeView_EnsureVisible(tree_, item);
    RECT row;
    if (TreeView_GetItemRect(tree_, item, &row, FALSE)) {
        ::InvalidateRect(tree_, &row, TRUE);
    } else {
        ::InvalidateRect(tree_, nullptr, TRUE);
    }
}

void TagTreeView::place_editor() {
    place_editor_ = false;
    RECT text;
    if (!editing_ || !edited_ || !TreeView_GetItemRect(tree_, edited_, &text, TRUE)) return;
    RECT client;
    ::GetClientRect(tree_, &client);
    const int width = std::max<int>(client.right - text.left, util::scaled(kLeastEditorWidth, dpi_));
    const std::wstring initial = (kind_of(edited_) & kNodeRows) ? text_of(edited_) : std::wstring();
    ::SetWindowTextW(edit_, initial.c_str());
    ::SetWindowPos(edit_, HWND_TOP, text.left, text.top, width, text.bottom - text.top, SWP_SHOWWINDOW);
    ::SendMessageW(edit_, EM_SETSEL, 0, -1);
    ::SetFocus(edit_);
}

void TagTreeView::end_editing() {
    editing_ = false;
    place_editor_ = false;
    edited_ = nullptr;
    if (edit_) {
        ::SetWindowTextW(edit_, L"");
        ::ShowWindow(edit_, SW_HIDE);
    }
}

void TagTreeView::commit_edit() {
    if (!editing_) return;
    std::vector<wchar_t> buffer(kMaxName + 1, L'\0');
    ::GetWindowTextW(edit_, buffer.data(), static_cast<int>(buffer.size()));
    const std::wstring name = trimmed(buffer.data());
    HTREEITEM item = edited_;
    end_editing();
    if (name.empty() || !item) return;
    if (name_refused(item, name)) return;

    const LPARAM kind = base_kind(kind_of(item));
    items::tree_edit edit;
    if (kind & kNodeRows) {
        if (text_of(item) == name) return;
        edit.op = items::tree_edit::rename;
        edit.node = names_of(item);
        edit.new_name = name;
        TVITEMW row = {};
        row.mask = TVIF_TEXT;
        row.hItem = item;
        row.pszText = const_cast<wchar_t*>(name.c_str());
        TreeView_SetItem(tree_, &row);
        edits_.push_back(edit);
        return;
    }

    HTREEITEM parent = TreeView_GetParent(tree_, item);
    const HTREEITEM after = insert_position(parent);
    edit.op = items::tree_edit::create;
    edit.new_name = name;
    if (parent) edit.node = names_of(parent);
    HTREEITEM created = nullptr;
    if (kind == row_new_tag) {
        edit.kind = items::kind_tag;
        created = insert_row(parent, after, name, row_tag | row_chosen);
    } else {
        edit.kind = kind == row_new_root ? items::kind_root : items::kind_scope;
        created = insert_container(parent, after, name, kind == row_new_root ? row_root : row_scope, nullptr);
    }
    edits_.push_back(edit);
    if (kind == row_new_root && had_no_root_) show_tooltip(kRootAdded);
    TreeView_EnsureVisible(tree_, created);
}

bool TagTreeView::name_refused(HTREEITEM item, const std::wstring& name) {
    // The name becomes a folder or file in the data folder; one that Windows would refuse or
    // reinterpret (a separator, "..", a device name) must never reach the store.
    if (!util::is_valid_file_name(name)) {
        ::MessageBoxW(owner_, kNameUnsafe, L"", MB_OK);
        return true;
    }
    bool clash = false;
    if (base_kind(kind_of(item)) == row_new_tag) {
        // A tag name is unique in its whole root tag.
        for_each_below(top_of(item), [&](HTREEITEM row) {
            if ((kind_of(row) & kNodeRows) && text_of(row) == name) clash = true;
        });
    }
    // Siblings share a folder, and the file system does not tell "Docs" from "docs".
    for (HTREEITEM sibling : children_of(TreeView_GetParent(tree_, item))) {
        if (sibling != item && (kind_of(sibling) & kNodeRows) && same_file_name(text_of(sibling), name)) clash = true;
    }
    if (clash) ::MessageBoxW(owner_, kNameUsed, L"", MB_OK);
    return clash;
}

// ---- delete and move

void TagTreeView::delete_row(HTREEITEM item) {
    if (!item || !tree_) return;
    if (editing_) end_editing();
    items::tree_edit edit;
    edit.op = items::tree_edit::remove;
    edit.node = names_of(item);
    HTREEITEM parent = TreeView_GetParent(tree_, item);
    TreeView_DeleteItem(tree_, item);
    current_ = menu_item_ = nullptr;
    edits_.push_back(edit);
    if (parent) ::InvalidateRect(tree_, nullptr, TRUE);
}

HTREEITEM TagTreeView::copy_rows(HTREEITEM from, HTREEITEM to_parent, LPARAM kind) {
    HTREEITEM copy = insert_row(to_parent, insert_position(to_parent), text_of(from), kind);
    std::map<HTREEITEM, HTREEITEM> copies = {{from, copy}};
    for_each_below(from, [&](HTREEITEM row) {
        copies[row] = insert_row(copies[TreeView_GetParent(tree_, row)], TVI_LAST, text_of(row), kind_of(row));
    });
    for (const std::pair<const HTREEITEM, HTREEITEM>& made : copies) {
        if (TreeView_GetChild(tree_, made.second)) TreeView_Expand(tree_, made.second, TVE_EXPAND);
    }
    return copy;
}

void TagTreeView::move_row(HTREEITEM item, HTREEITEM target) {
    if (!item || !target || !tree_) return;
    if (editing_) end_editing();
    // Already there: the database would refuse a move onto the same parent.
    if (TreeView_GetParent(tree_, item) == target) return;
    const std::wstring name = text_of(item);
    for (HTREEITEM child : children_of(target)) {
        if ((kind_of(child) & kNodeRows) && same_file_name(text_of(child), name)) {
            ::MessageBoxW(owner_, kNameUsed, L"", MB_OK);
            return;
        }
    }
    items::tree_edit edit;
    edit.op = items::tree_edit::move;
    edit.node = names_of(item);
    edit.target = names_of(target);
    LPARAM kind = kind_of(item);
    // A root tag placed inside another root tag becomes one of its scopes.
    if (base_kind(kind) == row_root) kind = row_scope;
    HTREEITEM moved = copy_rows(item, target, kind);
    TreeView_DeleteItem(tree_, item);
    current_ = menu_item_ = nullptr;
    edits_.push_back(edit);
    TreeView_Expand(tree_, target, TVE_EXPAND);
    TreeView_SelectItem(tree_, moved);
}
