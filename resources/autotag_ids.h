#pragma once

// Progress dialog of a directory parse.
#define IDD_PARSE_DIRECTORY 119
#define IDC_PARSE_PATH 252
