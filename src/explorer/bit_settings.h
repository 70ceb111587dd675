// "BitSettings": a REG_DWORD whose bit N, when set, means "do not show confirmation N again,
// take it as accepted". The product keeps it under HKEY_LOCAL_MACHINE\software\Quibrix.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace explorer {

class BitSettings {
public:
    // `root` and `key` name where the value lives; tests use a key of their own.
    BitSettings(HKEY root, const std::wstring& key);

    // A missing key or value, or any failure, counts as a clear bit. N is taken modulo 32.
    bool read_bit(unsigned bit) const;
    // Sets or clears bit N and keeps the others; failures are ignored.
    void write_bit(unsigned bit, bool value) const;

    HKEY root() const { return root_; }

private:
    HKEY root_;
    std::wstring key_;
};

// The process's settings: HKEY_LOCAL_MACHINE\software\Quibrix unless start-up was given another
// root.
BitSettings& bit_settings();
void set_bit_settings_root(HKEY root);

// The confirmation messages, indexed by bit number.
const std::vector<std::wstring>& confirmation_messages();

// TRUE at once when bit N is set; otherwise shows the confirmation dialog with message N, modal
// to `owner`, and answers TRUE for OK, FALSE for Cancel. Ticking "Don't show this dialog again"
// writes bit N at once, whichever button ends the dialog.
BOOL Confirm(unsigned bit, HWND owner);
BOOL Confirm(const BitSettings& settings, unsigned bit, HWND owner);

}  // namespace explorer
