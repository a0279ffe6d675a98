#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

namespace fs = std::filesystem;

using namespace newsdb;  // the library's own names

namespace {

NewsItem Item(uint32_t index, bool visible, bool read = false, const std::string& title = "t") {
  return NewsItem(static_cast<int32_t>(index), title, "text", 545, 5, 12, 2026, read, visible);
}

NewsDB Holding(std::initializer_list<NewsItem> items, uint32_t lastIndex = 0) {
  NewsDB db;
  db.items = items;
  db.lastIndex = lastIndex;
  return db;
}

}  // namespace

// Each NAME.db under data/load is read as a database. With NAME.saved beside it, the load must
// succeed and the database be written as that text; otherwise it must fail for the reason
// `refused` gives it, and NAME.partial, if present, is what it holds afterwards.
TEST(NewsDBLoad, ReadsOrRejectsEverySampleFile) {
  // Why each other sample is refused, and for text that is no database, where reading stopped:
  // right after the value that could not be taken, or at the end of the file.
  const std::map<std::string, std::pair<FileError, uint64_t>> refused = {
      {"bad-counter.db", {FileError::kNotDatabase, 4}},
      {"bad-flag.db", {FileError::kNotDatabase, 129}},
      {"bad-year.db", {FileError::kNotDatabase, 85}},
      {"counter-only.db", {FileError::kNotDatabase, 5}},
      {"counter-overflow.db", {FileError::kNotDatabase, 13}},
      {"cut-past-count.db", {FileError::kDataAfterRecord, 0}},
      {"empty.db", {FileError::kEmptyFile, 0}},
      {"huge-count.db", {FileError::kNotDatabase, 85}},
      {"joined.db", {FileError::kDataAfterRecord, 0}},
      {"short-count.db", {FileError::kDataAfterRecord, 0}},
      {"unterminated.db", {FileError::kNotDatabase, 76}},
      {"word-flag.db", {FileError::kNotDatabase, 47}},
  };
  for (const auto& entry : fs::directory_iterator(NEWS_TEST_DATA "/load")) {
    const fs::path& file = entry.path();
    if (file.extension() != ".db") continue;
    SCOPED_TRACE(file.string());
    NewsDB db(file.string());
    const bool loads = fs::exists(fs::path(file).replace_extension(".saved"));
    EXPECT_EQ(db.DidConstructionFail(), !loads);
    const auto why = refused.find(file.filename().string());
    if (loads) {
      EXPECT_FALSE(db.LastError()) << db.LastError().message();
    } else if (why == refused.end()) {
      ADD_FAILURE() << "no reason given for refusing it";
    } else {
      EXPECT_EQ(db.LastError(), why->second.first) << db.LastError().message();
      if (why->second.first == FileError::kNotDatabase) {
        EXPECT_EQ(db.LastErrorOffset(), why->second.second);
      }
    }
    for (const char* expected : {".saved", ".partial"}) {
      const fs::path text = fs::path(file).replace_extension(expected);
      if (fs::exists(text)) {
        EXPECT_EQ(TextOf(db), ReadFile(text.string()));
      }
    }
  }
}

// A load reads alike whatever the stream's buffer holds ready: every sample file, and a text
// whose values are longer than any buffer, escapes on every side of a buffer's end.
TEST(NewsDBLoad, ReadsAlikeThroughAnyStreamBuffer) {
  std::vector<std::string> texts;
  for (const auto& entry : fs::directory_iterator(NEWS_TEST_DATA "/load")) {
    if (entry.path().extension() == ".db") texts.push_back(ReadFile(entry.path().string()));
  }
  std::string title(70000, 't'), text(300000, 'x');
  for (size_t at = 0; at < title.size(); at += 997) title[at] = '"';
  for (size_t at = 0; at < text.size(); at += 1013) text[at] = '\\';
  texts.push_back(TextOf(Holding({Item(1, true, false, title), Item(2, false, true, text)}, 2)));
  for (const std::string& text : texts) {
    std::istringstream whole(text);
    const NewsDB expected(whole);
    for (const size_t piece : {0, 1, 2, 7, 65536}) {
      SCOPED_TRACE(text.substr(0, 60) + " in pieces of " + std::to_string(piece));
      PieceBuffer buffer(text, piece);
      std::istream in(&buffer);
      NewsDB loaded(in);
      EXPECT_EQ(loaded.DidConstructionFail(), expected.DidConstructionFail());
      EXPECT_EQ(TextOf(loaded), TextOf(expected));
    }
  }
}

TEST(NewsDBViews, AllAndVisibleViewsCountAndRemoveDifferently) {
  NewsDB db = Holding({Item(1, true, true), Item(2, false), Item(3, true), Item(2, true)});
  EXPECT_EQ(db.CountAll(), 4u);
  EXPECT_EQ(db.Count(), 3u);
  EXPECT_EQ(db.UnreadCount(), 2u);
  EXPECT_EQ(db.GetVisibleIndex(1), 2);
  EXPECT_EQ(db.GetVisibleIndex(3), -1);
  db.RemoveNewsItemWithPos(3);  // no such visible position: nothing happens
  db.RemoveNewsItemWithIndex(9);
  EXPECT_EQ(db.CountAll(), 4u);
  db.RemoveNewsItemWithIndex(2);  // only the first, invisible one
  db.RemoveNewsItemWithPos(1);    // the item with index 3
  EXPECT_EQ(TextOf(db), TextOf(Holding({Item(1, true, true), Item(2, true)})));
}

TEST(NewsDBMerge, AddsUnreadCopiesOfNewIndexesOnceAndRaisesTheCounter) {
  NewsDB db = Holding({Item(1, true, false, "mine")}, 3);
  const NewsDB other = Holding({Item(1, true, true, "theirs"), Item(2, true, true, "first"),
                                Item(2, false, false, "second"), Item(9, false, true)});
  const std::string otherBefore = TextOf(other);
  EXPECT_TRUE(db.Import(other));
  EXPECT_EQ(TextOf(other), otherBefore);
  EXPECT_EQ(TextOf(db),
            TextOf(Holding(
                {Item(1, true, false, "mine"), Item(2, true, false, "first"), Item(9, false)}, 9)));
  EXPECT_FALSE(db.Import(other));
  EXPECT_FALSE(db.Import(db));
  NewsDB ahead = Holding({}, 50);
  EXPECT_TRUE(ahead.Import(other));
  EXPECT_EQ(ahead.GetIndex(), 51u);
}

TEST(NewsDBFile, SavesUnderTheRememberedNameOnly) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB db(path);
  EXPECT_TRUE(db.DidConstructionFail());  // no file yet; the name is kept all the same
  EXPECT_EQ(db.LastError(), kNoSuchFile);
  db.AddNewsItem(Item(1, false, true, "a\"b"));
  db.lastIndex = 7;
  ASSERT_TRUE(db.Save());
  EXPECT_FALSE(db.LastError());  // a save that works leaves nothing to report
  NewsDB loaded(path);
  EXPECT_EQ(TextOf(loaded), R"(<"7" "1" <"1" "a\"b" "text" "545" "5" "12" "2026" "0" "0">>)");
  EXPECT_EQ(loaded.GetIndex(), 8u);
  loaded.RemoveNewsItemWithIndex(1);
  ASSERT_TRUE(loaded.Save());
  EXPECT_EQ(ReadFile(path), R"(<"8" "0">)");
  NewsDB unnamed;
  EXPECT_FALSE(unnamed.Save());
  EXPECT_EQ(unnamed.LastError(), std::make_error_code(std::errc::invalid_argument));
}

// Save() replaces only the file this database read whole, and only while it is as it was then:
// another program's work since, and what a failed or partial load did not read, are not lost.
TEST(NewsDBFile, SaveNeverOverwritesWhatItDidNotRead) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB first(path), second(path);  // both find no file; the first save makes it
  first.AddNewsItem(Item(first.GetIndex(), true, false, "first"));
  ASSERT_TRUE(first.Save());
  second.AddNewsItem(Item(second.GetIndex(), true, false, "second"));  // the same number
  EXPECT_FALSE(second.Save());
  EXPECT_EQ(second.LastError(), FileError::kChangedSinceRead);
  first.AddNewsItem(Item(first.GetIndex(), true, false, "again"));
  EXPECT_TRUE(first.Save());  // its own save is what it last wrote
  const std::string saved = ReadFile(path);
  EXPECT_EQ(NewsDB(path).CountAll(), 2u);
  // A load that read only part of the file, or none of a file that is no database.
  const std::string partial =
      R"(<"3" "3" <"1" "a" "x" "1" "1" "1" "2026" "0" "1"> <"2" "b" "x")"
      R"( "1" "1" "1" "2026" "maybe" "1"> <"3" "c" "x" "1" "1" "1" "2026" "0" "1">>)";
  for (const std::string& content : {partial, std::string("just some text\n")}) {
    WriteFile(path, content);
    NewsDB loaded(path);
    ASSERT_TRUE(loaded.DidConstructionFail());
    EXPECT_FALSE(loaded.Save());
    EXPECT_EQ(loaded.LastError(), FileError::kNotReadWhole);
    EXPECT_EQ(ReadFile(path), content);
  }
  EXPECT_NE(saved, partial);
}

// Each change is made to what the file holds now, whoever saved it last.
TEST(NewsDBFile, UpdateFileChangesTheNewestContent) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB mine;
  FileStamp seen;
  std::vector<FileContent> found;
  const auto add = [&found](const std::string& title) {
    return [&found, title](NewsDB& db, FileContent content) {
      found.push_back(content);
      db.AddNewsItem(Item(db.GetUnusedIndex(), true, false, title));
      return true;
    };
  };
  EXPECT_TRUE(mine.UpdateFile(path, seen, add("first")));
  EXPECT_TRUE(mine.UpdateFile(path, seen, add("second")));  // its own save: nothing to read
  NewsDB theirs(path);
  theirs.AddNewsItem(Item(theirs.GetUnusedIndex(), true, false, "theirs"));
  ASSERT_TRUE(theirs.Save());
  EXPECT_TRUE(mine.UpdateFile(path, seen, add("mine")));
  EXPECT_EQ(TextOf(mine),
            TextOf(Holding({Item(1, true, false, "first"), Item(2, true, false, "second"),
                            Item(3, true, false, "theirs"), Item(4, true, false, "mine")},
                           4)));
  EXPECT_EQ(ReadFile(path), TextOf(mine));
  std::filesystem::remove(path);  // gone: this database is all there is, and is saved again
  EXPECT_TRUE(mine.UpdateFile(path, seen, add("again")));
  EXPECT_EQ(ReadFile(path), TextOf(mine));
  // Two databases joined: unreadable, since the second would be lost. Changed in memory only.
  const std::string joined = TextOf(mine) + TextOf(Holding({Item(9, true)}, 9));
  WriteFile(path, joined);
  EXPECT_FALSE(mine.UpdateFile(path, seen, add("kept")));
  EXPECT_EQ(mine.LastError(), FileError::kDataAfterRecord);
  EXPECT_EQ(ReadFile(path), joined);
  EXPECT_EQ(mine.CountAll(), 6u);
  EXPECT_TRUE(seen.stale);
  using C = FileContent;
  EXPECT_EQ(found, (std::vector<C>{C::kUnchanged, C::kUnchanged, C::kReloaded, C::kUnchanged,
                                   C::kUnreadable}));
}

// After a failed save the next UpdateFile starts again from the file's content, so that a change
// made again is made once; a change that changes nothing writes nothing; and a database loaded
// by its path is updated from the stamp it remembers.
TEST(NewsDBFile, UpdateFileMakesARetriedChangeOnceAndWritesOnlyChanges) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  std::vector<FileContent> found;
  const DatabaseChange add = [&found](NewsDB& db, FileContent content) {
    found.push_back(content);
    db.AddNewsItem(Item(db.GetUnusedIndex(), true));
    return true;
  };
  NewsDB db(path);                       // no file yet
  for (const size_t count : {1u, 2u}) {  // a file that is missing, then one that exists
    std::filesystem::create_directory(PathOf(TemporaryPathFor(path)));  // in every save's way
    EXPECT_FALSE(db.UpdateFile(add));
    EXPECT_EQ(db.CountAll(), count);  // made in memory
    std::filesystem::remove(PathOf(TemporaryPathFor(path)));
    EXPECT_TRUE(db.UpdateFile(add));
    EXPECT_EQ(NewsDB(path).CountAll(), count);
  }
  using C = FileContent;
  EXPECT_EQ(found, (std::vector<C>{C::kUnreadable, C::kReloaded, C::kUnreadable, C::kReloaded}));
  const FileStamp before = StampOf(path);
  EXPECT_TRUE(db.UpdateFile([](NewsDB&, FileContent) { return false; }));
  EXPECT_TRUE(StampOf(path) == before);  // the same file, not written again
}
