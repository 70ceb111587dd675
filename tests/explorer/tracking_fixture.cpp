#include "tracking_fixture.h"

#include <chrono>

namespace {
const UINT listener_message = WM_APP + 7;
}

bool eventually(const std::function<bool()>& done, DWORD timeout_ms) {
    const ULONGLONG end = ::GetTickCount64() + timeout_ms;
    for (;;) {
        if (done()) return true;
        if (::GetTickCount64() > end) return false;
        ::Sleep(10);
    }
}

util::unique_pidl pidl_of(const std::wstring& path) {
    util::unique_pidl pidl(::ILCreateFromPathW(path.c_str()));
    EXPECT_TRUE(pidl.valid()) << "no item list for " << std::string(path.begin(), path.end());
    return pidl;
}

void make_file(const std::wstring& path) {
    write_bytes(path, {'x'});
}

NotificationListener::NotificationListener(const std::wstring& folder) : thread_([this, folder] { run(folder); }) {
    EXPECT_TRUE(eventually([this] { return ready_.load(); }));
}

NotificationListener::~NotificationListener() {
    if (HWND window = window_.load()) ::PostMessageW(window, WM_CLOSE, 0, 0);
    thread_.join();
}

LRESULT CALLBACK NotificationListener::window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    NotificationListener* self = reinterpret_cast<NotificationListener*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == listener_message && self) {
        self->last_event_ = static_cast<LONG>(lparam);
        ++self->count_;
        return 0;
    }
    if (message == WM_DESTROY) ::PostQuitMessage(0);
    return ::DefWindowProcW(window, message, wparam, lparam);
}

void NotificationListener::run(const std::wstring& folder) {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = ::GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"QuibrixTestListener";
    ::RegisterClassW(&window_class);
    HWND window = ::CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                    window_class.hInstance, nullptr);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    util::unique_pidl root(::ILCreateFromPathW(folder.c_str()));
    SHChangeNotifyEntry entry = {root.get(), TRUE};
    const ULONG registration =
        ::SHChangeNotifyRegister(window, SHCNRF_ShellLevel, SHCNE_ALLEVENTS, listener_message, 1, &entry);
    EXPECT_NE(0u, registration);
    window_ = window;
    ready_ = true;
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    ::SHChangeNotifyDeregister(registration);
}
