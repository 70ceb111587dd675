// "BitSettings" in a registry key of the test's own, and the confirmation dialog driven by
// window messages from another thread.
#include "explorer/bit_settings.h"
#include "resource.h"
#include "util/unique_resource.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace {

class BitSettingsTest : public ::testing::Test {
protected:
    BitSettingsTest() {
        static int counter = 0;
        root_name = L"Software\\quibrix-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
        EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, root_name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, root.put(), nullptr));
        settings = explorer::BitSettings(root.get(), L"software\\Quibrix");
    }
    ~BitSettingsTest() override {
        ::RegDeleteTreeW(root.get(), nullptr);
        root.reset();
        ::RegDeleteKeyW(HKEY_CURRENT_USER, root_name.c_str());
    }
    // The stored value, or -1 when the key or value is missing.
    long long stored() {
        DWORD value = 0, size = sizeof(value);
        if (::RegGetValueW(root.get(), L"software\\Quibrix", L"BitSettings", RRF_RT_REG_DWORD, nullptr, &value, &size) !=
            ERROR_SUCCESS) {
            return -1;
        }
        return value;
    }
    void store(DWORD value) {
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(root.get(), L"software\\Quibrix", L"BitSettings", REG_DWORD, &value,
                                                   sizeof(value)));
    }

    std::wstring root_name;
    util::unique_hkey root;
    explorer::BitSettings settings{nullptr, L""};
};

BOOL CALLBACK find_warning(HWND window, LPARAM found) {
    wchar_t class_name[16] = L"", title[16] = L"";
    ::GetClassNameW(window, class_name, 16);
    ::GetWindowTextW(window, title, 16);
    if (std::wstring(class_name) == L"#32770" && std::wstring(title) == L"Warning" && ::IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

// Waits on another thread for the confirmation dialog of `thread` and hands it to `act`, which
// ends it.
class DialogDriver {
public:
    explicit DialogDriver(std::function<void(HWND)> act, DWORD timeout_ms = 5000)
        : owner_(::GetCurrentThreadId()), thread_([this, act, timeout_ms] {
        const ULONGLONG end = ::GetTickCount64() + timeout_ms;
        HWND dialog = nullptr;
        while (!dialog && ::GetTickCount64() < end) {
            ::Sleep(10);
            ::EnumThreadWindows(owner_, find_warning, reinterpret_cast<LPARAM>(&dialog));
        }
        if (!dialog) return;
        shown_ = true;
        act(dialog);
    }) {}
    ~DialogDriver() {
        if (thread_.joinable()) thread_.join();
    }
    bool shown() {
        if (thread_.joinable()) thread_.join();
        return shown_;
    }

private:
    DWORD owner_;
    std::atomic<bool> shown_{false};
    std::thread thread_;
};

// What a mouse click does to a button: an automatic check box toggles, then the parent hears
// BN_CLICKED. (BM_CLICK does the same but takes two seconds a click under Wine.)
void click(HWND dialog, int control) {
    HWND button = ::GetDlgItem(dialog, control);
    if ((::GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
        const LRESULT state = ::SendMessageW(button, BM_GETCHECK, 0, 0);
        ::SendMessageW(button, BM_SETCHECK, state == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
    }
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

std::wstring text_of(HWND window) {
    wchar_t text[256] = L"";
    ::GetWindowTextW(window, text, 256);
    return text;
}

}  // namespace

TEST_F(BitSettingsTest, BitsReadAsClearWithoutKeyAndWritingOneKeepsTheOthers) {
    for (unsigned bit = 0; bit < 32; ++bit) EXPECT_FALSE(settings.read_bit(bit));
    EXPECT_EQ(-1, stored());  // reading creates nothing

    store(0x80000010);
    settings.write_bit(0, true);
    EXPECT_EQ(0x80000011, stored());
    EXPECT_TRUE(settings.read_bit(0));
    EXPECT_TRUE(settings.read_bit(36));  // bit numbers wrap at 32
    EXPECT_FALSE(settings.read_bit(1));
    settings.write_bit(4, false);
    EXPECT_EQ(0x80000001, stored());

    // A value of another type counts as clear, and is replaced by the next write.
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(root.get(), L"software\\Quibrix", L"BitSettings", REG_SZ, L"1", 4));
    EXPECT_FALSE(settings.read_bit(0));
    settings.write_bit(2, true);
    EXPECT_EQ(4, stored());
}

TEST_F(BitSettingsTest, DialogWithoutKeyShowsMessageAndAnswersByButton) {
    std::wstring message, check_box;
    RECT client = {}, expected = {0, 0, 258, 93};
    DialogDriver ok([&](HWND dialog) {
        message = text_of(::GetDlgItem(dialog, IDC_CONFIRM_TEXT));
        check_box = text_of(::GetDlgItem(dialog, IDC_DONT_SHOW_AGAIN));
        ::GetClientRect(dialog, &client);
        ::MapDialogRect(dialog, &expected);
        click(dialog, IDOK);
    });
    EXPECT_EQ(TRUE, explorer::Confirm(settings, 0, nullptr));
    ASSERT_TRUE(ok.shown());
    EXPECT_EQ(L"All tags for selected files will be removed.\n \t\t\t\t\t\t\t\t\t\t\t\t\t\t   Are you shure ?", message);
    EXPECT_EQ(L"   Don't show this dialog again", check_box);
    EXPECT_EQ(expected.right, client.right);
    EXPECT_EQ(expected.bottom, client.bottom);
    EXPECT_EQ(-1, stored());

    DialogDriver cancel([](HWND dialog) { click(dialog, IDCANCEL); });
    EXPECT_EQ(FALSE, explorer::Confirm(settings, 0, nullptr));
    EXPECT_TRUE(cancel.shown());
}

TEST_F(BitSettingsTest, TickedBoxIsStoredAtOnceEvenWithCancel) {
    store(0x100);
    long long after_tick = 0, after_untick = 0;
    DialogDriver tick_untick_tick_cancel([&](HWND dialog) {
        click(dialog, IDC_DONT_SHOW_AGAIN);
        after_tick = stored();
        click(dialog, IDC_DONT_SHOW_AGAIN);
        after_untick = stored();
        click(dialog, IDC_DONT_SHOW_AGAIN);
        click(dialog, IDCANCEL);
    });
    EXPECT_EQ(FALSE, explorer::Confirm(settings, 0, nullptr));
    ASSERT_TRUE(tick_untick_tick_cancel.shown());
    EXPECT_EQ(0x101, after_tick);
    EXPECT_EQ(0x100, after_untick);
    EXPECT_EQ(0x101, stored());

    // The next request is accepted without a dialog.
    DialogDriver none([](HWND dialog) { click(dialog, IDCANCEL); }, 500);
    EXPECT_EQ(TRUE, explorer::Confirm(settings, 0, nullptr));
    EXPECT_FALSE(none.shown());
}

// A standard user's Explorer may read the machine's key but not write it: the choice is kept
// in the user's key, and a default the machine's key sets holds for every user.
TEST_F(BitSettingsTest, ChoiceOfAUserWhoMayNotWriteTheMachineKeySticks) {
    util::unique_hkey user, machine, locked;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root.get(), L"user", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, user.put(),
                                               nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root.get(), L"machine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                               machine.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(machine.get(), L"software\\Quibrix", 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, locked.put(), nullptr));
    const DWORD machine_default = 0x2;  // an administrator turned confirmation 1 off for everyone
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(locked.get(), L"BitSettings", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&machine_default), sizeof machine_default));
    // Everyone may read and delete the key, nobody may set its values: HKEY_LOCAL_MACHINE as a
    // standard user meets it. (Wine 8 ignores the security given to RegCreateKeyExW, but keeps
    // what RegSetKeySecurity sets and checks every open against it.)
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KRSD;;;WD)", SDDL_REVISION_1,
                                                                       &descriptor, nullptr));
    const util::unique_hlocal held(descriptor);
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeySecurity(locked.get(), DACL_SECURITY_INFORMATION, descriptor));
    locked.reset();
    util::unique_hkey refused;
    ASSERT_EQ(ERROR_ACCESS_DENIED, ::RegOpenKeyExW(machine.get(), L"software\\Quibrix", 0, KEY_SET_VALUE, refused.put()));

    const explorer::BitSettings choices(user.get(), machine.get(), L"software\\Quibrix");
    const auto value_in = [](HKEY where) -> long long {
        DWORD value = 0, size = sizeof(value);
        if (::RegGetValueW(where, L"software\\Quibrix", L"BitSettings", RRF_RT_REG_DWORD, nullptr, &value, &size) !=
            ERROR_SUCCESS) {
            return -1;
        }
        return value;
    };
    EXPECT_TRUE(choices.read_bit(1));
    EXPECT_FALSE(choices.read_bit(0));
    EXPECT_EQ(-1, value_in(user.get()));

    DialogDriver tick_and_cancel([](HWND dialog) {
        click(dialog, IDC_DONT_SHOW_AGAIN);
        click(dialog, IDCANCEL);
    });
    EXPECT_EQ(FALSE, explorer::Confirm(choices, 0, nullptr));
    ASSERT_TRUE(tick_and_cancel.shown());
    DialogDriver none([](HWND dialog) { click(dialog, IDCANCEL); }, 500);
    EXPECT_EQ(TRUE, explorer::Confirm(choices, 0, nullptr));
    EXPECT_FALSE(none.shown());
    EXPECT_EQ(1, value_in(user.get()));
    EXPECT_EQ(2, value_in(machine.get()));

    // The user's value leaves bit 1 clear, and clearing it there changes nothing: the machine's
    // default still holds. The user's choice holds only for this user.
    EXPECT_TRUE(choices.read_bit(1));
    choices.write_bit(1, false);
    EXPECT_TRUE(choices.read_bit(1));
    EXPECT_EQ(1, value_in(user.get()));
    util::unique_hkey other_user;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root.get(), L"other user", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                               other_user.put(), nullptr));
    const explorer::BitSettings others(other_user.get(), machine.get(), L"software\\Quibrix");
    EXPECT_FALSE(others.read_bit(0));
    EXPECT_TRUE(others.read_bit(1));
}
