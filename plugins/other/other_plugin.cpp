// "other.dll": the fallback plug-in, asked for files that no other enabled plug-in tags. It
// reads nothing inside the file, so it works for any file:
//
//   Files
//     Kind      -> "Documents", "Images", "Audio", "Video", "Archives" or "Programs", by extension
//     Modified  -> the year the file was last written, in local time
//
// It claims no extension of its own: the host reaches it by its name as the fallback, and a
// claimed extension would make it a candidate like the others, asked before the plug-in that
// reads the file's metadata whenever it loads earlier.
#include "plugin_kit.h"

#include <windows.h>

#include <string>
#include <vector>

using autotag::PluginNode;
using autotag::plugin_bool;

namespace {

const wchar_t root_name[] = L"Files";

struct kind_rule {
    const wchar_t* kind;
    std::vector<const wchar_t*> extensions;  // lower case
};

const std::vector<kind_rule>& kinds() {
    static const std::vector<kind_rule> table = {
        {L"Documents", {L"pdf", L"doc", L"docx", L"docm", L"odt", L"rtf", L"txt", L"md", L"xls", L"xlsx", L"xlsm",
                        L"ods", L"csv", L"ppt", L"pptx", L"odp", L"epub", L"mobi", L"djvu", L"xps", L"tex", L"pages",
                        L"key", L"numbers"}},
        {L"Images", {L"jpg", L"jpeg", L"jpe", L"png", L"gif", L"bmp", L"tif", L"tiff", L"webp", L"heic", L"heif",
                     L"svg", L"ico", L"psd", L"raw", L"cr2", L"cr3", L"nef", L"arw", L"dng", L"orf", L"rw2", L"avif"}},
        {L"Audio", {L"mp3", L"flac", L"ogg", L"oga", L"opus", L"m4a", L"aac", L"wav", L"wma", L"aif", L"aiff", L"ape",
                    L"wv", L"mpc", L"mid", L"midi", L"amr"}},
        {L"Video", {L"mp4", L"m4v", L"mkv", L"avi", L"mov", L"wmv", L"webm", L"mpg", L"mpeg", L"flv", L"3gp", L"vob",
                    L"ogv", L"mts", L"m2ts"}},
        {L"Archives", {L"zip", L"rar", L"7z", L"tar", L"gz", L"tgz", L"bz2", L"tbz2", L"xz", L"txz", L"zst", L"lz",
                       L"lzma", L"cab", L"iso", L"img", L"arj"}},
        {L"Programs", {L"exe", L"msi", L"msix", L"msixbundle", L"appx", L"appxbundle", L"bat", L"cmd", L"com",
                       L"ps1", L"vbs", L"jar", L"apk"}},
    };
    return table;
}

// The extension of the file name (not of a folder above it), lower case; empty when none.
std::wstring extension_of(const std::wstring& path) {
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    const std::wstring::size_type dot = path.rfind(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return std::wstring();
    return plugin_kit::ascii_lower(path.substr(dot + 1));
}

std::wstring kind_of(const std::wstring& path) {
    const std::wstring ext = extension_of(path);
    if (ext.empty()) return std::wstring();
    for (const kind_rule& rule : kinds()) {
        for (const wchar_t* candidate : rule.extensions) {
            if (ext == candidate) return rule.kind;
        }
    }
    return std::wstring();
}

bool modified_year(const wchar_t* path, std::wstring& year) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    SYSTEMTIME utc, local;
    if (!::FileTimeToSystemTime(&data.ftLastWriteTime, &utc)) return false;
    // The year that Explorer shows beside the file.
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
    year = std::to_wstring(local.wYear);
    return true;
}

// The kind of file by its extension and the year it was last written.
bool read_facts(const wchar_t* file_path, plugin_kit::NameDraft& tree) {
    std::wstring year;
    if (!modified_year(file_path, year)) return false;
    tree.add_tag(L"Kind", kind_of(file_path));
    tree.add_tag(L"Modified", year);
    return true;
}

}  // namespace

QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI GetExts(wchar_t*** exts, std::uint32_t* count) {
    if (!exts || !count) return 0;
    return plugin_kit::answer_extensions(std::vector<std::wstring>(), exts, count) ? 1 : 0;
}

QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI GetDescription(wchar_t** description) {
    if (!description) return 0;
    try {
        return plugin_kit::answer_text(L"Any file: its kind and the year it was last modified", description) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI FillNode(const wchar_t* file_path, PluginNode** root) {
    return plugin_kit::fill_node(file_path, root, root_name, read_facts);
}

// Required by the host, never called by it.
QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI SaveNode() {
    return 0;
}
