#include "namespace/data_object.h"

#include "database/tags_holder.h"
#include "namespace/item_ids.h"
#include "namespace/stream.h"

#include <cstring>
#include <new>

namespace ShellNamespace {

namespace {

ClipboardFormats& formats() {
    static ClipboardFormats value;
    return value;
}

const FORMATETC hdrop_format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};

void report_drag_context(IDataObject* data, const wchar_t* where) {
    if (!data || !clipboard_formats().drag_context) return;
    FORMATETC format = {static_cast<CLIPFORMAT>(clipboard_formats().drag_context), nullptr, DVASPECT_CONTENT, -1,
                        TYMED_HGLOBAL};
    const bool offered = SUCCEEDED(data->QueryGetData(&format));
    ::OutputDebugStringW(where);
    ::OutputDebugStringW(offered ? L": DragContext offered\n" : L": no DragContext\n");
}

}  // namespace

const ClipboardFormats& clipboard_formats() { return formats(); }

void register_clipboard_formats() {
    ClipboardFormats& f = formats();
    f.file_contents = ::RegisterClipboardFormatW(L"FileContents");
    f.shell_idlist_array = ::RegisterClipboardFormatW(L"Shell IDList Array");
    f.file_group_descriptor = ::RegisterClipboardFormatW(L"FileGroupDescriptorW");
    f.preferred_drop_effect = ::RegisterClipboardFormatW(L"Preferred DropEffect");
    f.using_default_drag_image = ::RegisterClipboardFormatW(L"UsingDefaultDragImage");
    f.file_name = ::RegisterClipboardFormatW(L"FileNameW");
    f.file_name_wide = ::RegisterClipboardFormatW(L"FileNameW");
    f.drag_context = ::RegisterClipboardFormatW(L"DragContext");
    f.untrusted_drag_drop = ::RegisterClipboardFormatW(L"UntrustedDragDrop");
}

HGLOBAL make_drop_files(const std::vector<std::wstring>& paths) {
    std::size_t bytes = sizeof(DROPFILES) + sizeof(wchar_t);
    for (const std::wstring& path : paths) bytes += (path.size() + 1) * sizeof(wchar_t);
    util::unique_hglobal block(::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_SHARE, bytes));
    if (!block) return nullptr;
    BYTE* data = static_cast<BYTE*>(::GlobalLock(block.get()));
    if (!data) return nullptr;
    DROPFILES header = {};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = TRUE;
    std::memcpy(data, &header, sizeof header);
    std::size_t offset = sizeof(DROPFILES);
    for (const std::wstring& path : paths) {
        std::memcpy(data + offset, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        offset += (path.size() + 1) * sizeof(wchar_t);
    }
    ::GlobalUnlock(block.get());
    return block.release();
}

CDataObject* CDataObject::create(LPCITEMIDLIST folder, UINT count, LPCITEMIDLIST* items) noexcept {
    CDataObject* object = new (std::nothrow) CDataObject;
    if (!object) return nullptr;
    const HRESULT hr = util::guarded([&] {
        // A copy, not the folder's own list: the clipboard may keep this object longer than
        // the folder lives.
        if (folder) object->folder_.reset(::ILClone(folder));
        for (UINT i = 0; i < count; ++i) {
            LPITEMIDLIST copy = ::ILClone(items[i]);
            if (!copy) return E_OUTOFMEMORY;
            object->items_.push_back(boost::shared_ptr<ITEMIDLIST>(copy, ::ILFree));
        }
        return S_OK;
    });
    if (FAILED(hr)) {
        delete object;
        return nullptr;
    }
    return object;
}

HRESULT CDataObject::create(LPCITEMIDLIST folder, UINT count, LPCITEMIDLIST* items, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (count == 0 || !items) return E_INVALIDARG;
    items::shell_item_fields first;
    if (!read_own_item(items[0], first)) return E_INVALIDARG;
    if (first.kind != items::item_file) return E_NOINTERFACE;
    CDataObject* object = create(folder, count, items);
    if (!object) return E_OUTOFMEMORY;
    // The count starts at 0: a refused interface leaves an object that nobody holds.
    object->AddRef();
    const HRESULT hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
}

const QITAB* CDataObject::interface_table() {
    static const QITAB table[] = {
        QITABENT(CDataObject, IDataObject),
        QITABENT(CDataObject, IEnumFORMATETC),
        QITABENT(CDataObject, IDropTarget),
        {nullptr, 0},
    };
    return table;
}

bool CDataObject::first_is_file() const {
    items::shell_item_fields first;
    return !items_.empty() && read_own_item(items_[0].get(), first) && first.kind == items::item_file;
}

std::vector<std::wstring> CDataObject::paths() const {
    std::vector<std::wstring> result;
    const std::wstring root = root_of(folder_.get());
    for (const boost::shared_ptr<ITEMIDLIST>& item : items_) {
        items::shell_item_fields fields;
        std::wstring path;
        if (read_own_item(item.get(), fields) && fields.file_id != 0 &&
            items::tags_holder().find_path(fields.file_id, path, root)) {
            result.push_back(path);
        }
    }
    return result;
}

// --- IDataObject ---

IFACEMETHODIMP CDataObject::GetData(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium) return E_INVALIDARG;
    std::memset(medium, 0, sizeof *medium);
    return util::guarded([&] {
        if (!first_is_file()) return S_FALSE;
        if (format->cfFormat != CF_HDROP || !(format->dwAspect & DVASPECT_CONTENT)) return DV_E_FORMATETC;
        if (format->tymed & TYMED_HGLOBAL) {
            const std::vector<std::wstring> files = paths();
            if (files.empty()) return E_FAIL;
            HGLOBAL block = make_drop_files(files);
            if (!block) return E_OUTOFMEMORY;
            medium->tymed = TYMED_HGLOBAL;
            medium->hGlobal = block;
            return S_OK;
        }
        if (format->tymed == TYMED_ISTREAM) {
            medium->tymed = TYMED_ISTREAM;
            medium->pstm = &CStream::instance();
            return S_OK;
        }
        return DV_E_TYMED;
    });
}

IFACEMETHODIMP CDataObject::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }

IFACEMETHODIMP CDataObject::QueryGetData(FORMATETC* format) {
    if (!format) return E_INVALIDARG;
    return util::guarded([&] {
        return first_is_file() && format->cfFormat == CF_HDROP ? S_OK : DV_E_FORMATETC;
    });
}

IFACEMETHODIMP CDataObject::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
    if (!out) return E_INVALIDARG;
    out->ptd = nullptr;
    return DATA_S_SAMEFORMATETC;
}

IFACEMETHODIMP CDataObject::SetData(FORMATETC*, STGMEDIUM* medium, BOOL) {
    if (!medium) return E_INVALIDARG;
    return DV_E_FORMATETC;
}

IFACEMETHODIMP CDataObject::EnumFormatEtc(DWORD, IEnumFORMATETC** out) {
    if (!out) return E_POINTER;
    // Each enumeration starts at the first format: the clipboard enumerates more than once.
    ::InterlockedExchange(&position_, 0);
    *out = static_cast<IEnumFORMATETC*>(this);
    AddRef();
    return S_OK;
}

IFACEMETHODIMP CDataObject::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) { return E_NOTIMPL; }
IFACEMETHODIMP CDataObject::DUnadvise(DWORD) { return E_NOTIMPL; }

IFACEMETHODIMP CDataObject::EnumDAdvise(IEnumSTATDATA** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

// --- IEnumFORMATETC: CF_HDROP is the one format served ---

IFACEMETHODIMP CDataObject::Next(ULONG celt, FORMATETC* out, ULONG* fetched) {
    if (fetched) *fetched = 0;
    if (celt > 1 && !fetched) return S_FALSE;
    if (!out || celt == 0) return S_FALSE;
    if (::InterlockedIncrement(&position_) != 1) return S_FALSE;
    *out = hdrop_format;
    if (fetched) *fetched = 1;
    return celt == 1 ? S_OK : S_FALSE;
}

IFACEMETHODIMP CDataObject::Skip(ULONG celt) {
    ::InterlockedExchangeAdd(&position_, static_cast<LONG>(celt));
    return S_OK;
}

IFACEMETHODIMP CDataObject::Reset() {
    ::InterlockedExchange(&position_, 0);
    return S_OK;
}

IFACEMETHODIMP CDataObject::Clone(IEnumFORMATETC** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

// --- IDropTarget: nothing is accepted; the folder hands out no drop target ---

IFACEMETHODIMP CDataObject::DragEnter(IDataObject* data, DWORD, POINTL, DWORD*) {
    report_drag_context(data, L"DragEnter");
    return S_OK;
}

IFACEMETHODIMP CDataObject::DragOver(DWORD, POINTL, DWORD*) { return E_NOTIMPL; }
IFACEMETHODIMP CDataObject::DragLeave() { return S_OK; }

IFACEMETHODIMP CDataObject::Drop(IDataObject* data, DWORD, POINTL, DWORD*) {
    report_drag_context(data, L"Drop");
    return S_OK;
}

void copy_to_clipboard(HWND owner, LPCITEMIDLIST folder, const item_list& selection) {
    std::vector<LPCITEMIDLIST> items;
    for (const boost::shared_ptr<ITEMIDLIST>& item : selection) items.push_back(item.get());
    util::com_ptr<IDataObject> data;
    if (FAILED(CDataObject::create(folder, static_cast<UINT>(items.size()), items.data(), IID_IDataObject,
                                   data.put_void()))) {
        return;
    }
    FORMATETC format = hdrop_format;
    STGMEDIUM medium = {};
    if (FAILED(data->GetData(&format, &medium)) || medium.tymed != TYMED_HGLOBAL) return;
    util::unique_hglobal block(medium.hGlobal);
    if (!::OpenClipboard(owner)) return;
    ::EmptyClipboard();
    // The clipboard owns the block once it takes it.
    if (::SetClipboardData(CF_HDROP, block.get())) block.release();
    ::CloseClipboard();
}

}  // namespace ShellNamespace
