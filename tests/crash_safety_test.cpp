// Saves killed at random moments must leave a file holding a whole database, never a mix.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "NewsDB.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Generation `g` of a database of about 3 MB: its counter and its first and last titles say g,
// so a file mixed from two generations, or cut short, matches none.
std::string Generation(NewsDB& db, uint32_t g) {
  db.lastIndex = g;
  db.items.front().title = "first of " + std::to_string(g);
  db.items.back().title = "last of " + std::to_string(g);
  std::ostringstream text;
  db.Serialize(text);
  return text.str();
}

}  // namespace

TEST(CrashSafety, KilledSavesLeaveTheOldOrTheNewDatabase) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB db;
  for (int i = 1; i <= 12000; ++i) {
    db.AddNewsItem(
        NewsItem(i, "title", std::string(220, 'x') + "\n\"q\"", 545, 5, 12, 2026, false, true));
  }
  Generation(db, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(db.SerializeFile(path));
  // Kills land anywhere from inside the first save to a few saves later, however fast this
  // machine is; the seed gives the same spread on every run.
  const auto saveTime = std::chrono::steady_clock::now() - start;
  std::uniform_int_distribution<int64_t> pause(0, 3 * saveTime.count());
  std::mt19937 random(20261206);
  uint32_t last = 0;
  uint32_t saves = 0;
  for (int round = 0; round < 20; ++round) {
    const pid_t saver = fork();
    ASSERT_NE(saver, -1);  // kill(-1) would reach every process
    if (saver == 0) {
      for (uint32_t g = last + 1;; ++g) {
        Generation(db, g);
        db.SerializeFile(path);
      }
    }
    std::this_thread::sleep_for(std::chrono::steady_clock::duration(pause(random)));
    kill(saver, SIGKILL);
    waitpid(saver, nullptr, 0);

    NewsDB loaded(path);
    ASSERT_FALSE(loaded.DidConstructionFail()) << "round " << round;
    ASSERT_GE(loaded.lastIndex, last);
    saves += loaded.lastIndex - last;
    last = loaded.lastIndex;
    ASSERT_EQ(ReadFile(path), Generation(db, last)) << "round " << round;
    for (const auto& entry : fs::directory_iterator(dir.File(""))) {
      EXPECT_TRUE(entry.path() == path || entry.path() == path + ".tmp") << entry.path();
    }
  }
  EXPECT_GT(saves, 0u);  // some kills came after completed saves
  ASSERT_TRUE(db.SerializeFile(path));
  EXPECT_FALSE(fs::exists(path + ".tmp"));  // the next save clears what a killed one left
}
