// The helper processes that tests start: started with a few more tries where the platform fails
// for want of resources, and owned so that no helper outlives the test that started it.
#pragma once

#include <windows.h>

#include <string>

// CreateProcessW with the same arguments (the command line is copied, as CreateProcessW may
// write to it). On failure `error` holds the last GetLastError().
bool start_process(const wchar_t* program, const std::wstring& command, BOOL inherit_handles, DWORD flags,
                   const wchar_t* folder, STARTUPINFOW& startup, PROCESS_INFORMATION& info, DWORD& error);

// A started process, ended when its owner goes: a test stopped by a failed assertion leaves no
// helper running, which would keep CTest waiting on the output pipe it shares.
class child_process {
public:
    child_process() = default;
    // Takes the process handle; the thread handle of `info` is closed.
    explicit child_process(const PROCESS_INFORMATION& info);
    ~child_process() { kill(); }
    child_process(child_process&& other) noexcept : process_(other.process_) { other.process_ = nullptr; }
    child_process& operator=(child_process&& other) noexcept;
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    HANDLE get() const { return process_; }
    bool valid() const { return process_ != nullptr; }
    // True once the process has ended by itself within `milliseconds`.
    bool wait(DWORD milliseconds) const;
    // The exit code of an ended process; STILL_ACTIVE while it runs.
    DWORD exit_code() const;
    // Terminates the process if it still runs and waits, bounded, for its end.
    void kill();

private:
    HANDLE process_ = nullptr;
};
