// The watcher's window thread: it receives the new files that the handler thread posts and
// tags each one once.
#include "autotag/directory_watcher.h"

#include <objbase.h>

#include <memory>

namespace autotag {

// Called with `control_` held.
void DirectoryWatcher::start_window_thread() {
    if (window_thread_ && ::WaitForSingleObject(window_thread_.get(), 0) == WAIT_TIMEOUT) return;
    // The id is known before the thread runs; handlers wait for `window_ready_` before posting.
    DWORD id = 0;
    window_thread_.reset(::CreateThread(nullptr, 0, window_thread, this, 0, &id));
    ui_thread_id = window_thread_ ? id : 0;
}

DWORD WINAPI DirectoryWatcher::window_thread(void* self) {
    DirectoryWatcher& watcher = *static_cast<DirectoryWatcher*>(self);
    const HRESULT com = ::CoInitialize(nullptr);
    MSG message;
    ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the thread's queue
    ::SetEvent(watcher.window_ready_.get());
    watcher.run_message_loop();
    ::ResetEvent(watcher.window_ready_.get());
    // Paths still queued are heap copies that only this thread may free.
    while (::PeekMessageW(&message, nullptr, watcher_new_file_message, watcher_new_file_message, PM_REMOVE)) {
        delete[] reinterpret_cast<wchar_t*>(message.wParam);
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return 0;
}

void DirectoryWatcher::run_message_loop() {
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!message.hwnd && message.message == watcher_new_file_message) {
            std::unique_ptr<wchar_t[]> path(reinterpret_cast<wchar_t*>(message.wParam));
            try {
                if (path) new_file_step(path.get());
            } catch (...) {
                // A failing plug-in or store must not end the thread that serves every new file.
            }
            continue;
        }
        if (!message.hwnd && message.message == watcher_quit_message) break;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void DirectoryWatcher::new_file_step(const std::wstring& path) {
    if (!listed_.insert(path).second) return;  // announced and tagged already
    {
        util::lock_guard hold(lock_);
        new_files.push_back(path);
        // The list waits for the user, who may never open it: it keeps the latest files. One
        // that drops out has had its automatic tags; reported again, it is announced again.
        if (new_files.size() > max_new_files) {
            listed_.erase(new_files.front());
            new_files.pop_front();
        }
    }
    plugins_.tag_new_file(path, config_, db_);
}

}  // namespace autotag
