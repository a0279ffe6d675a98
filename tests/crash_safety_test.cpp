// Saves killed at random moments, one process saving or two at once, must leave a file holding
// one whole database written by one save, never a mix, and nothing beside it but the temporary
// file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace fs = std::filesystem;

namespace {

// A database of one long message, so that most of a save is writing and saves overlap often.
NewsDB Long(const char* title, size_t bytes) {
  NewsDB db;
  db.AddNewsItem(NewsItem(1, title, std::string(bytes, title[0]), 1, 1, 1, 2026, false, true));
  return db;
}

std::string TextOf(const NewsDB& db) {
  std::ostringstream text;
  db.Serialize(text);
  return text.str();
}

}  // namespace

// The lock works between threads as between processes: two savers take turns, none fails, and
// a reader meanwhile only ever finds one whole database.
TEST(SaveLock, SaversInThreadsTakeTurns) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const NewsDB databases[2] = {Long("one", 1 << 18), Long("two", 3 << 18)};
  const std::string texts[2] = {TextOf(databases[0]), TextOf(databases[1])};
  ASSERT_TRUE(databases[0].SerializeFile(path));
  std::atomic<int> failed{0}, saving{2};
  std::vector<std::thread> savers;
  for (const NewsDB& db : databases) {
    savers.emplace_back([&] {
      for (int i = 0; i < 15; ++i) failed += !db.SerializeFile(path);
      --saving;
    });
  }
  size_t mixed = 0;
  while (saving > 0) {
    NewsDB found(path);
    mixed +=
        found.DidConstructionFail() || (TextOf(found) != texts[0] && TextOf(found) != texts[1]);
  }
  for (std::thread& saver : savers) saver.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(mixed, 0u);
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));
}

#if !defined(_WIN32)
namespace {

// A database of `count` messages of about 250 bytes each.
NewsDB Sized(int count) {
  NewsDB db;
  for (int i = 1; i <= count; ++i) {
    db.AddNewsItem(
        NewsItem(i, "title", std::string(220, 'x') + "\n\"q\"", 545, 5, 12, 2026, false, true));
  }
  return db;
}

// Generation `g` of `db`: its counter and its first and last titles say g, so a file mixed from
// two generations, or cut short, matches none.
std::string Generation(NewsDB& db, uint32_t g) {
  db.lastIndex = g;
  db.items.front().title = "first of " + std::to_string(g);
  db.items.back().title = "last of " + std::to_string(g);
  std::ostringstream text;
  db.Serialize(text);
  return text.str();
}

// A child process that saves to `path` until it is killed, each save made by `save`.
template <typename Save>
pid_t StartSaver(Save save) {
  const pid_t saver = fork();
  if (saver == 0) {
    for (;;) save();
  }
  return saver;
}

void Kill(pid_t saver) {
  ASSERT_GT(saver, 0);  // kill(-1) would reach every process
  kill(saver, SIGKILL);
  waitpid(saver, nullptr, 0);
}

// Expects nothing in the folder of `path` but the file and its temporary file.
void ExpectOnlyTheFileAndItsTemporary(const std::string& path) {
  for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path())) {
    EXPECT_TRUE(entry.path() == path || entry.path() == TemporaryPathFor(path)) << entry.path();
  }
}

// Pauses from none to about six saves' time, the same spread on every run and machine.
class Pauses {
 public:
  explicit Pauses(std::chrono::steady_clock::duration save) : spread_(0, 6 * save.count()) {}
  void Pause() {
    std::this_thread::sleep_for(std::chrono::steady_clock::duration(spread_(random_)));
  }
  // Pauses as Pause() does, calling `look` over and over meanwhile.
  template <typename Look>
  void Watch(Look look) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::steady_clock::duration(spread_(random_));
    do {
      look();
    } while (std::chrono::steady_clock::now() < end);
  }

 private:
  std::uniform_int_distribution<int64_t> spread_;
  std::mt19937 random_{20261206};
};

std::chrono::steady_clock::duration TimeToSave(const NewsDB& db, const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(db.SerializeFile(path));
  return std::chrono::steady_clock::now() - start;
}

}  // namespace

TEST(CrashSafety, KilledSavesLeaveTheOldOrTheNewDatabase) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB db = Sized(12000);
  Generation(db, 0);
  Pauses pauses(TimeToSave(db, path));
  uint32_t last = 0;
  uint32_t saves = 0;
  for (int round = 0; round < 20; ++round) {
    uint32_t g = last;
    const pid_t saver = StartSaver([&] {
      Generation(db, ++g);
      db.SerializeFile(path);
    });
    pauses.Pause();
    Kill(saver);

    NewsDB loaded(path);
    ASSERT_FALSE(loaded.DidConstructionFail()) << "round " << round;
    ASSERT_GE(loaded.lastIndex, last);
    saves += loaded.lastIndex - last;
    last = loaded.lastIndex;
    ASSERT_EQ(ReadFile(path), Generation(db, last)) << "round " << round;
    ExpectOnlyTheFileAndItsTemporary(path);
  }
  EXPECT_GT(saves, 0u);  // some kills came after completed saves
  ASSERT_TRUE(db.SerializeFile(path));
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));  // the next save clears what a killed one left
}

TEST(CrashSafety, TwoSaversAtOnceNeitherMixNorFail) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  // A short save that overtakes a long one is what could rename half a text into place.
  NewsDB databases[2] = {Long("one", 1 << 20), Long("two", 8 << 20)};
  const std::string texts[2] = {Generation(databases[0], 1), Generation(databases[1], 2)};
  int failures[2];
  ASSERT_EQ(pipe(failures), 0);
  Pauses pauses(TimeToSave(databases[1], path));
  for (int round = 0; round < 15; ++round) {
    pid_t savers[2];
    for (int i = 0; i < 2; ++i) {
      savers[i] = StartSaver([&, i] {
        // A save may wait for the other, but must never fail because of it.
        if (!databases[i].SerializeFile(path) && write(failures[1], "!", 1) != 1) _exit(1);
      });
    }
    // While they save, a reader must only ever find one whole database.
    size_t mixed = 0;
    const auto look = [&] {
      const std::string found = ReadFile(path);
      mixed += found != texts[0] && found != texts[1];
    };
    pauses.Watch(look);
    Kill(savers[round % 2]);
    pauses.Watch(look);
    Kill(savers[1 - round % 2]);
    EXPECT_EQ(mixed, 0u) << "round " << round;
    const std::string found = ReadFile(path);
    ASSERT_TRUE(found == texts[0] || found == texts[1]) << "round " << round;
    ExpectOnlyTheFileAndItsTemporary(path);
  }
  close(failures[1]);
  char failed[64];
  EXPECT_EQ(read(failures[0], failed, sizeof failed), 0) << "saves failed";
  close(failures[0]);
  ASSERT_TRUE(databases[0].SerializeFile(path));
  EXPECT_EQ(ReadFile(path), texts[0]);
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));
}
#endif
