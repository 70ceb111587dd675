// Which processes the module agrees to live in, decided from the host executable's path.
#pragma once

#include <string>

namespace explorer {

enum class host_action {
    start,      // Explorer: load, run the start-up on the first request for an object
    load_only,  // registration, installation and class verification: load, start nothing
    refuse,     // any other process (other programs' file dialogs and the like)
};

// Matches substrings of the lower-cased path, in this order: "explorer.exe"; then
// "regsvr32.exe", "quibrixinstall.exe", "verclsid.exe" and "unins".
host_action HostRule(const std::wstring& host_path);

}  // namespace explorer
