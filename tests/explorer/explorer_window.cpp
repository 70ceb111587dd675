#include "explorer_window.h"

#include <algorithm>
#include <chrono>

bool wait_for(const std::function<bool()>& done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        ::Sleep(100);
    }
    return done();
}

HWND find_visible_child(HWND parent, const wchar_t* class_name) {
    struct search {
        const wchar_t* class_name;
        HWND found;
    } s = {class_name, nullptr};
    ::EnumChildWindows(
        parent,
        [](HWND child, LPARAM param) -> BOOL {
            search* s = reinterpret_cast<search*>(param);
            wchar_t name[64] = L"";
            ::GetClassNameW(child, name, 64);
            if (::lstrcmpiW(name, s->class_name) != 0 || !::IsWindowVisible(child)) return TRUE;
            s->found = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

RemoteBlock::RemoteBlock(HWND window) {
    DWORD process_id = 0;
    ::GetWindowThreadProcessId(window, &process_id);
    process_.reset(::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process_id));
    if (process_) block_ = ::VirtualAllocEx(process_.get(), nullptr, size, MEM_COMMIT, PAGE_READWRITE);
}

RemoteBlock::~RemoteBlock() {
    if (block_) ::VirtualFreeEx(process_.get(), block_, 0, MEM_RELEASE);
}

std::wstring RemoteBlock::exchange(HWND control, UINT message, WPARAM wparam, const void* request, std::size_t bytes,
                                   LRESULT* result) const {
    if (!block_) return std::wstring();
    ::WriteProcessMemory(process_.get(), at(0), request, bytes, nullptr);
    const LRESULT answer = ::SendMessageW(control, message, wparam, reinterpret_cast<LPARAM>(at(0)));
    if (result) *result = answer;
    wchar_t text[text_chars] = L"";
    ::ReadProcessMemory(process_.get(), at(text_offset), text, sizeof text, nullptr);
    text[text_chars - 1] = 0;
    return text;
}

std::vector<HTREEITEM> ExplorerTree::children(HTREEITEM parent) const {
    std::vector<HTREEITEM> items;
    for (LPARAM item = ::SendMessageW(tree_, TVM_GETNEXTITEM, parent ? TVGN_CHILD : TVGN_ROOT,
                                      reinterpret_cast<LPARAM>(parent));
         item; item = ::SendMessageW(tree_, TVM_GETNEXTITEM, TVGN_NEXT, item)) {
        items.push_back(reinterpret_cast<HTREEITEM>(item));
    }
    return items;
}

std::wstring ExplorerTree::text(HTREEITEM item) const {
    TVITEMW tv = {};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    LRESULT found = 0;
    const std::wstring name = remote_.ask_text(tree_, TVM_GETITEMW, 0, tv, &found);
    return found ? name : std::wstring();
}

std::vector<std::wstring> ExplorerTree::names(HTREEITEM parent) const {
    std::vector<std::wstring> result;
    for (HTREEITEM child : children(parent)) result.push_back(text(child));
    return result;
}

HTREEITEM ExplorerTree::child_named(HTREEITEM parent, const std::wstring& name) const {
    for (HTREEITEM child : children(parent)) {
        if (text(child) == name) return child;
    }
    return nullptr;
}

void ExplorerTree::expand(HTREEITEM item, UINT how) const {
    ::SendMessageW(tree_, TVM_EXPAND, how, reinterpret_cast<LPARAM>(item));
}

void ExplorerTree::select(HTREEITEM item) const {
    ::SendMessageW(tree_, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
}

std::vector<std::wstring> ExplorerTree::unfold(HTREEITEM item) const {
    std::vector<std::wstring> result;
    wait_for([&] {
        expand(item);
        result = names(item);
        return !result.empty();
    }, 5);
    return result;
}

HTREEITEM ExplorerTree::quibrix_roots(std::vector<std::wstring>& roots) const {
    HTREEITEM desktop = nullptr, quibrix = nullptr;
    if (!wait_for([&] { return (desktop = child_named(nullptr, L"Desktop")) != nullptr; })) return nullptr;
    const bool shown = wait_for([&] {
        expand(desktop);
        quibrix = child_named(desktop, L"Quibrix");
        if (!quibrix) return false;
        expand(quibrix);
        roots = names(quibrix);
        if (!roots.empty()) return true;
        expand(desktop, TVE_COLLAPSE | TVE_COLLAPSERESET);
        ::Sleep(500);
        return false;
    });
    return shown ? quibrix : nullptr;
}

std::vector<std::pair<std::wstring, std::wstring>> list_rows(HWND list, int first_column, int second_column) {
    RemoteBlock remote(list);
    std::vector<std::pair<std::wstring, std::wstring>> rows;
    const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        LVITEMW first = {}, second = {};
        first.iSubItem = first_column;
        second.iSubItem = second_column;
        rows.emplace_back(remote.ask_text(list, LVM_GETITEMTEXTW, i, first),
                          remote.ask_text(list, LVM_GETITEMTEXTW, i, second));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}
