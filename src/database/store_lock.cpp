#include "database/store_lock.h"

#include "database/store_io.h"
#include "util/hashes.h"

namespace items {

namespace {

thread_local bool t_patient = false;

// "\\?\C:\x" and "\\?\UNC\server\share\x" as "C:\x" and "\\server\share\x": a folder that could
// not be opened (not made yet) is then named as it will be once it can.
std::wstring without_long_prefix(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + path.substr(8);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

// The folder as the file system knows it, whatever spelling or drive mapping led to it; empty
// when it cannot be opened.
std::wstring final_path(const std::wstring& folder) {
    util::unique_file handle(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return std::wstring();
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle.get(), &path[0], static_cast<DWORD>(path.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return without_long_prefix(path);
        }
        path.resize(length);  // too short: `length` counts the terminator
    }
    return std::wstring();
}

// Upper case by the file system's rules (not the user's language: two users must agree), and
// without trailing backslashes, so that two spellings of one folder give one name.
std::wstring normalised(const std::wstring& path) {
    std::wstring upper = path;
    if (!upper.empty()) {
        const int length = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(),
                                           static_cast<int>(path.size()), &upper[0], static_cast<int>(upper.size()),
                                           nullptr, nullptr, 0);
        if (length != static_cast<int>(path.size())) upper = path;
    }
    while (!upper.empty() && upper.back() == L'\\') upper.pop_back();
    return upper;
}

std::wstring full_path(const std::wstring& folder) {
    std::wstring full(32768, L'\0');
    const DWORD length = ::GetFullPathNameW(folder.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    full.resize(length && length < full.size() ? length : 0);
    return full.empty() ? folder : full;
}

}  // namespace

patient_thread::patient_thread() : previous_(t_patient) {
    t_patient = true;
}

patient_thread::~patient_thread() {
    t_patient = previous_;
}

bool patient_thread::current() {
    return t_patient;
}

void store_lock::set_folder(const std::wstring& data_folder) {
    mutex_.reset();
    folder_ = data_folder;
    name_.clear();
    name_final_ = false;
    abandoned_seen_ = false;
    counter_path_ = data_folder + L"~quibrix-changes";
}

const std::wstring& store_lock::name() {
    if (folder_.empty() || name_final_) return name_;
    const std::wstring final = final_path(folder_);
    name_final_ = !final.empty();
    const std::uint64_t h = util::fnv1a_64(normalised(name_final_ ? final : full_path(folder_)));
    // By hand, not with wsprintfW: every command of the tool names the lock, and user32 would
    // then be loaded for this alone.
    wchar_t hex[17];
    for (int digit = 0; digit < 16; ++digit) hex[digit] = L"0123456789abcdef"[(h >> (60 - 4 * digit)) & 0xf];
    hex[16] = L'\0';
    // The global namespace: processes of every session (every signed-in user) meet there.
    name_ = std::wstring(L"Global\\Quibrix-store-") + hex;
    return name_;
}

void store_lock::open_mutex() {
    if (mutex_) return;
    const std::wstring& lock_name = name();
    mutex_.reset(::CreateMutexW(shared_security(), FALSE, lock_name.c_str()));
    // Made by a process that gave it less access than ours do (an older version): what it
    // grants is enough to wait and to let go.
    if (!mutex_ && ::GetLastError() == ERROR_ACCESS_DENIED) {
        mutex_.reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, lock_name.c_str()));
    }
    if (!mutex_) throw store_error(error_cannot_open);
}

store_lock::outcome store_lock::acquire(DWORD timeout_ms) {
    if (folder_.empty()) return taken;  // no data folder: nothing is shared
    open_mutex();
    switch (::WaitForSingleObject(mutex_.get(), timeout_ms)) {
    case WAIT_OBJECT_0: return abandoned_seen_.exchange(false) ? taken_abandoned : taken;
    case WAIT_ABANDONED: abandoned_seen_ = false; return taken_abandoned;
    case WAIT_TIMEOUT: return busy;
    default: throw store_error(error_cannot_open);
    }
}

void store_lock::release() {
    if (mutex_) ::ReleaseMutex(mutex_.get());
}

util::unique_handle store_lock::duplicate() {
    util::unique_handle copy;
    if (folder_.empty()) return copy;
    open_mutex();
    HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, mutex_.get(), process, copy.put(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        throw store_error(error_cannot_open);
    }
    return copy;
}

bool store_lock::wait_free(HANDLE lock, DWORD timeout_ms) {
    const DWORD woke = ::WaitForSingleObject(lock, timeout_ms);
    if (woke != WAIT_OBJECT_0 && woke != WAIT_ABANDONED) return false;
    if (woke == WAIT_ABANDONED) abandoned_seen_ = true;
    ::ReleaseMutex(lock);
    return true;
}

std::uint64_t store_lock::counter() const {
    util::unique_file file(::CreateFileW(counter_path_.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ::GetLastError() == ERROR_FILE_NOT_FOUND ? no_counter : unreadable;
    std::uint64_t value = 0;
    DWORD got = 0;
    if (!::ReadFile(file.get(), &value, sizeof value, &got, nullptr) || got != sizeof value) return unreadable;
    return value;
}

std::uint64_t store_lock::advance() {
    util::unique_file file(::CreateFileW(counter_path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                         g_store_security, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw store_error(error_cannot_open);
    std::uint64_t value = 0;
    DWORD got = 0;
    if (!::ReadFile(file.get(), &value, sizeof value, &got, nullptr) || got != sizeof value) {
        // A new counter starts somewhere no process can have seen before: a data folder that
        // was removed and made again must not look unchanged to a process that knew the old one.
        value = store::file_time_now() ^ (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 40);
    }
    ++value;
    if (value == no_counter || value == unreadable) value = 1;
    LARGE_INTEGER start = {};
    DWORD written = 0;
    if (!::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) ||
        !::WriteFile(file.get(), &value, sizeof value, &written, nullptr) || written != sizeof value) {
        throw store_error(error_short_write);
    }
    return value;
}

}  // namespace items
