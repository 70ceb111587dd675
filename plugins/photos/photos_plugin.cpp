// "photos.dll": files JPEG and TIFF photos under the root tag "Photos" by their EXIF data,
// read with libexif:
//
//   Photos
//     Make   -> the camera's maker ("Canon")
//     Model  -> the camera model ("Canon EOS 5D Mark II")
//     Year   -> the year taken ("2021")
//     Month  -> the month taken, with its year ("2021-07"), which sorts by time
//
// The date is the moment the picture was taken (DateTimeOriginal), else when it was digitised,
// else the date the file's EXIF block gives for the image.
#include "plugin_kit.h"
#include "safe_names.h"

#include <libexif/exif-data.h>

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using autotag::PluginNode;
using autotag::plugin_bool;

namespace {

const wchar_t root_name[] = L"Photos";

const wchar_t* const claimed_extensions[] = {
    L"jpg", L"jpeg", L"jpe", L"tif", L"tiff", L"JPG", L"JPEG", L"JPE", L"TIF", L"TIFF",
};

// A JPEG's EXIF block is an APP1 segment of at most 64 KiB that follows the start marker and
// at most a small JFIF segment; libexif reads no more than 64 KiB of a TIFF either. A parse
// reads thousands of photos, so no more than that is read.
const DWORD jpeg_read_limit = 128 * 1024;
const DWORD tiff_read_limit = 64 * 1024;

bool read_head(const wchar_t* path, DWORD limit, std::vector<unsigned char>& bytes) {
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes.resize(limit);
    DWORD total = 0;
    DWORD got = 0;
    while (total < limit && ::ReadFile(file, &bytes[total], limit - total, &got, nullptr) && got > 0) total += got;
    ::CloseHandle(file);
    bytes.resize(total);
    return total > 0;
}

bool is_tiff(const std::vector<unsigned char>& bytes) {
    return bytes.size() >= 4 && ((std::memcmp(&bytes[0], "II*\0", 4) == 0) || (std::memcmp(&bytes[0], "MM\0*", 4) == 0));
}

// An ASCII entry's text up to its terminator, as a tag name; empty when there is none.
std::wstring text_of(ExifData* data, ExifTag tag) {
    ExifEntry* entry = exif_data_get_entry(data, tag);
    if (!entry || entry->format != EXIF_FORMAT_ASCII || !entry->data || entry->size == 0) return std::wstring();
    const char* text = reinterpret_cast<const char*>(entry->data);
    const std::size_t length = strnlen(text, entry->size);
    // The format says ASCII; many writers store UTF-8, which decodes the same for ASCII.
    return plugin_kit::safe_name_utf8(text, length);
}

bool digits(const char* text, std::size_t count, unsigned& value) {
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

// "YYYY:MM:DD HH:MM:SS" (some writers use "-"); cameras without a clock write zeros or blanks.
bool date_of(ExifData* data, ExifTag tag, unsigned& year, unsigned& month) {
    ExifEntry* entry = exif_data_get_entry(data, tag);
    if (!entry || entry->format != EXIF_FORMAT_ASCII || !entry->data || entry->size < 7) return false;
    const char* text = reinterpret_cast<const char*>(entry->data);
    if (!digits(text, 4, year) || (text[4] != ':' && text[4] != '-') || !digits(text + 5, 2, month)) return false;
    return year >= 1000 && month >= 1 && month <= 12;
}

std::wstring two_digits(unsigned value) {
    return std::wstring(1, static_cast<wchar_t>(L'0' + value / 10)) + static_cast<wchar_t>(L'0' + value % 10);
}

bool read_exif(const wchar_t* file_path, plugin_kit::NameDraft& root) {
    std::vector<unsigned char> bytes;
    if (!read_head(file_path, jpeg_read_limit, bytes)) return false;
    if (is_tiff(bytes)) {
        // A TIFF file is laid out as an EXIF block without its "Exif" header.
        static const unsigned char header[] = {'E', 'x', 'i', 'f', 0, 0};
        if (bytes.size() > tiff_read_limit) bytes.resize(tiff_read_limit);
        bytes.insert(bytes.begin(), header, header + sizeof header);
    }
    const std::unique_ptr<ExifData, void (*)(ExifData*)> held(exif_data_new(), exif_data_unref);
    ExifData* data = held.get();
    if (!data) return false;
    // Read what is there; the library's repairs would add entries of its own.
    exif_data_unset_option(data, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(data, &bytes[0], static_cast<unsigned int>(bytes.size()));

    root.add_tag(L"Make", text_of(data, EXIF_TAG_MAKE));
    root.add_tag(L"Model", text_of(data, EXIF_TAG_MODEL));
    unsigned year = 0, month = 0;
    if (date_of(data, EXIF_TAG_DATE_TIME_ORIGINAL, year, month) ||
        date_of(data, EXIF_TAG_DATE_TIME_DIGITIZED, year, month) || date_of(data, EXIF_TAG_DATE_TIME, year, month)) {
        const std::wstring year_text = std::to_wstring(year);
        root.add_tag(L"Year", year_text);
        root.add_tag(L"Month", year_text + L'-' + two_digits(month));
    }
    return !root.empty();
}

}  // namespace

QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI GetExts(wchar_t*** exts, std::uint32_t* count) {
    if (!exts || !count) return 0;
    try {
        const std::vector<std::wstring> list(std::begin(claimed_extensions), std::end(claimed_extensions));
        return plugin_kit::answer_extensions(list, exts, count) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI GetDescription(wchar_t** description) {
    if (!description) return 0;
    try {
        return plugin_kit::answer_text(L"Photos: camera make and model, year and month taken, from EXIF", description)
                   ? 1
                   : 0;
    } catch (...) {
        return 0;
    }
}

QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI FillNode(const wchar_t* file_path, PluginNode** root) {
    return plugin_kit::fill_node(file_path, root, root_name, read_exif);
}

// Required by the host, never called by it.
QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI SaveNode() {
    return 0;
}
