// What the processes that share one data folder (every Explorer of every signed-in user, and
// the command-line tool) use to keep its files whole: one lock, named after the folder, around
// every write, and a change counter beside the maps that each writer moves on before it writes,
// so that the others know their memory is out of date.
#pragma once

#include "util/unique_resource.h"

#include <cstdint>
#include <string>

namespace items {

class store_lock {
public:
    // The counter when no process has written yet, and when the counter cannot be read now.
    static const std::uint64_t no_counter = 0;
    static const std::uint64_t unreadable = ~0ull;

    // For the data folder (with its trailing backslash); the lock object is made at the first
    // acquire, with the store's security, so that other users' processes can open it too.
    void set_folder(const std::wstring& data_folder);

    // Waits for the lock (a thread that holds it may take it again). True when its last owner
    // ended without letting it go: a write of that process may have been cut short. Throws
    // store_error when the lock cannot be made.
    bool acquire();
    void release();

    // The counter as it is on disk; readable without the lock.
    std::uint64_t counter() const;
    // Under the lock: moves the counter on and returns its new value. Throws store_error when
    // it cannot be written: a change the others would not hear of must not be made.
    std::uint64_t advance();

private:
    std::wstring name_;
    std::wstring counter_path_;
    util::unique_handle mutex_;
};

}  // namespace items
