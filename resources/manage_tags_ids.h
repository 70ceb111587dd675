// Resources of this area: see resource.h.
#pragma once

// The Manage Tags dialog and its controls.
#define IDD_MANAGE_TAGS 107
#define IDC_ADD_TAGS 103
#define IDC_REMOVE_TAGS 200
#define IDC_CANCEL_TAGS 201
#define IDC_TAG_TREE 207
#define IDC_TAG_EDIT 209
#define IDC_WATCHER_ACTIVE 212
#define IDC_SETTINGS 232

// Commands of the tree's popup menu; the "MoveTo" targets take the ids from IDM_MOVE_FIRST up.
#define IDM_RENAME_NODE 214
#define IDM_DELETE_NODE 215
#define IDM_MOVE_FIRST 316
