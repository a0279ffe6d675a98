#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

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

// A buffer that claims to hold more bytes than any list could take, as a sparse file of
// exabytes does.
class Bottomless : public PieceBuffer {
 public:
  using PieceBuffer::PieceBuffer;

 protected:
  std::streamsize showmanyc() override { return std::numeric_limits<std::streamsize>::max(); }
};

TEST(RecordReader, NeverReservesForTheClaimedCount) {
  std::istringstream in(R"("18446744073709551615" <"1")");
  std::vector<NewsItem> list;
  EXPECT_FALSE(Serializable::DeserializeClassVector(in, list));
  EXPECT_EQ(list.capacity(), 0u);
  // Nor for what the input claims to hold: the load fails as any other, nothing escapes it.
  // (AddressSanitizer ends a program that asks for so much rather than let it fail.)
  if (!kAddressSanitizer) {
    Bottomless claims(R"(<"1" "4611686018427387904" <"1" "T")", 65536);
    std::istream huge(&claims);
    EXPECT_TRUE(NewsDB(huge).DidConstructionFail());
  }
}

// A number's value longer than any number can be (64 bytes, room for blanks and leading zeros)
// fails as soon as that shows, without the rest of it being read; a string's may be any length.
TEST(RecordReader, ANumberLongerThanAnyNumberFailsUnread) {
  const std::string zeros(62, '0');
  for (const size_t piece : {0, 1, 65536}) {
    uint32_t number = 0;
    bool flag = false;
    PieceBuffer longest("\"" + zeros + "17\" \" " + zeros + "1\"", piece);
    std::istream fits(&longest);
    EXPECT_TRUE(Serializable::DeserializeValue(fits, number) && number == 17);
    EXPECT_TRUE(Serializable::DeserializeValue(fits, flag) && flag);
    for (const std::string& digits : {zeros + "017", std::string(64 << 20, '1')}) {
      PieceBuffer tooLong("\"" + digits + "\"", piece);
      std::istream in(&tooLong);
      EXPECT_FALSE(Serializable::DeserializeValue(in, number));
      EXPECT_LE(tooLong.handedOut, 65536u + 66);
    }
  }
  std::string text;
  std::istringstream in("\"" + std::string(1 << 20, '1') + "\"");
  EXPECT_TRUE(Serializable::DeserializeValue(in, text) && text.size() == 1u << 20);
}
