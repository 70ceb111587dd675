// The binary settings file of earlier versions, read once when "settings.xml" is missing.
// Layout, little-endian, no header: three text records (skipped), a 16-bit watcher flag, a
// 16-bit directory count, then one text record per directory. A text record is a signed
// 16-bit byte count, at most 260, then that many bytes of UTF-16 without terminator.
#include "autotag/settings.h"

#include "util/unique_resource.h"

#include <windows.h>

#include <cstddef>

namespace autotag {

namespace {

const int max_record_bytes = 260;

class legacy_reader {
public:
    explicit legacy_reader(HANDLE file) : file_(file) {}

    bool read_u16(std::uint16_t& value) {
        unsigned char bytes[2];
        if (!read(bytes, sizeof bytes)) return false;
        value = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
        return true;
    }

    // A negative length is as damaged as one above the limit: both would read past the
    // record into whatever follows.
    bool read_text(std::wstring& text) {
        std::uint16_t raw = 0;
        if (!read_u16(raw)) return false;
        const int length = static_cast<std::int16_t>(raw);
        if (length < 0 || length > max_record_bytes) return false;
        unsigned char bytes[max_record_bytes];
        if (!read(bytes, static_cast<DWORD>(length))) return false;
        text.clear();
        for (int i = 0; i + 1 < length; i += 2) text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
        return true;
    }

private:
    bool read(unsigned char* into, DWORD size) {
        if (size == 0) return true;
        DWORD got = 0;
        return ::ReadFile(file_, into, size, &got, nullptr) && got == size;
    }

    HANDLE file_;
};

bool read_legacy(legacy_reader& reader, Settings& into) {
    std::wstring ignored;
    for (int i = 0; i < 3; ++i) {
        if (!reader.read_text(ignored)) return false;
    }
    std::uint16_t watching = 0;
    if (!reader.read_u16(watching) || watching > max_record_bytes) return false;
    into.is_watch_dirs = watching != 0;
    std::uint16_t count = 0;
    if (!reader.read_u16(count) || count > max_record_bytes) return false;
    for (std::uint16_t i = 0; i < count; ++i) {
        std::wstring path;
        if (!reader.read_text(path)) return false;
        if (path.empty()) continue;
        // Start-up reads the settings before it loads the plug-ins: a migrated entry enables none.
        WatchedDir entry;
        entry.init_from_path(path, std::vector<std::wstring>());
        into.watch_dirs.push_back(entry);
    }
    return true;
}

}  // namespace

bool migrate_legacy_settings(const std::wstring& dt_path, Settings& into) {
    util::unique_file file(::CreateFileW(dt_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    const std::size_t kept = into.watch_dirs.size();
    legacy_reader reader(file.get());
    if (read_legacy(reader, into)) return true;
    into.watch_dirs.resize(kept);
    into.is_watch_dirs = true;
    return false;
}

}  // namespace autotag
