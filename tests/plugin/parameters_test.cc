#include "plugin/parameters.h"

#include <gtest/gtest.h>

namespace qrv::plugin {
namespace {

TEST(ParseIntTest, ReadsLikeAStreamAndStopsAtTheFirstNonDigit) {
  EXPECT_EQ(ParseInt("18"), 18);
  EXPECT_EQ(ParseInt(" \t\n18"), 18);
  EXPECT_EQ(ParseInt("18abc"), 18);
  EXPECT_EQ(ParseInt("18 19"), 18);
  EXPECT_EQ(ParseInt("+7"), 7);
  EXPECT_EQ(ParseInt("-3"), -3);
  EXPECT_EQ(ParseInt("0x1F"), 0);
  EXPECT_EQ(ParseInt("007"), 7);
  EXPECT_EQ(ParseInt("2147483647"), 2147483647);
  EXPECT_EQ(ParseInt("-2147483648"), INT32_MIN);
}

TEST(ParseIntTest, TextWithoutANumberGivesNoValue) {
  for (const char* text : {"", "   ", "abc", "-", "+", " - 1", "x18", "2147483648", "-2147483649",
                           "99999999999999999999999999"}) {
    EXPECT_FALSE(ParseInt(text).has_value()) << '"' << text << '"';
    EXPECT_FALSE(ParseLong(text).has_value()) << '"' << text << '"';
  }
}

TEST(ParseULongTest, NegatesModulo2To32AndRefusesMoreThan32Bits) {
  EXPECT_EQ(ParseULong("-1"), 4294967295u);
  EXPECT_EQ(ParseULong("4294967295"), 4294967295u);
  EXPECT_EQ(ParseULong("-4294967295"), 1u);
  EXPECT_EQ(ParseULong(" 123456x"), 123456u);
  EXPECT_FALSE(ParseULong("4294967296").has_value());
  EXPECT_FALSE(ParseULong("-4294967296").has_value());
  EXPECT_FALSE(ParseULong("").has_value());
}

}  // namespace
}  // namespace qrv::plugin
