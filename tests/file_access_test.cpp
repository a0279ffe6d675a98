// Saves replace a file whole and only where this user may; loads tell a missing file from one
// that cannot be read.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "NewsDB.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace fs = std::filesystem;

namespace {

const NewsItem kItem(1, "T", "text", 545, 5, 12, 2026, false, true);

// A stream buffer whose every read fails by throwing, as a file stream's does on a read error.
class ThrowingBuffer : public std::streambuf {
 protected:
  int_type underflow() override { throw std::runtime_error("read error"); }
};

}  // namespace

TEST(FileSave, ReplacesTheFileUnderAnyNameAndLeavesNothingElse) {
  TempDir dir;
  EXPECT_EQ(TemporaryPathFor(dir.File("news.db")), dir.File(".news.db.tmp"));
  // A leftover of a killed save is taken over; a second name of another file is never written.
  WriteFile(dir.File("other.txt"), "someone's data");
  fs::create_hard_link(PathOf(dir.File("other.txt")), PathOf(dir.File(".news.db.tmp")));
  WriteFile(TemporaryPathFor(dir.File(u8"Nachrichten-ü-日本.db")), "left by a killed save");
  const std::set<std::string> names = {"news.db", u8"Nachrichten-ü-日本.db"};
  for (const std::string& name : names) {
    const std::string path = dir.File(name);
    WriteFile(path + ".tmp", "the user's own file");
    ASSERT_TRUE(kItem.SerializeFile(path));
    EXPECT_EQ(ReadFile(path), TextOf(kItem));
    EXPECT_EQ(ReadFile(path + ".tmp"), "the user's own file");
  }
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(PathOf(dir.File("")))) {
    found.insert(entry.path().filename().u8string());
  }
  EXPECT_EQ(found, (std::set<std::string>{"news.db", "news.db.tmp", u8"Nachrichten-ü-日本.db",
                                          u8"Nachrichten-ü-日本.db.tmp", "other.txt"}));
  EXPECT_EQ(ReadFile(dir.File("other.txt")), "someone's data");
}

TEST(FileSave, FailureReturnsFalseAndKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  WriteFile(path, "old");
  fs::create_directory(PathOf(TemporaryPathFor(path)));
  EXPECT_FALSE(kItem.SerializeFile(path));
  fs::remove(PathOf(TemporaryPathFor(path)));
  fs::create_directory(PathOf(dir.File("folder")));
  EXPECT_FALSE(kItem.SerializeFile(dir.File("folder")));
  EXPECT_FALSE(kItem.SerializeFile(dir.File("missing/news.db")));
#if defined(_WIN32)
  const std::wstring wide = PathOf(path).wstring();
  // Another program holding the file open without delete sharing: the save must fail whole.
  const HANDLE held = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(kItem.SerializeFile(path));
  CloseHandle(held);
  SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(kItem.SerializeFile(path));
  SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
#else
  ASSERT_EQ(symlink("loop", dir.File("loop").c_str()), 0);
  EXPECT_FALSE(kItem.SerializeFile(dir.File("loop")));
#endif
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));
}

// A save writes its text in pieces as it is produced, each put on its way to the disk at once:
// values longer than a piece, with escapes on every side of a piece's end, and records ending
// pieces at all places come out as the text is; a piece that cannot be written fails the save.
TEST(FileSave, WritesLongTextsInPiecesAsTheyAre) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  std::string text(3 << 20, 'x');
  for (size_t at = 0; at < text.size(); at += (at % 2 == 0 ? 65535 : 1)) text[at] = '"';
  for (size_t end = 1 << 20; end < text.size(); end += 1 << 20) {
    text.replace(end - 3, 6, "\\\"\\\"");
  }
  NewsDB db;
  db.items = {NewsItem(1, text, text, 545, 5, 12, 2026, false, true)};
  for (int i = 2; i < 20000; ++i) {
    db.items.emplace_back(i, "t", std::string(static_cast<size_t>(i % 331), '"'), 1, 1, 1, 2026,
                          false, true);
  }
  ASSERT_TRUE(db.SerializeFile(path));
  const std::string saved = TextOf(db);
  EXPECT_EQ(ReadFile(path), saved);
  EXPECT_EQ(NewsDB(path).GetNewsItemAll(0).text, text);
#if !defined(_WIN32)
  const pid_t child = fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{3 << 20, RLIM_INFINITY};  // a few pieces get written, the rest cannot
    setrlimit(RLIMIT_FSIZE, &limit);
    db.items.pop_back();
    _exit(db.SerializeFile(path) ? 1 : 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save did not fail";
  EXPECT_EQ(ReadFile(path), saved);
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));
#endif
}

TEST(FileLoad, OnlyAMissingFileCountsAsMissing) {
  TempDir dir;
  FileReader reader;
  EXPECT_EQ(reader.Open(dir.File("missing")), OpenResult::kMissing);
  EXPECT_EQ(reader.Open(dir.File("missing/news.db")), OpenResult::kFailed);  // nor can it be made
  EXPECT_EQ(reader.Open(""), OpenResult::kFailed);
  fs::create_directory(PathOf(dir.File("folder")));
  EXPECT_EQ(reader.Open(dir.File("folder")), OpenResult::kFailed);
  EXPECT_TRUE(NewsDB(dir.File("folder")).DidConstructionFail());
#if !defined(_WIN32)
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_EQ(reader.Open(dir.File("fifo")), OpenResult::kFailed);  // and returns: nothing blocks
#endif
  WriteFile(dir.File("news.db"), TextOf(NewsDB()));
  EXPECT_EQ(reader.Open(dir.File("news.db")), OpenResult::kOpened);
  EXPECT_FALSE(NewsDB(dir.File("news.db")).DidConstructionFail());

  // A read error of the stream is a failed read, never an exception escaping.
  ThrowingBuffer failing;
  std::istream in(&failing);
  EXPECT_TRUE(NewsDB(in).DidConstructionFail());
  EXPECT_TRUE(in.bad());
}

#if !defined(_WIN32)
TEST(FileSave, KeepsModeOwnerAndGroupAndFollowsLinks) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const mode_t oldMask = umask(027);
  ASSERT_TRUE(kItem.SerializeFile(path));
  umask(oldMask);
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));

  WriteFile(path, std::string(300000, 'o'));
  chmod(path.c_str(), 0604);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path.c_str(), kAlice, kTeam), 0);
  }
  ASSERT_EQ(symlink("news.db", dir.File("link").c_str()), 0);
  ASSERT_EQ(symlink("link", dir.File("link2").c_str()), 0);
  ASSERT_TRUE(kItem.SerializeFile(dir.File("link2")));
  EXPECT_EQ(ReadFile(path), TextOf(kItem));
  EXPECT_TRUE(fs::is_symlink(dir.File("link2")));
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  if (root) {
    EXPECT_TRUE(info.st_uid == kAlice && info.st_gid == kTeam);
  }
}

// The cases in which a save must not do what the folder's permissions alone would let it.
TEST(FilePermissions, SavesDoOnlyWhatThisUserMay) {
  TempDir dir;
  const std::string shared = dir.File("shared");
  fs::create_directory(shared);
  fs::permissions(dir.File(""), fs::perms(0755));
  fs::permissions(shared, fs::perms(0777));
  const auto ownedFile = [](const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
    WriteFile(path, "old");
    return chown(path.c_str(), uid, gid) == 0 && chmod(path.c_str(), mode) == 0;
  };
  const std::string readOnly = shared + "/read-only.db";
  const std::string secret = shared + "/secret.db";
  const std::string team = shared + "/team.db";
  const std::string planted = shared + "/planted.db";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  ASSERT_TRUE(ownedFile(readOnly, kAlice, kAlice, 0444) && ownedFile(secret, kMallory, 0, 0600) &&
              ownedFile(team, kAlice, kTeam, 0660) &&
              ownedFile(TemporaryPathFor(planted), kMallory, kMallory, 0666));
  // Another user's temporary file, with a second name: never written, only its name removed.
  ASSERT_EQ(link(TemporaryPathFor(planted).c_str(), dir.File("kept").c_str()), 0);
  const std::string asAlice = AsUser(kAlice, kAlice, {}, [&] {
    return !kItem.SerializeFile(readOnly) && NewsDB(secret).DidConstructionFail() &&
           kItem.SerializeFile(planted);
  });
  if (asAlice == "impossible") GTEST_SKIP() << "cannot switch to another user here";
  EXPECT_EQ(asAlice, "ok");
  EXPECT_EQ(ReadFile(readOnly), "old");
  EXPECT_EQ(ReadFile(dir.File("kept")), "old");
  EXPECT_EQ(ReadFile(planted), TextOf(kItem));
  EXPECT_FALSE(Exists(TemporaryPathFor(planted)));

  // Bob shares Alice's group: his save keeps her as the owner and the group as it was.
  EXPECT_EQ(AsUser(kBob, kBobsGroup, {kTeam}, [&] { return kItem.SerializeFile(team); }), "ok");
  struct stat info;
  ASSERT_EQ(stat(team.c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, kTeam);
  EXPECT_EQ(info.st_mode & 07777, 0660u);
  EXPECT_EQ(ReadFile(team), TextOf(kItem));
}

TEST(FilePermissions, WhatOthersPlantInASharedStickyFolderIsNeverUsed) {
  TempDir dir;
  fs::permissions(dir.File(""), fs::perms(0755));
  const std::string sticky = dir.File("sticky");
  fs::create_directory(sticky);
  fs::permissions(sticky, fs::perms(01777));
  const std::string home = dir.File("home");
  fs::create_directory(home);
  const std::string thesis = home + "/thesis.txt";
  WriteFile(thesis, "years of work");
  const std::string link = sticky + "/news.db";
  ASSERT_EQ(symlink(thesis.c_str(), link.c_str()), 0);
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  ASSERT_EQ(chown(home.c_str(), kAlice, kAlice), 0);
  ASSERT_EQ(chown(thesis.c_str(), kAlice, kAlice), 0);
  ASSERT_EQ(lchown(link.c_str(), kMallory, kMallory), 0);
  const std::string direct = sticky + "/direct.db";
  WriteFile(TemporaryPathFor(direct), "mallory's");
  ASSERT_EQ(chown(TemporaryPathFor(direct).c_str(), kMallory, kMallory), 0);
  chmod(TemporaryPathFor(direct).c_str(), 0666);
  const auto save = [&] { return kItem.SerializeFile(link); };
  const std::string planted =
      AsUser(kAlice, kAlice, {}, [&] { return !save() && !kItem.SerializeFile(direct); });
  if (planted == "impossible") GTEST_SKIP() << "cannot switch to another user here";
  EXPECT_EQ(planted, "ok");
  EXPECT_EQ(ReadFile(thesis), "years of work");
  EXPECT_EQ(ReadFile(TemporaryPathFor(direct)), "mallory's");
  // Her own link in the same folder is followed, as the system would.
  ASSERT_EQ(lchown(link.c_str(), kAlice, kAlice), 0);
  EXPECT_EQ(AsUser(kAlice, kAlice, {}, save), "ok");
  EXPECT_EQ(ReadFile(thesis), TextOf(kItem));
}
#endif
