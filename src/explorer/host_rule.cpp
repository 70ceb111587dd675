#include "explorer/host_rule.h"

#include <windows.h>

namespace explorer {

host_action HostRule(const std::wstring& host_path) {
    // Called from the entry point under the loader lock, so it lower-cases through kernel32
    // rather than user32's CharLowerBuffW.
    std::wstring path = host_path;
    if (!path.empty()) {
        const int length = static_cast<int>(host_path.size());
        if (::LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, host_path.c_str(), length, &path[0], length) != length) {
            return host_action::refuse;
        }
    }
    if (path.find(L"explorer.exe") != std::wstring::npos) return host_action::start;
    for (const wchar_t* quiet : {L"regsvr32.exe", L"quibrixinstall.exe", L"verclsid.exe", L"unins"}) {
        if (path.find(quiet) != std::wstring::npos) return host_action::load_only;
    }
    return host_action::refuse;
}

}  // namespace explorer
