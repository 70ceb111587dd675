// The module's one class identifier. The same class is the virtual folder, the context-menu
// handler and the overlay identifier: the factory chooses by interface, never by class.
#pragma once

#include <windows.h>

namespace util {

// {6A1F3C52-9D4E-4B7A-8C21-3E5D7F9A0B64}
constexpr CLSID class_id = {0x6A1F3C52, 0x9D4E, 0x4B7A, {0x8C, 0x21, 0x3E, 0x5D, 0x7F, 0x9A, 0x0B, 0x64}};

// The class identifier as StringFromGUID2 prints it, for registry paths and values.
constexpr wchar_t class_id_text[] = L"{6A1F3C52-9D4E-4B7A-8C21-3E5D7F9A0B64}";

// The product name under which every registry entry of the module appears.
constexpr wchar_t product_name[] = L"Quibrix";

}  // namespace util
