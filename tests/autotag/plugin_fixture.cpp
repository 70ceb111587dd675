#include "plugin_fixture.h"

#include <windows.h>

long fill_calls(const std::wstring& dll) {
    typedef LONG(WINAPI * counter)();
    HMODULE module = ::GetModuleHandleW(dll.c_str());
    counter calls = module ? reinterpret_cast<counter>(::GetProcAddress(module, "FillCalls")) : nullptr;
    return calls ? calls() : -1;
}

PluginTest::PluginTest() {
    plugins.load_plugins();
}

PluginTest::~PluginTest() {
    EXPECT_EQ(0, memory.leaked()) << "blocks of the plug-ins left unfreed";
    EXPECT_EQ(0, memory.bad_frees()) << "blocks freed twice";
}

std::wstring PluginTest::file(const std::wstring& relative, const std::string& content) {
    const std::wstring path = files.path() + relative;
    for (std::wstring::size_type slash = relative.find(L'\\'); slash != std::wstring::npos;
         slash = relative.find(L'\\', slash + 1)) {
        make_folder(files.path() + relative.substr(0, slash));
    }
    write_file_bytes(path, content);
    return path;
}

std::wstring PluginTest::watched() const {
    return files.path().substr(0, files.path().size() - 1);
}

autotag::WatchedDir PluginTest::entry(const std::vector<std::wstring>& enabled, bool autotag, bool recursive) const {
    autotag::WatchedDir dir;
    dir.init_from_path(watched(), enabled);
    dir.autotag = autotag ? 1 : 0;
    dir.recursive = recursive ? 1 : 0;
    dir.autotagname = L"Inbox";
    return dir;
}
