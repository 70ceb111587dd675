// The one start-up routine that prepares the process-wide state when the module serves
// Explorer (on its first request for an object), and the state it leaves behind.
#pragma once

#include <windows.h>

#include <string>

namespace explorer {

// Where start-up finds its places. The product uses the defaults; tests give
// places of their own so that they never touch the real ones.
struct startup_places {
    // Stands for the common application-data folder; empty: the system's (CSIDL_COMMON_APPDATA).
    std::wstring common_app_data;
    // Holds "software\Quibrix" with the machine's default "BitSettings".
    HKEY registry_root = HKEY_LOCAL_MACHINE;
    // Holds "Software\Quibrix" with the user's own "BitSettings", where choices are written.
    HKEY user_registry_root = HKEY_CURRENT_USER;
    // The metadata plug-ins' folder; empty: "plugins" beside the module.
    std::wstring plugin_folder;
};

// FALSE when the data folder is missing and cannot be created: the module must then hand out
// no objects.
BOOL start_up(const startup_places& places = startup_places());

// The full path of the module that holds this code.
const std::wstring& module_path();
// GetSysColor(COLOR_MENU) as start-up read it.
COLORREF menu_colour();
// The common application-data folder + "\Quibrix\"; empty when that folder is unknown.
const std::wstring& data_folder();

// Succeeds when the folder exists or can be created with the store's folder security.
bool create_folder_if_missing(const std::wstring& path);

// Builds, once, the security that every folder and file the store creates from now on gets:
// full access for authenticated users, inherited by sub-folders and files.
bool build_folder_security();

}  // namespace explorer
