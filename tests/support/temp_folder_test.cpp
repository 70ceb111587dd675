#include "temp_folder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_folder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void write_file(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "GetLastError " << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "data", 4, &written, nullptr));
    CloseHandle(file);
}

int entries_in(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            ++count;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return count;
}

std::wstring windows_temp_folder()
{
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length);
}

}  // namespace

TEST(TempFolder, GivesEachInstanceItsOwnEmptyFolderUnderTheTempFolder)
{
    TempFolder first;
    TempFolder second;
    const std::wstring temp = windows_temp_folder();

    EXPECT_NE(first.path(), second.path());
    for (const TempFolder* folder : {&first, &second}) {
        const std::wstring& path = folder->path();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(path.back(), L'\\');
        EXPECT_EQ(path.compare(0, temp.size(), temp), 0) << "not under the temp folder";
        EXPECT_GT(path.size(), temp.size() + 1);
        EXPECT_TRUE(is_folder(path));
        EXPECT_EQ(entries_in(path), 0);
    }
}

TEST(TempFolder, RemovesNestedFoldersAndReadOnlyFiles)
{
    std::wstring root;
    {
        TempFolder folder;
        root = folder.path();
        const std::wstring nested = root + L"a\\b\\c\\";
        ASSERT_TRUE(CreateDirectoryW((root + L"a").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((root + L"a\\b").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((root + L"a\\b\\c").c_str(), nullptr));
        write_file(root + L"top.txt");
        write_file(root + L"a\\b\\middle.bin");
        write_file(nested + L"read-only.txt", FILE_ATTRIBUTE_READONLY);
        write_file(nested + L"\u00e9t\u00e9 \u0442\u0435\u0433.txt", FILE_ATTRIBUTE_HIDDEN);
        write_file(root + L"read-only at top", FILE_ATTRIBUTE_READONLY);
        // Without this the test would not exercise clearing the attribute.
        ASSERT_TRUE(GetFileAttributesW((nested + L"read-only.txt").c_str()) &
                    FILE_ATTRIBUTE_READONLY);
        ASSERT_EQ(entries_in(nested), 2);
    }
    EXPECT_FALSE(exists(root));
}

TEST(TempFolder, RemovesOnlyItsOwnFolder)
{
    TempFolder kept;
    write_file(kept.path() + L"kept.txt");
    std::wstring removed;
    {
        TempFolder other;
        removed = other.path();
        write_file(removed + L"other.txt");
    }
    EXPECT_FALSE(exists(removed));
    EXPECT_TRUE(exists(kept.path() + L"kept.txt"));
    EXPECT_EQ(entries_in(kept.path()), 1);
}
