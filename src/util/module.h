// The module that holds this code: Quibrix.dll in Explorer, the test program in tests. Dialogs,
// icons and bitmaps are loaded from it.
#pragma once

#include <windows.h>

#include <string>

namespace util {

HINSTANCE module_instance();

// The full path of `module` (null: the program of the process), at any length; empty on failure.
std::wstring module_file_path(HMODULE module);

// The folder of the module that holds this code, without a trailing backslash.
std::wstring module_folder();

}  // namespace util
