// "BitSettings": a REG_DWORD whose bit N, when set, means "do not show confirmation N again,
// take it as accepted". The user's choices live under HKEY_CURRENT_USER\Software\Quibrix; a
// value under HKEY_LOCAL_MACHINE\software\Quibrix is a default for every user of the machine,
// which an administrator or the installer may set.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace explorer {

// A bit reads as set when the user's value or the machine's sets it. A user's value only ever
// adds choices: a bit it leaves clear was never chosen (the dialog that writes it is shown
// only while the bit reads clear), so the machine's default decides that bit. Writes go to the
// user's value alone: a standard user may not write HKEY_LOCAL_MACHINE, and a 64-bit Explorer
// gets no registry virtualization that would redirect the write.
class BitSettings {
public:
    // `key` below `user_root` and below `machine_root`; tests give roots of their own.
    BitSettings(HKEY user_root, HKEY machine_root, const std::wstring& key);
    // One key that is read and written, standing for both.
    BitSettings(HKEY root, const std::wstring& key);

    // A missing key or value, or any failure, counts as a clear bit. N is taken modulo 32.
    bool read_bit(unsigned bit) const;
    // Sets or clears bit N of the user's value and keeps its other bits; failures are ignored.
    void write_bit(unsigned bit, bool value) const;

    HKEY user_root() const { return user_root_; }
    HKEY machine_root() const { return machine_root_; }

private:
    HKEY user_root_;
    HKEY machine_root_;
    std::wstring key_;
};

// The process's settings: HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE, unless start-up was
// given other roots.
BitSettings& bit_settings();
void set_bit_settings_roots(HKEY user_root, HKEY machine_root);

// The confirmation messages, indexed by bit number.
const std::vector<std::wstring>& confirmation_messages();

// TRUE at once when bit N is set; otherwise shows the confirmation dialog with message N, modal
// to `owner`, and answers TRUE for OK, FALSE for Cancel. Ticking "Don't show this dialog again"
// writes bit N at once, whichever button ends the dialog.
BOOL Confirm(unsigned bit, HWND owner);
BOOL Confirm(const BitSettings& settings, unsigned bit, HWND owner);

}  // namespace explorer
