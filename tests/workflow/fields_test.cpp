#include <gtest/gtest.h>

#include <string>

#include "workflow/fields.hpp"

TEST(DecimalField, AcceptsOneNumberWithBlanks)
{
    double v = 0.0;
    EXPECT_TRUE(parse_decimal("12.5", v));
    EXPECT_EQ(v, 12.5);
    EXPECT_TRUE(parse_decimal("  12.5  ", v));
    EXPECT_EQ(v, 12.5);
    EXPECT_TRUE(parse_decimal("-1e3", v));
    EXPECT_EQ(v, -1000.0);
}

TEST(DecimalField, RefusesWordsBlanksAndEmpty)
{
    double v = 7.0;
    for (const char* text : {"12.5 deg", "12.5deg", "deg", "   ", "", "1 2"}) {
        EXPECT_FALSE(parse_decimal(text, v)) << text;
        EXPECT_EQ(v, 7.0) << text;
    }
}

TEST(DecimalField, ReadsAtMostSeventyNineCharacters)
{
    double v = 0.0;
    // The word after the 79th character is never seen.
    EXPECT_TRUE(parse_decimal("5" + std::string(78, ' ') + "x", v));
    EXPECT_FALSE(parse_decimal("5" + std::string(77, ' ') + "x", v));
}

TEST(WholeNumberField, SignedDecimalOnly)
{
    int v = 0;
    EXPECT_TRUE(parse_whole_number("3", v));
    EXPECT_EQ(v, 3);
    EXPECT_TRUE(parse_whole_number("  -12", v));
    EXPECT_EQ(v, -12);
    EXPECT_TRUE(parse_whole_number("+7", v));
    EXPECT_EQ(v, 7);
    v = 99;
    for (const char* text : {"", " ", "3x", "x3", "3.0", "+", "3 4", "99999999999"}) {
        EXPECT_FALSE(parse_whole_number(text, v)) << text;
        EXPECT_EQ(v, 99) << text;
    }
}
