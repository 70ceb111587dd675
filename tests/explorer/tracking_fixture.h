// Real files in a folder of their own, a database over another, and a tracker fed by real
// SHChangeNotify calls with item lists of those files, received through its registration.
#pragma once

#include "explorer/change_tracking.h"
#include "store_fixture.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// Polls `done` for up to `timeout_ms`; true as soon as it holds.
bool eventually(const std::function<bool()>& done, DWORD timeout_ms = 5000);

util::unique_pidl pidl_of(const std::wstring& path);
void make_file(const std::wstring& path);

// A window of its own registered with SHChangeNotifyRegister: proof that a notification
// reached the shell's own delivery, i.e. that the original SHChangeNotify did its work.
class NotificationListener {
public:
    explicit NotificationListener(const std::wstring& folder);
    ~NotificationListener();
    unsigned long count() const { return count_; }
    LONG last_event() const { return last_event_; }

private:
    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void run(const std::wstring& folder);

    std::atomic<unsigned long> count_{0};
    std::atomic<LONG> last_event_{0};
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> ready_{false};
    std::thread thread_;
};

class TrackingTest : public StoreTest {
protected:
    static const DWORD quiet_ms = 300;

    void start(DWORD quiet = quiet_ms) {
        tracker.reset(new explorer::ShellChangeTracker(*db, quiet));
        ASSERT_TRUE(tracker->start());
    }
    void notify(LONG event, const util::unique_pidl& first, const util::unique_pidl& second = util::unique_pidl()) {
        ::SHChangeNotify(event, SHCNF_IDLIST, first.get(), second.get());
    }
    // Waits until the tracker has dealt with `records` notifications in all.
    void wait_handled(unsigned long records) {
        ASSERT_TRUE(eventually([&] { return tracker->handled() >= records; }))
            << "handled " << tracker->handled() << " of " << records;
    }
    // The identities of files just tagged are read in the background, with each file or its
    // folder open meanwhile: a test that deletes them waits for that first.
    void give(const std::vector<std::wstring>& paths, const std::vector<std::wstring>& chains) {
        StoreTest::give(paths, chains);
        ASSERT_TRUE(db->wait_relinked(10000));
    }
    bool tagged(const std::wstring& path) { return !tags_of(path).empty(); }
    std::wstring file(const std::wstring& relative) const { return files.path() + relative; }

    TempFolder files;
    std::unique_ptr<explorer::ShellChangeTracker> tracker;
};
