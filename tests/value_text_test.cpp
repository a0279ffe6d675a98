#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "Serializable.h"

TEST(ValueText, WritesPlainDecimalAndBooleanDigits) {
  EXPECT_EQ(ToString(true), "1");
  EXPECT_EQ(ToString(false), "0");
  EXPECT_EQ(ToString(uint32_t{4294967295u}), "4294967295");
  EXPECT_EQ(ToString(int32_t{-2147483647 - 1}), "-2147483648");
  EXPECT_EQ(ToString(uint64_t{18446744073709551615u}), "18446744073709551615");
  EXPECT_EQ(ToString(std::string("a\"b\n\\")), "a\"b\n\\");
}

TEST(ValueText, ReadsNumbersByStreamExtractionRules) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t value;
  };
  for (const Case& c :
       {Case{" 42", true, 42}, Case{"\n7x", true, 7}, Case{"4294967295", true, 4294967295u},
        Case{"", false, 0}, Case{"abc", false, 0}, Case{"4294967296", false, 0},
        Case{"x1", false, 0}}) {
    uint32_t target = 0;
    EXPECT_EQ(FromString(target, c.text, std::dec), c.ok) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_EQ(target, c.value) << c.text;
    }
  }
  int32_t year = 0;
  EXPECT_TRUE(FromString(year, "-12", std::dec));
  EXPECT_EQ(year, -12);
  EXPECT_FALSE(FromString(year, "2147483648", std::dec));
  uint64_t count = 0;
  EXPECT_FALSE(FromString(count, "18446744073709551616", std::dec));
}

TEST(ValueText, BooleanAcceptsOnlyZeroAndOne) {
  bool flag = false;
  EXPECT_TRUE(FromString(flag, "1", std::dec));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(FromString(flag, "0", std::dec));
  EXPECT_FALSE(flag);
  EXPECT_FALSE(FromString(flag, "true", std::dec));
  EXPECT_FALSE(FromString(flag, "2", std::dec));
}

TEST(ValueText, StringIsCopiedUnchanged) {
  std::string target = "old";
  EXPECT_TRUE(FromString(target, std::string("line\n\"quoted\"\0", 15), std::dec));
  EXPECT_EQ(target, std::string("line\n\"quoted\"\0", 15));
}
