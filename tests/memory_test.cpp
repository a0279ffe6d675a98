// Running out of memory: a load that cannot get the memory it needs fails as any failed load,
// and a save fails as any failed save, leaving no temporary file; neither ends the program, and
// each says it ran out of memory.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>

using namespace newsdb;  // the library's own names

namespace {

constexpr size_t kMuch = 48 << 20;  // more than the room left, and than any free piece of it

// Runs `body` as InChild does, in a process that may take at most `room` more bytes of address
// space than it has.
std::string WithLittleMemory(size_t room, const std::function<bool()>& body) {
  return InChild(
      [room] {
        size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlimit limit{pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + room,
                           RLIM_INFINITY};
        return pages != 0 && setrlimit(RLIMIT_AS, &limit) == 0;
      },
      body);
}

}  // namespace

TEST(OutOfMemory, ALoadFailsAsAnyFailedLoad) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot run under an address limit";
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB db;
  db.items = {NewsItem(1, "Long", std::string(kMuch, 'x'), 1, 1, 1, 2026, false, true)};
  ASSERT_TRUE(db.SerializeFile(path));
  db.items.clear();
  const std::vector<std::function<bool()>> loads = {
      [&] {
        const NewsDB db(path);
        return db.LastError() == std::errc::not_enough_memory;
      },
      [&] {
        std::ifstream in(path, std::ios::binary);
        return NewsDB(in).DidConstructionFail();
      },
      [&] {
        std::ifstream in(path, std::ios::binary);
        uint64_t counterAndCount[2];
        return Serializable::DeserializeValue(in, counterAndCount[0]) &&
               Serializable::DeserializeValue(in, counterAndCount[1]) &&
               NewsItem(in).DidConstructionFail();
      },
  };
  for (size_t i = 0; i < loads.size(); ++i) {
    EXPECT_EQ(WithLittleMemory(16 << 20, loads[i]), "ok") << "load " << i;
    // With room for the message the load works: the limit was what failed it.
    EXPECT_EQ(WithLittleMemory(4 * kMuch, loads[i]), "failed") << "load " << i;
  }
}

TEST(OutOfMemory, ASaveFailsAndLeavesNoTemporaryFile) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot run under an address limit";
  TempDir dir;
  const std::string path = dir.File("news.db");
  const std::string before = R"(<"1" "0">)";
  const std::vector<std::function<bool()>> saves = {
      [&] {
        NewsDB db;
        FileStamp seen;
        return db.UpdateFile(path, seen, [](NewsDB& newest, FileContent) {
          newest.AddNewsItem(NewsItem(1, std::string(kMuch, 'x'), "", 1, 1, 1, 2026, 0, 1));
          return true;
        }) || db.LastError() != std::errc::not_enough_memory;
      },
      [&] {  // even the save's own buffer is too much
        const NewsDB db;
        return db.SerializeFile(path) || db.LastError() != std::errc::not_enough_memory;
      },
  };
  for (size_t i = 0; i < saves.size(); ++i) {
    WriteFile(path, before);
    EXPECT_EQ(WithLittleMemory(i == 0 ? 16 << 20 : 0, saves[i]), "failed") << "save " << i;
    EXPECT_EQ(ReadFile(path), before) << "save " << i;
    EXPECT_FALSE(Exists(TemporaryPathFor(path))) << "save " << i;
  }
}
#endif
