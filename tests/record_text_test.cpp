#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Serializable.h"

namespace {

// A record of a number and a string.
struct Pair : Serializable {
  Pair(uint32_t n, std::string s) : number(n), name(std::move(s)) {}
  explicit Pair(std::istream& in) { constructionOk = Deserialize(in); }
  void SerializeValues(std::string& out) const override {
    AddSerialization(out, number);
    AddSerialization(out, name);
  }
  bool DeserializeValues(std::istream& in) override {
    return DeserializeValue(in, number) && DeserializeValue(in, name);
  }
  uint32_t number = 0;
  std::string name;
};

// A record of a number and a list of pairs.
struct Group : Serializable {
  void SerializeValues(std::string& out) const override {
    AddSerialization(out, id);
    AddClassVectorSerialization(out, pairs);
  }
  bool DeserializeValues(std::istream& in) override {
    return DeserializeValue(in, id) && DeserializeClassVector(in, pairs);
  }
  uint32_t id = 0;
  std::vector<Pair> pairs;
};

struct Empty : Serializable {
  void SerializeValues(std::string&) const override {}
  bool DeserializeValues(std::istream&) override { return true; }
};

}  // namespace

TEST(RecordWriter, EscapesOnlyQuotesAndBackslashes) {
  std::string out = "<";
  Serializable::AddSerialization(out, std::string("a\"b\\c"));
  EXPECT_EQ(out, "<\"a\\\"b\\\\c\"");
  out = "<";
  Serializable::AddSerialization(out, std::string("\n\t\xff"));
  EXPECT_EQ(out, "<\"\n\t\xff\"");
}

TEST(RecordWriter, SeparatesItemsWithOneBlankExceptAfterOpeningMarker) {
  std::string out = "<";
  Serializable::AddSerialization(out, std::string());
  EXPECT_EQ(out, "<\"\"");
  Serializable::AddSerialization(out, true);
  EXPECT_EQ(out, "<\"\" \"1\"");
  out.clear();
  Serializable::AddSerialization(out, std::string());
  EXPECT_EQ(out, " \"\"");
}

TEST(RecordWriter, NestsRecordsAndLists) {
  Group group;
  group.id = 7;
  std::ostringstream stream;
  group.Serialize(stream);
  group.pairs = {Pair(1, "a"), Pair(2, "")};
  group.Serialize(stream);
  Empty().Serialize(stream);
  EXPECT_EQ(stream.str(), "<\"7\" \"0\"><\"7\" \"2\" <\"1\" \"a\"> <\"2\" \"\">><>");
  std::string out = "<";
  Empty().Serialize(out);
  Empty().Serialize(out);
  EXPECT_EQ(out, "<<> <>");
}

TEST(RecordReader, SkipsEverythingUpToTheNextQuote) {
  for (const char* text :
       {"<\"12\">", "\"12\"", "xyz \"12\" trailing", "\\\"12\"", ">\n\t<\"12\""}) {
    std::istringstream in(text);
    uint32_t value = 0;
    EXPECT_TRUE(Serializable::DeserializeValue(in, value)) << text;
    EXPECT_EQ(value, 12u) << text;
  }
}

TEST(RecordReader, BackslashTakesTheNextByteLiterally) {
  std::istringstream in("\"a\\nb\" \"q\\\"\\\\\" \"\\\n\"");
  std::string first, second, third;
  EXPECT_TRUE(Serializable::DeserializeValue(in, first));
  EXPECT_TRUE(Serializable::DeserializeValue(in, second));
  EXPECT_TRUE(Serializable::DeserializeValue(in, third));
  EXPECT_EQ(first, "anb");
  EXPECT_EQ(second, "q\"\\");
  EXPECT_EQ(third, "\n");
}

TEST(RecordReader, StopsRightAfterTheClosingQuote) {
  std::istringstream in("\"1\">rest");
  uint32_t value = 0;
  ASSERT_TRUE(Serializable::DeserializeValue(in, value));
  std::string rest;
  in >> rest;
  EXPECT_EQ(rest, ">rest");
}

TEST(RecordReader, EarlyEndFailsAndLeavesTheTargetUnchanged) {
  for (const char* text : {"", "no quote", "\"abc", "\"ab\\", "\""}) {
    std::istringstream in(text);
    std::string target = "kept";
    EXPECT_FALSE(Serializable::DeserializeValue(in, target)) << text;
    EXPECT_EQ(target, "kept");
  }
  std::istringstream letters("\"12\" \"x\"");
  uint32_t number = 0;
  EXPECT_TRUE(Serializable::DeserializeValue(letters, number));
  EXPECT_FALSE(Serializable::DeserializeValue(letters, number));
}

TEST(RecordReader, FailedRecordKeepsTheValuesReadBeforeTheFailure) {
  std::istringstream in("<\"5\" \"unterminated");
  Pair pair(in);
  EXPECT_TRUE(pair.DidConstructionFail());
  EXPECT_EQ(pair.number, 5u);
  std::istringstream missingMarkers("<\"5\" \"x\"");
  EXPECT_FALSE(Pair(missingMarkers).DidConstructionFail());
}

TEST(RecordLists, EmptyListLeavesTheStreamAfterTheCount) {
  std::istringstream in("<\"7\" \"0\"> \"9\"");
  Group group;
  group.pairs = {Pair(1, "old")};
  ASSERT_TRUE(group.Deserialize(in));
  EXPECT_TRUE(group.pairs.empty());
  uint32_t next = 0;
  EXPECT_TRUE(Serializable::DeserializeValue(in, next));
  EXPECT_EQ(next, 9u);
}

TEST(RecordLists, FailingElementKeepsTheElementsBeforeIt) {
  std::istringstream in(
      "\"5\" <\"1\" \"a\"> <\"2\" \"b\"> <\"x\" \"c\"> <\"4\" \"d\"> <\"5\" \"e\">");
  std::vector<Pair> list;
  EXPECT_FALSE(Serializable::DeserializeClassVector(in, list));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].name, "b");

  std::istringstream badCount("\"-\"");
  EXPECT_FALSE(Serializable::DeserializeClassVector(badCount, list));
  EXPECT_EQ(list.size(), 2u);
}

TEST(RecordLists, HugeCountWithoutElementsFailsWithoutAllocating) {
  std::istringstream in("\"18446744073709551615\" <\"1\" \"a\">");
  std::vector<Pair> list;
  EXPECT_FALSE(Serializable::DeserializeClassVector(in, list));
  EXPECT_EQ(list.size(), 1u);
  EXPECT_LT(list.capacity(), 16u);
}
