#include "wine_drive.h"

#include "util/file_system.h"
#include "util/unique_resource.h"

#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Wine's own request to its mount manager; one without a mount point removes the letter.
struct unix_drive {
    ULONG size;
    ULONG type;
    ULONG fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT label_offset;
};
const DWORD define_unix_drive = CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

std::string unix_path_of(const std::wstring& path) {
    typedef char*(CDECL * to_unix_t)(const wchar_t*);
    const to_unix_t convert = reinterpret_cast<to_unix_t>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) return std::string();
    char* converted = convert(path.c_str());
    if (!converted) return std::string();
    std::string result = converted;
    ::HeapFree(::GetProcessHeap(), 0, converted);
    return result;
}

}  // namespace

wine_drive::wine_drive(wchar_t letter, const std::string& unix_folder) : letter_(letter) {
    defined_ = define(unix_folder.c_str());
}

wine_drive::~wine_drive() {
    remove();
}

bool wine_drive::remove() {
    if (!defined_) return true;
    defined_ = !define(nullptr);
    return !defined_;
}

bool wine_drive::define(const char* unix_folder) {
    util::unique_file manager(::CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!manager) return false;
    const std::size_t name = unix_folder ? std::strlen(unix_folder) + 1 : 0;
    std::vector<char> request(sizeof(unix_drive) + name);
    unix_drive drive = {};
    drive.size = static_cast<ULONG>(request.size());
    drive.type = unix_folder ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
    drive.letter = static_cast<WCHAR>(letter_ - L'A' + L'a');
    if (unix_folder) {
        drive.mount_point_offset = sizeof(unix_drive);
        std::memcpy(request.data() + sizeof(unix_drive), unix_folder, name);
    }
    std::memcpy(request.data(), &drive, sizeof drive);
    DWORD returned = 0;
    return ::DeviceIoControl(manager.get(), define_unix_drive, request.data(), static_cast<DWORD>(request.size()),
                             nullptr, 0, &returned, nullptr) != FALSE;
}

volume_folder::volume_folder(const std::string& name) {
    const std::string c_drive = unix_path_of(L"C:\\");
    if (c_drive.empty()) return;
    const std::string dosdevices = c_drive.substr(0, c_drive.rfind('/', c_drive.size() - 2));
    unix_ = dosdevices.substr(0, dosdevices.rfind('/') + 1) + name + "-" + std::to_string(::GetCurrentProcessId());
    windows_.assign(unix_.begin(), unix_.end());  // the prefix's path is ASCII
    windows_ = L"Z:" + windows_;
    std::replace(windows_.begin(), windows_.end(), L'/', L'\\');
    util::remove_folder_tree(windows_, util::removal::best_effort);
    made_ = ::CreateDirectoryW(windows_.c_str(), nullptr) != FALSE;
}

volume_folder::~volume_folder() {
    if (made_) util::remove_folder_tree(windows_, util::removal::best_effort);
}

bool volume_folder::set_serial(DWORD serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lX\n", static_cast<unsigned long>(serial));
    util::unique_file file(::CreateFileW((windows_ + L"\\.windows-serial").c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr) &&
           written == std::strlen(text);
}

wchar_t free_drive_letter(wchar_t from, wchar_t other_than) {
    const DWORD drives = ::GetLogicalDrives();
    for (wchar_t letter = from; letter <= L'Y'; ++letter) {
        if (letter != other_than && !(drives & (1u << (letter - L'A')))) return letter;
    }
    return 0;
}

bool wait_for_drive(wchar_t letter, bool present) {
    const std::wstring root = std::wstring(1, letter) + L":\\";
    for (int i = 0; i < 100; ++i) {
        const bool there = ::GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (there == present) return true;
        ::Sleep(50);
    }
    return false;
}
