#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const NewsItem kItem(1, "T", std::string(100000, 'x'), 545, 5, 12, 2026, false, true);

fs::perms ModeOf(const std::string& path) {
  return fs::status(path).permissions();
}

}  // namespace

TEST(RecordWriter, SeparatesByOneBlankUnlessRightAfterTheOpeningMarker) {
  std::string out;
  Serializable::AddSerialization(out, std::string());
  kItem.Serialize(out);
  EXPECT_EQ(out.substr(0, 9), R"( "" <"1" )");
  std::ostringstream stream;
  NewsDB().Serialize(stream);
  NewsDB().Serialize(stream);
  EXPECT_EQ(stream.str(), R"(<"0" "0"><"0" "0">)");
}

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

TEST(RecordFile, ReplacesTheFileKeepingModeLinksAndNoTemporary) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const mode_t oldMask = umask(027);
  ASSERT_TRUE(kItem.SerializeFile(path));
  umask(oldMask);
  EXPECT_EQ(ModeOf(path), fs::perms(0640));
  std::ostringstream expected;
  kItem.Serialize(expected);
  EXPECT_EQ(ReadFile(path), expected.str());

  WriteFile(path, std::string(300000, 'o'));
  chmod(path.c_str(), 0604);
  WriteFile(path + ".tmp", "left by a killed save");
  ASSERT_EQ(symlink("news.db", dir.File("link").c_str()), 0);
  ASSERT_EQ(symlink("link", dir.File("link2").c_str()), 0);
  ASSERT_TRUE(kItem.SerializeFile(dir.File("link2")));
  EXPECT_EQ(ReadFile(path), expected.str());
  EXPECT_EQ(ModeOf(path), fs::perms(0604));
  EXPECT_TRUE(fs::is_symlink(dir.File("link2")));
  EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST(RecordFile, FailedSaveReturnsFalseAndLeavesTheOldFileUntouched) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  WriteFile(path, "old");
  fs::create_directory(path + ".tmp");
  EXPECT_FALSE(kItem.SerializeFile(path));
  EXPECT_EQ(ReadFile(path), "old");
  fs::create_directory(dir.File("directory"));
  EXPECT_FALSE(kItem.SerializeFile(dir.File("directory")));
  EXPECT_FALSE(fs::exists(dir.File("directory.tmp")));
  EXPECT_FALSE(kItem.SerializeFile(dir.File("missing/news.db")));
  ASSERT_EQ(symlink("loop", dir.File("loop").c_str()), 0);
  EXPECT_FALSE(kItem.SerializeFile(dir.File("loop")));
}
