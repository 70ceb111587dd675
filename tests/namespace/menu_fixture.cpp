#include "menu_fixture.h"

#include "namespace/item_ids.h"

#include <algorithm>
#include <cstring>
#include <string>

std::ostream& operator<<(std::ostream& os, const menu_line& line) {
    return os << "{" << line.id << ", " << std::string(line.text.begin(), line.text.end()) << "}";
}

namespace {

LRESULT CALLBACK frame_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // The shell's "give me your browser" message: a pointer that is not AddRef'ed.
    if (message == WM_USER + 7) return ::GetWindowLongPtrW(window, GWLP_USERDATA);
    return ::DefWindowProcW(window, message, wparam, lparam);
}

std::size_t list_size(LPCITEMIDLIST pidl) {
    std::size_t size = 0;
    for (LPCITEMIDLIST item = pidl; ShellNamespace::item_size(item) != 0; item = ShellNamespace::next_item(item)) {
        size += ShellNamespace::item_size(item);
    }
    return size + sizeof(USHORT);
}

}  // namespace

IFACEMETHODIMP RecordingBrowser::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IOleWindow && riid != IID_IShellBrowser) return E_NOINTERFACE;
    *ppv = static_cast<IShellBrowser*>(this);
    return S_OK;
}

IFACEMETHODIMP RecordingBrowser::GetWindow(HWND* out) {
    *out = window;
    return S_OK;
}

IFACEMETHODIMP RecordingBrowser::BrowseObject(LPCITEMIDLIST pidl, UINT how) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(pidl);
    // A move relative to the shown level (SBSP_PARENT) comes without a list.
    browsed.push_back(pidl ? std::vector<BYTE>(bytes, bytes + list_size(pidl)) : std::vector<BYTE>());
    flags.push_back(how);
    return S_OK;
}

IFACEMETHODIMP RecordingBrowser::GetViewStateStream(DWORD, IStream** stream) {
    *stream = nullptr;
    return E_NOTIMPL;
}

IFACEMETHODIMP RecordingBrowser::GetControlWindow(UINT, HWND* out) {
    *out = nullptr;
    return E_NOTIMPL;
}

IFACEMETHODIMP RecordingBrowser::SendControlMsg(UINT, UINT, WPARAM, LPARAM, LRESULT* result) {
    if (result) *result = 0;
    return S_OK;
}

IFACEMETHODIMP RecordingBrowser::QueryActiveShellView(IShellView** view) {
    *view = active;
    if (!active) return E_NOTIMPL;
    active->AddRef();
    return S_OK;
}

void RecordingBrowser::clear() {
    browsed.clear();
    flags.clear();
}

std::vector<std::wstring> RecordingBrowser::names(std::size_t i) const {
    return ShellNamespace::own_names(reinterpret_cast<LPCITEMIDLIST>(browsed.at(i).data()));
}

std::vector<BYTE> RecordingBrowser::last_only(std::size_t i) const {
    LPCITEMIDLIST item = reinterpret_cast<LPCITEMIDLIST>(browsed.at(i).data());
    while (ShellNamespace::item_size(ShellNamespace::next_item(item)) != 0) item = ShellNamespace::next_item(item);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(item);
    std::vector<BYTE> copy(bytes, bytes + ShellNamespace::item_size(item));
    copy.resize(copy.size() + sizeof(USHORT), 0);
    return copy;
}

items::shell_item_fields RecordingBrowser::last_item(std::size_t i) const {
    const std::vector<BYTE> item = last_only(i);
    items::shell_item_fields fields;
    ShellNamespace::read_own_item(reinterpret_cast<LPCITEMIDLIST>(item.data()), fields);
    return fields;
}

namespace {

void set_class_value(const wchar_t* key, const std::wstring& value) {
    HKEY opened = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_WRITE, nullptr, &opened, nullptr));
    ::RegSetValueExW(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(opened);
}

}  // namespace

OpenedFiles::OpenedFiles(const std::wstring& log) : log_(log) {
    set_class_value(L".mp3", L"Quibrix.TestOpened");
    wchar_t exe[MAX_PATH] = L"";
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring recorder(exe);
    recorder.erase(recorder.find_last_of(L'\\') + 1);
    recorder += L"open_recorder.exe";
    set_class_value(L"Quibrix.TestOpened\\shell\\open\\command",
                    L"\"" + recorder + L"\" \"%1\" \"" + log_ + L"\"");
}

OpenedFiles::~OpenedFiles() {
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L".mp3");
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Quibrix.TestOpened");
}

std::vector<std::wstring> OpenedFiles::paths(std::size_t count) const {
    for (int i = 0; i < 100 && read().size() < count; ++i) ::Sleep(100);
    ::Sleep(count ? 500 : 1500);
    return read();
}

std::vector<std::wstring> OpenedFiles::read() const {
    std::vector<std::wstring> found;
    util::unique_file log;
    // A recorder holds the log alone for a moment.
    for (int i = 0; i < 100 && (i == 0 || ::GetLastError() == ERROR_SHARING_VIOLATION) && !log.valid(); ++i) {
        if (i) ::Sleep(10);
        log.reset(::CreateFileW(log_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    std::string text(64 * 1024, '\0');
    DWORD read = 0;
    if (log.valid()) ::ReadFile(log.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
    // One path a line, as open_recorder writes them.
    for (std::size_t start = 0, end; (end = text.find('\n', start)) < read; start = end + 1) {
        found.push_back(std::wstring(text.begin() + start, text.begin() + end));
    }
    std::sort(found.begin(), found.end());
    return found;
}

void MenuTest::SetUp() {
    NamespaceTest::SetUp();
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = frame_proc;
    window_class.hInstance = ::GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"QuibrixMenuTestFrame";
    ::RegisterClassW(&window_class);
    frame_ = ::CreateWindowExW(0, L"QuibrixMenuTestFrame", L"Tags", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240, nullptr,
                               nullptr, window_class.hInstance, nullptr);
    ASSERT_NE(nullptr, frame_) << ::GetLastError();
    browser_.window = frame_;
    ::SetWindowLongPtrW(frame_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&browser_));
}

void MenuTest::TearDown() {
    if (frame_) ::DestroyWindow(frame_);
    NamespaceTest::TearDown();
}

util::com_ptr<IShellFolder2> MenuTest::files_of(const std::vector<std::wstring>& level) {
    util::com_ptr<IShellFolder2> folder = open(level);
    if (!folder) return folder;
    for (const listed& item : list(folder.get())) {
        if (item.kind == items::item_filtered) return bind(folder.get(), item.pidl());
    }
    ADD_FAILURE() << "no Filtered Items entry";
    return util::com_ptr<IShellFolder2>();
}

util::com_ptr<IContextMenu> MenuTest::menu_of(IShellFolder2* folder, const std::vector<std::wstring>& names) {
    std::vector<listed> chosen;
    for (const std::wstring& name : names) chosen.push_back(find(folder, name));
    std::vector<LPCITEMIDLIST> items;
    for (const listed& item : chosen) items.push_back(item.pidl());
    util::com_ptr<IContextMenu> menu;
    EXPECT_EQ(S_OK, folder->GetUIObjectOf(frame_, static_cast<UINT>(items.size()), items.data(), IID_IContextMenu,
                                          nullptr, menu.put_void()));
    return menu;
}

std::vector<menu_line> MenuTest::lines_of(IContextMenu* menu, UINT flags) {
    std::vector<menu_line> lines;
    util::unique_hmenu popup(::CreatePopupMenu());
    queried_ = menu->QueryContextMenu(popup.get(), 0, first, 0x7FFF, flags);
    EXPECT_TRUE(SUCCEEDED(queried_)) << std::hex << queried_;
    default_id_ = ::GetMenuDefaultItem(popup.get(), FALSE, 0);
    const int count = ::GetMenuItemCount(popup.get());
    for (int i = 0; i < count; ++i) {
        wchar_t text[128] = L"";
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 128;
        ::GetMenuItemInfoW(popup.get(), i, TRUE, &info);
        lines.push_back((info.fType & MFT_SEPARATOR) ? separator_line() : menu_line{info.wID, text});
    }
    return lines;
}

HRESULT MenuTest::invoke(IContextMenu* menu, int offset) {
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    info.hwnd = frame_;
    info.lpVerb = MAKEINTRESOURCEA(offset);
    info.nShow = SW_SHOWNORMAL;
    return menu->InvokeCommand(&info);
}

HRESULT MenuTest::invoke_verb(IContextMenu* menu, const char* verb, bool wide) {
    const std::wstring wide_verb(verb, verb + std::strlen(verb));
    CMINVOKECOMMANDINFOEX info = {};
    info.cbSize = sizeof info;
    info.hwnd = frame_;
    info.nShow = SW_SHOWNORMAL;
    if (wide) {
        info.fMask = CMIC_MASK_UNICODE;
        info.lpVerb = "no such verb";
        info.lpVerbW = wide_verb.c_str();
    } else {
        info.lpVerb = verb;
    }
    return menu->InvokeCommand(reinterpret_cast<CMINVOKECOMMANDINFO*>(&info));
}
