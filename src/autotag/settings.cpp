#include "autotag/settings.h"

#include "database/store_io.h"
#include "util/file_names.h"
#include "util/unique_resource.h"
#include "util/utf8.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <tinyxml.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

namespace autotag {

std::atomic<bool> g_first_run(false);

Settings& settings() {
    // Deliberately leaked: the watcher's threads may still read it while statics are torn down.
    static Settings* record = new Settings;
    return *record;
}

util::critical_section& settings_lock() {
    static util::critical_section* lock = new util::critical_section;
    return *lock;
}

namespace {

const wchar_t settings_file_name[] = L"settings.xml";
const wchar_t legacy_file_name[] = L"settings.dt";

std::wstring& remembered_folder() {
    static std::wstring* folder = new std::wstring;
    return *folder;
}

using util::to_utf8;

// TinyXML gives a missing attribute as a null pointer.
std::wstring from_utf8(const char* text) { return text ? util::from_utf8(text) : std::wstring(); }

// The XML library opens files by ANSI name, in a buffer of MAX_PATH bytes. A path that does
// not convert exactly is refused: a best-fit conversion could name another file.
bool ansi_path(const std::wstring& path, std::string& out) {
    char buffer[MAX_PATH];
    BOOL lossy = FALSE;
    // The code page UTF-8 converts everything and refuses the lossy flag.
    BOOL* lossy_flag = ::GetACP() == CP_UTF8 ? nullptr : &lossy;
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, buffer,
                                           sizeof buffer, nullptr, lossy_flag);
    if (size == 0 || lossy) return false;
    out.assign(buffer);
    return true;
}

std::wstring settings_path(const std::wstring& data_folder) {
    return util::with_trailing_backslash(data_folder) + settings_file_name;
}

void read_flag(const TiXmlDocument& document, const char* element, bool& flag) {
    const TiXmlElement* found = document.FirstChildElement(element);
    if (!found) return;
    int value = flag ? 1 : 0;
    if (found->QueryIntAttribute("attrib", &value) == TIXML_SUCCESS) flag = value != 0;
}

WatchedDir read_dir(const TiXmlElement& dir) {
    WatchedDir entry;
    int value = entry.autotag;
    if (dir.QueryIntAttribute("autotag", &value) == TIXML_SUCCESS) entry.autotag = value;
    if (entry.autotag) entry.autotagname = from_utf8(dir.Attribute("autotagname"));
    entry.path = from_utf8(dir.Attribute("path"));
    if (entry.path.empty()) return entry;
    value = entry.recursive;
    if (dir.QueryIntAttribute("recursive", &value) == TIXML_SUCCESS) entry.recursive = value;
    for (const TiXmlElement* plugin = dir.FirstChildElement("plugin"); plugin;
         plugin = plugin->NextSiblingElement("plugin")) {
        entry.plugins.push_back(from_utf8(plugin->GetText()));
    }
    return entry;
}

void read_document(const TiXmlDocument& document, Settings& into) {
    const TiXmlElement* watch_dirs = document.FirstChildElement("watch_dirs");
    if (!watch_dirs) return;
    for (const TiXmlElement* dir = watch_dirs->FirstChildElement("dir"); dir; dir = dir->NextSiblingElement("dir")) {
        WatchedDir entry = read_dir(*dir);
        if (!entry.path.empty()) into.watch_dirs.push_back(entry);
    }
    read_flag(document, "is_watch_dirs", into.is_watch_dirs);
    read_flag(document, "show_popup", into.show_popup);
}

TiXmlElement* flag_element(const char* name, bool flag) {
    TiXmlElement* element = new TiXmlElement(name);
    element->SetAttribute("attrib", flag ? 1 : 0);
    return element;
}

TiXmlElement* dir_element(const WatchedDir& entry) {
    TiXmlElement* dir = new TiXmlElement("dir");
    if (entry.autotag) dir->SetAttribute("autotagname", to_utf8(entry.autotagname));
    dir->SetAttribute("path", to_utf8(entry.path));
    dir->SetAttribute("autotag", entry.autotag);
    dir->SetAttribute("recursive", entry.recursive);
    for (const std::wstring& name : entry.plugins) {
        TiXmlElement* plugin = new TiXmlElement("plugin");
        plugin->LinkEndChild(new TiXmlText(to_utf8(name)));
        dir->LinkEndChild(plugin);
    }
    return dir;
}

struct stream_closer {
    void operator()(FILE* stream) const { std::fclose(stream); }
};
typedef std::unique_ptr<FILE, stream_closer> unique_stream;

// The document goes to a file of its own beside `path`, made with the security that every user
// of the store gets, and only a complete file is moved over the old one: another user's Explorer
// can replace it in turn, and a save cut short leaves the previous settings whole.
bool write_replacing(const TiXmlDocument& document, const std::wstring& path) {
    static std::atomic<unsigned long> counter(0);
    wchar_t suffix[48];
    wsprintfW(suffix, L".%lu-%lu.tmp", ::GetCurrentProcessId(), ++counter);
    const std::wstring temporary = path + suffix;
    util::unique_file file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, items::shared_security(), CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bool written = false;
    {
        // The library prints through a text-mode stream, as its SaveFile does: lines end in CRLF.
        const int descriptor = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file.get()), _O_WRONLY | _O_TEXT);
        if (descriptor != -1) {
            file.release();  // the descriptor owns the handle now
            unique_stream stream(::_fdopen(descriptor, "w"));
            if (!stream) {
                ::_close(descriptor);
            } else {
                written = document.SaveFile(stream.get()) && std::fflush(stream.get()) == 0 &&
                          ::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor)));
                written = std::fclose(stream.release()) == 0 && written;
            }
        }
    }
    file.reset();
    if (written) {
        // Another process reading the old file holds it without delete sharing for a moment.
        for (int attempt = 0;; ++attempt) {
            if (::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                return true;
            }
            const DWORD error = ::GetLastError();
            if (attempt == 9 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)) break;
            ::Sleep(20);
        }
    }
    ::DeleteFileW(temporary.c_str());
    return false;
}

}  // namespace

void WatchedDir::init_from_path(const std::wstring& dir_path, const std::vector<std::wstring>& loaded_plugins) {
    recursive = 0;
    autotag = 1;
    path = dir_path;
    const std::wstring::size_type slash = dir_path.rfind(L'\\');
    if (slash != std::wstring::npos && slash + 1 < dir_path.size()) autotagname = dir_path.substr(slash + 1);
    plugins.insert(plugins.end(), loaded_plugins.begin(), loaded_plugins.end());
}

void load_settings(const std::wstring& data_folder) {
    const util::lock_guard held(settings_lock());
    remembered_folder() = data_folder;
    load_settings(settings(), data_folder);
}

bool save_settings() {
    const util::lock_guard held(settings_lock());
    return save_settings(settings(), remembered_folder());
}

void load_settings(Settings& into, const std::wstring& data_folder) {
    const util::lock_guard held(settings_lock());
    std::string file;
    TiXmlDocument document;
    if (!ansi_path(settings_path(data_folder), file) || !document.LoadFile(file, TIXML_ENCODING_UTF8)) {
        g_first_run = true;
        migrate_legacy_settings(util::with_trailing_backslash(data_folder) + legacy_file_name, into);
        save_settings(into, data_folder);
        return;
    }
    try {
        read_document(document, into);
    } catch (const std::bad_alloc&) {
        // Keep what was read so far as the new file.
        save_settings(into, data_folder);
    }
}

bool save_settings(const Settings& from, const std::wstring& data_folder) {
    // The record is read when the file is written, under the lock: a save that waited for
    // another thread's change writes that change too, and never writes over a later save.
    const util::lock_guard held(settings_lock());
    // Written by its wide name, but only where the library can read it back by its ANSI one.
    const std::wstring path = settings_path(data_folder);
    std::string file;
    if (!ansi_path(path, file)) return false;
    try {
        // No declaration: the file is UTF-8 by definition, and the reader is told so.
        TiXmlDocument document;
        document.LinkEndChild(flag_element("is_watch_dirs", from.is_watch_dirs));
        document.LinkEndChild(flag_element("show_popup", from.show_popup));
        TiXmlElement* watch_dirs = new TiXmlElement("watch_dirs");
        document.LinkEndChild(watch_dirs);
        for (const WatchedDir& entry : from.watch_dirs) watch_dirs->LinkEndChild(dir_element(entry));
        return write_replacing(document, path);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace autotag
