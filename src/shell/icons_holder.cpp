#include "shell/icons_holder.h"

#include "database/tags_holder.h"
#include "util/module.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwctype>
#include <new>
#include <vector>

IconsHolder& icons_holder() {
    // Deliberately leaked: the shell may still hold its icon objects while statics are torn down.
    static IconsHolder* holder = new IconsHolder;
    return *holder;
}

namespace {

// Module icons by their order in the resources: the item kinds 1 to 4 use indexes 2, 3, 4, 0.
const int kind_icon_index[4] = {2, 3, 4, 0};
const int shell_folder_index = 3;
const int shell_program_index = 2;
// The icon of a file type the shell knows nothing about.
const int shell_document_index = 0;

std::wstring expand(const wchar_t* text) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD needed = ::ExpandEnvironmentStringsW(text, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (needed == 0) return text;
        if (needed <= buffer.size()) return buffer.data();
        buffer.resize(needed);
    }
}

std::wstring shell32_path() { return expand(L"%SystemRoot%\\system32\\SHELL32.dll"); }

std::wstring lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

bool is_program(const std::wstring& path) {
    return path.size() >= 4 && lower(path.substr(path.size() - 4)) == L".exe";
}

}  // namespace

// --- IconsHolder::IconObject ---

IconsHolder::IconObject* IconsHolder::IconObject::create(const std::wstring& file, int index, bool cached) noexcept {
    try {
        return new (std::nothrow) IconObject(file, index, cached);
    } catch (...) {
        return nullptr;
    }
}

const QITAB* IconsHolder::IconObject::interface_table() {
    static const QITAB table[] = {
        QITABENTMULTI2(IconObject, IID_IExtractIconW, IExtractIconW),
        {nullptr, 0},
    };
    return table;
}

IFACEMETHODIMP IconsHolder::IconObject::GetIconLocation(UINT flags, LPWSTR file, UINT size, int* index,
                                                        UINT* out_flags) {
    if (out_flags) *out_flags = 0;
    if (!file || !index || !out_flags) return E_POINTER;
    last_flags_ = flags;
    // The path and its NUL must fit.
    if (size <= file_.size()) return S_FALSE;
    std::copy(file_.begin(), file_.end(), file);
    file[file_.size()] = L'\0';
    *index = index_;
    // The same location can stand for different icons (every program's own icon is index 0
    // of its file), so the shell must not keep what it drew under this location.
    *out_flags = GIL_DONTCACHE;
    return S_OK;
}

IFACEMETHODIMP IconsHolder::IconObject::Extract(LPCWSTR, UINT, HICON* large, HICON* small, UINT sizes) {
    if (large) *large = nullptr;
    if (small) *small = nullptr;
    // The caller owns and destroys what Extract gives; the kept icons are handed out as copies.
    HRESULT hr = S_OK;
    if (large) {
        HICON kept = icon(LOWORD(sizes));
        *large = kept ? ::CopyIcon(kept) : nullptr;
        if (!*large) hr = S_FALSE;
    }
    if (small) {
        HICON kept = icon(HIWORD(sizes));
        *small = kept ? ::CopyIcon(kept) : nullptr;
        if (!*small) hr = S_FALSE;
    }
    return hr;
}

bool IconsHolder::IconObject::system_index(int& index) const {
    if (!has_system_index_) return false;
    index = system_index_;
    return true;
}

void IconsHolder::IconObject::set_system_index(int index) {
    system_index_ = index;
    has_system_index_ = true;
}

HICON IconsHolder::IconObject::icon(UINT size) noexcept {
    if (size == 0) return nullptr;
    try {
        util::lock_guard lock(sizes_lock_);
        std::map<UINT, util::unique_hicon>::iterator it = sizes_.find(size);
        if (it != sizes_.end()) return it->second.get();
        HICON extracted = nullptr;
        UINT id = 0;
        const UINT count = ::PrivateExtractIconsW(file_.c_str(), index_, size, size, &extracted, &id, 1, 0);
        if (count != 1 || !extracted || extracted == reinterpret_cast<HICON>(INVALID_HANDLE_VALUE)) return nullptr;
        util::unique_hicon owned(extracted);
        return sizes_.emplace(size, std::move(owned)).first->second.get();
    } catch (...) {
        return nullptr;
    }
}

// --- IconsHolder ---

void IconsHolder::fill() {
    if (filled_) return;
    const std::wstring module = util::module_file_path(util::module_instance());
    const int large = ::GetSystemMetrics(SM_CXICON);
    const int small = ::GetSystemMetrics(SM_CXSMICON);
    for (int kind = 0; kind < 4; ++kind) {
        kinds_[kind] = IconObject::create(module, kind_icon_index[kind], true);
        if (kinds_[kind]) {
            kinds_[kind]->icon(large);
            kinds_[kind]->icon(small);
        }
    }
    folder_ = IconObject::create(shell32_path(), shell_folder_index, true);
    fallback_ = IconObject::create(shell32_path(), shell_program_index, true);
    filled_ = true;
}

IconsHolder::IconObject* IconsHolder::shared(IconObject* icon) noexcept {
    if (icon) icon->AddRef();
    return icon;
}

IconsHolder::IconObject* IconsHolder::kept(IconObject* const* slot) noexcept {
    try {
        util::lock_guard lock(lock_);
        fill();
        return shared(*slot);
    } catch (...) {
        return nullptr;
    }
}

IconsHolder::IconObject* IconsHolder::icon_of_kind(unsigned kind) noexcept {
    if (kind < 1 || kind > 4) return nullptr;
    return kept(&kinds_[kind - 1]);
}

IconsHolder::IconObject* IconsHolder::folder_icon() noexcept {
    return kept(&folder_);
}

IconsHolder::IconObject* IconsHolder::fallback_icon() noexcept {
    return kept(&fallback_);
}

IExtractIconW* IconsHolder::icon_of_file(std::uint32_t id, const std::wstring& in_root) noexcept {
    try {
        std::wstring path;
        if (!items::tags_holder().find_path(id, path, in_root)) return nullptr;
        return icon_of_path(path);
    } catch (...) {
        return nullptr;
    }
}

IconsHolder::IconObject* IconsHolder::icon_of_type(const std::wstring& extension) {
    const std::wstring key = lower(extension);
    std::map<std::wstring, IconObject*>::iterator it = types_.find(key);
    if (it != types_.end()) return it->second;

    // The type's icon, not one file's: the name is never looked up on disk.
    const std::wstring sample = L"file" + key;
    SHFILEINFOW location = {};
    std::wstring file = shell32_path();
    int index = shell_document_index;
    if (::SHGetFileInfoW(sample.c_str(), FILE_ATTRIBUTE_NORMAL, &location, sizeof location,
                         SHGFI_ICONLOCATION | SHGFI_USEFILEATTRIBUTES) &&
        location.szDisplayName[0]) {
        file = expand(location.szDisplayName);
        index = location.iIcon;
    }
    IconObject* icon = IconObject::create(file, index, true);
    if (!icon) return nullptr;
    SHFILEINFOW system = {};
    if (::SHGetFileInfoW(sample.c_str(), FILE_ATTRIBUTE_NORMAL, &system, sizeof system,
                         SHGFI_SYSICONINDEX | SHGFI_USEFILEATTRIBUTES)) {
        icon->set_system_index(system.iIcon);
    }
    types_[key] = icon;
    return icon;
}

IExtractIconW* IconsHolder::icon_of_path(const std::wstring& path) noexcept {
    try {
        if (is_program(path)) {
            // A program shows its own first icon; one without any gets the shell's program icon.
            HICON own = ::ExtractIconW(util::module_instance(), path.c_str(), 0);
            const bool has_icon = own && own != reinterpret_cast<HICON>(1);
            if (has_icon) ::DestroyIcon(own);
            if (!has_icon) return fallback_icon();
            // Not kept: there would be one per program ever shown.
            return IconObject::create(path, 0, false);
        }
        if (::PathIsDirectoryW(path.c_str())) return folder_icon();
        // PathFindExtensionW looks only at the last component: a dot in a folder name is no type.
        const wchar_t* extension = ::PathFindExtensionW(path.c_str());
        if (!extension || !*extension || extension[1] == L'\0') return nullptr;
        util::lock_guard lock(lock_);
        return shared(icon_of_type(extension));
    } catch (...) {
        return nullptr;
    }
}
