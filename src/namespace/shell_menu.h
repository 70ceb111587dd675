// The context menu of items selected inside the virtual folder, which also names the folder's
// double-click action as its default entry. Entries depend on how many items are selected and
// on their common kind; each entry is bound, when the menu is built, to one command kept under
// its offset. A few commands are also named by verb ("open", "copy", "properties").
#pragma once

#include "util/com_object.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include <map>
#include <string>
#include <vector>

namespace ShellNamespace {

class CShellMenu;

// For tests: called with each file that a command is about to open or show the properties of,
// on the thread that then calls ShellExecute(Ex). Empty: nothing is called.
void observe_shell_launches(const boost::function<void(const std::wstring& file)>& observer);

// Offset from the first command id -> the command bound to that entry.
typedef std::map<int, boost::function<void(CShellMenu&)> > CommandTable;

class CShellMenu final : public util::ComObject<CShellMenu, IContextMenu, IShellExtInit> {
public:
    // A new menu holding one reference; null when out of memory.
    static CShellMenu* create() noexcept;

    static const QITAB* interface_table();

    // Copies the folder's absolute list and every selected item, and keeps the window that the
    // view gave to GetUIObjectOf. Called before the menu is handed out.
    HRESULT Init(LPCITEMIDLIST folder, UINT count, LPCITEMIDLIST* items, HWND owner);

    // IContextMenu. CMF_DEFAULTONLY builds the default entry alone and runs nothing: files
    // open, one item of another kind is entered, other selections have none.
    IFACEMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT first_id, UINT last_id, UINT flags) override;
    IFACEMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* invocation) override;
    IFACEMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT* reserved, CHAR* name, UINT size) override;

    // IShellExtInit: the data object is kept; no command reads it.
    IFACEMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY program_key) override;

    const CommandTable& commands() const { return commands_; }

    // The commands, as the entries bind them. Those that start programs or show windows run
    // in a single-threaded apartment: on the calling thread when it is in one, otherwise on a
    // thread of their own, which the caller does not wait for. Browsing reaches the frame's
    // browser on the thread of the window that the view gave.
    void open();  // every selected file
    void enter_selected();
    void open_path();
    void open_with();
    void properties();
    void manage_tags();
    void delete_tags();
    void copy();
    void delete_items();
    void combine(wchar_t separator);
    void open_in_real_folder();

private:
    CShellMenu() = default;
    ~CShellMenu() override;

    // Inserts the entries and binds their commands; answers the largest offset used + 1.
    int build(HMENU menu, UINT index, UINT first_id, UINT last_id, bool default_only);
    void enter(LPCITEMIDLIST child);
    // The real path of every selected file item the database knows, in selection order.
    std::vector<std::wstring> file_paths() const;
    std::wstring first_path() const;
    // The views of the folder's root tag, and this menu's own view, list again.
    void refresh_after_change();

    HWND owner_ = nullptr;
    util::unique_pidl folder_;
    std::vector<boost::shared_ptr<ITEMIDLIST> > selection_;
    CommandTable commands_;
    std::map<int, const char*> verbs_;  // offset -> verb of each built entry, null when none
    // 1 when the caller numbered the entries from id 0: TrackPopupMenu answers 0 for "nothing
    // chosen", so the first entry would never run. Entries then start at id 1.
    UINT id_shift_ = 0;
    util::com_ptr<IDataObject> data_;
};

}  // namespace ShellNamespace
