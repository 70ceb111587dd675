#include "explorer/registration.h"

#include "util/class_id.h"
#include "util/file_names.h"
#include "util/file_system.h"
#include "util/unique_resource.h"

#include <objbase.h>
#include <olectl.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <strsafe.h>

namespace explorer {

const registration_row RegistrationTable[9] = {
    {HKEY_CLASSES_ROOT, L"CLSID\\%s", registration_row::class_id_argument, nullptr, REG_SZ, L"Quibrix", 0},
    {HKEY_CLASSES_ROOT, L"CLSID\\%s\\InprocServer32", registration_row::class_id_argument, nullptr, REG_SZ, L"%s", 0},
    {HKEY_CLASSES_ROOT, L"CLSID\\%s\\InprocServer32", registration_row::class_id_argument, L"ThreadingModel", REG_SZ,
     L"Both", 0},
    {HKEY_CLASSES_ROOT, L"CLSID\\%s\\DefaultIcon", registration_row::class_id_argument, nullptr, REG_SZ, L"%s,1", 0},
    // SFGAO_HASSUBFOLDER | SFGAO_FOLDER | SFGAO_CANDELETE
    {HKEY_CLASSES_ROOT, L"CLSID\\%s\\ShellFolder", registration_row::class_id_argument, L"Attributes", REG_DWORD,
     nullptr, 0xA0000020},
    {HKEY_CLASSES_ROOT, L"Folder\\shellex\\ContextMenuHandlers\\%s", registration_row::product_argument, nullptr,
     REG_SZ, util::class_id_text, 0},
    {HKEY_CLASSES_ROOT, L"*\\shellex\\ContextMenuHandlers\\%s", registration_row::product_argument, nullptr, REG_SZ,
     util::class_id_text, 0},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved",
     registration_row::class_id_argument, util::class_id_text, REG_SZ, L"Quibrix", 0},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers\\%s",
     registration_row::product_argument, nullptr, REG_SZ, util::class_id_text, 0},
};

const wchar_t desktop_namespace_key[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Desktop\\Namespace";
const wchar_t my_computer_namespace_key[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\Namespace";
const wchar_t overlay_identifiers_key[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";
const wchar_t approved_key[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";

const wchar_t remove_data_question[] = L"    Remove all tags data ?";
const wchar_t remove_data_title[] = L"Deinstalation";
const wchar_t remove_data_answer_variable[] = L"QUIBRIX_REMOVE_TAG_DATA";

namespace {

// The wide printf family takes "%s" as a wide string here (msvcrt's convention, which strsafe
// keeps); the registry tests read every formatted key back.
template <std::size_t N>
HRESULT format(wchar_t (&out)[N], const wchar_t* pattern, const wchar_t* argument) {
    return ::StringCchPrintfW(out, N, pattern, argument);
}

LSTATUS set_string(HKEY key, const wchar_t* name, const wchar_t* text) {
    const DWORD bytes = static_cast<DWORD>((::lstrlenW(text) + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

bool gone(LSTATUS status) { return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND; }

// IDYES or IDNO given in advance by the environment, else 0.
int preset_remove_data_answer() {
    wchar_t answer[8] = L"";
    const DWORD length = ::GetEnvironmentVariableW(remove_data_answer_variable, answer, 8);
    if (length == 0 || length >= 8) return 0;
    if (::lstrcmpiW(answer, L"yes") == 0) return IDYES;
    if (::lstrcmpiW(answer, L"no") == 0) return IDNO;
    return 0;
}

}  // namespace

std::wstring class_id_string() {
    wchar_t text[64] = L"";
    ::StringFromGUID2(util::class_id, text, 64);
    return text;
}

HRESULT register_server(const std::wstring& module_path) {
    const std::wstring clsid = class_id_string();
    // Paths longer than MAX_PATH are cut as the system's own module path would be.
    const std::wstring path = module_path.substr(0, MAX_PATH - 1);

    for (const registration_row& row : RegistrationTable) {
        wchar_t key_path[MAX_PATH];
        const wchar_t* argument = row.key_argument == registration_row::class_id_argument ? clsid.c_str() : util::product_name;
        HRESULT hr = format(key_path, row.key_format, argument);
        if (FAILED(hr)) return hr;

        util::unique_hkey key;
        if (::RegCreateKeyExW(row.root, key_path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
            ERROR_SUCCESS) {
            return SELFREG_E_CLASS;
        }
        if (row.type == REG_SZ) {
            wchar_t data[MAX_PATH + 16];
            hr = format(data, row.text, path.c_str());
            if (FAILED(hr)) return hr;
            set_string(key.get(), row.value_name, data);
        } else {
            ::RegSetValueExW(key.get(), row.value_name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&row.number),
                             sizeof row.number);
        }
    }
    return NamespacePlacement(place_on_desktop | place_under_my_computer);
}

HRESULT NamespacePlacement(DWORD mask) {
    const std::wstring clsid = class_id_string();
    const std::wstring desktop = std::wstring(desktop_namespace_key) + L'\\' + clsid;
    const std::wstring my_computer = std::wstring(my_computer_namespace_key) + L'\\' + clsid;
    if (mask != 0) {
        for (const std::wstring* key_path : {&desktop, &my_computer}) {
            util::unique_hkey key;
            if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path->c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                                  nullptr) == ERROR_SUCCESS) {
                set_string(key.get(), nullptr, util::product_name);
            }
        }
    }
    if (!(mask & place_on_desktop)) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, desktop.c_str());
    if (!(mask & place_under_my_computer)) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, my_computer.c_str());
    return S_OK;
}

HRESULT unregister_server(const unregistration_places& places) {
    const std::wstring clsid = class_id_string();
    bool all_removed = true;
    wchar_t key_path[MAX_PATH];

    if (SUCCEEDED(format(key_path, L"CLSID\\%s", clsid.c_str()))) {
        all_removed &= gone(::SHDeleteKeyW(HKEY_CLASSES_ROOT, key_path));
    }
    for (const wchar_t* handlers : {L"Folder\\shellex\\ContextMenuHandlers\\%s", L"*\\shellex\\ContextMenuHandlers\\%s"}) {
        if (SUCCEEDED(format(key_path, handlers, util::product_name))) {
            all_removed &= gone(::SHDeleteKeyW(HKEY_CLASSES_ROOT, key_path));
        }
    }
    if (SUCCEEDED(format(key_path, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers\\%s",
                         util::product_name))) {
        all_removed &= gone(::SHDeleteKeyW(HKEY_LOCAL_MACHINE, key_path));
    }
    // Other extensions keep their overlays under the same parent: it goes only when empty.
    ::SHDeleteEmptyKeyW(HKEY_LOCAL_MACHINE, overlay_identifiers_key);

    util::unique_hkey approved;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, approved_key, 0, KEY_ALL_ACCESS, approved.put()) == ERROR_SUCCESS) {
        all_removed &= gone(::RegDeleteValueW(approved.get(), clsid.c_str()));
    }

    NamespacePlacement(0);

    int answer = preset_remove_data_answer();
    if (answer == 0) answer = ::MessageBoxW(nullptr, remove_data_question, remove_data_title, MB_YESNO);
    if (answer == IDYES) {
        // The registering hosts load the module without start-up, so the data folder is worked
        // out here by the start-up rule.
        const std::wstring app_data = places.common_app_data.empty() ? util::common_app_data() : places.common_app_data;
        if (!app_data.empty()) RemoveDataFolder(util::with_trailing_backslash(app_data) + util::product_name);
    }
    return all_removed ? S_OK : S_FALSE;
}

bool RemoveDataFolder(const std::wstring& folder) {
    // Stops at a file another program holds, so what is left stays whole enough to load.
    return util::remove_folder_tree(folder, util::removal::stop_at_failure);
}

}  // namespace explorer
