#include "shell/ui_thread.h"

#include "database/tags_holder.h"
#include "util/hresult.h"
#include "util/module.h"

#include <objbase.h>

#include <boost/shared_ptr.hpp>

#include <memory>

namespace {

// The thread's own window: requests from other threads reach the thread through it.
const wchar_t kHostWindowClass[] = L"QuibrixUiThread";
const UINT kTakeRequest = WM_APP + 10;    // sent; lparam: the caller's Work, moved from
const UINT kPostedRequest = WM_APP + 11;  // posted; lparam: a Work that the message owns
const UINT kRunWork = WM_APP + 12;        // sent; lparam: const Work*
const UINT kSettleMark = WM_APP + 13;     // posted; lparam: settle_mark*, owned by the message
const UINT kRunPending = WM_APP + 14;     // posted when the handling ends with requests waiting

// Signalled once the main message loop reaches the mark. Shared, because the waiter may give up
// and go before the thread gets there.
typedef boost::shared_ptr<util::unique_handle> settle_mark;

class thread_start_error : public util::hresult_error {
public:
    thread_start_error(const std::string& name, DWORD error)
        : util::hresult_error("the " + name + " thread did not start"), error_(error ? error : ERROR_NOT_READY) {}
    HRESULT hresult() const override { return HRESULT_FROM_WIN32(error_); }

private:
    DWORD error_;
};

void release_mark(LPARAM mark) {
    std::unique_ptr<settle_mark> owned(reinterpret_cast<settle_mark*>(mark));
    ::SetEvent((*owned)->get());
}

}  // namespace

struct UiThread::start_info {
    UiThread* thread;
    HANDLE ready;
};

UiThread::UiThread(const char* name, const boost::function<HWND()>& dialog) : name_(name), dialog_(dialog) {}

HWND UiThread::host() {
    if (HWND host = host_) return host;
    util::lock_guard hold(start_lock_);
    if (HWND host = host_) return host;
    util::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ready) return nullptr;
    start_info start = {this, ready.get()};
    util::unique_handle thread(::CreateThread(nullptr, 0, thread_main, &start, 0, nullptr));
    if (!thread) return nullptr;
    // The thread sets host_ before it says it is ready; it ends at once if it cannot.
    HANDLE either[2] = {ready.get(), thread.get()};
    ::WaitForMultipleObjects(2, either, FALSE, INFINITE);
    return host_;
}

DWORD WINAPI UiThread::thread_main(void* param) {
    const start_info start = *static_cast<const start_info*>(param);
    UiThread& self = *start.thread;
    // Callbacks run here and may reach the shell.
    const HRESULT com = ::CoInitialize(nullptr);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = host_proc;
    window_class.hInstance = util::module_instance();
    window_class.lpszClassName = kHostWindowClass;
    ::RegisterClassW(&window_class);  // fails harmlessly for the second thread of the process
    HWND host = ::CreateWindowExW(0, kHostWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  util::module_instance(), nullptr);
    if (!host) {
        if (SUCCEEDED(com)) ::CoUninitialize();
        return 1;
    }
    ::SetWindowLongPtrW(host, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&self));
    self.thread_id_ = ::GetCurrentThreadId();
    self.host_ = host;
    ::SetEvent(start.ready);
    // Never left: the thread serves its window for the life of the process.
    self.run_message_loop();
    return 0;
}

void UiThread::run_message_loop() {
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == host_ && message.message == kSettleMark) {
            // Reached here, outside every handler, all that was posted before it is done;
            // requests still waiting are run first.
            if (!pending_.empty() && ::PostMessageW(host_, kSettleMark, 0, message.lParam)) continue;
            release_mark(message.lParam);
            continue;
        }
        HWND dialog = dialog_ ? dialog_() : nullptr;
        if (!dialog || !::IsDialogMessageW(dialog, &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

void UiThread::at_rest() {
    // The handling that just ended may have been for a message sent from another thread, after
    // which the loop would not look at what came in meanwhile: it is woken for it.
    if (!pending_.empty() && !wake_posted_) wake_posted_ = ::PostMessageW(host_, kRunPending, 0, 0) != FALSE;
    // Marks that a nested loop (a message box, a menu) took go round again, behind what that
    // step left posted.
    std::vector<LPARAM> marks;
    marks.swap(settle_marks_);
    for (LPARAM mark : marks) {
        if (!::PostMessageW(host_, kSettleMark, 0, mark)) release_mark(mark);
    }
}

LRESULT CALLBACK UiThread::host_proc(HWND host, UINT message, WPARAM wparam, LPARAM lparam) {
    UiThread* self = reinterpret_cast<UiThread*>(::GetWindowLongPtrW(host, GWLP_USERDATA));
    if (!self) return ::DefWindowProcW(host, message, wparam, lparam);
    // Nothing may unwind into the window manager; a request that fails simply has no effect.
    switch (message) {
    case kTakeRequest:
        try {
            self->take(*reinterpret_cast<Work*>(lparam));
        } catch (...) {
        }
        return 1;
    case kPostedRequest: {
        std::unique_ptr<Work> request(reinterpret_cast<Work*>(lparam));
        try {
            self->take(*request);
        } catch (...) {
        }
        return 1;
    }
    case kRunWork:
        try {
            (*reinterpret_cast<const Work*>(lparam))();
        } catch (...) {
        }
        return 1;
    case kRunPending:
        self->wake_posted_ = false;
        self->run_pending();
        return 0;
    case kSettleMark:
        // Only a loop inside the window's handling dispatches a mark.
        self->settle_marks_.push_back(lparam);
        if (self->busy_ == 0) self->at_rest();
        return 0;
    }
    return ::DefWindowProcW(host, message, wparam, lparam);
}

void UiThread::take(Work& request) {
    if (busy_ > 0 || !pending_.empty()) {
        pending_.push_back(std::move(request));
        return;
    }
    carry_out(request);
}

void UiThread::run_pending() {
    while (busy_ == 0 && !pending_.empty()) {
        Work next = std::move(pending_.front());
        pending_.erase(pending_.begin());
        try {
            carry_out(next);
        } catch (...) {
        }
    }
}

void UiThread::carry_out(const Work& request) {
    Busy busy(*this);
    request();
}

void UiThread::submit(Work& request) {
    HWND host = this->host();
    if (!host) throw thread_start_error(name_, ::GetLastError());
    if (::GetCurrentThreadId() == thread_id_) {
        carry_out(request);
        return;
    }
    if (items::database_lock().held_by_this_thread()) {
        // Waiting here for a thread that reads the database would never end.
        std::unique_ptr<Work> posted(new Work(std::move(request)));
        if (::PostMessageW(host, kPostedRequest, 0, reinterpret_cast<LPARAM>(posted.get()))) posted.release();
        return;
    }
    ::SendMessageW(host, kTakeRequest, 0, reinterpret_cast<LPARAM>(&request));
}

void UiThread::run(const Work& work) const {
    HWND host = host_;
    if (!host || ::GetCurrentThreadId() == thread_id_) {
        work();
        return;
    }
    ::SendMessageW(host, kRunWork, 0, reinterpret_cast<LPARAM>(&work));
}

bool UiThread::settle(DWORD timeout_ms) const {
    HWND host = host_;
    if (!host || ::GetCurrentThreadId() == thread_id_) return true;
    settle_mark done(new util::unique_handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
    if (!*done) return false;
    std::unique_ptr<settle_mark> mark(new settle_mark(done));
    if (!::PostMessageW(host, kSettleMark, 0, reinterpret_cast<LPARAM>(mark.get()))) return false;
    mark.release();
    // Messages sent to this thread meanwhile are answered, as SendMessage itself would.
    const DWORD end = ::GetTickCount() + timeout_ms;
    for (;;) {
        const DWORD now = ::GetTickCount();
        const DWORD left = static_cast<LONG>(end - now) > 0 ? end - now : 0;
        HANDLE event = done->get();
        const DWORD woke = ::MsgWaitForMultipleObjects(1, &event, FALSE, left, QS_SENDMESSAGE);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke != WAIT_OBJECT_0 + 1) return false;
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}
