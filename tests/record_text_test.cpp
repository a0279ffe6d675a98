#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "NewsDB.h"

namespace {

const NewsItem kItem(1, "T", "x", 545, 5, 12, 2026, false, true);

}  // namespace

TEST(RecordReader, ConsumesNothingAfterTheClosingQuote) {
  std::istringstream in(R"("1">"0"> "x" "y)");
  uint32_t number = 0;
  EXPECT_TRUE(Serializable::DeserializeValue(in, number));
  EXPECT_EQ(in.rdbuf()->sgetc(), '>');
  std::vector<NewsItem> list = {kItem};
  EXPECT_TRUE(Serializable::DeserializeClassVector(in, list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(in.rdbuf()->sgetc(), '>');
  std::string value = "kept";
  EXPECT_TRUE(Serializable::DeserializeValue(in, value) && value == "x");
  EXPECT_FALSE(Serializable::DeserializeValue(in, value));  // no closing quote
  EXPECT_EQ(value, "x");
}

TEST(RecordReader, NeverReservesForTheClaimedCount) {
  std::istringstream in(R"("18446744073709551615" <"1")");
  std::vector<NewsItem> list;
  EXPECT_FALSE(Serializable::DeserializeClassVector(in, list));
  EXPECT_EQ(list.capacity(), 0u);
}
