#pragma once

#include <string>

// A folder of its own under the Windows temporary folder, removed with everything in it
// when the object goes. Tests write only here, never into Wine's shell folders (which
// are links into the Linux home folder).
class TempFolder {
public:
    TempFolder();
    ~TempFolder();

    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Full path ending in a backslash, so that names can be appended directly.
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};
