// A user-interface thread of its own for a modeless window of the module, so that the window
// belongs to none of the Explorer windows that open it, and the queue through which the other
// threads hand it requests. The thread is started by the first request and kept for the
// process, whatever becomes of the windows that opened it.
//
// A request is carried out on the thread at once or, when it arrives while the thread is inside
// one of the window's own steps (a message box, a menu, a callback), as soon as that step has
// ended: it would pull the window's state from under the step. The thread never waits for a
// caller; the caller waits for it.
#pragma once

#include "util/unique_resource.h"

#include <windows.h>

#include <boost/function.hpp>

#include <atomic>
#include <string>
#include <vector>

class UiThread {
public:
    typedef boost::function<void()> Work;

    // `name` names the thread in errors; `dialog` tells the message loop which window's
    // keyboard navigation to handle (null: none).
    UiThread(const char* name, const boost::function<HWND()>& dialog);
    UiThread(const UiThread&) = delete;
    UiThread& operator=(const UiThread&) = delete;

    bool started() const { return host_ != nullptr; }

    // Hands `request` to the thread, starting it: see above. Called on the thread itself, the
    // request is carried out at once, as the caller expects. Otherwise the call returns once the
    // thread has taken the request, so the caller must not hold a lock that the request takes;
    // with the database lock held it is only posted, since the thread reads the database.
    // Throws util::hresult_error when the thread cannot be started.
    void submit(Work& request);
    // Runs `work` on the thread and waits for it, never deferred; at once when called there, or
    // before the thread has started. Exceptions of `work` are dropped.
    void run(const Work& work) const;
    // Waits until the thread has handled every message posted to it before the call, and every
    // request, with nothing of the window's running any more (for tests, which drive the window
    // from another thread). False when that took longer than `timeout_ms`.
    bool settle(DWORD timeout_ms) const;

    // Held by the window's procedures while they handle a message: requests that arrive
    // meanwhile wait for the outermost to end.
    class Busy {
    public:
        explicit Busy(UiThread& thread) : thread_(thread) { ++thread_.busy_; }
        ~Busy() {
            if (--thread_.busy_ == 0) thread_.at_rest();
        }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        UiThread& thread_;
    };

private:
    struct start_info;
    // The thread's message-only window, which takes requests from other threads; started on
    // first use. Null when the thread could not be started.
    HWND host();
    static DWORD WINAPI thread_main(void* start);
    static LRESULT CALLBACK host_proc(HWND host, UINT message, WPARAM wparam, LPARAM lparam);
    void run_message_loop();
    void take(Work& request);
    void run_pending();
    void carry_out(const Work& request);
    // The window's handling has ended: wakes the loop for waiting requests and settle marks.
    void at_rest();

    const std::string name_;
    const boost::function<HWND()> dialog_;
    util::critical_section start_lock_;
    std::atomic<HWND> host_{nullptr};
    DWORD thread_id_ = 0;
    // How deep the thread is inside the window's own handling; requests from other threads that
    // arrive meanwhile wait in `pending_` for the message loop.
    int busy_ = 0;
    std::vector<Work> pending_;
    bool wake_posted_ = false;
    std::vector<LPARAM> settle_marks_;  // taken by a nested loop, posted again once handling ends
};
