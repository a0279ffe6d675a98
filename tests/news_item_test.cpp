#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

namespace {

void ExpectSameItem(const NewsItem& a, const NewsItem& b) {
  EXPECT_EQ(a.index, b.index);
  EXPECT_EQ(a.title, b.title);
  EXPECT_EQ(a.text, b.text);
  EXPECT_EQ(a.timeOfDay, b.timeOfDay);
  EXPECT_EQ(a.day, b.day);
  EXPECT_EQ(a.month, b.month);
  EXPECT_EQ(a.year, b.year);
  EXPECT_EQ(a.read, b.read);
  EXPECT_EQ(a.visible, b.visible);
}

}  // namespace

TEST(NewsItemText, WritesTheSampleRecordsByteForByte) {
  std::ostringstream stream;
  NewsItem(3, "Hello", "Room changed", 545, 5, 12, 2026, false, true).Serialize(stream);
  EXPECT_EQ(stream.str(), R"(<"3" "Hello" "Room changed" "545" "5" "12" "2026" "0" "1">)");

  std::string database = Serializable::BeginSerialization();
  Serializable::AddSerialization(database, uint32_t{2});
  Serializable::AddClassVectorSerialization(
      database,
      std::vector<NewsItem>{NewsItem(1, "Hello", "Say \"hi\"", 545, 5, 12, 2026, false, true)});
  Serializable::EndSerialization(database);
  EXPECT_EQ(database, R"(<"2" "1" <"1" "Hello" "Say \"hi\"" "545" "5" "12" "2026" "0" "1">>)");
}

TEST(NewsItemText, HostileStringsRoundTripThroughAFile) {
  TempDir dir;
  const std::string path = dir.File("item");
  const NewsItem written(-1, std::string("\"q\" \\ \0 \xc3\xa4\xff\r", 13),
                         "one\ntwo \"x\"\nthree\\", 1500, 31, 12, -44, true, false);
  ASSERT_TRUE(written.SerializeFile(path));
  const std::string bytes = ReadFile(path);
  EXPECT_EQ(bytes.front(), '<');
  EXPECT_EQ(bytes.back(), '>');
  EXPECT_NE(bytes.find("\"one\ntwo \\\"x\\\"\nthree\\\\\""), std::string::npos);

  std::ifstream in(path, std::ios::binary);
  NewsItem read(in);
  ASSERT_FALSE(read.DidConstructionFail());
  EXPECT_EQ(read.index, 4294967295u);
  ExpectSameItem(read, written);
}

TEST(NewsItemText, BadSeventhOrEighthValueFails) {
  std::istringstream letters(R"(<"3" "T" "x" "545" "5" "12" "year" "0" "1">)");
  NewsItem withLetters(letters);
  EXPECT_TRUE(withLetters.DidConstructionFail());
  EXPECT_EQ(withLetters.month, 12u);

  std::istringstream two(R"(<"3" "T" "x" "545" "5" "12" "2026" "2" "1">)");
  EXPECT_TRUE(NewsItem(two).DidConstructionFail());

  std::istringstream truncated(R"(<"3" "T" "x" "545")");
  EXPECT_TRUE(NewsItem(truncated).DidConstructionFail());
}

TEST(NewsItemText, ReadingStopsAfterNineValues) {
  std::istringstream in(R"(<"3" "T" "x" "545" "5" "12" "2026" "0" "1"> "tenth")");
  EXPECT_FALSE(NewsItem(in).DidConstructionFail());
  std::string tenth;
  EXPECT_TRUE(Serializable::DeserializeValue(in, tenth));
  EXPECT_EQ(tenth, "tenth");
}
