// Unsaved changes: made again, once, on whatever content the file has by the next save, with a
// delete of a message no save has written following that message to its new number.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "NewsDB.h"
#include "pending_changes.h"
#include "test_support.h"

namespace {

// While set, every allocation of this many bytes or more fails, as when memory runs out.
size_t failFrom = 0;

}  // namespace

void* operator new(size_t size) {
  void* memory = failFrom != 0 && size >= failFrom ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, size_t) noexcept {
  std::free(memory);
}

namespace {

// 9:05 on 24 December 2025, as the C library splits it.
std::tm Written() {
  std::tm written{};
  written.tm_hour = 9;
  written.tm_min = 5;
  written.tm_mday = 24;
  written.tm_mon = 11;
  written.tm_year = 125;
  return written;
}

// A database of messages titled `titles`, numbered from 1, as a file holds them.
NewsDB Content(const std::vector<std::string>& titles) {
  NewsDB db;
  for (const std::string& title : titles) {
    db.items.emplace_back(++db.lastIndex, title, "t", 0, 1, 1, 2025, false, true);
  }
  return db;
}

// Every message of `db` as "title number", in list order.
std::string Listing(const NewsDB& db) {
  std::string listing;
  for (const NewsItem& item : db.items) {
    listing += (listing.empty() ? "" : " ") + item.title + " " + std::to_string(item.index);
  }
  return listing;
}

}  // namespace

TEST(PendingChanges, AreMadeOnceMoreOnContentReadAnew) {
  PendingChanges pending;
  NewsDB mine = Content({"First"});
  pending.Add("Mine", "x", Written());
  pending.ApplyRest(mine);  // and the save failed
  EXPECT_EQ(Listing(mine), "First 1 Mine 2");
  NewsDB newest = Content({"First", "Theirs"});
  pending.ApplyAll(newest);
  pending.ApplyRest(newest);
  ASSERT_EQ(Listing(newest), "First 1 Theirs 2 Mine 3");
  EXPECT_EQ(TextOf(newest.items[2]),
            TextOf(NewsItem(3, "Mine", "x", 545, 24, 12, 2025, false, true)));
}

// A delete of the number an unsaved message was listed with deletes that message wherever it is
// made again; other numbers, and none, stay what they are.
TEST(PendingChanges, ADeleteFollowsTheUnsavedMessageItNames) {
  const struct {
    std::optional<uint32_t> shown;
    const char* listed;  // after the delete, then on content read anew
    const char* newest;
  } cases[] = {
      {2, "First 1", "First 1 Theirs 2"},
      {1, "Mine 2", "Theirs 2 Mine 3"},
      {7, "First 1 Mine 2", "First 1 Theirs 2 Mine 3"},
      {std::nullopt, "First 1 Mine 2", "First 1 Theirs 2 Mine 3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listed);
    PendingChanges pending;
    NewsDB mine = Content({"First"});
    pending.Add("Mine", "x", Written());
    pending.ApplyRest(mine);
    pending.Delete(c.shown);
    pending.ApplyRest(mine);
    EXPECT_EQ(Listing(mine), c.listed);
    NewsDB newest = Content({"First", "Theirs"});
    pending.ApplyAll(newest);
    EXPECT_EQ(Listing(newest), c.newest);
    PendingChanges alone;
    alone.Delete(c.shown);
    EXPECT_FALSE(alone.Empty());  // even a delete of nothing is saved, as any change
  }
}

TEST(PendingChanges, AfterRunningOutOfMemoryOnlyTheRestIsMade) {
  PendingChanges pending;
  NewsDB db = Content({"First"});
  pending.Add("Small", "x", Written());
  pending.Add("Large", std::string(1 << 16, 'x'), Written());
  failFrom = 1 << 16;
  EXPECT_THROW(pending.ApplyRest(db), std::bad_alloc);
  failFrom = 0;
  pending.ApplyRest(db);
  std::string titles;
  for (const NewsItem& item : db.items) titles += item.title + " ";
  EXPECT_EQ(titles, "First Small Large ");
}

// Once saved, changes are not made again, and a later delete no longer follows their messages.
TEST(PendingChanges, ClearForgetsThem) {
  PendingChanges pending;
  NewsDB db = Content({"First"});
  pending.Add("Mine", "x", Written());
  pending.ApplyRest(db);
  pending.Clear();
  EXPECT_TRUE(pending.Empty());
  pending.Delete(2);
  pending.ApplyRest(db);
  EXPECT_EQ(Listing(db), "First 1");
  NewsDB newest = Content({"First", "Theirs"});
  pending.ApplyAll(newest);
  EXPECT_EQ(Listing(newest), "First 1");
}
