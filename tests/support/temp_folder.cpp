#include "temp_folder.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <system_error>

namespace {

std::system_error last_error(const char* what)
{
    return std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

void clear_read_only(const std::wstring& path, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

// folder ends in a backslash. Best effort: whatever cannot go (a file the code under
// test still holds open) stays behind rather than failing the test that owned it.
void remove_contents(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring full = folder + name;
        // Read-only files cannot be deleted until the attribute is cleared.
        clear_read_only(full, entry.dwFileAttributes);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A link to a folder is removed itself; what it points at is not ours.
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                remove_contents(full + L'\\');
            RemoveDirectoryW(full.c_str());
        } else {
            DeleteFileW(full.c_str());
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

}  // namespace

TempFolder::TempFolder()
{
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH)
        throw last_error("GetTempPathW");

    // The process id keeps parallel test programs apart, the counter the folders of one.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring candidate = std::wstring(temp, length) + L"quibrix-test-" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(counter++) + L"\\";
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = std::move(candidate);
            return;
        }
        // An earlier program with the same process id may have left its folder behind.
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            throw last_error("CreateDirectoryW");
    }
    throw std::runtime_error("TempFolder: no free folder name");
}

TempFolder::~TempFolder()
{
    try {
        const DWORD attributes = GetFileAttributesW(path_.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES)
            clear_read_only(path_, attributes);
        remove_contents(path_);
        RemoveDirectoryW(path_.c_str());
    } catch (...) {
        // Out of memory while building a path: leave the rest behind.
    }
}
