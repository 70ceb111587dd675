#include "file_helpers.h"

#include "util/unique_resource.h"

#include <gtest/gtest.h>

#include <windows.h>

std::string read_file_bytes(const std::wstring& path) {
    std::string bytes;
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return bytes;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

void write_file_bytes(const std::wstring& path, const std::string& bytes) {
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
    DWORD written = 0;
    if (!bytes.empty()) ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ASSERT_EQ(bytes.size(), written);
}

bool path_exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void make_folder(const std::wstring& path) {
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
}

std::string u16_bytes(int value) {
    std::string bytes;
    bytes.push_back(static_cast<char>(value & 0xFF));
    bytes.push_back(static_cast<char>((value >> 8) & 0xFF));
    return bytes;
}

std::string text_record(const std::wstring& text) {
    std::string bytes = u16_bytes(static_cast<int>(text.size() * 2));
    for (wchar_t c : text) bytes += u16_bytes(c);
    return bytes;
}
