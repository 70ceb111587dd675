#include "explorer/change_queue.h"

namespace explorer {

shared_pidl copy_pidl(LPCITEMIDLIST pidl) {
    if (!pidl) return shared_pidl();
    LPITEMIDLIST copy = ::ILClone(pidl);
    if (!copy) return shared_pidl();
    return shared_pidl(copy, [](LPITEMIDLIST p) { ::ILFree(p); });
}

ShellChangeQueue::ShellChangeQueue() : event_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

void ShellChangeQueue::append(const ShellChangeRecord& record) {
    {
        util::lock_guard lock(lock_);
        records_.push_back(record);
    }
    ::SetEvent(event_.get());
}

bool ShellChangeQueue::take(ShellChangeRecord& record) {
    util::lock_guard lock(lock_);
    if (records_.empty()) return false;
    record = records_.front();
    records_.pop_front();
    return true;
}

}  // namespace explorer
