#include "explorer/startup.h"

#include "autotag/directory_watcher.h"
#include "autotag/plugins.h"
#include "autotag/settings.h"
#include "database/store_io.h"
#include "database/tags_holder.h"
#include "explorer/bit_settings.h"
#include "explorer/change_tracking.h"
#include "namespace/data_object.h"
#include "namespace/view_windows.h"
#include "shell/manage_tags_dialog.h"
#include "util/file_names.h"
#include "util/file_system.h"
#include "util/module.h"

#include <shlobj.h>

namespace explorer {

namespace {

// Process-wide and never freed: threads of the host may read them while statics go away.
std::wstring& module_path_value() {
    static std::wstring* value = new std::wstring;
    return *value;
}
std::wstring& data_folder_value() {
    static std::wstring* value = new std::wstring;
    return *value;
}
COLORREF menu_colour_value = 0;

// The tag dialog asks for confirmations and switches the watcher through these.
void connect_dialog_services() {
    ManageTagsDialog::Services services;
    services.confirm = [](unsigned bit, HWND owner) { return Confirm(bit, owner) != FALSE; };
    // This runs on the dialog's thread, while the watcher's window thread may change the same
    // record: both go through the settings lock.
    services.watcher_active = [] {
        const util::lock_guard held(autotag::settings_lock());
        return autotag::settings().is_watch_dirs;
    };
    services.set_watcher_active = [](bool active) {
        {
            const util::lock_guard held(autotag::settings_lock());
            autotag::settings().is_watch_dirs = active;
        }
        if (active) {
            autotag::directory_watcher().start_watcher();
        } else {
            autotag::directory_watcher().stop_watching();
        }
        autotag::save_settings();
    };
    ManageTagsDialog::instance().set_services(services);

    // The watcher's Files list walks the tag dialog through the new files.
    autotag::TagDialogLink link;
    link.open = [](const std::vector<std::wstring>& files, const autotag::TagDialogLink::Completion& completion) {
        open_manage_tags(files, [completion](const std::vector<std::wstring>& done_files, int from_buttons) {
            for (const std::wstring& file : done_files) completion(file, from_buttons != 0);
        });
    };
    link.window = [] { return ManageTagsDialog::instance().window(); };
    link.first_file = [] {
        const std::vector<std::wstring>& files = ManageTagsDialog::instance().files();
        return files.empty() ? std::wstring() : files.front();
    };
    link.close = [] {
        if (HWND window = ManageTagsDialog::instance().window()) ::PostMessageW(window, WM_CLOSE, 0, 0);
    };
    autotag::directory_watcher().set_tag_dialog(link);
}

}  // namespace

const std::wstring& module_path() {
    return module_path_value();
}

COLORREF menu_colour() {
    return menu_colour_value;
}

const std::wstring& data_folder() {
    return data_folder_value();
}

bool create_folder_if_missing(const std::wstring& path) {
    return util::folder_exists(path) || ::CreateDirectoryW(path.c_str(), items::g_store_security);
}

bool build_folder_security() {
    SECURITY_ATTRIBUTES* built = items::shared_security();
    if (built) items::g_store_security = built;
    return built != nullptr;
}

BOOL start_up(const startup_places& places) {
    module_path_value() = util::module_file_path(util::module_instance());

    menu_colour_value = ::GetSysColor(COLOR_MENU);
    ShellNamespace::register_clipboard_formats();

    const std::wstring app_data = places.common_app_data.empty() ? util::common_app_data() : places.common_app_data;
    if (!app_data.empty()) {
        // With the store's shared security, as every folder below it: with the security of
        // ProgramData it would be its maker's, and another user's Explorer could not save its
        // settings here. A link in its place (any user may make one in ProgramData) would lead
        // the store's loads and clean-ups into another folder: that is no data folder, as if it
        // could not be made.
        const std::wstring folder = util::with_trailing_backslash(app_data) + L"Quibrix";
        // Another process starting at the same time may make it between the check and the call
        // (a file of that name is no folder either way).
        if (!util::folder_exists(folder) && !::CreateDirectoryW(folder.c_str(), items::shared_security()) &&
            !util::folder_exists(folder)) {
            return FALSE;
        }
        if (util::is_link(folder)) return FALSE;
        data_folder_value() = folder + L'\\';
    }
    items::tags_holder().set_data_folder(data_folder());
    items::tags_holder().set_view_listener(&ShellNamespace::view_windows());

    items::database_lock();
    confirmation_messages();
    set_bit_settings_roots(places.user_registry_root, places.registry_root);
    connect_dialog_services();
    items::g_immediate_write = true;

    // Before the plug-ins: an older settings file migrated now gives its directories no
    // plug-ins. Without a data folder there is no place for the file, and the defaults stay.
    if (!data_folder().empty()) autotag::load_settings(data_folder());

    // Before any thread that may write to the store starts: a folder made by the loader or the
    // tracker must get it too, and the threads read the pointer without a lock.
    build_folder_security();

    items::tags_holder().start_loader();
    autotag::directory_watcher().start_watcher();
    start_change_tracking();
    // Plug-ins are foreign DLLs that may take their time to load and describe themselves, and
    // start-up runs on the shell's thread that first asked for an object. They load on a
    // thread of their own, and whatever looks at the plug-ins waits for that load, so every
    // file is still tagged with all of them, as if they had been loaded here.
    autotag::autoassign_plugins().start_loading(places.plugin_folder);
    return TRUE;
}

}  // namespace explorer
