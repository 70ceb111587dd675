#include "folder_link.h"

#include <windows.h>

#include <string>

namespace {

bool listed_as_link(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const DWORD link = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & link) == link;
}

std::string unix_path(const std::wstring& path)
{
    typedef char*(CDECL * to_unix_t)(const WCHAR*);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (!found)
        return std::string();
    char* converted = reinterpret_cast<to_unix_t>(reinterpret_cast<void*>(found))(path.c_str());
    if (!converted)
        return std::string();
    std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

// Runs a Linux program and waits until `done` (a Linux process started from Wine cannot be
// waited for by its handle).
template <typename Done>
bool run_linux(const char* program, const std::string& args, Done done)
{
    std::string command = std::string(program) + " " + args;
    const std::string image = std::string("Z:\\bin\\") + program;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(image.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 200 && !done(); ++i)
        Sleep(50);
    return done();
}

}  // namespace

FolderLink::FolderLink(const std::wstring& link, const std::wstring& target) : link_(link), made_(false), native_(false)
{
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) && listed_as_link(link)) {
        made_ = native_ = true;
        return;
    }
    const std::string from = unix_path(target);
    const std::string to = unix_path(link);
    if (from.empty() || to.empty())
        return;
    made_ = run_linux("ln", "-s \"" + from + "\" \"" + to + "\"", [this] { return listed_as_link(link_); });
}

FolderLink::~FolderLink()
{
    if (!made_)
        return;
    // Removes the link only: neither call goes through it.
    if (native_) {
        RemoveDirectoryW(link_.c_str());
    } else {
        const std::wstring link = link_;
        run_linux("rm", "-f \"" + unix_path(link) + "\"",
                  [&link] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
    }
}
