// The metadata plug-ins: loaded once from the "plugins" folder beside the module, then asked
// for the tags of files, for one new file at a time (the watcher) or for a whole directory
// (the parse).
#pragma once

#include "autotag/plugin_abi.h"
#include "autotag/settings.h"
#include "database/tree_nodes.h"
#include "util/unique_resource.h"

#include <boost/shared_ptr.hpp>

#include <string>
#include <vector>

namespace items {
class TagsHolder;
}

namespace autotag {

class AutoAssignPlugins {
public:
    struct plugin_info {
        std::wstring name;  // the DLL's file name; watched directories enable plug-ins by it
        std::vector<std::wstring> exts;
        std::wstring description;
        GetExtsProc GetExts = nullptr;
        FillNodeProc FillNode = nullptr;
        SaveNodeProc SaveNode = nullptr;
        GetDescriptionProc GetDescription = nullptr;

        // Asks the plug-in for the tags of `file_path` as a name tree; null when it fails,
        // answers no tree, or answers a tree that breaks the contract.
        items::tree_ptr fill(const std::wstring& file_path) const;
    };
    typedef boost::shared_ptr<plugin_info> plugin_ptr;

    AutoAssignPlugins();
    virtual ~AutoAssignPlugins();

    // Loads the plug-ins in the "plugins" folder beside this module.
    void load_plugins();
    // Loads every usable DLL in `folder`, in the order of its listing. Skipped files and
    // failures leave no trace and are not reported.
    void load_plugins(const std::wstring& folder);
    // Loads the plug-ins of `folder` (empty: the folder beside this module) on a thread of its
    // own and returns at once. Until that load has finished, the operations below that look at
    // the plug-ins wait for it, and so must any other reader of `plugins`.
    void start_loading(const std::wstring& folder = std::wstring());
    // Returns once no load started by start_loading is under way.
    void wait_loaded() const;

    // The tree of tags for `path`, a file of the watched directory `entry`, from the plug-ins
    // that entry enables: the first in load order that claims the file's extension and
    // answers, else the fallback plug-in "other.dll". Null when none answers. The watcher and
    // a directory parse both ask this, so a file gets the same tags from either.
    items::tree_ptr plugin_tree(const WatchedDir& entry, const std::wstring& path) const;

    // Tags a file that appeared in a watched directory, unless it is tagged already.
    void tag_new_file(const std::wstring& path);
    void tag_new_file(const std::wstring& path, const Settings& config, items::TagsHolder& db) const;

    // The loaded plug-in named `name`, or null.
    plugin_ptr find(const std::wstring& name) const;
    std::vector<std::wstring> names() const;

    std::vector<plugin_ptr> plugins;

private:
    struct LoadJob {
        AutoAssignPlugins* plugins;
        std::wstring folder;
    };
    static DWORD WINAPI loading_thread(void* job);

    util::unique_handle loaded_;  // manual-reset: set while no load of start_loading is under way
};

// The process's plug-in set: built on first use, never destroyed while the host runs.
AutoAssignPlugins& autoassign_plugins();

// The extension of a path: the text after its last ".", when that is at most 5 units long.
bool usable_extension(const std::wstring& path, std::wstring& ext);

// A plug-in's tree as a name tree: the nine characters that cannot appear in a file name
// (< > | ? * / \ : ") become full stops. Null when the tree breaks the contract.
items::tree_ptr convert_plugin_tree(const PluginNode& root);
// Frees a plug-in's tree, every block with CoTaskMemFree.
void free_plugin_tree(PluginNode* root);

// The tag request for `file_path` from a plug-in's tree: with `autotag` on, "Auto tag" with the
// entry's name and the "Path" chain of sub-directories below the watched directory, which
// starts at `dir_end` in `file_path`. Names that are still unsafe as file names are dropped
// with everything below them; null when nothing can be tagged.
items::tree_ptr build_tag_request(const items::tree_ptr& plugin_tree, const WatchedDir& entry,
                                  const std::wstring& file_path, std::wstring::size_type dir_end);

// Hands the request to the database; false when it refused it (store errors included).
bool apply_tag_request(items::TagsHolder& db, const std::wstring& file_path, const items::tree_ptr& request);

}  // namespace autotag
