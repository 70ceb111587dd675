// Explorer's side of the command-line tests: it runs the module's real start-up on a given
// application-data folder, so that it holds the store open as Explorer does, and then works on
// it as the test tells it, one command a line on its standard input (fields split by tabs):
//
//   tag CHAIN PATH...        gives every PATH the tag CHAIN ("Work/Invoices") in one call
//   tag-each CHAIN PATH...   the same one path at a time, each a write of its own
//   list CHAIN               the files the folder lists under CHAIN's "Filtered Items"
//   quit
//
// It answers "ready" once the start-up load has finished, then each command with its output
// lines and "end" ("failed" when the store refused it). All text is UTF-8.
#include "database/tags_holder.h"
#include "database/tag_query.h"
#include "explorer/startup.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

std::string to_utf8(const std::wstring& text) {
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
    return out;
}

std::wstring from_utf8(const std::string& bytes) {
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &out[0], units);
    return out;
}

void answer(const std::wstring& line) {
    const std::string bytes = to_utf8(line + L"\n");
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool read_line(std::string& pending, std::wstring& line) {
    for (;;) {
        const std::string::size_type end = pending.find('\n');
        if (end != std::string::npos) {
            line = from_utf8(pending.substr(0, end));
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == L'\r') line.pop_back();
            return true;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) || got == 0) return false;
        pending.append(buffer, got);
    }
}

std::vector<std::wstring> fields_of(const std::wstring& line) {
    std::vector<std::wstring> fields;
    std::wstring::size_type start = 0;
    for (;;) {
        const std::wstring::size_type tab = line.find(L'\t', start);
        fields.push_back(line.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
        if (tab == std::wstring::npos) return fields;
        start = tab + 1;
    }
}

void run(items::TagsHolder& db, const std::vector<std::wstring>& fields) {
    const std::vector<std::wstring> chain = fields.size() > 1 ? items::split_tag_path(fields[1]) : std::vector<std::wstring>();
    const std::vector<std::wstring> paths(fields.begin() + (fields.size() > 2 ? 2 : fields.size()), fields.end());
    if (fields[0] == L"tag") {
        db.set_tags(paths, items::make_chain(chain), items::tree_ptr());
    } else if (fields[0] == L"tag-each") {
        for (const std::wstring& path : paths) {
            db.set_tags({path}, items::make_chain(chain), items::tree_ptr());
            ::Sleep(40);  // room for the other process's writes in between
        }
    } else if (fields[0] == L"list") {
        std::vector<std::wstring> level = chain;
        level.push_back(items::filtered_items_name);
        items::shell_item_list out;
        db.list_level(level, 0, out);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const items::shell_item_fields item = out.fields(i);
            std::wstring path;
            if (item.kind == items::item_file && db.find_path(item.file_id, path)) answer(path);
        }
    } else {
        answer(L"unknown command " + fields[0]);
    }
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv || argc != 2) return 2;
    explorer::startup_places places;
    places.common_app_data = argv[1];
    places.registry_root = HKEY_CURRENT_USER;
    places.plugin_folder = std::wstring(argv[1]) + L"\\no-plugins";
    if (!explorer::start_up(places)) return 3;
    items::TagsHolder& db = items::tags_holder();
    if (!db.wait_loaded(60000)) return 4;
    answer(L"ready");

    std::string pending;
    std::wstring line;
    while (read_line(pending, line)) {
        if (line == L"quit") return 0;
        try {
            run(db, fields_of(line));
            answer(L"end");
        } catch (const std::exception&) {
            answer(L"failed");
        }
    }
    return 0;
}
