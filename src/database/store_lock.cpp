#include "database/store_lock.h"

#include "database/store_io.h"

namespace items {

namespace {

// Both spellings of one folder must give one lock.
std::wstring normalised(const std::wstring& folder) {
    std::wstring full(32768, L'\0');
    const DWORD length = ::GetFullPathNameW(folder.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    full.resize(length && length < full.size() ? length : 0);
    if (full.empty()) full = folder;
    ::CharUpperBuffW(&full[0], static_cast<DWORD>(full.size()));
    while (!full.empty() && full.back() == L'\\') full.pop_back();
    return full;
}

std::uint64_t fnv1a(const std::wstring& text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (wchar_t c : text) {
        h ^= static_cast<std::uint16_t>(c);
        h *= 0x100000001b3ull;
    }
    return h;
}

}  // namespace

void store_lock::set_folder(const std::wstring& data_folder) {
    mutex_.reset();
    wchar_t hex[17];
    const std::uint64_t h = fnv1a(normalised(data_folder));
    wsprintfW(hex, L"%08lx%08lx", static_cast<unsigned long>(h >> 32), static_cast<unsigned long>(h));
    // The global namespace: processes of every session (every signed-in user) meet there.
    name_ = std::wstring(L"Global\\Quibrix-store-") + hex;
    counter_path_ = data_folder + L"~quibrix-changes";
}

bool store_lock::acquire() {
    if (name_.empty()) return false;  // no data folder: nothing is shared
    if (!mutex_) {
        mutex_.reset(::CreateMutexW(g_store_security, FALSE, name_.c_str()));
        if (!mutex_ && ::GetLastError() == ERROR_ACCESS_DENIED) {
            mutex_.reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name_.c_str()));
        }
        if (!mutex_) throw store_error(error_cannot_open);
    }
    switch (::WaitForSingleObject(mutex_.get(), INFINITE)) {
    case WAIT_OBJECT_0: return false;
    case WAIT_ABANDONED: return true;
    default: throw store_error(error_cannot_open);
    }
}

void store_lock::release() {
    if (mutex_) ::ReleaseMutex(mutex_.get());
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
