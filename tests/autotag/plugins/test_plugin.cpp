// A metadata plug-in for tests, built in several variants (see CMakeLists.txt). It reads its
// answer from the file it is asked about, so each test writes the tree it wants:
//   - one chain of names per line, separated by tabs: "Music<TAB>Genre<TAB>Rock";
//   - "FAIL A B" on the first line: the plug-ins A and B fail (* for all);
//   - "NOTREE A": A succeeds without a tree;
//   - "BROKEN A": A answers a tree whose children array does not hold whole records;
//   - "THROW A": A throws a C++ exception out of FillNode;
//   - "WAIT <event>": wait until the named event is set (at most 20 s), then answer.
// GetDescription waits (at most 5 s) while the process holds an unset event named
// "quibrix_describe_gate_<process id>": a slow plug-in, for the tests of start-up.
// An empty file gets Metadata -> Plugin -> <id>, which tells the tests who tagged it.
// Every block handed to the host comes from CoTaskMemAlloc, as the contract says.
#include "autotag/plugin_abi.h"

#include <objbase.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using autotag::PluginNode;
using autotag::PluginString;
using autotag::plugin_bool;

#define QBX_EXPORT extern "C" __declspec(dllexport)

namespace {

volatile LONG fill_calls = 0;

struct Draft {
    std::wstring name;
    std::vector<Draft> children;

    Draft& child(const std::wstring& child_name) {
        for (Draft& c : children) {
            if (c.name == child_name) return c;
        }
        children.push_back(Draft{child_name, {}});
        return children.back();
    }
};

wchar_t* copy_text(const std::wstring& text) {
    wchar_t* block = static_cast<wchar_t*>(::CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    std::memcpy(block, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return block;
}

void write_name(PluginString& out, const std::wstring& name) {
    out.length = name.size();
    if (name.size() <= PluginString::inline_capacity) {
        out.capacity = PluginString::inline_capacity;
        std::memcpy(out.text.inline_text, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    } else {
        out.capacity = name.size() + 3;  // as a growing string leaves it
        out.text.heap_text = static_cast<wchar_t*>(::CoTaskMemAlloc((out.capacity + 1) * sizeof(wchar_t)));
        std::memcpy(out.text.heap_text, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    }
}

void write_node(PluginNode& out, const Draft& draft) {
    std::memset(&out, 0, sizeof out);
    write_name(out.name, draft.name);
    if (draft.children.empty()) return;
    const std::size_t capacity = draft.children.size() + 1;
    out.children.first = static_cast<PluginNode*>(::CoTaskMemAlloc(capacity * sizeof(PluginNode)));
    out.children.last = out.children.first + draft.children.size();
    out.children.capacity_end = out.children.first + capacity;
    for (std::size_t i = 0; i < draft.children.size(); ++i) write_node(out.children.first[i], draft.children[i]);
}

std::wstring read_content(const wchar_t* path) {
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::wstring();
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    ::CloseHandle(file);
    if (bytes.empty()) return std::wstring();
    std::wstring text(bytes.size(), L'\0');
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                        static_cast<int>(text.size()));
    text.resize(n > 0 ? n : 0);
    return text;
}

std::vector<std::wstring> split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    std::wstring::size_type start = 0;
    for (;;) {
        const std::wstring::size_type end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) return parts;
        start = end + 1;
    }
}

// True when the directive line `line` starts with `word` and names this plug-in.
bool directive_for_me(const std::wstring& line, const std::wstring& word) {
    std::vector<std::wstring> words = split(line, L' ');
    if (words.empty() || words[0] != word) return false;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == PLUGIN_ID || words[i] == L"*") return true;
    }
    return false;
}

}  // namespace

QBX_EXPORT plugin_bool WINAPI GetExts(wchar_t*** exts, std::uint32_t* count) {
#ifdef PLUGIN_EXTS_FAIL
    (void)exts;
    (void)count;
    return 0;
#else
    const std::vector<std::wstring> claimed = {PLUGIN_EXTS};
    *count = static_cast<std::uint32_t>(claimed.size());
    *exts = nullptr;
    if (claimed.empty()) return 1;
    *exts = static_cast<wchar_t**>(::CoTaskMemAlloc(claimed.size() * sizeof(wchar_t*)));
    for (std::size_t i = 0; i < claimed.size(); ++i) (*exts)[i] = copy_text(claimed[i]);
    return 1;
#endif
}

QBX_EXPORT plugin_bool WINAPI GetDescription(wchar_t** description) {
    const std::wstring gate_name = L"quibrix_describe_gate_" + std::to_wstring(::GetCurrentProcessId());
    if (HANDLE gate = ::OpenEventW(SYNCHRONIZE, FALSE, gate_name.c_str())) {
        ::WaitForSingleObject(gate, 5000);
        ::CloseHandle(gate);
    }
#ifdef PLUGIN_DESCRIPTION_FAILS
    (void)description;
    return 0;
#else
    *description = copy_text(std::wstring(L"Test plug-in ") + PLUGIN_ID);
    // A nonzero byte other than 1, as another compiler's bool may leave it.
    return 0x41;
#endif
}

QBX_EXPORT plugin_bool WINAPI FillNode(const wchar_t* file_path, PluginNode** root) {
    ::InterlockedIncrement(&fill_calls);
#ifdef PLUGIN_FILL_FAILS
    (void)file_path;
    (void)root;
    return 0;
#else
    std::wstring content = read_content(file_path);
    std::vector<std::wstring> lines = split(content, L'\n');
    for (std::wstring& line : lines) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
    }
    if (directive_for_me(lines[0], L"FAIL")) return 0;
    if (directive_for_me(lines[0], L"THROW")) throw std::runtime_error("plug-in failure");
    if (directive_for_me(lines[0], L"NOTREE")) {
        *root = nullptr;
        return 1;
    }
    if (lines[0].compare(0, 5, L"WAIT ") == 0) {
        HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, lines[0].substr(5).c_str());
        if (event) {
            ::WaitForSingleObject(event, 20000);
            ::CloseHandle(event);
        }
    }
    if (directive_for_me(lines[0], L"BROKEN")) {
        PluginNode* node = static_cast<PluginNode*>(::CoTaskMemAlloc(sizeof(PluginNode)));
        write_node(*node, Draft{L"Broken", {Draft{L"a", {}}, Draft{L"b", {}}}});
        node->children.last = reinterpret_cast<PluginNode*>(reinterpret_cast<char*>(node->children.first) + 100);
        *root = node;
        return 1;
    }
    Draft top;
    bool any = false;
    for (const std::wstring& line : lines) {
        if (line.empty() || line.compare(0, 4, L"FAIL") == 0 || line.compare(0, 6, L"NOTREE") == 0 ||
            line.compare(0, 6, L"BROKEN") == 0 || line.compare(0, 4, L"WAIT") == 0) {
            continue;
        }
        std::vector<std::wstring> names = split(line, L'\t');
        if (!any) top.name = names[0];
        any = true;
        Draft* level = &top;
        for (std::size_t i = 1; i < names.size(); ++i) level = &level->child(names[i]);
    }
    if (!any) top = Draft{L"Metadata", {Draft{L"Plugin", {Draft{PLUGIN_ID, {}}}}}};
    PluginNode* node = static_cast<PluginNode*>(::CoTaskMemAlloc(sizeof(PluginNode)));
    write_node(*node, top);
    *root = node;
    return 1;
#endif
}

#ifndef PLUGIN_NO_SAVENODE
QBX_EXPORT plugin_bool WINAPI SaveNode() {
    return 0;
}
#endif

// For the tests only: how often FillNode was called.
QBX_EXPORT LONG WINAPI FillCalls() {
    return fill_calls;
}
