// The SIO checksum closes every frame; a wrong carry breaks every exchange with the computer.
#include <gtest/gtest.h>

#include "sio/checksum.h"

TEST(SioChecksum, KnownRuns) {
    EXPECT_EQ(sioChecksum(nullptr, 0), 0x00);
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(sioChecksum(abc, 3), 0x27);
    const std::uint8_t ff[] = {0xFF, 0xFF};
    EXPECT_EQ(sioChecksum(ff, 2), 0xFF) << "end-around carry, not a plain sum";
    const std::uint8_t frame[] = {0x31, 0x52, 0x01, 0x00};
    EXPECT_EQ(sioChecksum(frame, 4), 0x84);
    const std::uint8_t carries[] = {0x80, 0x80, 0x80};  // 0x100 -> 0x01, then 0x81
    EXPECT_EQ(sioChecksum(carries, 3), 0x81);
}
