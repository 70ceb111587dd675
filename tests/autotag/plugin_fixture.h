// A data folder with its database, the test plug-ins loaded from the "plugins" folder beside
// the test program, a folder of files to tag, and a check that the host freed every block the
// plug-ins handed over.
#pragma once

#include "autotag/plugins.h"

#include "allocation_watch.h"
#include "file_helpers.h"
#include "store_fixture.h"

#include <string>
#include <vector>

// How often the loaded test plug-in `dll` has had FillNode called.
long fill_calls(const std::wstring& dll);

class PluginTest : public StoreTest {
protected:
    PluginTest();
    ~PluginTest() override;

    // Writes a file below the watched folder (creating its folders) and returns its path.
    std::wstring file(const std::wstring& relative, const std::string& content = std::string());
    // The watched folder as the folder chooser gives it: no trailing backslash.
    std::wstring watched() const;
    autotag::WatchedDir entry(const std::vector<std::wstring>& enabled, bool autotag = false,
                              bool recursive = true) const;

    AllocationWatch memory;
    autotag::AutoAssignPlugins plugins;
    TempFolder files;
};
