// The process-wide cache of the icons that the virtual folder hands to the shell: the module's
// icons for root tags, scopes, tags and "Filtered Items", the shell's folder icon, and one icon
// per file type of the tagged files. Cached objects live as long as the process.
#pragma once

#include "util/com_object.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <map>
#include <string>

class IconsHolder {
public:
    class IconObject final : public util::ComObject<IconObject, IExtractIconW> {
    public:
        // `cached`: owned by the cache, so Release never frees it. Reference count 1.
        static IconObject* create(const std::wstring& file, int index, bool cached) noexcept;

        static const QITAB* interface_table();
        IFACEMETHODIMP GetIconLocation(UINT flags, LPWSTR file, UINT size, int* index, UINT* out_flags) override;
        IFACEMETHODIMP Extract(LPCWSTR file, UINT index, HICON* large, HICON* small, UINT sizes) override;

        const std::wstring& file() const { return file_; }
        int index() const { return index_; }
        UINT last_flags() const { return last_flags_; }
        // The icon's index in the system image list, when it is known.
        bool system_index(int& index) const;
        void set_system_index(int index);
        // The icon at `size` pixels, extracted once and kept; null when the file has none.
        HICON icon(UINT size) noexcept;

    private:
        // A cached object belongs to the cache: the shell's last reference must not free it.
        IconObject(const std::wstring& file, int index, bool cached)
            : ComObject(cached ? util::com_lifetime::process : util::com_lifetime::counted),
              file_(file),
              index_(index) {}
        ~IconObject() override = default;

        std::wstring file_;
        int index_;
        UINT last_flags_ = 0;
        bool has_system_index_ = false;
        int system_index_ = 0;
        // The shell extracts icons on worker threads too, and a cached object is shared by all.
        util::critical_section sizes_lock_;
        std::map<UINT, util::unique_hicon> sizes_;
    };

    IconsHolder() = default;
    IconsHolder(const IconsHolder&) = delete;
    IconsHolder& operator=(const IconsHolder&) = delete;

    // Every getter hands out one reference for the caller (null when there is no icon).

    // Kinds of the folder's items: 1 root tag, 2 scope, 3 tag or filter view, 4 "Filtered
    // Items"; any other kind: null.
    IconObject* icon_of_kind(unsigned kind) noexcept;
    IconObject* folder_icon() noexcept;
    // For programs that carry no icon of their own.
    IconObject* fallback_icon() noexcept;
    // The icon of a tagged file, found by its id in the tag database.
    // File `id` as listed below root tag `in_root` (any root when empty).
    IExtractIconW* icon_of_file(std::uint32_t id, const std::wstring& in_root = std::wstring()) noexcept;
    IExtractIconW* icon_of_path(const std::wstring& path) noexcept;

private:
    void fill();
    IconObject* shared(IconObject* icon) noexcept;
    // One of the fixed icons, filled on first use, with a reference for the caller.
    IconObject* kept(IconObject* const* slot) noexcept;
    IconObject* icon_of_type(const std::wstring& extension);

    util::critical_section lock_;
    bool filled_ = false;
    IconObject* kinds_[4] = {};
    IconObject* folder_ = nullptr;
    IconObject* fallback_ = nullptr;
    // Lower-case extension with its dot -> the shell's icon for that type.
    std::map<std::wstring, IconObject*> types_;
};

// The process's one icon cache: built on first use, never destroyed while the host runs.
IconsHolder& icons_holder();
