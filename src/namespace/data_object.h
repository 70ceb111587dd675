// File items of the virtual folder handed out as the real files they stand for: a CF_HDROP
// list for the clipboard and for drags out of the folder. The clipboard formats that the data
// object knows are registered once at start-up.
#pragma once

#include "util/com_object.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

#include <boost/shared_ptr.hpp>

#include <string>
#include <vector>

namespace ShellNamespace {

struct ClipboardFormats {
    UINT file_contents = 0;
    UINT shell_idlist_array = 0;
    UINT file_group_descriptor = 0;
    UINT preferred_drop_effect = 0;
    UINT using_default_drag_image = 0;
    UINT file_name = 0;
    UINT file_name_wide = 0;  // the same format as file_name: both were asked for "FileNameW"
    UINT drag_context = 0;
    UINT untrusted_drag_drop = 0;
};

// The process's formats; all 0 until register_clipboard_formats has run.
const ClipboardFormats& clipboard_formats();
void register_clipboard_formats();

// A DROPFILES block (pFiles 20, wide names, each with its NUL, one more NUL at the end) in
// movable, shareable global memory; null when out of memory.
HGLOBAL make_drop_files(const std::vector<std::wstring>& paths);

typedef std::vector<boost::shared_ptr<ITEMIDLIST> > item_list;

class CDataObject final
    : public util::ComObject<CDataObject, IDataObject, IEnumFORMATETC, IDropTarget> {
public:
    // Reference count 0: the first QueryInterface takes it. Null when out of memory.
    static CDataObject* create(LPCITEMIDLIST folder, UINT count, LPCITEMIDLIST* items) noexcept;
    // The folder's GetUIObjectOf(IDataObject): only for a selection that starts with a file.
    static HRESULT create(LPCITEMIDLIST folder, UINT count, LPCITEMIDLIST* items, REFIID riid, void** out);

    static const QITAB* interface_table();

    // IDataObject
    IFACEMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override;
    IFACEMETHODIMP GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
    IFACEMETHODIMP QueryGetData(FORMATETC* format) override;
    IFACEMETHODIMP GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
    IFACEMETHODIMP SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
    IFACEMETHODIMP EnumFormatEtc(DWORD direction, IEnumFORMATETC** out) override;
    IFACEMETHODIMP DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* connection) override;
    IFACEMETHODIMP DUnadvise(DWORD connection) override;
    IFACEMETHODIMP EnumDAdvise(IEnumSTATDATA** out) override;

    // IEnumFORMATETC
    IFACEMETHODIMP Next(ULONG celt, FORMATETC* formats, ULONG* fetched) override;
    IFACEMETHODIMP Skip(ULONG celt) override;
    IFACEMETHODIMP Reset() override;
    IFACEMETHODIMP Clone(IEnumFORMATETC** out) override;

    // IDropTarget
    IFACEMETHODIMP DragEnter(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;
    IFACEMETHODIMP DragOver(DWORD keys, POINTL point, DWORD* effect) override;
    IFACEMETHODIMP DragLeave() override;
    IFACEMETHODIMP Drop(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;

private:
    CDataObject() : ComObject(util::com_lifetime::counted, 0) {}
    ~CDataObject() override = default;

    bool first_is_file() const;
    std::vector<std::wstring> paths() const;

    util::unique_pidl folder_;
    item_list items_;
    volatile LONG position_ = 0;
};

// Copy: the selection's files as CF_HDROP on the clipboard. A clipboard that cannot be opened
// gets nothing, and nothing is reported.
void copy_to_clipboard(HWND owner, LPCITEMIDLIST folder, const item_list& selection);

}  // namespace ShellNamespace
