#include "held_identity_looks.h"

#include "database/file_identity.h"

#include <atomic>

namespace {

// The observer is a plain function: what it needs lives here, for one object at a time.
DWORD g_owner = 0;
HANDLE g_held = nullptr;
HANDLE g_released = nullptr;
std::atomic<long> g_looks{0};

void observe() {
    ++g_looks;
    if (::GetCurrentThreadId() == g_owner) return;
    ::SetEvent(g_held);
    // Bounded, so that a test that fails before release() still ends.
    ::WaitForSingleObject(g_released, 60000);
}

}  // namespace

HeldIdentityLooks::HeldIdentityLooks() {
    g_owner = ::GetCurrentThreadId();
    g_held = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_released = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_looks = 0;
    items::observe_identity_looks(observe);
}

HeldIdentityLooks::~HeldIdentityLooks() {
    items::observe_identity_looks(nullptr);
    ::SetEvent(g_released);
    // A thread still inside observe() uses the events: they are left open, one pair per object.
}

bool HeldIdentityLooks::wait_held(DWORD timeout_ms) const {
    return ::WaitForSingleObject(g_held, timeout_ms) == WAIT_OBJECT_0;
}

void HeldIdentityLooks::release() {
    ::SetEvent(g_released);
}

long HeldIdentityLooks::looks() const {
    return g_looks.load();
}
