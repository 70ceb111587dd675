// The hashes of the store's files and lock names: their values are part of those formats.
#include "util/hashes.h"

#include <gtest/gtest.h>

TEST(Hashes, ValuesThatStoredFilesAndLockNamesRelyOn) {
    // FNV-1a's published values; a text goes a UTF-16 unit at a time, not byte by byte.
    EXPECT_EQ(0xE40C292Cu, util::fnv1a_32(L"a"));
    EXPECT_EQ(0xBF9CF968u, util::fnv1a_32(L"foobar"));
    EXPECT_EQ(0x050ACA1Fu, util::fnv1a_32(L"\x0100"));
    EXPECT_EQ(0xAF63DC4C8601EC8Cull, util::fnv1a_64(L"a"));
    EXPECT_EQ(0x85944171F73967E8ull, util::fnv1a_64(L"foobar"));
    const unsigned char foobar[] = {'f', 'o', 'o', 'b', 'a', 'r'};
    EXPECT_EQ(0xBF9CF968u, util::fnv1a_32(foobar, 6));
    EXPECT_EQ(0xBF9CF968u, util::fnv1a_32(foobar + 3, 3, util::fnv1a_32(foobar, 3)));

    // The snapshot's checksum over whole words and a tail.
    const unsigned char block[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(0x8A8EB44A3F742329ull, util::block_checksum(block, sizeof block));
    EXPECT_EQ(0x9E3779BD8EF1B1DEull, util::block_checksum(block, 0));
}
