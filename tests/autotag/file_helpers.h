// Raw file access for the tests of this subsystem.
#pragma once

#include <string>
#include <vector>

std::string read_file_bytes(const std::wstring& path);
void write_file_bytes(const std::wstring& path, const std::string& bytes);
bool path_exists(const std::wstring& path);
void make_folder(const std::wstring& path);

// Little-endian pieces of binary files.
std::string u16_bytes(int value);
std::string text_record(const std::wstring& text);
