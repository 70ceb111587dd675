#include "explorer/bit_settings.h"

#include "resource.h"
#include "util/module.h"
#include "util/unique_resource.h"

namespace explorer {

namespace {

// Registry names are not case-sensitive: one spelling serves both roots.
const wchar_t product_key[] = L"Software\\Quibrix";
const wchar_t value_name[] = L"BitSettings";

DWORD read_value(HKEY key) {
    DWORD value = 0, type = 0, size = sizeof(value);
    if (::RegQueryValueExW(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value)) {
        return 0;
    }
    return value;
}

// 0 when the key or the value is missing or unreadable.
DWORD read_bits(HKEY root, const std::wstring& key_name) {
    util::unique_hkey key;
    if (::RegOpenKeyExW(root, key_name.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return 0;
    return read_value(key.get());
}

struct dialog_state {
    const BitSettings* settings;
    unsigned bit;
};

INT_PTR CALLBACK confirm_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG: {
        ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
        const dialog_state* state = reinterpret_cast<const dialog_state*>(lparam);
        const std::vector<std::wstring>& messages = confirmation_messages();
        if (state->bit < messages.size()) ::SetDlgItemTextW(dialog, IDC_CONFIRM_TEXT, messages[state->bit].c_str());
        return TRUE;
    }
    case WM_COMMAND: {
        const dialog_state* state = reinterpret_cast<const dialog_state*>(::GetWindowLongPtrW(dialog, DWLP_USER));
        switch (LOWORD(wparam)) {
        case IDC_DONT_SHOW_AGAIN:
            if (HIWORD(wparam) == BN_CLICKED) {
                state->settings->write_bit(state->bit, ::IsDlgButtonChecked(dialog, IDC_DONT_SHOW_AGAIN) == BST_CHECKED);
            }
            return TRUE;
        case IDOK:
            ::EndDialog(dialog, TRUE);
            return TRUE;
        case IDCANCEL:
            ::EndDialog(dialog, FALSE);
            return TRUE;
        }
        break;
    }
    }
    return FALSE;
}

}  // namespace

BitSettings::BitSettings(HKEY user_root, HKEY machine_root, const std::wstring& key)
    : user_root_(user_root), machine_root_(machine_root), key_(key) {}

BitSettings::BitSettings(HKEY root, const std::wstring& key) : BitSettings(root, root, key) {}

bool BitSettings::read_bit(unsigned bit) const {
    const DWORD mask = DWORD(1) << (bit % 32);
    if (read_bits(user_root_, key_) & mask) return true;
    return machine_root_ != user_root_ && (read_bits(machine_root_, key_) & mask) != 0;
}

void BitSettings::write_bit(unsigned bit, bool value) const {
    util::unique_hkey key;
    if (::RegCreateKeyExW(user_root_, key_.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                          key.put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    DWORD bits = read_value(key.get());
    const DWORD mask = DWORD(1) << (bit % 32);
    bits = value ? (bits | mask) : (bits & ~mask);
    ::RegSetValueExW(key.get(), value_name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&bits), sizeof(bits));
}

BitSettings& bit_settings() {
    static BitSettings* settings = new BitSettings(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, product_key);
    return *settings;
}

void set_bit_settings_roots(HKEY user_root, HKEY machine_root) {
    bit_settings() = BitSettings(user_root, machine_root, product_key);
}

const std::vector<std::wstring>& confirmation_messages() {
    static const std::vector<std::wstring>* messages = new std::vector<std::wstring>{
        L"All tags for selected files will be removed.\n \t\t\t\t\t\t\t\t\t\t\t\t\t\t   Are you shure ?",
    };
    return *messages;
}

BOOL Confirm(unsigned bit, HWND owner) {
    return Confirm(bit_settings(), bit, owner);
}

BOOL Confirm(const BitSettings& settings, unsigned bit, HWND owner) {
    if (settings.read_bit(bit)) return TRUE;
    dialog_state state = {&settings, bit};
    return ::DialogBoxParamW(util::module_instance(), MAKEINTRESOURCEW(IDD_CONFIRM), owner, confirm_proc,
                             reinterpret_cast<LPARAM>(&state)) == TRUE;
}

}  // namespace explorer
