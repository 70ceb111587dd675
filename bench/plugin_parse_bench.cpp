// Time of "Parse directory with plugins" over a folder of music files with the shipped
// plug-ins, as the parse thread runs it: every file goes to "music.dll", the tags go into a data
// folder in memory and are written by the one save at the end (included in the time).
//
//   quibrix_plugin_bench MUSIC_FOLDER DATA_FOLDER
//
// It lies in bin/ beside Quibrix.dll, so it loads the plug-ins from bin\plugins as the
// extension does. scripts/bench-plugins writes the music files and runs it.
#include "autotag/files_iterator.h"
#include "autotag/parse.h"
#include "autotag/plugins.h"
#include "database/tags_holder.h"
#include "explorer/startup.h"
#include "util/file_names.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class Quiet : public autotag::parse_progress {
public:
    void entered(const std::wstring&) override {}
    bool stop_requested() override { return false; }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: quibrix_plugin_bench MUSIC_FOLDER DATA_FOLDER\n");
        return 2;
    }
    const std::wstring music = argv[1];
    const std::wstring data = util::with_trailing_backslash(argv[2]);
    ::CreateDirectoryW(data.c_str(), nullptr);

    autotag::AutoAssignPlugins plugins;
    plugins.load_plugins();
    if (!plugins.find(L"music.dll")) {
        std::fwprintf(stderr, L"music.dll not found in the plugins folder beside this program\n");
        return 1;
    }

    // The database as Explorer's start-up prepares it, without the threads only a host needs.
    explorer::build_folder_security();
    items::g_immediate_write = true;
    items::TagsHolder& db = items::tags_holder();
    db.set_data_folder(data);
    db.load_store();

    std::vector<std::wstring> files;
    autotag::FilesIteratorInDir walk(music, true, nullptr);
    std::wstring path;
    bool is_dir = false;
    while (walk.next(path, is_dir)) {
        if (!is_dir) files.push_back(path);
    }

    autotag::WatchedDir job;
    job.init_from_path(music, {L"music.dll"});
    job.recursive = 1;
    job.autotag = 0;
    Quiet progress;
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    autotag::parse_directory(job, plugins, db, progress);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    std::size_t tagged = 0;
    std::map<std::wstring, std::size_t> per_scope;
    for (const std::wstring& file : files) {
        const std::vector<items::tree_ptr> trees = db.tags_of_paths({file});
        if (trees.empty()) continue;
        ++tagged;
        for (const items::tree_ptr& root : trees) {
            for (const items::tree_ptr& scope : root->children) per_scope[root->name + L"/" + scope->name] += 1;
        }
    }
    std::wprintf(L"music_files: %u files\n", static_cast<unsigned>(files.size()));
    std::wprintf(L"music_files_tagged: %u files\n", static_cast<unsigned>(tagged));
    for (const auto& scope : per_scope) {
        std::wprintf(L"files_with_%ls: %u files\n", scope.first.c_str(), static_cast<unsigned>(scope.second));
    }
    std::wprintf(L"parse_music_total: %.0f ms\n", ms);
    if (!files.empty()) std::wprintf(L"parse_music_per_file: %.2f ms\n", ms / files.size());
    return tagged == files.size() ? 0 : 3;
}
