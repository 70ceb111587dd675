// Holds the identity reader's looks at the disk back, as a slow disk or an offline share
// would, for the life of the object: every thread but the one that made it waits at each
// look until release(). Every look is counted.
#pragma once

#include <windows.h>

class HeldIdentityLooks {
public:
    HeldIdentityLooks();
    ~HeldIdentityLooks();
    HeldIdentityLooks(const HeldIdentityLooks&) = delete;
    HeldIdentityLooks& operator=(const HeldIdentityLooks&) = delete;

    // True once another thread is held at a look (within `timeout_ms`).
    bool wait_held(DWORD timeout_ms) const;
    void release();
    long looks() const;
};
