#pragma once

// Progress dialog of a directory parse.
#define IDD_PARSE_DIRECTORY 119
#define IDC_PARSE_PATH 252

// "Directory settings": a watched directory's path, default tag and plug-ins.
#define IDD_DIRECTORY_SETTINGS 108
#define IDC_BROWSE 244
#define IDC_DIR_PATH 245
#define IDC_DEFAULT_TAG 246
#define IDC_ENABLE_DEFAULT_TAG 247
#define IDC_RECURSIVE 248
#define IDC_PLUGIN_LIST 250
#define IDC_ENABLE_PLUGINS 251

// "Files list": the new files, beside the Manage Tags dialog.
#define IDD_FILES_LIST 230
#define IDC_FILES 226
#define IDC_REMOVE_SELECTED 227
#define IDC_CLEAR_ALL 228

// "Manage Watching Directories" (its "Remove selected" and "Clear All" share the ids above).
#define IDD_MANAGE_DIRECTORIES 231
#define IDC_ADD_DIRECTORY 229
#define IDC_SHOW_POPUP 234
#define IDC_DIRECTORIES 243
#define IDC_EDIT_SELECTED 249

// The tray icon's menu.
#define IDR_TRAY_MENU 225
#define IDM_MANAGE_DIRECTORIES 219
#define IDM_ADD_DIRECTORY 221
#define IDM_CLOSE_WATCHER 222
#define IDM_DEACTIVATE_WATCHER 223
#define IDM_WATCHER_HELP 242
#define IDM_PARSE_DIRECTORY 253
