// The module that holds this code: Quibrix.dll in Explorer, the test program in tests. Dialogs,
// icons and bitmaps are loaded from it.
#pragma once

#include <windows.h>

namespace util {

HINSTANCE module_instance();

}  // namespace util
