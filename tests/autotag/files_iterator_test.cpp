// The directory walk: what it returns, in which order, and what it leaves out.
#include "autotag/files_iterator.h"

#include "file_helpers.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<std::wstring, bool> > walk;

walk walk_all(const std::wstring& path, bool recursive, const wchar_t* mask = nullptr) {
    autotag::FilesIteratorInDir files(path, recursive, mask);
    walk out;
    std::wstring entry;
    bool is_dir = false;
    while (files.next(entry, is_dir)) out.push_back(std::make_pair(entry, is_dir));
    // The walk is over for good.
    EXPECT_FALSE(files.next(entry, is_dir));
    return out;
}

class FilesIterator : public ::testing::Test {
protected:
    FilesIterator() {
        root = folder.path() + L"top";
        make_folder(root);
        make_folder(root + L"\\sub");
        make_folder(root + L"\\sub\\deeper");
        make_folder(root + L"\\empty");
        write_file_bytes(root + L"\\a.txt", "");
        write_file_bytes(root + L"\\.hidden", "");
        write_file_bytes(root + L"\\sub\\b.txt", "");
        write_file_bytes(root + L"\\sub\\deeper\\c.dat", "");
    }

    std::size_t position(const walk& w, const std::wstring& relative) const {
        for (std::size_t i = 0; i < w.size(); ++i) {
            if (w[i].first == root + L"\\" + relative) return i;
        }
        ADD_FAILURE() << "not walked: " << std::string(relative.begin(), relative.end());
        return w.size();
    }

    TempFolder folder;
    std::wstring root;
};

TEST_F(FilesIterator, RecursiveWalkGivesDirectoriesBeforeTheirContents) {
    const walk w = walk_all(root, true);
    walk sorted = w;
    std::sort(sorted.begin(), sorted.end());
    walk expected = {
        {root + L"\\.hidden", false},         {root + L"\\a.txt", false},
        {root + L"\\empty", true},            {root + L"\\sub", true},
        {root + L"\\sub\\b.txt", false},      {root + L"\\sub\\deeper", true},
        {root + L"\\sub\\deeper\\c.dat", false},
    };
    EXPECT_EQ(expected, sorted);
    EXPECT_LT(position(w, L"sub"), position(w, L"sub\\b.txt"));
    EXPECT_LT(position(w, L"sub"), position(w, L"sub\\deeper"));
    EXPECT_LT(position(w, L"sub\\deeper"), position(w, L"sub\\deeper\\c.dat"));
    // A trailing backslash on the start path changes nothing.
    EXPECT_EQ(w, walk_all(root + L"\\", true));
}

TEST_F(FilesIterator, FlatWalkReportsDirectoriesWithoutEnteringThem) {
    walk w = walk_all(root, false);
    std::sort(w.begin(), w.end());
    walk expected = {
        {root + L"\\.hidden", false}, {root + L"\\a.txt", false}, {root + L"\\empty", true}, {root + L"\\sub", true},
    };
    EXPECT_EQ(expected, w);
}

TEST_F(FilesIterator, MaskNarrowsAndMissingFolderIsEmpty) {
    EXPECT_EQ((walk{{root + L"\\a.txt", false}}), walk_all(root, false, L".txt"));
    EXPECT_TRUE(walk_all(root + L"\\missing", true).empty());
    EXPECT_TRUE(walk_all(root + L"\\empty", true).empty());
}

}  // namespace
