#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

namespace {

const NewsItem kItem(1, "T", "x", 545, 5, 12, 2026, false, true);

// A record holding messages, each written as two elements of one list: the first opens the
// message's record, the second writes its values and closes it. A save sees whether its text has
// grown into a full piece after each element of a list, so here a piece can end right after an
// opening marker, which a list of whole records never lets happen.
class SplitRecords final : public Serializable {
 public:
  struct Part {
    const NewsItem* item;  // whose values and closing marker this part writes; null: the opening

    void Serialize(std::string& out) const {
      if (item == nullptr) {
        out += " <";  // never the first item: the list's count stands before it
      } else {
        item->SerializeValues(out);
        out += '>';
      }
    }
  };

  explicit SplitRecords(const std::vector<NewsItem>& items) {
    for (const NewsItem& item : items) {
      parts.push_back({nullptr});
      parts.push_back({&item});
    }
  }
  void SerializeValues(std::string& out) const override { AddClassVectorSerialization(out, parts); }
  bool DeserializeValues(std::istream&) override { return false; }

  std::vector<Part> parts;
};

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
  EXPECT_TRUE(Serializable::DeserializeValue(in, value));
  EXPECT_EQ(value, "x");
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
    EXPECT_TRUE(Serializable::DeserializeValue(fits, number));
    EXPECT_EQ(number, 17u);
    EXPECT_TRUE(Serializable::DeserializeValue(fits, flag));
    EXPECT_TRUE(flag);
    for (const std::string& digits : {zeros + "017", std::string(64 << 20, '1')}) {
      PieceBuffer tooLong("\"" + digits + "\"", piece);
      std::istream in(&tooLong);
      EXPECT_FALSE(Serializable::DeserializeValue(in, number));
      EXPECT_LE(tooLong.handedOut, 65536u + 66);
    }
  }
  std::string text;
  std::istringstream in("\"" + std::string(1 << 20, '1') + "\"");
  EXPECT_TRUE(Serializable::DeserializeValue(in, text));
  EXPECT_EQ(text.size(), size_t{1} << 20);
}

// Whether a value or record takes a blank before it follows from the text before it alone, also
// where a save has handed that text to the file in pieces: a piece ending right after a record's
// opening marker, or inside a record whose text then grows back to the size it had at its opening
// marker, changes no byte of what Serialize writes.
TEST(RecordWriter, PiecesOfASaveChangeNoBlank) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  constexpr size_t kPiece = 1 << 20;  // the size at which a save hands its text to the file
  bool endedAtMarker = false;
  // The text holds 14 bytes before the first message's body and 29 after it, then the second
  // message's blank and opening marker: with a body 45 or 44 bytes short of a piece, a piece ends
  // right after that marker.
  for (size_t shift = 0; shift < 8; ++shift) {
    const std::vector<NewsItem> items = {
        NewsItem(1, "", std::string(kPiece - 49 + shift, 'x'), 1, 1, 1, 2026, false, true),
        NewsItem(2, "t", "", 1, 1, 1, 2026, false, true)};
    const SplitRecords split(items);
    const std::string text = TextOf(split);
    endedAtMarker = endedAtMarker || text.compare(kPiece - 2, 2, " <") == 0;
    ASSERT_TRUE(split.SerializeFile(path));
    EXPECT_EQ(ReadFile(path), text) << "the body " << kPiece - 49 + shift << " bytes long";
  }
  EXPECT_TRUE(endedAtMarker);
  // The message's opening marker ends 10 bytes into the text; a title of a piece and 9 bytes more
  // leaves 10 bytes of text, its closing quote the last, after its first piece.
  for (size_t shift = 0; shift < 16; ++shift) {
    NewsDB db;
    db.items = {NewsItem(1, std::string(kPiece + shift, 't'), "", 1, 1, 1, 2026, false, true)};
    ASSERT_TRUE(db.SerializeFile(path));
    EXPECT_EQ(ReadFile(path), TextOf(db)) << "the title " << kPiece + shift << " bytes long";
  }
}
