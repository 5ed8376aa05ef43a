#include "settings/Settings.h"

#include <gtest/gtest.h>

namespace {

TEST(TextToIntDef, ParsesWholeTextsOnlyWithinThe32BitRange) {
    struct Case {
        const char* Text;
        std::int32_t Want;
    };
    const Case cases[] = {
        {"0", 0},
        {"42", 42},
        {"-42", -42},
        {"+7", 7},
        {"   12", 12},
        {"007", 7},
        {"$1F", 31},
        {"x1f", 31},
        {"X10", 16},
        {"0x10", 16},
        {"0XaB", 171},
        {"-$10", -16},
        {"-0x10", -16},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        // Everything else falls back to the default.
        {"", -1},
        {"   ", -1},
        {"-", -1},
        {"+", -1},
        {"$", -1},
        {"0x", -1},
        {"x", -1},
        {"12 ", -1},
        {"\t12", -1},
        {"1 2", -1},
        {"12a", -1},
        {"$1G", -1},
        {"--1", -1},
        {"+-1", -1},
        {"- 1", -1},
        {"1.5", -1},
        {"2147483648", -1},
        {"-2147483649", -1},
        {"99999999999999999999", -1},
        {"$100000000", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TextToIntDef(c.Text, -1), c.Want) << '"' << c.Text << '"';
    EXPECT_EQ(TextToIntDef("abc", 1001), 1001);
}

} // namespace

TEST(TextToIntDef, HexOutsideTheSigned32BitRangeGivesTheDefault) {
    EXPECT_EQ(TextToIntDef("$7FFFFFFF", 5), 2147483647);
    EXPECT_EQ(TextToIntDef("$80000000", 5), 5);
    EXPECT_EQ(TextToIntDef("0xFFFFFFFF", 5), 5);
    EXPECT_EQ(TextToIntDef("-$80000000", 5), INT32_MIN);
}
