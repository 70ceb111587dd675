#include "store_fixture.h"

#include "util/unique_resource.h"

#include <algorithm>
#include <cstring>

std::vector<unsigned char> read_bytes(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    items::store::read_file(path, bytes);
    return bytes;
}

void write_bytes(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    util::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
    DWORD written = 0;
    if (!bytes.empty()) ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ASSERT_EQ(bytes.size(), written);
}

bool exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> folder_entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    util::unique_find find(::FindFirstFileW((folder + L"*").c_str(), &data));
    if (!find) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        // The store's own bookkeeping beside the maps: its change counter, its snapshot and
        // the roots' identity files.
        if (name == L"~quibrix-changes" || name == L"~quibrix-snapshot") continue;
        if (name.compare(0, 9, L"~quibrix-") == 0 && name.size() > 13 && name.compare(name.size() - 4, 4, L".ids") == 0) {
            continue;
        }
        names.push_back(name);
    } while (::FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

namespace {
void describe_files(const std::wstring& folder, const std::wstring& relative, std::vector<std::wstring>& out) {
    for (const std::wstring& name : folder_entries(folder + relative)) {
        const std::wstring path = folder + relative + name;
        if (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            describe_files(folder, relative + name + L"\\", out);
            continue;
        }
        const std::vector<unsigned char> bytes = read_bytes(path);
        std::wstring line = relative + name + L":";
        if (name.size() > 4 && name.compare(name.size() - 4, 4, L".dat") == 0) {
            std::vector<std::pair<std::uint32_t, std::wstring> > records;
            items::store::decode_map(bytes.data(), bytes.size(), [&](items::file_id_t id, std::size_t at, std::size_t length) {
                std::wstring record(length, L'\0');
                std::memcpy(&record[0], bytes.data() + at, length * sizeof(wchar_t));
                records.emplace_back(id, record);
            });
            std::sort(records.begin(), records.end());
            for (const auto& record : records) line += L" " + std::to_wstring(record.first) + L"=" + record.second;
        } else {
            for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
                std::uint32_t id = 0;
                std::memcpy(&id, bytes.data() + i, 4);
                line += L" " + std::to_wstring(id);
            }
        }
        out.push_back(line);
    }
}
}  // namespace

std::vector<std::wstring> store_contents(const std::wstring& folder) {
    std::vector<std::wstring> out;
    describe_files(folder, std::wstring(), out);
    std::sort(out.begin(), out.end());
    return out;
}

void set_write_time(const std::wstring& path, std::uint64_t value) {
    util::unique_file file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(file.valid());
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &time));
}

std::uint64_t write_time(const std::wstring& path) {
    return items::store::stamp_of(path).write_time;
}

void age_files(const std::wstring& folder) {
    const std::uint64_t hour_ago = items::store::file_time_now() - 36000000000ull;
    for (const std::wstring& name : folder_entries(folder)) {
        const std::wstring path = folder + name;
        if (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            age_files(path + L"\\");
        } else {
            set_write_time(path, hour_ago);
        }
    }
}

std::vector<unsigned char> id_bytes(const std::vector<std::uint32_t>& ids) {
    std::vector<unsigned char> bytes(ids.size() * 4);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<unsigned char>(ids[i] >> (8 * b));
    }
    return bytes;
}

std::vector<unsigned char> record_bytes(std::uint32_t id, const std::wstring& path) {
    std::vector<unsigned char> bytes = id_bytes({id});
    bytes.push_back(static_cast<unsigned char>(path.size() & 0xFF));
    bytes.push_back(static_cast<unsigned char>(path.size() >> 8));
    for (wchar_t c : path) {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
    return bytes;
}

std::vector<unsigned char> operator+(std::vector<unsigned char> a, const std::vector<unsigned char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

items::tree_ptr tags(const std::vector<std::wstring>& chains) {
    items::tree_ptr top;
    for (const std::wstring& chain : chains) {
        std::vector<std::wstring> names;
        std::wstring::size_type start = 0;
        for (;;) {
            std::wstring::size_type slash = chain.find(L'/', start);
            names.push_back(chain.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start));
            if (slash == std::wstring::npos) break;
            start = slash + 1;
        }
        if (!top) top.reset(new items::tree_node(names[0]));
        items::tree_node* node = top.get();
        for (std::size_t i = 1; i < names.size(); ++i) {
            items::tree_node* next = node->find(names[i]);
            node = next ? next : node->add(names[i]).get();
        }
    }
    return top;
}

namespace {
void collect_chains(const items::tree_node& node, const std::wstring& prefix, std::vector<std::wstring>& out) {
    const std::wstring here = prefix.empty() ? node.name : prefix + L"/" + node.name;
    if (node.children.empty()) out.push_back(here);
    for (const items::tree_ptr& child : node.children) collect_chains(*child, here, out);
}
}  // namespace

std::vector<std::wstring> chains_of(const items::tree_ptr& tree) {
    std::vector<std::wstring> out;
    if (tree) collect_chains(*tree, std::wstring(), out);
    std::sort(out.begin(), out.end());
    return out;
}

typedef char*(CDECL* to_unix_t)(const wchar_t*);

std::string unix_path(const std::wstring& path) {
    const to_unix_t convert =
        reinterpret_cast<to_unix_t>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
    if (!convert) return std::string();
    char* converted = convert(path.c_str());
    if (!converted) return std::string();
    std::string result = converted;
    ::HeapFree(::GetProcessHeap(), 0, converted);
    return result;
}
