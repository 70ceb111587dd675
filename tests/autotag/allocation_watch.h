// Watches the COM task allocator of the whole test program through an IMallocSpy, so that a
// test can prove that every block a plug-in handed over was freed exactly once.
#pragma once

#include <cstddef>

class AllocationWatch {
public:
    // Registers the spy on first use; it stays for the rest of the program.
    AllocationWatch();

    // Blocks allocated since this object was made and not freed yet.
    long leaked() const;
    // Frees of blocks that were not live (double frees or foreign pointers) since then; such
    // a free is swallowed so that the test can report it instead of corrupting the heap.
    long bad_frees() const;
    // Blocks allocated since this object was made.
    long allocations() const;

private:
    long live_at_start_;
    long bad_at_start_;
    long allocated_at_start_;
};
