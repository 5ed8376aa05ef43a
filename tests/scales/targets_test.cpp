// One scale spelt in different ways must meet in one history: otherwise a
// broken-off transfer under one spelling leaves the other showing a complete table.
#include "scales/Targets.h"

#include <gtest/gtest.h>

namespace {

TEST(ScaleKey, EverySpellingOfOneScaleIsOneKey) {
    using scales::ScaleKey;
    EXPECT_EQ(ScaleKey("serial:/tmp/scale@9600,8N1"), "serial:/tmp/scale");
    EXPECT_EQ(ScaleKey("serial:/tmp/scale@9600"), "serial:/tmp/scale");
    EXPECT_EQ(ScaleKey("serial:COM1"), "serial:/dev/ttyS0");
    EXPECT_EQ(ScaleKey("tcp:Scale-3.Shop:04001"), "tcp:scale-3.shop:4001");
    EXPECT_EQ(ScaleKey("udp:[::1]:4001"), "udp:[::1]:4001");
    EXPECT_NE(ScaleKey("tcp:127.0.0.1:4001"), ScaleKey("udp:127.0.0.1:4001"));
    EXPECT_EQ(ScaleKey("not a target"), "not a target");
}

} // namespace
