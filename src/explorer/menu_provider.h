// The "Manage Tags" command in Explorer's context menu of files and folders. Explorer creates
// one object per menu request, hands it the selection through IShellExtInit and asks it to fill
// the menu; choosing the command opens the Manage Tags dialog on the selection. Any apartment may
// call it: the dialog lives on a thread of its own in a single-threaded apartment, and the
// command only hands it the paths.
#pragma once

#include "util/com_object.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

class CMenuProvider final : public util::ComObject<CMenuProvider, IContextMenu, IShellExtInit> {
public:
    // A new object holding one reference (null when out of memory), for the class factory.
    static CMenuProvider* create() noexcept;
    // A new object, answered through `riid`.
    static HRESULT create(REFIID riid, void** ppv);

    static const QITAB* interface_table();

    // IContextMenu
    IFACEMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT first_id, UINT last_id, UINT flags) override;
    IFACEMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* invocation) override;
    IFACEMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT* reserved, CHAR* name, UINT size) override;

    // IShellExtInit
    IFACEMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY program_key) override;

private:
    CMenuProvider();
    ~CMenuProvider() override;
    // Full paths of the selected items, in the shell's order.
    std::vector<std::wstring> selection_;
};
