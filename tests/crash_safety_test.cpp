// Saves of several threads or processes at once, or killed at any moment, must leave a file
// holding one whole database written by one save, never a mix, and lose no change.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#endif
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

namespace fs = std::filesystem;

using namespace newsdb;  // the library's own names

namespace {

// A database of one long message, so that most of a save is writing and saves overlap often.
NewsDB Long(const char* title, size_t bytes) {
  NewsDB db;
  db.AddNewsItem(NewsItem(1, title, std::string(bytes, title[0]), 1, 1, 1, 2026, false, true));
  return db;
}

}  // namespace

// The lock works between threads as between processes: two savers take turns, none fails, and
// a reader meanwhile only ever finds one whole database.
TEST(SaveLock, SaversInThreadsTakeTurns) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const NewsDB databases[2] = {Long("one", 1 << 18), Long("two", 6 << 18)};
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

#if defined(__linux__)
// A program may cancel a thread that saves: the save goes on to its end and the cancellation acts
// after it, so the file holds the whole new text, the lock is free, nothing is left beside the
// file, and no destructor ends the program. Cancelled before it starts, the save is still made.
TEST(SaveLock, ACancelledSaveFinishesFirst) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot follow a cancelled thread";
  TempDir dir;
  struct Saving {
    NewsDB db;
    std::string path;
    bool cancelFirst = false;
    std::atomic<int> saved{0};
  } saving{Long("long", 8 << 20), dir.File("news.db")};
  const auto saveForEver = [](void* what) -> void* {
    Saving& it = *static_cast<Saving*>(what);
    if (it.cancelFirst) pthread_cancel(pthread_self());
    for (;;) {
      it.saved += it.db.SerializeFile(it.path);
      pthread_testcancel();
    }
  };
  const auto ends = [](pthread_t thread) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 10;
    return pthread_timedjoin_np(thread, nullptr, &until) == 0;
  };
  // Each round's save waits for the lock the round before may have kept; the last is cancelled
  // before it starts, as the first.
  for (int round = 0; round <= 20; ++round) {
    saving.cancelFirst = round % 20 == 0;
    saving.saved = 0;
    pthread_t saver;
    ASSERT_EQ(pthread_create(&saver, nullptr, saveForEver, &saving), 0);
    if (!saving.cancelFirst) usleep(static_cast<useconds_t>(1000 + round * 997));
    pthread_cancel(saver);
    ASSERT_TRUE(ends(saver)) << "round " << round << " hangs";
    EXPECT_TRUE(saving.saved == 1 || !saving.cancelFirst) << "round " << round << " saved nothing";
    EXPECT_FALSE(Exists(TemporaryPathFor(saving.path))) << "round " << round;
    if (saving.saved > 0) {
      EXPECT_EQ(ReadFile(saving.path), TextOf(saving.db)) << "round " << round;
    }
  }
}
#endif

// Only on Linux, whose /proc/locks shows a process waiting for the lock, so that the race below
// can be made certain (Windows shows none: a save retries the file's sharing mode).
#if defined(__linux__)
namespace {

// True when another process waits for the lock this process holds on the file `held`: the
// system lists each waiter in /proc/locks, marked "->".
bool SomeoneWaitsFor(const struct stat& held) {
  char file[64];
  std::snprintf(file, sizeof file, " %02x:%02x:%llu ", major(held.st_dev), minor(held.st_dev),
                static_cast<unsigned long long>(held.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    if (line.find(" -> ") != std::string::npos && line.find(file) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

// Two processes add messages to one file with UpdateFile, each holding the lock in its change
// until the other is seen waiting for it, so that every save races the other's: each change must
// be made to what the other saved. A save that looked for a newer file before it took the lock
// would lose a message in every round.
TEST(SaveLock, ChangesOfProcessesThatWaitForTheLockAreAllKept) {
  if (!Exists("/proc/locks")) {
    GTEST_SKIP() << "this system shows no process waiting for a lock, so the race cannot be "
                    "made certain";
  }
  TempDir dir;
  const std::string path = dir.File("news.db");
  constexpr int kRounds = 20;
  // How many of the processes have ended, and how many are changing the database: none waits for
  // one that has ended, nor when both change at once, which the lock should have kept apart.
  struct Shared {
    std::atomic<int> ended{0}, changing{0};
  };
  void* const memory =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  Shared& shared = *new (memory) Shared;
  for (int process = 0; process < 2; ++process) {
    if (fork() != 0) continue;
    NewsDB db;
    FileStamp seen;
    bool saved = true;
    for (int round = 0; round < kRounds; ++round) {
      const std::string title = std::to_string(process) + "." + std::to_string(round);
      saved = db.UpdateFile(path, seen, [&](NewsDB& newest, FileContent) {
        ++shared.changing;
        newest.AddNewsItem(NewsItem(newest.GetUnusedIndex(), title, "x", 1, 1, 1, 2026, 0, 1));
        struct stat held;  // the temporary file, which this process has locked
        while (stat(TemporaryPathFor(path).c_str(), &held) == 0 && shared.ended == 0 &&
               shared.changing == 1 && !SomeoneWaitsFor(held)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        --shared.changing;
        return true;
      }) && saved;
    }
    _exit(saved ? 0 : 1);
  }
  for (int process = 0; process < 2; ++process) {
    int status = 0;
    wait(&status);
    ++shared.ended;
    EXPECT_TRUE(WIFEXITED(status)) << "a save failed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a save failed";
  }
  munmap(memory, sizeof(Shared));
  NewsDB saved(path);
  std::set<std::string> titles;
  std::set<uint32_t> numbers;
  for (const NewsItem& item : saved.items) {
    titles.insert(item.title);
    numbers.insert(item.index);
  }
  EXPECT_EQ(saved.CountAll(), 2u * kRounds) << "changes were lost";
  EXPECT_EQ(titles.size(), 2u * kRounds) << "changes were lost or made twice";
  EXPECT_EQ(numbers.size(), 2u * kRounds) << "numbers were given twice";
}
#endif

#if !defined(_WIN32)
// A process forked while a save runs does not hold that save's lock: the child's own save of
// the file, which waits for its parent's, goes on as soon as the parent's save has ended.
TEST(SaveLock, AChildForkedDuringASaveDoesNotHoldItsLock) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const NewsDB parents = Long("parent", 1 << 10), childs = Long("child", 1 << 10);
  const std::string text = TextOf(parents);
  FileReplacement save;
  ASSERT_TRUE(save.Begin(path) && save.Write(text.data(), text.size()));
  struct stat held;
  ASSERT_EQ(stat(TemporaryPathFor(path).c_str(), &held), 0);
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);
    _exit(childs.SerializeFile(path) ? 0 : 1);
  }
  for (int waited = 0; waited < 10000 && !SomeoneWaitsFor(held); ++waited) usleep(1000);
  EXPECT_TRUE(save.Commit());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "the child waited for itself";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child waited for itself";
  EXPECT_EQ(ReadFile(path), TextOf(childs));
}

// A save killed half-way leaves the old file whole and beside it only its own temporary file,
// which nothing reads; its lock went with it, so the next save goes on and takes that file over.
TEST(CrashSafety, ASaveKilledHalfWayLeavesTheOldFileAndIsTakenOver) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const NewsDB old = Long("old", 1 << 10), next = Long("next", 1 << 10);
  ASSERT_TRUE(old.SerializeFile(path));
  const std::string killed =
      InChild([] { return true; },
              [&] {
                const std::string text = TextOf(Long("killed", 1 << 21));
                FileReplacement save;
                if (save.Begin(path) && save.Write(text.data(), text.size() / 2)) raise(SIGKILL);
                return false;
              });
  EXPECT_EQ(killed, "crashed");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("")), {}), 2);
  EXPECT_EQ(TextOf(NewsDB(path)), TextOf(old));
  ASSERT_TRUE(next.SerializeFile(path));
  EXPECT_EQ(ReadFile(path), TextOf(next));  // nothing of the longer text left over
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("")), {}), 1);
}
#endif
