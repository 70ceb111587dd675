// Helpers of the COM server tests: answering a message box from another thread, the registry
// keys that registration owns, and the built module and host programs under Wine.
#pragma once

#include "temp_folder.h"
#include "util/unique_resource.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Waits on a thread of its own for a message box with `title`, any process, keeps the texts
// of its static controls, and presses `button` (IDYES, IDNO) in it.
class MessageBoxAnswer {
public:
    MessageBoxAnswer(const std::wstring& title, int button);
    ~MessageBoxAnswer();
    // Waits for the answer to be given; false if no such box appeared in time.
    bool answered();
    // The texts of the box's static controls, in window order.
    const std::vector<std::wstring>& texts() const { return texts_; }

private:
    std::wstring title_;
    int button_;
    std::vector<std::wstring> texts_;
    std::atomic<bool> found_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One REG_SZ or REG_DWORD value read back; `exists` false when the key or value is missing.
struct registry_value {
    bool exists = false;
    DWORD type = 0;
    std::vector<BYTE> bytes;
    std::wstring text() const;  // REG_SZ data without its terminating NUL
    DWORD number() const;
};
registry_value read_value(HKEY root, const std::wstring& key, const wchar_t* name);
bool key_exists(HKEY root, const std::wstring& key);
std::vector<std::wstring> subkeys(HKEY root, const std::wstring& key);

// Removes whatever registration may have left, without asking anything: every test starts and
// ends with a prefix that holds none of the module's keys.
void remove_registration_keys();

// The Windows path of a Linux path given in the environment variable `name`.
std::wstring windows_path_from_environment(const char* name);

// Runs `program` with `arguments`, waits up to 60 s; its exit code and its standard output.
struct process_result {
    DWORD exit_code = 0xFFFFFFFF;
    std::string output;
};
process_result run_process(const std::wstring& program, const std::wstring& arguments);
