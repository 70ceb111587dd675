// The settings of automatic tagging and of the directory watcher: one process-wide record,
// read from "settings.xml" in the data folder at start-up and written back whole after every
// change.
#pragma once

#include "util/unique_resource.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace autotag {

// One directory the user asked to watch and to parse.
struct WatchedDir {
    std::wstring path;         // as the folder chooser gave it; a trailing backslash only on a drive root
    std::wstring autotagname;  // the child of "Auto tag" that automatically tagged files get
    std::int32_t autotag = 0;  // nonzero: add "Auto tag" and the "Path" chain
    std::int32_t recursive = 0;
    std::vector<std::wstring> plugins;  // names of the enabled plug-ins, e.g. "other.dll"

    // Defaults for a directory the user just chose: every loaded plug-in enabled.
    void init_from_path(const std::wstring& dir_path);
    // The same with `loaded_plugins` standing for the loaded plug-ins.
    void init_from_path(const std::wstring& dir_path, const std::vector<std::wstring>& loaded_plugins);
};

struct Settings {
    bool is_watch_dirs = true;
    bool show_popup = true;
    std::vector<WatchedDir> watch_dirs;
};

// The process's settings record: built on first use, never destroyed while the host runs.
Settings& settings();

// The lock of the settings records. The watcher's window thread and the Manage Tags dialog's
// thread both change the process's record and save it: hold the lock to change a record that
// another thread may read or save, and to read one that another thread may change. The saves
// and loads below hold it while they read or fill the record and while they write the file,
// so a save writes the record as it is when the save runs, and two saves never write at once.
// Never wait for another thread while holding it.
util::critical_section& settings_lock();

// Set when no settings file could be read: this is the first start. The first parse then
// shows the extension's folder and clears it.
extern std::atomic<bool> g_first_run;

// Reads `data_folder` + "settings.xml" into the process-wide record and remembers the folder
// for save_settings(). A missing or damaged file counts as a first start: the older
// "settings.dt" is migrated once and the result written as the new file.
void load_settings(const std::wstring& data_folder);
// Writes the process-wide record to the folder given to load_settings(); true when written.
bool save_settings();

// The same for any record and folder.
void load_settings(Settings& into, const std::wstring& data_folder);
bool save_settings(const Settings& from, const std::wstring& data_folder);

// Takes the watcher flag and the directories of an older "settings.dt" into `into`. False
// when the file could not be opened or was damaged; `into` is then as it was, except that a
// damaged file leaves the watcher switched on.
bool migrate_legacy_settings(const std::wstring& dt_path, Settings& into);

}  // namespace autotag
