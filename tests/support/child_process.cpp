#include "child_process.h"

#include "util/unique_resource.h"

#include <vector>

namespace {

// Wine answers ERROR_INTERNAL_ERROR when the new process ended before it had finished starting,
// which happens now and then on a heavily loaded machine; a later try starts it. Windows has no
// such case, but running short of memory or handles passes there too.
bool worth_another_try(DWORD error) {
    return error == ERROR_INTERNAL_ERROR || error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
           error == ERROR_NO_SYSTEM_RESOURCES || error == ERROR_COMMITMENT_LIMIT;
}

// One job for every helper of this test program, ended with its last handle: the helpers also
// end when the program itself is killed (by CTest's time-out, say) before it could end them.
// Wine 8 does this too, also for a program killed from Linux.
HANDLE helpers_job() {
    static const HANDLE job = [] {
        util::unique_handle made(::CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!made ||
            !::SetInformationJobObject(made.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            return HANDLE();
        }
        return made.release();
    }();
    return job;
}

}  // namespace

bool start_process(const wchar_t* program, const std::wstring& command, BOOL inherit_handles, DWORD flags,
                   const wchar_t* folder, STARTUPINFOW& startup, PROCESS_INFORMATION& info, DWORD& error) {
    const int tries = 5;
    for (int attempt = 1;; ++attempt) {
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(L'\0');
        info = PROCESS_INFORMATION();
        if (::CreateProcessW(program, line.data(), nullptr, nullptr, inherit_handles, flags, nullptr, folder, &startup,
                             &info)) {
            error = ERROR_SUCCESS;
            return true;
        }
        error = ::GetLastError();
        if (attempt == tries || !worth_another_try(error)) return false;
        ::Sleep(250 * attempt);
    }
}

child_process::child_process(const PROCESS_INFORMATION& info) : process_(info.hProcess) {
    if (info.hThread) ::CloseHandle(info.hThread);
    // Best effort: where jobs cannot nest (before Windows 8) the helper is still ended by kill().
    if (process_ && helpers_job()) ::AssignProcessToJobObject(helpers_job(), process_);
}

child_process& child_process::operator=(child_process&& other) noexcept {
    if (this != &other) {
        kill();
        process_ = other.process_;
        other.process_ = nullptr;
    }
    return *this;
}

bool child_process::wait(DWORD milliseconds) const {
    return process_ && ::WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0;
}

DWORD child_process::exit_code() const {
    DWORD code = STILL_ACTIVE;
    if (process_) ::GetExitCodeProcess(process_, &code);
    return code;
}

void child_process::kill() {
    if (!process_) return;
    if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
        ::TerminateProcess(process_, 9);
        ::WaitForSingleObject(process_, 10000);
    }
    ::CloseHandle(process_);
    process_ = nullptr;
}
