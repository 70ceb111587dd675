#include "autotag/plugins.h"

#include "database/tags_holder.h"
#include "util/file_names.h"
#include "util/module.h"
#include "util/unique_resource.h"

#include <objbase.h>

#include <algorithm>
#include <memory>

namespace autotag {

namespace {

const wchar_t fallback_plugin[] = L"other.dll";

bool contains(const std::vector<std::wstring>& list, const std::wstring& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// Copies the plug-in's extensions and frees every block it handed over.
bool take_extensions(const AutoAssignPlugins::plugin_info& info, std::vector<std::wstring>& exts) {
    wchar_t** array = nullptr;
    std::uint32_t count = 0;
    if (!info.GetExts(&array, &count)) return false;
    util::unique_cotaskmem array_block(array);
    if (!array) return count == 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        util::unique_cotaskmem text_block(array[i]);
        if (array[i]) exts.push_back(array[i]);
    }
    return true;
}

bool take_description(const AutoAssignPlugins::plugin_info& info, std::wstring& description) {
    wchar_t* text = nullptr;
    if (!info.GetDescription(&text)) return false;
    util::unique_cotaskmem block(text);
    description = text ? text : L"";
    return true;
}

// One candidate DLL; null when it lacks an export or refuses to describe itself.
AutoAssignPlugins::plugin_ptr load_one(const std::wstring& folder, const std::wstring& file_name) {
    // Never unloaded, also when skipped: a plug-in may have started something that outlives
    // its answers, and unloading it under that would crash the host.
    HMODULE module = ::LoadLibraryW((folder + L'\\' + file_name).c_str());
    if (!module) return AutoAssignPlugins::plugin_ptr();
    AutoAssignPlugins::plugin_ptr info(new AutoAssignPlugins::plugin_info);
    info->GetExts = reinterpret_cast<GetExtsProc>(::GetProcAddress(module, "GetExts"));
    if (!info->GetExts) return AutoAssignPlugins::plugin_ptr();
    info->FillNode = reinterpret_cast<FillNodeProc>(::GetProcAddress(module, "FillNode"));
    if (!info->FillNode) return AutoAssignPlugins::plugin_ptr();
    info->SaveNode = reinterpret_cast<SaveNodeProc>(::GetProcAddress(module, "SaveNode"));
    if (!info->SaveNode) return AutoAssignPlugins::plugin_ptr();
    info->GetDescription = reinterpret_cast<GetDescriptionProc>(::GetProcAddress(module, "GetDescription"));
    if (!info->GetDescription) return AutoAssignPlugins::plugin_ptr();
    info->name = file_name;
    try {
        if (!take_extensions(*info, info->exts)) return AutoAssignPlugins::plugin_ptr();
        if (!take_description(*info, info->description)) return AutoAssignPlugins::plugin_ptr();
    } catch (...) {
        return AutoAssignPlugins::plugin_ptr();
    }
    return info;
}

}  // namespace

AutoAssignPlugins& autoassign_plugins() {
    // Deliberately leaked: the watcher and a parse may still use it while statics are torn down.
    static AutoAssignPlugins* plugins = new AutoAssignPlugins;
    return *plugins;
}

AutoAssignPlugins::AutoAssignPlugins() : loaded_(::CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

AutoAssignPlugins::~AutoAssignPlugins() {
    // The loading thread fills this object.
    wait_loaded();
}

void AutoAssignPlugins::start_loading(const std::wstring& folder) {
    std::unique_ptr<LoadJob> job(new LoadJob{this, folder});
    ::ResetEvent(loaded_.get());
    util::unique_handle thread(::CreateThread(nullptr, 0, loading_thread, job.get(), 0, nullptr));
    if (thread) {
        job.release();
    } else {
        // No plug-ins then: better than running their code where it must not run.
        ::SetEvent(loaded_.get());
    }
}

DWORD WINAPI AutoAssignPlugins::loading_thread(void* param) {
    std::unique_ptr<LoadJob> job(static_cast<LoadJob*>(param));
    // Plug-ins may use COM while they describe themselves.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    try {
        if (job->folder.empty()) {
            job->plugins->load_plugins();
        } else {
            job->plugins->load_plugins(job->folder);
        }
    } catch (...) {
        // Out of memory: the plug-ins loaded so far are kept.
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    // Whatever ended the load, the readers waiting for it must go on.
    ::SetEvent(job->plugins->loaded_.get());
    return 0;
}

void AutoAssignPlugins::wait_loaded() const {
    ::WaitForSingleObject(loaded_.get(), INFINITE);
}

items::tree_ptr AutoAssignPlugins::plugin_info::fill(const std::wstring& file_path) const {
    PluginNode* root = nullptr;
    plugin_bool ok = 0;
    try {
        ok = FillNode(file_path.c_str(), &root);
    } catch (...) {
        return items::tree_ptr();
    }
    // After a failure the out-parameter is not ours to touch.
    if (!ok || !root) return items::tree_ptr();
    items::tree_ptr tree;
    try {
        tree = convert_plugin_tree(*root);
    } catch (...) {
        tree.reset();
    }
    free_plugin_tree(root);
    return tree;
}

void AutoAssignPlugins::load_plugins() {
    const std::wstring folder = util::module_folder();
    if (!folder.empty()) load_plugins(folder + L"\\plugins");
}

void AutoAssignPlugins::load_plugins(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    util::unique_find find(::FindFirstFileW((folder + L"\\*.dll").c_str(), &data));
    if (!find) return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (plugin_ptr info = load_one(folder, data.cFileName)) plugins.push_back(info);
    } while (::FindNextFileW(find.get(), &data));
}

AutoAssignPlugins::plugin_ptr AutoAssignPlugins::find(const std::wstring& name) const {
    wait_loaded();
    for (const plugin_ptr& info : plugins) {
        if (info->name == name) return info;
    }
    return plugin_ptr();
}

std::vector<std::wstring> AutoAssignPlugins::names() const {
    wait_loaded();
    std::vector<std::wstring> all;
    for (const plugin_ptr& info : plugins) all.push_back(info->name);
    return all;
}

items::tree_ptr AutoAssignPlugins::plugin_tree(const WatchedDir& entry, const std::wstring& path) const {
    wait_loaded();
    std::wstring ext;
    if (usable_extension(path, ext)) {
        for (const plugin_ptr& info : plugins) {
            if (!contains(info->exts, ext) || !contains(entry.plugins, info->name)) continue;
            if (items::tree_ptr tree = info->fill(path)) return tree;
        }
    }
    // Also when a claiming plug-in declined (a photo without EXIF, a song without tags): the
    // fallback reads nothing inside the file, so such a file is tagged like one that no
    // plug-in claims rather than not at all.
    if (!contains(entry.plugins, fallback_plugin)) return items::tree_ptr();
    const plugin_ptr fallback = find(fallback_plugin);
    return fallback ? fallback->fill(path) : items::tree_ptr();
}

void AutoAssignPlugins::tag_new_file(const std::wstring& path) {
    tag_new_file(path, settings(), items::tags_holder());
}

void AutoAssignPlugins::tag_new_file(const std::wstring& path, const Settings& config, items::TagsHolder& db) const {
    wait_loaded();
    if (db.find_root(&path, 0)) return;
    // The directory that holds the file, by whole path components: a plain substring test would
    // give a file of C:\Photos2 to an earlier C:\Photos, with that entry's plug-ins and a "Path"
    // chain starting inside a folder name.
    const WatchedDir* entry = nullptr;
    for (const WatchedDir& candidate : config.watch_dirs) {
        if (util::is_same_or_below(path, candidate.path)) {
            entry = &candidate;
            break;
        }
    }
    if (!entry) return;
    const items::tree_ptr tree = plugin_tree(*entry, path);
    if (!tree) return;
    apply_tag_request(db, path, build_tag_request(tree, *entry, path, entry->path.size()));
}

void WatchedDir::init_from_path(const std::wstring& dir_path) {
    init_from_path(dir_path, autoassign_plugins().names());
}

}  // namespace autotag
