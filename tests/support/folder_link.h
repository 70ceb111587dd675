#pragma once

#include <string>

// A link to a folder, made as the platform lets a test make one, and removed again when the
// object goes (what it points to stays). On Windows it is a directory symbolic link
// (CreateSymbolicLinkW needs the right to make them). Wine 8 makes none (CreateSymbolicLinkW
// answers TRUE and makes nothing), but lists a Linux symbolic link made from outside as a
// folder with FILE_ATTRIBUTE_REPARSE_POINT, as Windows lists a link: that is made instead.
class FolderLink {
public:
    FolderLink(const std::wstring& link, const std::wstring& target);
    ~FolderLink();

    FolderLink(const FolderLink&) = delete;
    FolderLink& operator=(const FolderLink&) = delete;

    // The link is there and listed as a link.
    bool made() const { return made_; }
    // A link of Windows' own: a handle opened on it with FILE_FLAG_OPEN_REPARSE_POINT is the
    // link, so the link can be removed. Wine 8 opens what a Linux link points to instead, and
    // cannot remove the link itself.
    bool removable() const { return native_; }

private:
    std::wstring link_;
    bool made_;
    bool native_;
};
