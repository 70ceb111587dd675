// "Parse directory with plugins": tags every file of a watched directory that the database
// does not know yet, on a thread of its own, one parse at a time, with a progress dialog that
// offers "Stop". Writing is deferred while the parse runs and done in one save at its end.
#pragma once

#include "autotag/plugins.h"
#include "autotag/settings.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

namespace items {
class TagsHolder;
}

namespace autotag {

// The progress dialog of the running parse; null when no parse runs. Read and written by the
// parse thread and the thread that starts parses.
extern std::atomic<HWND> g_parse_dialog;
// Set by "Stop"; the parse sees it before its next entry.
extern std::atomic<bool> g_parse_stop;

// What a parse reports while it walks, and how it learns that it should stop.
class parse_progress {
public:
    virtual ~parse_progress() {}
    virtual void entered(const std::wstring& dir) = 0;
    virtual bool stop_requested() = 0;
};

// The walk of one parse: every file without tags gets the tags that the entry's plug-ins give
// it (AutoAssignPlugins::plugin_tree), as if the watcher had seen it arrive. The plug-ins are
// called without the database lock, which is taken per file to tag it. Nothing of the parse reaches
// the disk until the database's save at the end.
void parse_directory(const WatchedDir& job, const AutoAssignPlugins& plugins, items::TagsHolder& db,
                     parse_progress& progress);

// Shows the progress dialog and starts the parse thread with a copy of `entry`, then returns.
// While another parse runs it shows why it cannot start one and answers false.
bool start_parse(const WatchedDir& entry);
// Tells the user that only one directory is parsed at a time.
void show_parse_busy_message();
bool start_parse(const WatchedDir& entry, const AutoAssignPlugins& plugins, items::TagsHolder& db);

// Opens the extension's own folder in Explorer, as the first parse after installation does.
void show_extension_folder();
// The item identifier list of that folder: one item naming the extension's class.
std::vector<unsigned char> extension_folder_id_list();

}  // namespace autotag
