// The stream that the data object hands out when CF_HDROP is asked for as an IStream: a fixed
// image-list header, as the shell's drag image code reads it. One stream serves the process;
// it is not counted and never freed.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>

namespace ShellNamespace {

#pragma pack(push, 1)
struct image_list_header {
    std::uint16_t magic;      // "IL"
    std::uint16_t version;
    std::uint16_t current;
    std::uint16_t maximum;
    std::uint16_t grow;
    std::uint16_t width;
    std::uint16_t height;
    std::uint32_t background;
    std::uint16_t flags;
    std::uint16_t overlays[4];
};
#pragma pack(pop)
static_assert(sizeof(image_list_header) == 28, "image-list header layout");

class CStream final : public IStream {
public:
    // The process's one stream.
    static CStream& instance();

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override { return 1; }
    IFACEMETHODIMP_(ULONG) Release() override { return 1; }

    // ISequentialStream
    IFACEMETHODIMP Read(void* buffer, ULONG count, ULONG* read) override;
    IFACEMETHODIMP Write(const void* buffer, ULONG count, ULONG* written) override;

    // IStream
    IFACEMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
    IFACEMETHODIMP SetSize(ULARGE_INTEGER size) override;
    IFACEMETHODIMP CopyTo(IStream* to, ULARGE_INTEGER count, ULARGE_INTEGER* read, ULARGE_INTEGER* written) override;
    IFACEMETHODIMP Commit(DWORD flags) override;
    IFACEMETHODIMP Revert() override;
    IFACEMETHODIMP LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    IFACEMETHODIMP UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    IFACEMETHODIMP Stat(STATSTG* stat, DWORD flags) override;
    IFACEMETHODIMP Clone(IStream** out) override;

    static const image_list_header& header();

private:
    CStream() = default;
    volatile LONG reads_ = 0;
};

}  // namespace ShellNamespace
