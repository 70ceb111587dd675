#include "dpi_child.h"

#include "child_process.h"
#include "util/module.h"
#include "util/unique_resource.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

const wchar_t dpi_variable[] = L"QUIBRIX_TEST_DPI";
const wchar_t desktop_key[] = L"Control Panel\\Desktop";
const wchar_t log_pixels[] = L"LogPixels";

// Sets LogPixels for as long as it lives, then puts back what was there (or nothing).
class log_pixels_set {
public:
    explicit log_pixels_set(DWORD dpi) {
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, desktop_key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                              &key_, nullptr) != ERROR_SUCCESS) {
            key_ = nullptr;
            return;
        }
        DWORD size = sizeof before_;
        DWORD type = 0;
        had_ = ::RegQueryValueExW(key_, log_pixels, nullptr, &type, reinterpret_cast<BYTE*>(&before_), &size) ==
                   ERROR_SUCCESS &&
               type == REG_DWORD;
        set_ = ::RegSetValueExW(key_, log_pixels, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi) ==
               ERROR_SUCCESS;
    }
    ~log_pixels_set() {
        if (!key_) return;
        if (had_) {
            ::RegSetValueExW(key_, log_pixels, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&before_), sizeof before_);
        } else {
            ::RegDeleteValueW(key_, log_pixels);
        }
        ::RegCloseKey(key_);
    }
    log_pixels_set(const log_pixels_set&) = delete;
    log_pixels_set& operator=(const log_pixels_set&) = delete;
    bool set() const { return set_; }

private:
    HKEY key_ = nullptr;
    DWORD before_ = 0;
    bool had_ = false;
    bool set_ = false;
};

}  // namespace

UINT test_dpi() {
    wchar_t value[16] = L"";
    const DWORD length = ::GetEnvironmentVariableW(dpi_variable, value, 16);
    const unsigned long dpi = length && length < 16 ? std::wcstoul(value, nullptr, 10) : 0;
    return dpi ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

bool in_dpi_run() { return ::GetEnvironmentVariableW(dpi_variable, nullptr, 0) != 0; }

int run_current_test_at_dpi(UINT dpi, DWORD timeout_ms) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    if (!test) return -1;
    const std::string filter = std::string(test->test_suite_name()) + "." + test->name();
    const std::wstring program = util::module_file_path(nullptr);
    const std::wstring command =
        L"\"" + program + L"\" --gtest_filter=" + std::wstring(filter.begin(), filter.end());

    log_pixels_set pixels(dpi);
    if (!pixels.set()) return -1;
    const std::wstring value = std::to_wstring(dpi);
    ::SetEnvironmentVariableW(dpi_variable, value.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info;
    DWORD error = 0;
    const bool started = start_process(program.c_str(), command, TRUE, 0, nullptr, startup, info, error);
    ::SetEnvironmentVariableW(dpi_variable, nullptr);
    if (!started) return -1;
    child_process child(info);
    if (!child.wait(timeout_ms)) return -1;
    return static_cast<int>(child.exit_code());
}
