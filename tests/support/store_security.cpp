#include "store_security.h"

#include "database/store_io.h"
#include "util/unique_resource.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

namespace {

bool grants_authenticated_users_all(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const util::unique_hlocal held(descriptor);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    if (!dacl || !::CreateWellKnownSid(WinAuthenticatedUserSid, nullptr, sid, &sid_size)) return false;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(dacl, index, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !::EqualSid(&ace->SidStart, sid)) {
            continue;
        }
        if (ace->Mask == GENERIC_ALL || (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) return true;
    }
    return false;
}

// The DACL as SDDL text; empty when it cannot be read.
std::wstring dacl_text(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                nullptr, &descriptor) != ERROR_SUCCESS) {
        return std::wstring();
    }
    const util::unique_hlocal held(descriptor);
    wchar_t* text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                &text, nullptr)) {
        return std::wstring();
    }
    const util::unique_hlocal text_held(text);
    return text;
}

// The DACL of an object of the kind of `like` made beside it with `security`, which is
// removed again; empty when none could be made.
std::wstring dacl_made_beside(const std::wstring& like, bool folder, SECURITY_ATTRIBUTES* security, int number) {
    const std::wstring probe =
        like + L".probe-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(number);
    if (folder) {
        if (!::CreateDirectoryW(probe.c_str(), security)) return std::wstring();
    } else {
        util::unique_file made(
            ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!made) return std::wstring();
    }
    const std::wstring text = dacl_text(probe);
    if (folder) {
        ::RemoveDirectoryW(probe.c_str());
    } else {
        ::DeleteFileW(probe.c_str());
    }
    return text;
}

}  // namespace

store_security read_store_security(const std::wstring& path) {
    if (grants_authenticated_users_all(path)) return store_security::shared;
    std::wstring trimmed = path;
    while (trimmed.size() > 3 && trimmed.back() == L'\\') trimmed.pop_back();
    const DWORD attributes = ::GetFileAttributesW(trimmed.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return store_security::other;
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::wstring shared = dacl_made_beside(trimmed, folder, items::shared_security(), 1);
    const std::wstring fallback = dacl_made_beside(trimmed, folder, nullptr, 2);
    if (shared.empty() || shared == fallback) return store_security::unknown;
    return dacl_text(trimmed) == shared ? store_security::shared : store_security::other;
}
