#include "explorer/host_rule.h"

#include <windows.h>

namespace explorer {

host_action HostRule(const std::wstring& host_path) {
    std::wstring path = host_path;
    if (!path.empty()) ::CharLowerBuffW(&path[0], static_cast<DWORD>(path.size()));
    if (path.find(L"explorer.exe") != std::wstring::npos) return host_action::start;
    for (const wchar_t* quiet : {L"regsvr32.exe", L"quibrixinstall.exe", L"verclsid.exe", L"unins"}) {
        if (path.find(quiet) != std::wstring::npos) return host_action::load_only;
    }
    return host_action::refuse;
}

}  // namespace explorer
