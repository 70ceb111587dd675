#include "real_plugins_fixture.h"

#include "util/file_names.h"

#include <windows.h>

#include <algorithm>

namespace {

std::wstring raw_name(const autotag::PluginString& name) {
    const wchar_t* text = name.is_inline() ? name.text.inline_text : name.text.heap_text;
    return std::wstring(text ? text : L"", static_cast<std::size_t>(name.length));
}

void collect(const autotag::PluginNode& node, const std::wstring& prefix, RawAnswer& out) {
    const std::wstring name = raw_name(node.name);
    if (!is_safe_tag_name(name)) out.unsafe.push_back(name);
    const std::wstring chain = prefix.empty() ? name : prefix + L'/' + name;
    if (node.children.first == node.children.last) {
        out.chains.push_back(chain);
        return;
    }
    for (const autotag::PluginNode* child = node.children.first; child != node.children.last; ++child) {
        collect(*child, chain, out);
    }
}

}  // namespace

std::wstring dos_path(const char* unix_path) {
    typedef wchar_t*(CDECL * to_dos)(const char*);
    const to_dos convert =
        reinterpret_cast<to_dos>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name"));
    if (!convert) return std::wstring();
    wchar_t* converted = convert(unix_path);
    if (!converted) return std::wstring();
    std::wstring path(converted);
    ::HeapFree(::GetProcessHeap(), 0, converted);
    return path;
}

bool is_safe_tag_name(const std::wstring& name) {
    if (!util::is_valid_file_name(name) || name.size() > 80) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned c = name[i];
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

RealPluginTest::RealPluginTest() {
    plugins.load_plugins(dos_path(QUIBRIX_PLUGIN_DIR));
}

std::wstring RealPluginTest::sample(const std::wstring& name) const {
    return dos_path(QUIBRIX_PLUGIN_SAMPLES) + L'\\' + name;
}

std::string RealPluginTest::sample_bytes(const std::wstring& name) const {
    const std::string bytes = read_file_bytes(sample(name));
    EXPECT_FALSE(bytes.empty()) << "sample missing: the plugin_samples fixture writes it";
    return bytes;
}

RawAnswer RealPluginTest::ask(const std::wstring& dll, const std::wstring& path) const {
    RawAnswer answer;
    const autotag::AutoAssignPlugins::plugin_ptr plugin = plugins.find(dll);
    EXPECT_TRUE(plugin) << "not loaded: " << std::string(dll.begin(), dll.end());
    if (!plugin) return answer;
    autotag::PluginNode* root = nullptr;
    answer.filled = plugin->FillNode(path.c_str(), &root) != 0 && root;
    if (answer.filled) {
        collect(*root, std::wstring(), answer);
        std::sort(answer.chains.begin(), answer.chains.end());
        autotag::free_plugin_tree(root);
    }
    return answer;
}
