// Drive letters of the test's own Wine prefix over Linux folders, as Wine's drive settings
// define them, for tests of files on other volumes and of drives whose letter changes.
#pragma once

#include <windows.h>

#include <string>

// A drive letter over a Linux folder, defined through Wine's mount manager as Wine's drive
// settings do, and removed when the object goes. A link made in dosdevices by hand is not known
// to the mount manager, so the drive's serial could not be read once ntdll's table of drives,
// renewed every second, maps paths to it. The mount manager reads the volume's serial, as hex
// digits, from a ".windows-serial" file at the folder's top when the letter is defined; without
// one it gives each letter a serial of its own.
class wine_drive {
public:
    wine_drive(wchar_t letter, const std::string& unix_folder);
    ~wine_drive();
    wine_drive(const wine_drive&) = delete;
    wine_drive& operator=(const wine_drive&) = delete;

    bool defined() const { return defined_; }
    std::wstring root() const { return std::wstring(1, letter_) + L":\\"; }
    // Removes the letter now; false when the mount manager refused.
    bool remove();

private:
    bool define(const char* unix_folder);

    wchar_t letter_;
    bool defined_ = false;
};

// A folder beside the prefix's drive folders (on the Linux file system, outside drive C), made
// empty and removed with all in it when the object goes.
class volume_folder {
public:
    explicit volume_folder(const std::string& name);
    ~volume_folder();
    volume_folder(const volume_folder&) = delete;
    volume_folder& operator=(const volume_folder&) = delete;

    bool made() const { return made_; }
    const std::string& unix_path() const { return unix_; }
    // Writes the ".windows-serial" file that the mount manager reads.
    bool set_serial(DWORD serial);

private:
    std::string unix_;
    std::wstring windows_;  // through drive Z, the Linux root
    bool made_ = false;
};

// The first letter from `from` on that no drive has; 0 when there is none.
wchar_t free_drive_letter(wchar_t from, wchar_t other_than = 0);
// Waits (up to a few seconds) until Wine's table of drives shows `letter` as `present`: it is
// renewed about every second.
bool wait_for_drive(wchar_t letter, bool present);
