// Runs a test again at another DPI. Windows and Wine read the user's logical pixels per inch
// (HKCU\Control Panel\Desktop "LogPixels") when a process starts, so the test is run in a new
// process of its own program, started with the value set and restored once that has ended.
#pragma once

#include <windows.h>

// The DPI the running test was started at by run_current_test_at_dpi(); 96 otherwise.
UINT test_dpi();
// Whether this process is such a run.
bool in_dpi_run();

// Runs the current test alone in a new process of this program at `dpi`; answers its exit code
// (0: passed), or -1 when it could not be started or did not end within `timeout_ms`.
int run_current_test_at_dpi(UINT dpi, DWORD timeout_ms = 300000);
