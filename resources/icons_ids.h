// Icons and menu bitmaps. The code finds the icons by their order in the module (an icon's
// index is its place in id order), so these five keep the lowest icon ids, in this order.
#pragma once

#define IDI_FILTERED_ITEMS 101  // index 0: the "Filtered Items" entry
#define IDI_TAG_FOLDER 102      // index 1: the tag folder itself
#define IDI_ROOT_TAG 103        // index 2: a root tag
#define IDI_SCOPE 104           // index 3: a scope
#define IDI_TAG 105             // index 4: a tag or a filter view

// The class icon of the watcher's hidden window.
#define IDI_WATCHER 112

#define IDB_MENU_TAG 117         // 16 x 16, 8 bits per pixel
#define IDB_MENU_TAG_MAPPED 118  // 16 x 16, 4 bits per pixel, black standing for the menu colour
