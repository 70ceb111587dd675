// restart_explorer.exe [file...]: Setup runs it to restart Explorer, so that Explorer loads the
// new module and reads the overlay identifiers again. Setup is elevated and so is this program:
// an Explorer started from here would run with the administrator's token (after an
// over-the-shoulder elevation, as the administrator on the user's desktop). So nothing is ever
// started from this process:
//  1. The Restart Manager shuts down the shell and the processes that hold the given files (the
//     copies Setup set aside because Explorer held them) and starts them again as they ran: in
//     the user's session with the user's token (RmRestart restarts neither elevated processes
//     nor those of another user).
//  2. Where it has no Explorer that it can restart, nothing is shut down: the user's own shell
//     starts a new Explorer, through the desktop's IShellDispatch2::ShellExecute, so it runs
//     with the shell's token.
// Each step is written to standard output, which Setup shows in its details.
// Exit code 0: Explorer restarted, or started by the shell; 2: nothing was restarted or
// started; 3: the Restart Manager shut Explorer down and it did not come back.
#include "util/hresult.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <exdisp.h>
#include <restartmanager.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <string>
#include <vector>

namespace {

enum exit_code { done = 0, not_restarted = 2, shell_lost = 3 };

void say(const std::wstring& line) {
    // nsExec reads the pipe as text in the ANSI code page.
    const std::wstring text = line + L"\r\n";
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (size <= 0) return;
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(size), &written, nullptr);
}

std::wstring hex(unsigned long value) {
    wchar_t text[16];
    ::wsprintfW(text, L"0x%08lX", value);
    return text;
}

class restart_session {
public:
    restart_session() : handle_(0), open_(false) {}
    ~restart_session() {
        if (open_) ::RmEndSession(handle_);
    }
    restart_session(const restart_session&) = delete;
    restart_session& operator=(const restart_session&) = delete;

    DWORD start() {
        WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
        const DWORD error = ::RmStartSession(&handle_, 0, key);
        open_ = error == ERROR_SUCCESS;
        return error;
    }
    DWORD handle() const { return handle_; }

private:
    DWORD handle_;
    bool open_;
};

// The process that owns the shell's desktop window, as the Restart Manager names a process:
// its id and its start time, so that a recycled id does not match.
bool shell_process(RM_UNIQUE_PROCESS& shell) {
    const HWND window = ::GetShellWindow();
    DWORD id = 0;
    if (!window || !::GetWindowThreadProcessId(window, &id)) return false;
    util::unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    FILETIME created, exited, kernel, user;
    if (!process || !::GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return false;
    shell.dwProcessId = id;
    shell.ProcessStartTime = created;
    return true;
}

// A shell window of a process other than `old_shell`, within `seconds`.
bool shell_is_back(DWORD old_shell, int seconds) {
    for (int waited = 0; waited < seconds * 10; ++waited) {
        DWORD id = 0;
        const HWND window = ::GetShellWindow();
        if (window && ::GetWindowThreadProcessId(window, &id) && id != old_shell) return true;
        ::Sleep(100);
    }
    return false;
}

enum class restart_result { restarted, not_restartable, shell_lost };

restart_result restart_with_restart_manager(const std::vector<std::wstring>& files) {
    restart_session session;
    DWORD error = session.start();
    if (error != ERROR_SUCCESS) {
        say(L"The Restart Manager could not start a session (error " + std::to_wstring(error) + L").");
        return restart_result::not_restartable;
    }
    std::vector<LPCWSTR> names;
    for (const std::wstring& file : files) names.push_back(file.c_str());
    RM_UNIQUE_PROCESS shell = {};
    const bool have_shell = shell_process(shell);
    if (!have_shell) say(L"No shell is running.");
    error = ::RmRegisterResources(session.handle(), static_cast<UINT>(names.size()),
                                  names.empty() ? nullptr : names.data(), have_shell ? 1 : 0,
                                  have_shell ? &shell : nullptr, 0, nullptr);
    if (error != ERROR_SUCCESS) {
        say(L"The Restart Manager did not take the shell and the files (error " + std::to_wstring(error) + L").");
        return restart_result::not_restartable;
    }

    std::vector<RM_PROCESS_INFO> affected;
    UINT needed = 0, count = 0;
    DWORD reasons = RmRebootReasonNone;
    do {
        affected.resize(needed);
        count = static_cast<UINT>(affected.size());
        error = ::RmGetList(session.handle(), &needed, &count, affected.empty() ? nullptr : affected.data(), &reasons);
    } while (error == ERROR_MORE_DATA);
    if (error != ERROR_SUCCESS) {
        say(L"The Restart Manager could not list the processes to restart (error " + std::to_wstring(error) + L").");
        return restart_result::not_restartable;
    }
    affected.resize(count);
    bool explorer = false, all_restartable = true;
    for (const RM_PROCESS_INFO& process : affected) {
        say(std::wstring(L"To restart: ") + process.strAppName + L" (process " +
            std::to_wstring(process.Process.dwProcessId) + L")" +
            (process.bRestartable ? L"" : L", which the Restart Manager cannot restart"));
        explorer = explorer || process.ApplicationType == RmExplorer;
        all_restartable = all_restartable && process.bRestartable;
    }
    // Only what can all come back is shut down: the user is never left without a shell.
    if (reasons != RmRebootReasonNone) {
        say(L"The Restart Manager cannot restart them without a reboot (reasons " + hex(reasons) + L").");
        return restart_result::not_restartable;
    }
    if (!explorer || !all_restartable) {
        say(L"The Restart Manager has no Explorer that it can restart.");
        return restart_result::not_restartable;
    }

    error = ::RmShutdown(session.handle(), 0, nullptr);
    if (error != ERROR_SUCCESS) say(L"Not everything was shut down (error " + std::to_wstring(error) + L").");
    // Even after a partial shutdown: whatever did shut down comes back.
    error = ::RmRestart(session.handle(), 0, nullptr);
    if (error != ERROR_SUCCESS) say(L"Not everything was restarted (error " + std::to_wstring(error) + L").");
    if (have_shell && !shell_is_back(shell.dwProcessId, 30)) {
        say(L"Explorer did not start again.");
        return restart_result::shell_lost;
    }
    say(L"Explorer was restarted by the Restart Manager.");
    return restart_result::restarted;
}

VARIANT no_argument() {
    VARIANT empty;
    ::VariantInit(&empty);
    return empty;
}

// The documented way for an elevated process to have the desktop's shell, which runs as the
// user, start a program: the desktop's view, its automation object, IShellDispatch2.
HRESULT start_through_shell(const std::wstring& program) {
    util::com_ptr<IShellWindows> windows;
    QBX_RETURN_IF_FAILED(::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                            windows.put_void()));
    VARIANT location = no_argument(), root = no_argument();
    long desktop = 0;
    util::com_ptr<IDispatch> dispatch;
    HRESULT hr = windows->FindWindowSW(&location, &root, SWC_DESKTOP, &desktop, SWFO_NEEDDISPATCH, dispatch.put());
    if (hr != S_OK || !dispatch) return hr == S_FALSE || SUCCEEDED(hr) ? E_FAIL : hr;  // S_FALSE: no desktop
    util::com_ptr<IShellBrowser> browser;
    QBX_RETURN_IF_FAILED(::IUnknown_QueryService(dispatch.get(), SID_STopLevelBrowser, IID_IShellBrowser,
                                                 browser.put_void()));
    util::com_ptr<IShellView> view;
    QBX_RETURN_IF_FAILED(browser->QueryActiveShellView(view.put()));
    util::com_ptr<IDispatch> background;
    QBX_RETURN_IF_FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.put_void()));
    util::com_ptr<IShellFolderViewDual> folder_view;
    QBX_RETURN_IF_FAILED(background->QueryInterface(IID_IShellFolderViewDual, folder_view.put_void()));
    util::com_ptr<IDispatch> application;
    QBX_RETURN_IF_FAILED(folder_view->get_Application(application.put()));
    util::com_ptr<IShellDispatch2> shell;
    QBX_RETURN_IF_FAILED(application->QueryInterface(IID_IShellDispatch2, shell.put_void()));

    // The new window may come to the front although this process, not the shell, has the focus.
    DWORD shell_id = 0;
    if (::GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<LONG_PTR>(desktop)), &shell_id)) {
        ::AllowSetForegroundWindow(shell_id);
    }
    BSTR file = ::SysAllocString(program.c_str());
    QBX_RETURN_HR_IF_NULL(E_OUTOFMEMORY, file);
    VARIANT show = no_argument();
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    hr = shell->ShellExecute(file, no_argument(), no_argument(), no_argument(), show);
    ::SysFreeString(file);
    return hr;
}

std::wstring explorer_path() {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetWindowsDirectoryW(folder, MAX_PATH);
    return (length && length < MAX_PATH ? std::wstring(folder) : std::wstring(L"C:\\Windows")) + L"\\explorer.exe";
}

int run(const std::vector<std::wstring>& files) {
    switch (restart_with_restart_manager(files)) {
    case restart_result::restarted:
        return done;
    case restart_result::shell_lost:
        say(L"Sign out and sign in again to have a shell.");
        return shell_lost;
    case restart_result::not_restartable:
        break;
    }
    const HRESULT hr = start_through_shell(explorer_path());
    if (FAILED(hr)) {
        say(L"The user's shell could not start Explorer (" + hex(static_cast<unsigned long>(hr)) +
            L"); Explorer loads Quibrix when it next starts.");
        return not_restarted;
    }
    say(L"Explorer was started by the user's shell.");
    return done;
}

}  // namespace

int main() {
    int count = 0;
    util::unique_hlocal arguments(::CommandLineToArgvW(::GetCommandLineW(), &count));
    std::vector<std::wstring> files;
    LPWSTR* argv = static_cast<LPWSTR*>(arguments.get());
    for (int i = 1; argv && i < count; ++i) files.push_back(argv[i]);
    // The shell's objects are apartment objects of another process; calls to them are marshalled.
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int code = run(files);
    if (SUCCEEDED(init)) ::CoUninitialize();
    return code;
}
