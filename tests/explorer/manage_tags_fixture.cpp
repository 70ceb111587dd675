#include "manage_tags_fixture.h"

#include "manage_tags_ids.h"

#include <atomic>
#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

const wchar_t kNothingChosenText[] =
    L"  Not choosen tags for adding, \nPlease add or select the real tags.\n( \"Root tag\" or \"Scope tag\" is not real tags)";
const wchar_t kNameUsedText[] = L"This name is already used";

namespace {

std::wstring class_of(HWND window) {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    return name;
}

std::wstring text_of_window(HWND window) {
    wchar_t text[4096] = {};
    ::GetWindowTextW(window, text, 4096);
    return text;
}

std::vector<HWND> thread_windows(DWORD thread, const wchar_t* class_name) {
    struct search {
        const wchar_t* class_name;
        std::vector<HWND> found;
        static BOOL CALLBACK visit(HWND window, LPARAM self) {
            search* s = reinterpret_cast<search*>(self);
            if (::IsWindowVisible(window) && class_of(window) == s->class_name) s->found.push_back(window);
            return TRUE;
        }
    } s = {class_name, {}};
    ::EnumThreadWindows(thread, search::visit, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

void list_menu(HMENU menu, const std::wstring& prefix, std::vector<std::wstring>& lines) {
    const int count = ::GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        MENUITEMINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_STRING | MIIM_ID | MIIM_SUBMENU;
        info.dwTypeData = text;
        info.cch = 255;
        if (!::GetMenuItemInfoW(menu, i, TRUE, &info)) continue;
        const std::wstring path = prefix.empty() ? std::wstring(text) : prefix + L">" + text;
        if (info.hSubMenu) {
            list_menu(info.hSubMenu, path, lines);
        } else {
            lines.push_back(path + L"=" + std::to_wstring(info.wID));
        }
    }
}

}  // namespace

// Presses OK on every message box the dialog thread shows, remembering their texts.
class BoxAnswerer {
public:
    BoxAnswerer(DWORD thread, HWND except) : thread_(thread), except_(except), stop_(false) {
        worker_ = std::thread([this] { run(); });
    }
    std::vector<std::wstring> finish() {
        stop_ = true;
        worker_.join();
        return texts_;
    }

private:
    void run() {
        while (!stop_) {
            for (HWND box : thread_windows(thread_, L"#32770")) {
                if (box == except_ || answered_.count(box)) continue;
                answered_.insert(box);
                struct statics {
                    std::wstring text;
                    static BOOL CALLBACK visit(HWND child, LPARAM self) {
                        if (class_of(child) == L"Static") reinterpret_cast<statics*>(self)->text += text_of_window(child);
                        return TRUE;
                    }
                } s;
                ::EnumChildWindows(box, statics::visit, reinterpret_cast<LPARAM>(&s));
                texts_.push_back(s.text);
                ::PostMessageW(box, WM_COMMAND, IDOK, 0);
            }
            ::Sleep(10);
        }
    }
    DWORD thread_;
    HWND except_;
    std::atomic<bool> stop_;
    std::set<HWND> answered_;
    std::vector<std::wstring> texts_;
    std::thread worker_;
};

// Waits for the popup menu of the dialog thread, reads it, closes it and posts the chosen
// entry's command to the dialog, as choosing it would.
class MenuAnswerer {
public:
    MenuAnswerer(DWORD thread, HWND dialog, const std::wstring& entry)
        : thread_(thread), dialog_(dialog), entry_(entry), stop_(false) {
        worker_ = std::thread([this] { run(); });
    }
    std::vector<std::wstring> finish() {
        stop_ = true;
        worker_.join();
        return lines_;
    }

private:
    void run() {
        for (int tries = 0; tries < 500 && !stop_; ++tries) {
            std::vector<HWND> menus = thread_windows(thread_, L"#32768");
            if (menus.empty()) {
                ::Sleep(10);
                continue;
            }
            HMENU menu = reinterpret_cast<HMENU>(::SendMessageW(menus[0], MN_GETHMENU, 0, 0));
            list_menu(menu, std::wstring(), lines_);
            UINT chosen = 0;
            for (const std::wstring& line : lines_) {
                if (line.compare(0, entry_.size() + 1, entry_ + L"=") == 0) {
                    chosen = static_cast<UINT>(std::stoul(line.substr(entry_.size() + 1)));
                }
            }
            ::EndMenu();
            ::PostMessageW(menus[0], WM_KEYDOWN, VK_ESCAPE, 0);
            if (chosen) ::PostMessageW(dialog_, WM_COMMAND, chosen, 0);
            return;
        }
    }
    DWORD thread_;
    HWND dialog_;
    std::wstring entry_;
    std::atomic<bool> stop_;
    std::vector<std::wstring> lines_;
    std::thread worker_;
};

DialogTest::DialogTest() {
    items::TagsHolder& db = items::tags_holder();
    db.children.clear();
    db.set_data_folder(data_.path());
    db.load_store();
    ManageTagsDialog::Services services;
    services.confirm = [this](unsigned bit, HWND owner) {
        confirmations.emplace_back(bit, owner);
        if (while_confirming) while_confirming();
        return confirm_answer;
    };
    services.watcher_active = [this] { return watcher_on; };
    services.set_watcher_active = [this](bool active) { watcher_changes.push_back(active); };
    ManageTagsDialog::instance().set_services(services);
}

DialogTest::~DialogTest() {
    ManageTagsDialog::instance().close();
    settle();
    ManageTagsDialog::instance().set_services(ManageTagsDialog::Services());
    items::tags_holder().children.clear();
}

std::wstring DialogTest::file(const std::wstring& name) {
    const std::wstring path = files_.path() + name;
    util::unique_file made(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    EXPECT_TRUE(made.valid());
    return path;
}

void DialogTest::give(const std::vector<std::wstring>& paths, const std::vector<std::wstring>& chains) {
    ASSERT_TRUE(items::tags_holder().set_tags(paths, tags(chains), items::tree_ptr()));
}

static std::vector<std::wstring> chains_of_all(const std::vector<items::tree_ptr>& trees) {
    std::vector<std::wstring> all;
    for (const items::tree_ptr& tree : trees) {
        std::vector<std::wstring> chains = chains_of(tree);
        all.insert(all.end(), chains.begin(), chains.end());
    }
    std::sort(all.begin(), all.end());
    return all;
}

std::vector<std::wstring> DialogTest::tags_of(const std::wstring& path) {
    return chains_of_all(items::tags_holder().tags_of_paths({path}));
}

std::vector<std::wstring> DialogTest::tags_on_disk(const std::wstring& path) {
    items::TagsHolder fresh;
    fresh.set_data_folder(data_.path());
    fresh.load_store();
    return chains_of_all(fresh.tags_of_paths({path}));
}

std::vector<std::pair<std::wstring, std::vector<unsigned char> > > DialogTest::store_snapshot() {
    std::vector<std::pair<std::wstring, std::vector<unsigned char> > > all;
    struct walker {
        std::vector<std::pair<std::wstring, std::vector<unsigned char> > >& all;
        void walk(const std::wstring& folder, const std::wstring& relative) {
            for (const std::wstring& name : folder_entries(folder)) {
                const std::wstring full = folder + name;
                if (::GetFileAttributesW(full.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
                    all.emplace_back(relative + name + L"\\", std::vector<unsigned char>());
                    walk(full + L"\\", relative + name + L"\\");
                } else {
                    all.emplace_back(relative + name, read_bytes(full));
                }
            }
        }
    } w = {all};
    w.walk(data_.path(), std::wstring());
    return all;
}

void DialogTest::open(const std::vector<std::wstring>& paths, const ManageTagsDialog::Callback& callback) {
    open_manage_tags(paths, callback);
    ASSERT_TRUE(dialog() != nullptr);
    ::UpdateWindow(dialog());
    settle();
}

HWND DialogTest::tree() const { return ::GetDlgItem(dialog(), IDC_TAG_TREE); }

std::wstring DialogTest::title() const { return text_of_window(dialog()); }

static std::wstring item_text(HWND tree, HTREEITEM item) {
    wchar_t text[4097] = {};
    TVITEMW row = {};
    row.mask = TVIF_TEXT;
    row.hItem = item;
    row.pszText = text;
    row.cchTextMax = 4097;
    TreeView_GetItem(tree, &row);
    return text;
}

HTREEITEM DialogTest::row(const std::wstring& path) const {
    HWND t = tree();
    HTREEITEM parent = nullptr;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(L'/', start);
        if (end == std::wstring::npos) end = path.size();
        const std::wstring name = path.substr(start, end - start);
        HTREEITEM found = nullptr;
        for (HTREEITEM child = parent ? TreeView_GetChild(t, parent) : TreeView_GetRoot(t); child;
             child = TreeView_GetNextSibling(t, child)) {
            if (item_text(t, child) == name) found = child;
        }
        if (!found) return nullptr;
        parent = found;
        start = end + 1;
    }
    return parent;
}

LPARAM DialogTest::kind(const std::wstring& path) const {
    TVITEMW item = {};
    item.mask = TVIF_PARAM;
    item.hItem = row(path);
    if (!item.hItem || !TreeView_GetItem(tree(), &item)) return 0;
    return item.lParam;
}

std::vector<std::wstring> DialogTest::rows() const {
    std::vector<std::wstring> all;
    struct walker {
        HWND tree;
        std::vector<std::wstring>& all;
        void walk(HTREEITEM parent, const std::wstring& prefix) {
            for (HTREEITEM child = parent ? TreeView_GetChild(tree, parent) : TreeView_GetRoot(tree); child;
                 child = TreeView_GetNextSibling(tree, child)) {
                TVITEMW item = {};
                item.mask = TVIF_PARAM;
                item.hItem = child;
                TreeView_GetItem(tree, &item);
                const std::wstring path = prefix + item_text(tree, child);
                all.push_back(path + ((item.lParam & row_chosen) ? L" *" : (item.lParam & row_partial) ? L" ~" : L""));
                walk(child, path + L"/");
            }
        }
    } w = {tree(), all};
    w.walk(nullptr, std::wstring());
    return all;
}

std::wstring DialogTest::tooltip_text() const { return tooltip().second; }

std::pair<HWND, std::wstring> DialogTest::tooltip() const {
    struct search {
        HWND tree;
        std::wstring text;
        HWND window;
        static BOOL CALLBACK visit(HWND window, LPARAM self) {
            search* s = reinterpret_cast<search*>(self);
            if (class_of(window) != TOOLTIPS_CLASSW) return TRUE;
            wchar_t text[1024] = {};
            TOOLINFOW tool = {};
            tool.cbSize = TTTOOLINFOW_V2_SIZE;
            tool.hwnd = ::GetParent(s->tree);
            tool.uId = reinterpret_cast<UINT_PTR>(s->tree);
            tool.lpszText = text;
            ::SendMessageW(window, TTM_GETTEXTW, 1024, reinterpret_cast<LPARAM>(&tool));
            if (text[0]) {
                s->text = text;
                s->window = window;
            }
            return TRUE;
        }
    } s = {tree(), std::wstring(), nullptr};
    ::EnumThreadWindows(dialog_thread(), search::visit, reinterpret_cast<LPARAM>(&s));
    return std::make_pair(s.window, s.text);
}

POINT DialogTest::center_of(const std::wstring& path) const {
    POINT center = {-1, -1};
    HTREEITEM item = row(path);
    EXPECT_TRUE(item != nullptr) << "no row " << std::string(path.begin(), path.end());
    RECT text;
    if (item && TreeView_GetItemRect(tree(), item, &text, TRUE)) {
        center.x = (text.left + text.right) / 2;
        center.y = (text.top + text.bottom) / 2;
    }
    return center;
}

void DialogTest::click(const std::wstring& path) {
    const POINT at = center_of(path);
    ::SendMessageW(tree(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
    ::SendMessageW(tree(), WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
    settle();
}

void DialogTest::double_click(const std::wstring& path) {
    const POINT at = center_of(path);
    const LPARAM where = MAKELPARAM(at.x, at.y);
    ::SendMessageW(tree(), WM_LBUTTONDOWN, MK_LBUTTON, where);
    ::SendMessageW(tree(), WM_LBUTTONUP, 0, where);
    ::SendMessageW(tree(), WM_LBUTTONDBLCLK, MK_LBUTTON, where);
    ::SendMessageW(tree(), WM_LBUTTONUP, 0, where);
    settle();
}

void DialogTest::type(const std::wstring& text) {
    // The edit box is placed over its row when the tree next paints.
    ::UpdateWindow(tree());
    settle();
    HWND edit = ::GetDlgItem(tree(), IDC_TAG_EDIT);
    ASSERT_TRUE(edit != nullptr);
    ASSERT_TRUE(::IsWindowVisible(edit));
    ::SetWindowTextW(edit, text.c_str());
    ::SendMessageW(edit, EM_SETSEL, text.size(), text.size());
    ::SendMessageW(edit, WM_CHAR, L'\r', 1);
    settle();
}

void DialogTest::press(int id) {
    ::SendMessageW(dialog(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog(), id)));
    settle();
}

std::vector<std::wstring> DialogTest::choose_from_menu(const std::wstring& row_path, const std::wstring& entry) {
    const POINT at = center_of(row_path);
    MenuAnswerer answerer(dialog_thread(), dialog(), entry);
    // Returns once the menu has closed.
    ::SendMessageW(tree(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(at.x, at.y));
    std::vector<std::wstring> lines = answerer.finish();
    settle();
    return lines;
}

BoxAnswerer* DialogTest::start_boxes() { return new BoxAnswerer(dialog_thread(), dialog()); }

std::vector<std::wstring> DialogTest::finish_boxes(BoxAnswerer* answerer) {
    std::vector<std::wstring> texts = answerer->finish();
    delete answerer;
    return texts;
}

void DialogTest::settle() {
    EXPECT_TRUE(ManageTagsDialog::instance().settle(20000)) << "the dialog thread is still busy";
}
