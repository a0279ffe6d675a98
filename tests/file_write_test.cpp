#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "NewsDB.h"
#include "test_support.h"

namespace {

const NewsItem kItem(1, "Title", std::string(100000, 'x'), 545, 5, 12, 2026, false, true);

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

}  // namespace

TEST(FileWrite, ReplacesTheWholeFileAndCleansUpTheTemporary) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  WriteFile(path, std::string(300000, 'o'));
  WriteFile(path + ".tmp", "leftover of a killed save");
  ASSERT_TRUE(kItem.SerializeFile(path));
  std::string expected;
  kItem.Serialize(expected);
  EXPECT_EQ(" " + ReadFile(path), expected);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST(FileWrite, KeepsPermissionsOfAnExistingFileAndUsesTheUmaskForANewOne) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const mode_t oldMask = umask(027);
  ASSERT_TRUE(kItem.SerializeFile(path));
  EXPECT_EQ(ModeOf(path), 0640u);
  umask(oldMask);
  chmod(path.c_str(), 0604);
  ASSERT_TRUE(kItem.SerializeFile(path));
  EXPECT_EQ(ModeOf(path), 0604u);
}

TEST(FileWrite, ReplacesTheFileBehindASymbolicLink) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("real"));
  WriteFile(dir.File("real/news.db"), "old");
  ASSERT_EQ(symlink("real/news.db", dir.File("link").c_str()), 0);
  ASSERT_EQ(symlink("link", dir.File("link2").c_str()), 0);
  ASSERT_TRUE(kItem.SerializeFile(dir.File("link2")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link2")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link")));
  EXPECT_EQ(ReadFile(dir.File("real/news.db")).size(), ReadFile(dir.File("link2")).size());
  EXPECT_GT(ReadFile(dir.File("real/news.db")).size(), 100000u);
  EXPECT_FALSE(std::filesystem::exists(dir.File("real/news.db.tmp")));

  ASSERT_EQ(symlink("loop", dir.File("loop").c_str()), 0);
  EXPECT_FALSE(kItem.SerializeFile(dir.File("loop")));
}

TEST(FileWrite, FailedSaveReturnsFalseAndLeavesTheOldFileUntouched) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  WriteFile(path, "old contents");

  // The temporary name is taken by a directory, so the save cannot even start.
  std::filesystem::create_directory(path + ".tmp");
  EXPECT_FALSE(kItem.SerializeFile(path));
  std::filesystem::remove(path + ".tmp");

  // The disk refuses the data half-way.
  EXPECT_EQ(RunWithFileSizeLimit(4096, [&] { return kItem.SerializeFile(path) ? 1 : 0; }), 0);
  EXPECT_EQ(ReadFile(path), "old contents");
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

  // The target cannot be replaced.
  std::filesystem::create_directory(dir.File("directory"));
  EXPECT_FALSE(kItem.SerializeFile(dir.File("directory")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("directory.tmp")));
  EXPECT_FALSE(kItem.SerializeFile(dir.File("missing/news.db")));
}
