// The shipped plug-ins, loaded from the build's plugins folder beside Quibrix.dll, with the
// sample files that Debian's encoders and taggers wrote for them (make_samples.sh).
#pragma once

#include "plugin_fixture.h"

#include <string>
#include <vector>

// A Linux path of the build tree as Wine sees it.
std::wstring dos_path(const char* unix_path);

// The chains "Root/Scope/Tag" of a plug-in's own answer, read from its raw tree before the host
// touches a name; `unsafe` collects every name that is not a safe tag name.
struct RawAnswer {
    bool filled = false;
    std::vector<std::wstring> chains;
    std::vector<std::wstring> unsafe;
};

// True when `name` may name a tag: a valid file name of at most 80 units, with no control
// character and no unpaired surrogate.
bool is_safe_tag_name(const std::wstring& name);

class RealPluginTest : public PluginTest {
protected:
    RealPluginTest();

    // The path of a sample file written by make_samples.sh.
    std::wstring sample(const std::wstring& name) const;
    std::string sample_bytes(const std::wstring& name) const;
    // Calls the plug-in's FillNode directly and frees its tree as the host does.
    RawAnswer ask(const std::wstring& dll, const std::wstring& path) const;
};
