// Shows the Manage Tags dialog over a small sample store for a number of seconds, so that
// scripts/screenshot-dialog can photograph it as a user would see it. Not a test.
#include "shell/manage_tags_dialog.h"
#include "temp_folder.h"

#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
    const DWORD seconds = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 6;
    TempFolder data;
    TempFolder files;
    const std::wstring book = files.path() + L"dune.epub";
    const std::wstring other = files.path() + L"odes.epub";
    items::TagsHolder& db = items::tags_holder();
    db.set_data_folder(data.path());
    db.load_store();

    items::tree_ptr novel = items::make_chain({L"Books", L"Fiction", L"Novel"});
    items::tree_ptr poetry = items::make_chain({L"Books", L"Fiction", L"Poetry"});
    items::tree_ptr holiday = items::make_chain({L"Photos", L"Holiday"});
    items::tree_ptr classic = items::make_chain({L"Books", L"Fiction", L"Classic"});
    db.set_tags({book}, novel, items::tree_ptr());
    db.set_tags({other}, poetry, items::tree_ptr());
    db.set_tags({other}, holiday, items::tree_ptr());
    db.set_tags({book, other}, classic, items::tree_ptr());

    // Both books: Classic is chosen, the tags only one of them holds are partly chosen.
    open_manage_tags({book, other});
    HWND dialog = ManageTagsDialog::instance().window();
    if (!dialog) return 1;
    ::SetWindowPos(dialog, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE);

    // The dialog runs its messages on a thread of its own; this one only waits.
    const DWORD end = ::GetTickCount() + seconds * 1000;
    while (::GetTickCount() < end && ManageTagsDialog::instance().window()) ::Sleep(20);
    ManageTagsDialog::instance().close();
    return 0;
}
