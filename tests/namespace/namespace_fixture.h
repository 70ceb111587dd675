// The process-wide tag database pointed at a data folder of its own and filled with a small
// tag tree over real files, and the folder objects driven as Explorer drives them.
//
//   Music/Genre/Rock  song1.mp3 song2.mp3 both.mp3 gone.mp3 (deleted after tagging)
//   Music/Genre/Jazz  both.mp3
//   Music/Mood/Calm   song2.mp3
//   Music/Empty       (a scope without files)
//   Video/Clips       clips (a folder) notes.txt
//   Long/<120 x L>    song1.mp3
#pragma once

#include "namespace/shell_folder.h"
#include "temp_folder.h"
#include "util/unique_resource.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <string>
#include <vector>

// One listed item: its fields as read back from its bytes, and the identifier itself.
struct listed {
    std::uint16_t kind;
    std::wstring name;
    std::uint32_t count;
    std::uint32_t file_id;
    std::vector<BYTE> bytes;  // cb bytes and the list terminator
    LPCITEMIDLIST pidl() const { return reinterpret_cast<LPCITEMIDLIST>(bytes.data()); }
};

// kind, name and count, for comparing whole levels.
struct entry {
    std::uint16_t kind;
    std::wstring name;
    std::uint32_t count;
    bool operator==(const entry& o) const { return kind == o.kind && name == o.name && count == o.count; }
};
std::ostream& operator<<(std::ostream& os, const entry& e);
std::vector<entry> entries(const std::vector<listed>& level);

// An identifier of our layout built by hand, for malformed and foreign cases.
std::vector<BYTE> make_item(std::uint16_t kind, const std::wstring& name, std::uint32_t file_id = 0,
                            std::uint32_t count = 0, const char* signature = "mqbx");
// An identifier of some other folder: the first item of the folder's absolute list.
std::vector<BYTE> foreign_item();

class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::wstring file(const std::wstring& name) const { return files_ + name; }
    // A folder for the top of the virtual folder, its list being one foreign item.
    util::com_ptr<IShellFolder2> top();
    util::com_ptr<IShellFolder2> bind(IShellFolder2* folder, LPCITEMIDLIST child);
    // Binds down from the top by names, each found in the listing of the level above.
    util::com_ptr<IShellFolder2> open(const std::vector<std::wstring>& names);
    std::vector<listed> list(IShellFolder2* folder, SHCONTF flags = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS);
    listed find(IShellFolder2* folder, const std::wstring& name);

    static std::wstring long_name() { return std::wstring(120, L'L'); }

    TempFolder temp_;
    std::wstring files_;
    bool com_ = false;
};
