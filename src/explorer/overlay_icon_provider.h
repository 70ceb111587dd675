// The registered icon-overlay identifier. It claims no item, so no overlay is ever drawn; it
// is registered so that the extension keeps its overlay slot.
#pragma once

#include "util/com_object.h"

#include <windows.h>
#include <shlobj.h>

class COverlayIconProvider final : public util::ComObject<COverlayIconProvider, IShellIconOverlayIdentifier> {
public:
    // Reference count 1. Null when out of memory.
    static COverlayIconProvider* create() noexcept;

    static const QITAB* interface_table();

    IFACEMETHODIMP IsMemberOf(LPCWSTR path, DWORD attributes) override;
    IFACEMETHODIMP GetOverlayInfo(LPWSTR file, int size, int* index, DWORD* flags) override;
    IFACEMETHODIMP GetPriority(int* priority) override;

private:
    COverlayIconProvider() = default;
    ~COverlayIconProvider() override = default;
};
