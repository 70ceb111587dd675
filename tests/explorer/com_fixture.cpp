#include "com_fixture.h"

#include "explorer/registration.h"

#include <shlwapi.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

MessageBoxAnswer::MessageBoxAnswer(const std::wstring& title, int button) : title_(title), button_(button) {
    thread_ = std::thread([this] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            HWND box = ::FindWindowW(nullptr, title_.c_str());
            if (box && ::IsWindowVisible(box)) {
                for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
                    wchar_t class_name[32] = L"", text[256] = L"";
                    ::GetClassNameW(child, class_name, 32);
                    if (::lstrcmpiW(class_name, L"Static") != 0) continue;
                    ::GetWindowTextW(child, text, 256);
                    if (text[0]) texts_.push_back(text);
                }
                ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button_, BN_CLICKED), 0);
                found_ = true;
                return;
            }
            ::Sleep(20);
        }
    });
}

MessageBoxAnswer::~MessageBoxAnswer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool MessageBoxAnswer::answered() {
    if (thread_.joinable()) thread_.join();
    return found_;
}

std::wstring registry_value::text() const {
    std::wstring value(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    if (!value.empty() && value.back() == L'\0') value.pop_back();
    return value;
}

DWORD registry_value::number() const {
    DWORD value = 0;
    if (bytes.size() == sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

registry_value read_value(HKEY root, const std::wstring& key, const wchar_t* name) {
    registry_value value;
    util::unique_hkey opened;
    if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, opened.put()) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    if (::RegQueryValueExW(opened.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return value;
    value.bytes.resize(size);
    if (::RegQueryValueExW(opened.get(), name, nullptr, &value.type, value.bytes.data(), &size) != ERROR_SUCCESS) {
        return value;
    }
    value.bytes.resize(size);
    value.exists = true;
    return value;
}

bool key_exists(HKEY root, const std::wstring& key) {
    util::unique_hkey opened;
    return ::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
}

std::vector<std::wstring> subkeys(HKEY root, const std::wstring& key) {
    std::vector<std::wstring> names;
    util::unique_hkey opened;
    if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, opened.put()) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (::RegEnumKeyExW(opened.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    return names;
}

void remove_registration_keys() {
    const std::wstring clsid = L"{6A1F3C52-9D4E-4B7A-8C21-3E5D7F9A0B64}";
    ::SHDeleteKeyW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
    ::SHDeleteKeyW(HKEY_CLASSES_ROOT, L"Folder\\shellex\\ContextMenuHandlers\\Quibrix");
    ::SHDeleteKeyW(HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\Quibrix");
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(explorer::overlay_identifiers_key) + L"\\Quibrix").c_str());
    util::unique_hkey approved;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, explorer::approved_key, 0, KEY_SET_VALUE, approved.put()) == ERROR_SUCCESS) {
        ::RegDeleteValueW(approved.get(), clsid.c_str());
    }
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(explorer::desktop_namespace_key) + L'\\' + clsid).c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(explorer::my_computer_namespace_key) + L'\\' + clsid).c_str());
}

std::wstring windows_path_from_environment(const char* name) {
    const char* unix_path = std::getenv(name);
    if (!unix_path) return std::wstring();
    // Wine's own conversion; drive Z: is the Linux root in every prefix.
    typedef WCHAR*(CDECL * to_dos)(const char*);
    to_dos convert =
        reinterpret_cast<to_dos>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (convert) {
        if (WCHAR* path = convert(unix_path)) {
            std::wstring result = path;
            ::HeapFree(::GetProcessHeap(), 0, path);
            return result;
        }
    }
    std::wstring result = L"Z:";
    for (const char* c = unix_path; *c; ++c) result += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return result;
}

process_result run_process(const std::wstring& program, const std::wstring& arguments) {
    process_result result;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    util::unique_handle read_end, write_end;
    if (!::CreatePipe(read_end.put(), write_end.put(), &inheritable, 0)) return result;
    ::SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end.get();
    startup.hStdError = write_end.get();
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info = {};
    std::wstring command = L"\"" + program + L"\" " + arguments;
    if (!::CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        return result;
    }
    util::unique_handle process(info.hProcess), thread(info.hThread);
    write_end.reset();
    // The host prints one short line, far below the pipe's buffer: wait first, then read what is
    // there, so that a process the host may have started and that inherited the pipe cannot
    // keep the read waiting.
    if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) ::TerminateProcess(process.get(), 0xDEAD);
    ::GetExitCodeProcess(process.get(), &result.exit_code);
    char buffer[512];
    DWORD available = 0, read = 0;
    while (::PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) && available &&
           ::ReadFile(read_end.get(), buffer, sizeof buffer, &read, nullptr) && read) {
        result.output.append(buffer, read);
    }
    return result;
}
