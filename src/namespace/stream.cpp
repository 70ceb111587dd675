#include "namespace/stream.h"

#include <cstring>

namespace ShellNamespace {

CStream& CStream::instance() {
    // Never freed: whoever was handed the stream may keep it as long as it likes.
    static CStream* stream = new CStream;
    return *stream;
}

const image_list_header& CStream::header() {
    static const image_list_header value = {
        0x4C49, 0x0600, 1, 2, 4, 74, 64, 0xFFFFFFFF, 0x0121, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}};
    return value;
}

IFACEMETHODIMP CStream::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IStream && riid != IID_ISequentialStream) return E_NOINTERFACE;
    *ppv = static_cast<IStream*>(this);
    return S_OK;
}

IFACEMETHODIMP CStream::Read(void* buffer, ULONG count, ULONG* read) {
    if (!buffer) return E_POINTER;
    std::memset(buffer, 0, count);
    // The first read of the process gets a one-byte marker, every later one the header.
    if (::InterlockedIncrement(&reads_) == 1) {
        if (count) static_cast<BYTE*>(buffer)[0] = 1;
    } else {
        std::memcpy(buffer, &header(), count < sizeof(image_list_header) ? count : sizeof(image_list_header));
    }
    if (read) *read = count;
    return S_OK;
}

IFACEMETHODIMP CStream::Write(const void*, ULONG, ULONG* written) {
    if (written) *written = 0;
    return E_NOTIMPL;
}

IFACEMETHODIMP CStream::Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) { return S_OK; }
IFACEMETHODIMP CStream::SetSize(ULARGE_INTEGER) { return E_NOTIMPL; }
IFACEMETHODIMP CStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) { return E_NOTIMPL; }
IFACEMETHODIMP CStream::Commit(DWORD) { return E_NOTIMPL; }
IFACEMETHODIMP CStream::Revert() { return E_NOTIMPL; }
IFACEMETHODIMP CStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }
IFACEMETHODIMP CStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }
IFACEMETHODIMP CStream::Stat(STATSTG*, DWORD) { return E_NOTIMPL; }

IFACEMETHODIMP CStream::Clone(IStream** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

}  // namespace ShellNamespace
