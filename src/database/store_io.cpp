#include "database/store_io.h"

#include "util/byte_fields.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>

namespace items {

namespace {
std::string store_error_text(int code) {
    switch (code) {
    case error_folder_not_created: return "store: a folder could not be created";
    case error_cannot_open: return "store: a file could not be opened or replaced";
    case error_short_write: return "store: a write was cut short";
    case error_invalid_name: return "store: a name cannot be stored";
    case error_store_busy: return "store: another process holds the store";
    }
    return "store: failure";
}
}  // namespace

store_error::store_error(int error_code, DWORD last_error)
    : util::hresult_error(store_error_text(error_code)), code(error_code), system_error(last_error) {}

HRESULT store_error::hresult() const {
    if (code == error_invalid_name) return E_INVALIDARG;
    if (system_error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(system_error);
    return code == error_short_write ? HRESULT_FROM_WIN32(ERROR_WRITE_FAULT) : E_FAIL;
}

std::atomic<bool> g_immediate_write(true);
SECURITY_ATTRIBUTES* g_store_security = nullptr;

SECURITY_ATTRIBUTES* shared_security() {
    static SECURITY_ATTRIBUTES* built = [] {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;GA;;;AU)", SDDL_REVISION_1, &descriptor,
                                                                    nullptr)) {
            return static_cast<SECURITY_ATTRIBUTES*>(nullptr);
        }
        SECURITY_ATTRIBUTES* attributes = new SECURITY_ATTRIBUTES;
        attributes->nLength = sizeof(SECURITY_ATTRIBUTES);
        attributes->lpSecurityDescriptor = descriptor;
        attributes->bInheritHandle = FALSE;
        return attributes;
    }();
    return built;
}

namespace store {

bool (*g_replace_interrupted)() = nullptr;
write_fault_plan g_write_fault;
change_fault_plan g_change_fault;

namespace {

// Longer than any file system's clock step (FAT's two seconds), in 100 ns units.
const std::uint64_t settle_time = 3ull * 10000000ull;

std::uint64_t to_number(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

thread_local write_listener* t_write_listener = nullptr;

}  // namespace

// False when a test stands for this change failing.
bool announce_write() {
    if (write_listener* listener = t_write_listener) listener->before_write();
    change_fault_plan& plan = g_change_fault;
    if (plan.fail_at <= 0) return true;
    const int number = ++plan.counted;
    if (number < plan.fail_at || (number > plan.fail_at && !plan.and_after)) return true;
    ::SetLastError(ERROR_WRITE_FAULT);
    return false;
}

std::uint64_t file_time_now() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return to_number(now);
}

file_stamp stamp_from(const WIN32_FIND_DATAW& data, std::uint64_t taken_at) {
    file_stamp stamp;
    stamp.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.write_time = to_number(data.ftLastWriteTime);
    stamp.known = true;
    stamp.settled = stamp.write_time + settle_time < taken_at;
    return stamp;
}

file_stamp stamp_of(const std::wstring& path) {
    const std::uint64_t taken_at = file_time_now();
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) return file_stamp();
    WIN32_FIND_DATAW data = {};
    data.nFileSizeHigh = attributes.nFileSizeHigh;
    data.nFileSizeLow = attributes.nFileSizeLow;
    data.ftLastWriteTime = attributes.ftLastWriteTime;
    return stamp_from(data, taken_at);
}

write_listener* current_write_listener() {
    return t_write_listener;
}

write_listener* exchange_write_listener(write_listener* listener) {
    write_listener* previous = t_write_listener;
    t_write_listener = listener;
    return previous;
}

namespace {

const wchar_t temporary_prefix[] = L"~quibrix-";
const wchar_t temporary_suffix[] = L".tmp";

}  // namespace

bool write_all(HANDLE file, const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    if (g_write_fault.failing > 0) {
        --g_write_fault.failing;
        const DWORD part = static_cast<DWORD>(std::min(g_write_fault.bytes, bytes.size()));
        DWORD written = 0;
        if (part) ::WriteFile(file, bytes.data(), part, &written, nullptr);
        ::SetLastError(ERROR_DISK_FULL);
        return false;
    }
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

namespace {

std::wstring unique_temporary_name(const std::wstring& folder) {
    static std::atomic<unsigned long> counter(0);
    wchar_t suffix[64];
    wsprintfW(suffix, L"%lu-%lu", ::GetCurrentProcessId(), ++counter);
    return folder + temporary_prefix + suffix + temporary_suffix;
}

}  // namespace

util::unique_file open_to_read(const std::wstring& path, std::size_t& size) {
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER length;
    if (file && (!::GetFileSizeEx(file.get(), &length) || length.QuadPart > 0x7fffffff)) file.reset();
    size = file ? static_cast<std::size_t>(length.QuadPart) : 0;
    return file;
}

bool read_exactly(HANDLE file, unsigned char* to, std::size_t size) {
    while (size) {
        DWORD got = 0;
        if (!::ReadFile(file, to, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &got, nullptr) || !got) {
            return false;
        }
        to += got;
        size -= got;
    }
    return true;
}

namespace {

// Opens the file and reads it whole into the buffer that `resize(bytes)` gives; returns the
// number of bytes read, or -1.
template <typename Resize>
long long read_whole(const std::wstring& path, Resize resize) {
    std::size_t size = 0;
    const util::unique_file file = open_to_read(path, size);
    if (!file) return -1;
    unsigned char* buffer = resize(size);
    std::size_t done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer + done, static_cast<DWORD>(size - done), &got, nullptr)) return -1;
        if (got == 0) break;
        done += got;
    }
    return static_cast<long long>(done);
}

}  // namespace

bool read_file(const std::wstring& path, std::vector<unsigned char>& bytes) {
    bytes.clear();
    const long long read = read_whole(path, [&bytes](std::size_t size) {
        bytes.resize(size);
        return bytes.data();
    });
    if (read < 0) return false;
    bytes.resize(static_cast<std::size_t>(read));
    return true;
}

bool read_file(const std::wstring& path, std::vector<wchar_t>& units, std::size_t& size) {
    units.clear();
    const long long read = read_whole(path, [&units](std::size_t bytes) {
        units.assign((bytes + 1) / 2, L'\0');
        return reinterpret_cast<unsigned char*>(units.data());
    });
    if (read < 0) return false;
    size = static_cast<std::size_t>(read);
    units.resize((size + 1) / 2);
    return true;
}

bool read_pieces(const std::wstring& path, std::size_t longest,
                 const std::function<bool(const unsigned char*, std::size_t, bool, std::size_t&)>& consume) {
    std::size_t total = 0;
    const util::unique_file file = open_to_read(path, total);
    if (!file) return false;
    const std::size_t piece = 512 * 1024;
    // In units: a piece starts 2-byte aligned wherever the unused rest is moved to.
    std::vector<wchar_t> units((std::min(total, piece) + longest + 1) / 2 + 1);
    unsigned char* const buffer = reinterpret_cast<unsigned char*>(units.data());
    std::size_t held = 0, done = 0;
    for (;;) {
        DWORD got = 0;
        const std::size_t room = std::min(total - done, units.size() * 2 - held);
        if (room && !::ReadFile(file.get(), buffer + held, static_cast<DWORD>(room), &got, nullptr)) return false;
        done += got;
        held += got;
        const bool last = done >= total || got == 0;
        std::size_t used = 0;
        if (!consume(buffer, held, last, used) || last) return true;
        if (used > held || held - used > longest) {
            ::SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        std::memmove(buffer, buffer + used, held - used);
        held -= used;
    }
}

void append_file(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    before_plain_write(path, false);
    if (!announce_write()) throw store_error(error_short_write);
    util::unique_file file(::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_WRITE_DATA, 0, g_store_security,
                                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw store_error(error_cannot_open);
    LARGE_INTEGER zero = {};
    LARGE_INTEGER end = {};
    ::SetFilePointerEx(file.get(), zero, &end, FILE_END);
    if (!write_all(file.get(), bytes)) {
        const DWORD error = ::GetLastError();
        // What was written of a failed append is cut off: the next append would land behind it,
        // and a reader would take it for the start of a record.
        ::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN);
        ::SetEndOfFile(file.get());
        throw store_error(error_short_write, error);
    }
}

void flush_file(const std::wstring& path) {
    // Shared: a scanner reading the file meanwhile does not stop the flush.
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // A file removed since has nothing left to flush.
    if (file ? !::FlushFileBuffers(file.get())
             : ::GetLastError() != ERROR_FILE_NOT_FOUND && ::GetLastError() != ERROR_PATH_NOT_FOUND) {
        throw store_error(error_short_write, ::GetLastError());
    }
}

bool empty_and_delete(const std::wstring& path) {
    util::unique_file file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, g_store_security, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    if (!::SetEndOfFile(file.get()) || !::FlushFileBuffers(file.get())) return false;
    file.reset();
    // Gone, or empty if the deletion is lost: either way it asks for nothing.
    ::DeleteFileW(path.c_str());
    return true;
}

void replace_file(const std::wstring& path, const std::vector<unsigned char>& bytes,
                  const std::wstring& temp_folder, replacement mode) {
    replace_file(path, [&bytes](HANDLE file) { return write_all(file, bytes); }, temp_folder, mode);
}

void replace_file(const std::wstring& path, const std::function<bool(HANDLE)>& write,
                  const std::wstring& temp_folder, replacement mode) {
    const bool durable = mode == replacement::durable;
    before_plain_write(path, false);
    if (durable && !announce_write()) throw store_error(error_short_write);
    const std::wstring temporary = unique_temporary_name(temp_folder);
    {
        util::unique_file file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, g_store_security, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) throw store_error(error_cannot_open);
        if (!write(file.get()) || (durable && !::FlushFileBuffers(file.get()))) {
            const DWORD error = ::GetLastError();
            file.reset();
            ::DeleteFileW(temporary.c_str());
            throw store_error(error_short_write, error);
        }
    }
    if (g_replace_interrupted && g_replace_interrupted()) throw store_error(error_short_write);
    if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0))) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(temporary.c_str());
        throw store_error(error_cannot_open, error);
    }
}

void remove_temporary_files(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    const std::wstring pattern = folder + temporary_prefix + L"*" + temporary_suffix;
    util::unique_find find(find_first(pattern, data));
    if (!find) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) delete_file(folder + data.cFileName);
    } while (::FindNextFileW(find.get(), &data));
}

HANDLE find_first(const std::wstring& pattern, WIN32_FIND_DATAW& data) {
    return ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                              FIND_FIRST_EX_LARGE_FETCH);
}

bool create_folder(const std::wstring& path) {
    if (util::folder_exists(path)) return true;
    if (!announce_write()) return false;
    return ::CreateDirectoryW(path.c_str(), g_store_security) || util::folder_exists(path);
}

bool delete_file(const std::wstring& path, const std::wstring& data_folder) {
    before_plain_write(path, false);
    if (!announce_write()) return false;
    if (data_folder.empty()) return ::DeleteFileW(path.c_str()) != FALSE;
    return util::remove_file(path, data_folder);
}

bool remove_empty_folder(const std::wstring& path, const std::wstring& data_folder) {
    before_plain_write(path, true);
    return announce_write() && util::remove_empty_folder(path, data_folder);
}

bool remove_folder_tree(const std::wstring& path, const std::wstring& data_folder) {
    before_plain_write(path, true);
    return announce_write() && util::remove_folder_tree(path, util::removal::best_effort, data_folder);
}

bool move_path(const std::wstring& from, const std::wstring& to) {
    before_plain_write(from, true);
    return announce_write() && ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
}

void encode_ids(const std::vector<file_id_t>& ids, std::size_t from, std::vector<unsigned char>& out) {
    const std::size_t count = ids.size() - from;
    const std::size_t start = out.size();
    out.resize(start + count * 4);
    if (count) std::memcpy(out.data() + start, ids.data() + from, count * 4);
}

bool decode_ids(const std::vector<unsigned char>& bytes, std::vector<file_id_t>& ids) {
    const std::size_t count = bytes.size() / 4;
    ids.resize(count);
    if (count) std::memcpy(ids.data(), bytes.data(), count * 4);
    return bytes.size() % 4 == 0;
}

void encode_map_record(file_id_t id, std::wstring_view path, std::vector<unsigned char>& out) {
    const std::uint16_t length = static_cast<std::uint16_t>(path.size());
    const std::size_t start = out.size();
    out.resize(start + 6 + path.size() * 2);
    util::put<std::uint32_t>(out.data() + start, id);
    util::put<std::uint16_t>(out.data() + start + 4, length);
    if (length) std::memcpy(out.data() + start + 6, path.data(), path.size() * 2);
}

}  // namespace store
}  // namespace items
