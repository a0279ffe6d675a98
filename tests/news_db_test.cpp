#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "NewsDB.h"
#include "test_support.h"

namespace {

NewsItem Item(uint32_t index, bool visible, bool read = false, const std::string& title = "t") {
  return NewsItem(static_cast<int32_t>(index), title, "text", 545, 5, 12, 2026, read, visible);
}

// A database holding the given items in that order, as stored (flags kept).
NewsDB Holding(std::initializer_list<NewsItem> items, uint32_t lastIndex = 0) {
  NewsDB db;
  db.items = items;
  db.lastIndex = lastIndex;
  return db;
}

std::string Text(const NewsDB& db) {
  std::ostringstream out;
  db.Serialize(out);
  return out.str();
}

}  // namespace

TEST(NewsDBViews, NewDatabaseIsEmptyAndNumbersFromOne) {
  NewsDB db;
  EXPECT_EQ(db.CountAll(), 0u);
  EXPECT_EQ(db.Count(), 0u);
  EXPECT_EQ(db.UnreadCount(), 0u);
  EXPECT_EQ(db.GetVisibleIndex(0), -1);
  EXPECT_FALSE(db.DidConstructionFail());
  EXPECT_EQ(db.GetIndex(), 1u);
  EXPECT_EQ(db.GetIndex(), 2u);
  db.lastIndex = 4294967295u;
  EXPECT_EQ(db.GetIndex(), 0u);
}

TEST(NewsDBViews, AllAndVisibleViewsDiffer) {
  NewsDB db = Holding({Item(1, true, true), Item(2, false), Item(3, true), Item(4, false)});
  EXPECT_EQ(db.CountAll(), 4u);
  EXPECT_EQ(db.Count(), 2u);
  EXPECT_EQ(db.UnreadCount(), 1u);
  EXPECT_EQ(db.GetVisibleIndex(0), 0);
  EXPECT_EQ(db.GetVisibleIndex(1), 2);
  EXPECT_EQ(db.GetVisibleIndex(2), -1);
  EXPECT_EQ(db.GetNewsItemAll(3).index, 4u);
}

TEST(NewsDBChanges, AddStoresAnUnreadCopy) {
  NewsDB db;
  const NewsItem item = Item(9, true, true);
  db.AddNewsItem(item);
  EXPECT_TRUE(item.read);
  EXPECT_FALSE(db.GetNewsItemAll(0).read);
  EXPECT_EQ(db.lastIndex, 0u);
}

TEST(NewsDBChanges, RemovesByVisiblePositionAndByIndex) {
  NewsDB db = Holding({Item(1, true), Item(2, false), Item(3, true)});
  db.RemoveNewsItemWithPos(2);  // no such visible position
  db.RemoveNewsItemWithPos(~uint64_t{0});
  EXPECT_EQ(db.CountAll(), 3u);
  db.RemoveNewsItemWithPos(1);
  ASSERT_EQ(db.CountAll(), 2u);
  EXPECT_EQ(db.GetNewsItemAll(1).index, 2u);

  db = Holding({Item(1, true), Item(2, false), Item(2, true), Item(3, true)});
  db.RemoveNewsItemWithIndex(7);
  EXPECT_EQ(db.CountAll(), 4u);
  db.RemoveNewsItemWithIndex(2);
  ASSERT_EQ(db.CountAll(), 3u);
  EXPECT_TRUE(db.GetNewsItemAll(1).visible);  // the later item with index 2 stays
  EXPECT_EQ(db.GetNewsItemAll(2).index, 3u);
}

TEST(NewsDBMerge, AddsOnlyNewIndexesOnceAndRaisesTheCounter) {
  NewsDB db = Holding({Item(1, true, false, "mine")}, 3);
  const NewsDB other = Holding({Item(1, true, true, "theirs"), Item(2, true, true, "first"),
                                Item(2, false, false, "second"), Item(9, false, true)});
  const std::string otherBefore = Text(other);
  EXPECT_TRUE(db.Import(other));
  ASSERT_EQ(db.CountAll(), 3u);
  EXPECT_EQ(db.GetNewsItemAll(0).title, "mine");
  EXPECT_EQ(db.GetNewsItemAll(1).title, "first");
  EXPECT_FALSE(db.GetNewsItemAll(1).read);
  EXPECT_FALSE(db.GetNewsItemAll(2).visible);
  EXPECT_EQ(Text(other), otherBefore);
  EXPECT_EQ(db.GetIndex(), 10u);

  EXPECT_FALSE(db.Import(other));
  EXPECT_FALSE(db.Import(db));
  EXPECT_EQ(db.CountAll(), 3u);

  NewsDB high = Holding({}, 50);
  EXPECT_TRUE(high.Import(other));
  EXPECT_EQ(high.lastIndex, 50u);
}

TEST(NewsDBFile, SavesAndLoadsBackTheSameDatabase) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB db(path);
  EXPECT_TRUE(db.DidConstructionFail());  // no file yet
  EXPECT_EQ(db.fileName, path);
  db.items = {Item(1, true, true, "a\"b"), Item(3, false, false, "line\nbreak")};
  db.lastIndex = 7;
  ASSERT_TRUE(db.Save());

  NewsDB loaded(path);
  ASSERT_FALSE(loaded.DidConstructionFail());
  EXPECT_EQ(Text(loaded), Text(db));
  EXPECT_TRUE(loaded.GetNewsItemAll(0).read);
  EXPECT_EQ(loaded.GetIndex(), 8u);

  loaded.RemoveNewsItemWithIndex(1);
  loaded.RemoveNewsItemWithIndex(3);
  ASSERT_TRUE(loaded.Save());
  EXPECT_EQ(ReadFile(path), R"(<"8" "0">)");
  NewsDB empty(path);
  EXPECT_FALSE(empty.DidConstructionFail());
  EXPECT_EQ(empty.lastIndex, 8u);

  EXPECT_FALSE(NewsDB().Save());
  std::istringstream in(R"(<"1" "0">)");
  EXPECT_FALSE(NewsDB(in).Save());
}

TEST(NewsDBFile, FailedLoadKeepsWhatWasReadBeforeTheFailure) {
  for (const char* text : {"", "no quotes at all", R"(<"5">)", R"(<"x" "0">)"}) {
    std::istringstream in(text);
    EXPECT_TRUE(NewsDB(in).DidConstructionFail()) << text;
  }
  std::istringstream in(
      R"(<"4" "3" <"1" "a" "x" "1" "1" "1" "1" "0" "1">)"
      R"( <"2" "b" "x" "1" "1" "1" "1" "2" "1"> <"3" "c" "x" "1" "1" "1" "1" "0" "1">>)");
  NewsDB db(in);
  EXPECT_TRUE(db.DidConstructionFail());
  EXPECT_EQ(db.lastIndex, 4u);
  ASSERT_EQ(db.CountAll(), 1u);
  EXPECT_EQ(db.GetNewsItemAll(0).title, "a");
}
