// What registration writes into the registry and unregistration removes, and the removal of
// the data folder that unregistration offers.
#pragma once

#include <windows.h>

#include <string>

namespace explorer {

// One registry value that registration writes.
struct registration_row {
    enum argument { class_id_argument, product_argument };

    HKEY root;
    const wchar_t* key_format;  // with at most one "%s"
    argument key_argument;      // what fills that "%s"
    const wchar_t* value_name;  // null: the key's default value
    DWORD type;                 // REG_SZ or REG_DWORD
    const wchar_t* text;        // REG_SZ: a format whose one argument is the module's full path
    DWORD number;               // REG_DWORD
};

extern const registration_row RegistrationTable[9];

// Bits of the namespace placement mask.
enum : DWORD {
    place_on_desktop = 1,
    place_under_my_computer = 2,
};

extern const wchar_t desktop_namespace_key[];
extern const wchar_t my_computer_namespace_key[];
extern const wchar_t overlay_identifiers_key[];
extern const wchar_t approved_key[];

// The class identifier as StringFromGUID2 prints it.
std::wstring class_id_string();

// Writes the nine rows for the module at `module_path`, then places the folder on the Desktop
// and under My Computer. S_OK, or the first failure (rows written before it stay).
HRESULT register_server(const std::wstring& module_path);

// Creates the namespace keys whose bits are set and deletes those whose bits are clear.
HRESULT NamespacePlacement(DWORD mask);

// Where unregistration looks for the data folder. The product uses the default; tests give a
// folder of their own so that they never touch the real one.
struct unregistration_places {
    // Stands for the common application-data folder; empty: the system's (CSIDL_COMMON_APPDATA).
    std::wstring common_app_data;
};

// Removes every key and value that registration wrote, then asks the user whether all tag data
// should go too. S_OK when every removal succeeded, S_FALSE when one failed: unregistration
// never reports a failure to its caller.
HRESULT unregister_server(const unregistration_places& places = unregistration_places());

// The question unregistration asks, exactly as the message box shows it.
extern const wchar_t remove_data_question[];
extern const wchar_t remove_data_title[];

// An unattended uninstaller answers the question in advance through this environment variable
// of the unregistering process: "yes" removes the tag data, "no" keeps it, and no box is shown.
// Unset or any other text: the user is asked.
extern const wchar_t remove_data_answer_variable[];

// Deletes `folder` (no trailing backslash) with everything in it. The first entry that cannot
// be removed ends the removal with false and leaves the rest in place. A missing folder counts
// as removed.
bool RemoveDataFolder(const std::wstring& folder);

}  // namespace explorer
