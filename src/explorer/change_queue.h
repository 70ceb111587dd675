// The shell's change notifications as the interception hands them to the tracking worker.
#pragma once

#include "util/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

#include <boost/shared_ptr.hpp>

#include <deque>

namespace explorer {

typedef boost::shared_ptr<ITEMIDLIST> shared_pidl;

// An owned copy of an item list given by a caller of SHChangeNotify; empty for null.
shared_pidl copy_pidl(LPCITEMIDLIST pidl);

struct ShellChangeRecord {
    LONG event = 0;
    shared_pidl first;
    shared_pidl second;
};

// First in, first out, under a lock of its own; the auto-reset event is signalled after each
// append, so the worker wakes once per batch.
class ShellChangeQueue {
public:
    ShellChangeQueue();
    ShellChangeQueue(const ShellChangeQueue&) = delete;
    ShellChangeQueue& operator=(const ShellChangeQueue&) = delete;

    void append(const ShellChangeRecord& record);
    // Takes the front record; false when the queue is empty.
    bool take(ShellChangeRecord& record);
    HANDLE event() const { return event_.get(); }

private:
    util::critical_section lock_;
    std::deque<ShellChangeRecord> records_;
    util::unique_handle event_;
};

}  // namespace explorer
