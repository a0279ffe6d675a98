// Saves replace a file whole and only where this user may; loads tell a missing file from one
// that cannot be read.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <iterator>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "PathWalk_posix.h"
#endif
#if defined(__linux__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>
#endif

namespace fs = std::filesystem;

using namespace newsdb;  // the library's own names

namespace {

const NewsItem kItem(1, "T", "text", 545, 5, 12, 2026, false, true);

// A stream buffer whose every read fails by throwing, as a file stream's does on a read error.
class ThrowingBuffer : public std::streambuf {
 protected:
  int_type underflow() override { throw std::runtime_error("read error"); }
};

#if defined(__linux__)
// A filter that gives the system calls `calls` of this thread the outcome `outcome` (only on the
// descriptor `fd`, if given, or only where their third argument has one of the bits `flags`) and
// lets every other call through; empty where the system is not known here.
std::vector<sock_filter> Filter(const std::vector<long>& calls, uint32_t outcome, int fd,
                                uint32_t flags = 0) {
#if defined(__x86_64__) && !defined(__ILP32__)
  const uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
  const uint32_t arch = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
  const uint32_t arch = AUDIT_ARCH_AARCH64;
#else
  return {};
#endif
  const auto op = [](uint16_t code, uint32_t k, size_t yes = 0, size_t no = 0) {
    return sock_filter{code, static_cast<uint8_t>(yes), static_cast<uint8_t>(no), k};
  };
  const uint16_t load = BPF_LD | BPF_W | BPF_ABS, equal = BPF_JMP | BPF_JEQ | BPF_K;
  const uint16_t answer = BPF_RET | BPF_K;
  std::vector<sock_filter> code = {op(load, offsetof(seccomp_data, arch)), op(equal, arch, 1),
                                   op(answer, SECCOMP_RET_ALLOW),
                                   op(load, offsetof(seccomp_data, nr))};
  for (size_t i = 0; i < calls.size(); ++i) {
    code.push_back(op(equal, static_cast<uint32_t>(calls[i]), calls.size() - i));
  }
  code.push_back(op(answer, SECCOMP_RET_ALLOW));
  if (fd >= 0) {  // the low half of the first argument, on these little-endian systems
    code.push_back(op(load, offsetof(seccomp_data, args)));
    code.push_back(op(equal, static_cast<uint32_t>(fd), 1));
    code.push_back(op(answer, SECCOMP_RET_ALLOW));
  } else if (flags != 0) {
    code.push_back(op(load, offsetof(seccomp_data, args) + 2 * sizeof(uint64_t)));
    code.push_back(op(BPF_JMP | BPF_JSET | BPF_K, flags, 1));
    code.push_back(op(answer, SECCOMP_RET_ALLOW));
  }
  code.push_back(op(answer, outcome));
  return code;
}

// Makes the system calls `calls` fail with `error` from now on in this process and its children
// (only on the descriptor `fd`, or with the flags `flags`, if given), as a broken file system
// would. False where the system does not let a process do that.
bool FailCalls(const std::vector<long>& calls, int error, int fd = -1, uint32_t flags = 0) {
  std::vector<sock_filter> code =
      Filter(calls, SECCOMP_RET_ERRNO | static_cast<uint32_t>(error), fd, flags);
  const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
  return !code.empty() && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs `body` on a thread of its own, stopping that thread each time it is about to open a file
// by the name `name` (relative to a folder, as the save opens its temporary file) to run `action`
// before the open goes on: what happens there between a look and an open is then certain. False
// where the system cannot stop a thread at a call (`body` then may not have run, or not as meant).
bool OnOpening(const std::string& name, const std::function<void()>& action,
               const std::function<void()>& body) {
  std::atomic<int> listener{-2};  // -2 until the thread has tried to make one
  std::atomic<bool> done{false};
  bool continued = true;
  std::thread worker([&] {
    std::vector<sock_filter> code = Filter({SYS_openat}, SECCOMP_RET_USER_NOTIF, -1);
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    listener = code.empty() || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
                   ? -1
                   : static_cast<int>(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                                              SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
    if (listener >= 0) body();
    done = true;
  });
  while (listener == -2) std::this_thread::yield();
  while (listener >= 0 && !done) {
    pollfd ready{listener, POLLIN, 0};
    seccomp_notif call{};
    if (poll(&ready, 1, 10) <= 0 || ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &call) != 0) continue;
    // The stopped thread shares this memory, so the name it opens can be read in place.
    if (name == reinterpret_cast<const char*>(static_cast<uintptr_t>(call.data.args[1]))) action();
    seccomp_notif_resp answer{};
    answer.id = call.id;
    answer.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &answer) != 0) {  // too old to let a call go on
      continued = false;
      answer.flags = 0;
      answer.error = -ENOSYS;
      ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &answer);
    }
  }
  worker.join();
  if (listener >= 0) close(listener);
  return listener >= 0 && continued;
}

// The calls through which the C library looks at an open file.
const std::vector<long> kLookCalls = {
#if defined(SYS_fstat)
    SYS_fstat,
#endif
#if defined(SYS_newfstatat)
    SYS_newfstatat,
#endif
#if defined(SYS_fstat64)
    SYS_fstat64,
#endif
#if defined(SYS_fstatat64)
    SYS_fstatat64,
#endif
    SYS_statx};

// The descriptor this process has open on the file at `path`, or -1.
int DescriptorOf(const std::string& path) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code unreadable;
    if (fs::read_symlink(entry.path(), unreadable) == path)
      return std::stoi(entry.path().filename());
  }
  return -1;
}
#endif

}  // namespace

TEST(FileSave, ReplacesTheFileUnderAnyNameAndLeavesNothingElse) {
  TempDir dir;
  // A leftover of a killed save, longer than the new text, is taken over; a second name of
  // another file is never written.
  WriteFile(dir.File("other.txt"), "someone's data");
  fs::create_hard_link(PathOf(dir.File("other.txt")), PathOf(dir.File(".news.db.tmp")));
  WriteFile(dir.File(u8".Nachrichten-ü-日本.db.tmp"), std::string(1000, '!'));
#if defined(_WIN32)
  // Read-only, which neither opens it for writing nor lets it be removed until that is cleared.
  SetFileAttributesW(PathOf(dir.File(u8".Nachrichten-ü-日本.db.tmp")).wstring().c_str(),
                     FILE_ATTRIBUTE_READONLY);
#endif
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
#if defined(_WIN32)
  // The database did not become read-only.
  EXPECT_TRUE(kItem.SerializeFile(dir.File(u8"Nachrichten-ü-日本.db")));
#endif
}

TEST(FileSave, FailureReturnsFalseAndKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  WriteFile(path, "old");
  fs::create_directory(PathOf(TemporaryPathFor(path)));
  EXPECT_FALSE(kItem.SerializeFile(path));
  fs::remove(PathOf(TemporaryPathFor(path)));
  {
    FileReplacement abandoned;  // goes before Commit(), as a save that meets an error does
    ASSERT_TRUE(abandoned.Begin(path) && abandoned.Write("new", 3));
  }
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
  {  // The temporary name taken meanwhile (by a save that found no lock): not renamed into place.
    FileReplacement save;
    ASSERT_TRUE(save.Begin(path) && save.Write("new", 3));
    ASSERT_TRUE(fs::remove(TemporaryPathFor(path)));
    WriteFile(TemporaryPathFor(path), "");
    EXPECT_FALSE(save.Commit());
    EXPECT_TRUE(Exists(TemporaryPathFor(path)));  // not this save's to remove
    fs::remove(TemporaryPathFor(path));
  }
#endif
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));
}

// A name too long for ".NAME.tmp" in its folder saves under a shorter temporary name that is
// the same in every process, so the lock still works.
TEST(FileSave, LongNamesSaveUnderAShorterTemporaryName) {
  const std::tuple<std::string, size_t, std::string> cases[] = {
      {std::string(250, 'n'), 255, "." + std::string(250, 'n') + ".tmp"},
      {std::string(251, 'n'), 255, "." + std::string(233, 'n') + "~5e213bdb3ee7e039.tmp"},
      {std::string(255, 'n'), 255, "." + std::string(233, 'n') + "~c2c977771654d7a9.tmp"},
      {u8"Nachrichten-日本語-aus-aller-Welt.db", 38, u8".Nachrichten-日~7710cdd57365a9fb.tmp"},
  };
  const auto bytes = [](const std::string& text) { return text.size(); };
  for (const auto& [name, limit, temporary] : cases) {
    EXPECT_EQ(TemporaryNameFor(name, limit, bytes), temporary);
  }
  TempDir dir;
  const std::string path = dir.File(std::string(255, 'n'));
  WriteFile(dir.File(std::get<2>(cases[2])), "left by a killed save");
  ASSERT_TRUE(kItem.SerializeFile(path));
  EXPECT_EQ(ReadFile(path), TextOf(kItem));
  EXPECT_EQ(std::distance(fs::directory_iterator(PathOf(dir.File(""))), {}), 1);
#if defined(_WIN32)
  // A path of 258 characters, whose temporary file's path is longer than MAX_PATH.
  const std::string folder = dir.File(std::string(150, 'f'));
  fs::create_directory(PathOf(folder));
  const size_t length = PathOf(folder).wstring().size() + 1;
  ASSERT_LT(length, 250u);
  const std::string deep = folder + "/" + std::string(258 - length, 'n');
  ASSERT_EQ(PathOf(deep).wstring().size(), 258u);
  NewsDB db;
  db.AddNewsItem(kItem);
  ASSERT_TRUE(db.SerializeFile(deep) && db.SerializeFile(deep));
  NewsDB loaded(deep);
  EXPECT_FALSE(loaded.DidConstructionFail());
  EXPECT_EQ(TextOf(loaded), TextOf(db));
  EXPECT_EQ(std::distance(fs::directory_iterator(PathOf(folder)), {}), 1);
#endif
}

// A save writes its text in pieces as it is produced, the disk given them every few megabytes:
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
  // Pieces handed to the save's writer land in order, before what is written after them (a few
  // rounds, as a writer that is not waited for may still be first by chance).
  for (int round = 0; round < 4; ++round) {
    FileReplacement save;
    std::string first(16 << 20, 'a'), second(16 << 20, 'b');
    ASSERT_TRUE(save.Begin(path) && save.Hand(first) && save.Hand(second) && second.empty() &&
                save.Write("end", 3) && save.Commit());
    EXPECT_TRUE(ReadFile(path) == std::string(16 << 20, 'a') + std::string(16 << 20, 'b') + "end");
  }
  ASSERT_TRUE(db.SerializeFile(path));
#if !defined(_WIN32)
  // A few pieces get written, the rest cannot; the signal that says so is ignored or blocked,
  // and a signal the program blocked stays blocked on the save's own thread.
  for (const bool blocked : {false, true}) {
    const auto limited = [blocked] {
      sigset_t xfsz;
      sigemptyset(&xfsz);
      sigaddset(&xfsz, SIGXFSZ);
      const rlimit limit{3 << 20, RLIM_INFINITY};
      return (blocked ? sigprocmask(SIG_BLOCK, &xfsz, nullptr) == 0
                      : std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR) &&
             setrlimit(RLIMIT_FSIZE, &limit) == 0;
    };
    const std::string result = InChild(limited, [&] {
      db.items.pop_back();
      // A handed piece that cannot be written fails the save even when nothing follows it, and
      // the failure of the write, not of a later step, is what each save reports.
      FileReplacement save;
      std::string piece(4 << 20, 'x');
      const auto tooLarge = std::make_error_code(std::errc::file_too_large);
      return !db.SerializeFile(path) && db.LastError() == tooLarge &&
             !(save.Begin(path) && save.Hand(piece) && save.Commit()) && save.Error() == tooLarge;
    });
    EXPECT_EQ(result, "ok") << (blocked ? "blocked: " : "ignored: ") << "the save did not fail";
    EXPECT_EQ(ReadFile(path), saved);
    EXPECT_FALSE(Exists(TemporaryPathFor(path)));
  }
#endif
  // Wherever a piece ends in or between records, the file gets the text Serialize gives.
  for (size_t shift = 0; shift < 100; ++shift) {
    NewsDB crossing;
    crossing.items = {
        NewsItem(1, "", std::string((1 << 20) - 90 + shift, 'x'), 1, 1, 1, 2026, 0, 1),
        NewsItem(2, "", "", 1, 1, 1, 2026, 0, 1), NewsItem(3, "t", "", 1, 1, 1, 2026, 0, 1)};
    ASSERT_TRUE(crossing.SerializeFile(path));
    EXPECT_EQ(ReadFile(path), TextOf(crossing)) << "a piece ending " << shift << " bytes later";
  }
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
  // A link to a file still to be made counts as missing where a save could make that file.
  ASSERT_EQ(symlink("later.db", dir.File("ahead").c_str()), 0);
  EXPECT_EQ(reader.Open(dir.File("ahead")), OpenResult::kMissing);
  ASSERT_EQ(symlink("missing/news.db", dir.File("dangling").c_str()), 0);
  EXPECT_EQ(reader.Open(dir.File("dangling")), OpenResult::kFailed);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
#if defined(__linux__)
  const int opens = inotify_init1(IN_NONBLOCK);  // hears of every open of the FIFO
  ASSERT_GE(inotify_add_watch(opens, dir.File("fifo").c_str(), IN_OPEN), 0);
#endif
  EXPECT_EQ(reader.Open(dir.File("fifo")), OpenResult::kFailed);  // and returns: nothing blocks
#if defined(__linux__)
  char heard[256];
  EXPECT_LT(read(opens, heard, sizeof heard), 0) << "the FIFO was opened";
  close(opens);
#endif
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

// Every refused load and save says why, each cause once: the system's error where a call of its
// failed, else the rule of this library's that refused it. An attempt gives the error of one that
// failed, or none. Rows with a preparation run in a child process that it prepares (switched to
// Alice, or with a system call failing), skipped where that cannot be done.
TEST(FileErrors, EachRefusalSaysWhy) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  WriteFile(path, TextOf(NewsDB()));
  fs::create_directory(PathOf(dir.File("folder")));
  const auto load = [](const std::string& at) {
    NewsDB db(at);
    return db.DidConstructionFail() ? db.LastError() : std::error_code();
  };
  const auto save = [](const std::string& at) {
    NewsDB db;
    return db.SerializeFile(at) ? std::error_code() : db.LastError();
  };
  // A save that gives up waiting for another thread's save of the file, which holds it meanwhile:
  // that save's file stays, for it to finish with. Asked three times, ever later, or it fails here.
  const auto giveUp = [&] {
    FileReplacement held;
    bool begun = false;
    std::thread([&] { begun = held.Begin(path); }).join();
    std::vector<std::chrono::steady_clock::duration> waited;
    const auto third = [&waited](std::chrono::steady_clock::duration sofar) {
      waited.push_back(sofar);
      return waited.size() < 3;
    };
    NewsDB db;
    FileStamp seen;
    if (!begun || db.UpdateFile(
                      path, seen, [](NewsDB&, FileContent) { return true; }, third))
      return false;
    const bool asked = waited.size() == 3 && waited[0] < waited[1] && waited[1] < waited[2];
    return asked && db.LastError() == FileError::kWaitGivenUp && held.Write("new", 3) &&
           held.Commit() && ReadFile(path) == "new";
  };
  // A save of the file started within a save of it on the same thread, which it would wait for.
  const auto nested = [&] {
    FileReplacement outer;
    NewsDB db;
    FileStamp seen;
    const bool inner =
        outer.Begin(path) && db.UpdateFile(path, seen, [](NewsDB&, FileContent) { return true; });
    return inner ? std::error_code() : db.LastError();
  };
  const auto unexpected = std::make_error_code(std::errc::state_not_recoverable);
  const std::function<bool()> here;
#if defined(_WIN32)
  const std::function<bool()> apart;
  fs::create_directory(PathOf(TemporaryPathFor(dir.File("blocked.db"))));
#else
  const std::function<bool()> apart = [] { return true; };  // where a wait never given up ends
  const auto asAlice = [] {
    return geteuid() == 0 && setgroups(0, nullptr) == 0 && setgid(kAlice) == 0 &&
           setuid(kAlice) == 0;
  };
  const std::string sticky = dir.File("sticky"), secret = dir.File("secret.db");
  fs::create_directory(sticky);
  fs::permissions(dir.File(""), fs::perms(0755));
  fs::permissions(sticky, fs::perms(01777));
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink(path.c_str(), (sticky + "/link.db").c_str()), 0);
  WriteFile(secret, "mallory's");
  WriteFile(TemporaryPathFor(sticky + "/blocked.db"), "mallory's");
  if (geteuid() == 0) {  // Mallory's, as far as this runner may make them so
    ASSERT_TRUE(lchown((sticky + "/link.db").c_str(), kMallory, kMallory) == 0 &&
                chown(secret.c_str(), kMallory, kMallory) == 0 &&
                chmod(secret.c_str(), 0600) == 0 &&
                chown(TemporaryPathFor(sticky + "/blocked.db").c_str(), kMallory, kMallory) == 0 &&
                chmod(TemporaryPathFor(sticky + "/blocked.db").c_str(), 0666) == 0);
  }
#endif
  const std::tuple<const char*, std::function<std::error_code()>, std::error_code,
                   std::function<bool()>>
      cases[] = {
        {"load of a missing file", [&] { return load(dir.File("missing.db")); }, kNoSuchFile, here},
        {"load in a missing folder", [&] { return load(dir.File("missing/news.db")); },
         FileError::kFolderMissing, here},
        {"save in a missing folder", [&] { return save(dir.File("missing/news.db")); },
         FileError::kFolderMissing, here},
        {"load of a folder", [&] { return load(dir.File("folder")); },
         std::make_error_code(std::errc::is_a_directory), here},
        {"save over a folder", [&] { return save(dir.File("folder")); },
         std::make_error_code(std::errc::is_a_directory), here},
        {"wait given up", [&] { return giveUp() ? FileError::kWaitGivenUp : unexpected; },
         FileError::kWaitGivenUp, apart},
        {"save within a save of the same thread", nested, FileError::kSavingAlready, apart},
#if defined(_WIN32)
        {"a folder at the temporary name", [&] { return save(dir.File("blocked.db")); },
         FileError::kTemporaryInTheWay, here},
        {"load of an alternate data stream", [&] { return load(path + ":s"); },
         std::make_error_code(std::errc::invalid_argument), here},
        {"save into an alternate data stream", [&] { return save(path + ":s"); },
         std::make_error_code(std::errc::invalid_argument), here},
        {"save by a name with a lone surrogate", [&] { return save(dir.File("\xED\xA0\x80")); },
         std::error_code(ERROR_NO_UNICODE_TRANSLATION, std::system_category()), here},
#else
        {"load of a FIFO", [&] { return load(dir.File("fifo")); }, FileError::kNotRegularFile,
         here},
        {"load of a file Alice may not read", [&] { return load(secret); },
         std::make_error_code(std::errc::permission_denied), asAlice},
        {"save in a folder Alice may not write", [&] { return save(dir.File("alice.db")); },
         std::make_error_code(std::errc::permission_denied), asAlice},
        {"save through Mallory's link in a shared sticky folder",
         [&] { return save(sticky + "/link.db"); }, FileError::kUnsafeLink, asAlice},
        {"Mallory's file at the temporary name", [&] { return save(sticky + "/blocked.db"); },
         FileError::kTemporaryInTheWay, asAlice},
#endif
#if defined(__linux__)
        {"read error", [&] { return load(path); }, std::make_error_code(std::errc::io_error),
         [] { return FailCalls({SYS_read}, EIO); }},
#endif
      };
  for (const auto& [cause, attempt, expected, prepare] : cases) {
    SCOPED_TRACE(cause);
#if !defined(_WIN32)
    if (prepare) {
      const std::string result = InChild(prepare, [&] { return attempt() == expected; });
      if (result == "impossible")
        std::cout << "skipped, cannot be arranged here: " << cause << "\n";
      EXPECT_TRUE(result == "ok" || result == "impossible") << result;
      continue;
    }
#endif
    const std::error_code error = attempt();
    EXPECT_EQ(error, expected) << error.message();
  }
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));
}

#if defined(_WIN32)
// The owner of the file at `path`, as a string; empty if it cannot be read.
std::string OwnerOf(const std::string& path) {
  const HANDLE file = CreateFileW(PathOf(path).wstring().c_str(), READ_CONTROL, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  char* text = nullptr;
  const bool known = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                     nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                     ConvertSidToStringSidA(owner, &text);
  const std::string result = known ? text : "";
  LocalFree(text);
  LocalFree(descriptor);
  CloseHandle(file);
  return result;
}

// Another user's file at the temporary name is never written, so the database never gets that
// user as its owner: it is removed where this user may. The test's runner plants such a file
// where it can make one (under wine, as root, a file of another Unix user).
TEST(FilePermissions, AnotherUsersTemporaryFileIsNeverTakenOver) {
  const char* const planted = std::getenv("NEWS_FOREIGN_FOLDER");
  if (planted == nullptr) GTEST_SKIP() << "no file of another user was planted for this test";
  TempDir dir;
  const std::string own = dir.File("own.db"), path = std::string(planted) + "/news.db";
  ASSERT_TRUE(kItem.SerializeFile(own));
  if (OwnerOf(TemporaryPathFor(path)) == OwnerOf(own)) {
    GTEST_SKIP() << "the planted file is this user's own: only a runner as root plants another's";
  }
  ASSERT_TRUE(kItem.SerializeFile(path));
  EXPECT_EQ(ReadFile(path), TextOf(kItem));
  EXPECT_EQ(OwnerOf(path), OwnerOf(own));
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));
}

// Another user's save, which might hold its lock for ever, is waited for only as long as the save
// says (ten seconds unless set); then the save fails and leaves both files alone.
TEST(FilePermissions, AnotherUsersSaveIsWaitedForOnlyAsLongAsTheSaveSays) {
  const char* const planted = std::getenv("NEWS_FOREIGN_FOLDER");
  if (planted == nullptr) GTEST_SKIP() << "no file of another user was planted for this test";
  const std::string path = std::string(planted) + "/held.db";
  const std::string temporary = TemporaryPathFor(path);
  if (OwnerOf(temporary) == OwnerOf(std::string(planted) + "/target.db")) {
    GTEST_SKIP() << "the planted file is this user's own: only a runner as root plants another's";
  }
  // That user's save in progress, which lets others only read its file.
  const HANDLE held =
      CreateFileW(PathOf(temporary).wstring().c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  FileReplacement save;
  save.SetOthersWait(std::chrono::milliseconds(100));
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(save.Begin(path));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5)) << "the set wait";
  EXPECT_EQ(save.Error(), make_error_code(FileError::kOthersSaveHeld));
  CloseHandle(held);
  EXPECT_FALSE(Exists(path));
}

// Windows opens one file by its name in any letter case, with dots or spaces after it, or by its
// short name: a save by any of them replaces that file, under the name it has, with one lock.
TEST(FileSave, EverySpellingOfANameSavesIntoOneFileUnderOneLock) {
  TempDir dir;
  const std::string path = dir.File("Nachrichten aus aller Welt.db");
  EXPECT_EQ(TemporaryPathFor(path + ". "), TemporaryPathFor(path));  // before the file exists
  ASSERT_TRUE(kItem.SerializeFile(path));
  std::vector<std::string> spellings = {path + ".", path + " ", path + ". .",
                                        dir.File("NACHRICHTEN aus aller welt.DB")};
  std::wstring shortName(MAX_PATH, L'\0');
  shortName.resize(GetShortPathNameW(PathOf(path).wstring().c_str(), &shortName[0], MAX_PATH));
  if (!shortName.empty() && PathOf(path).wstring() != shortName) {
    spellings.push_back(fs::path(shortName).u8string());
  }
  for (const std::string& spelling : spellings) {
    SCOPED_TRACE(spelling);
    FileReplacement held, other;
    ASSERT_TRUE(held.Begin(path));
    EXPECT_FALSE(other.Begin(spelling, [](std::chrono::steady_clock::duration) { return false; }));
    EXPECT_EQ(other.Error(), FileError::kSavingAlready);
    ASSERT_TRUE(held.Write("x", 1) && held.Commit());
    ASSERT_TRUE(kItem.SerializeFile(spelling));
    EXPECT_EQ(ReadFile(path), TextOf(kItem));
  }
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(PathOf(dir.File("")))) {
    found.insert(entry.path().filename().u8string());
  }
  EXPECT_EQ(found, std::set<std::string>{"Nachrichten aus aller Welt.db"});
}

// A save keeps the attributes that hide a file or mark it the system's.
TEST(FileSave, KeepsHiddenAndSystemAttributes) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  WriteFile(path, "old");
  const std::wstring wide = PathOf(path).wstring();
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  ASSERT_TRUE(SetFileAttributesW(wide.c_str(), kept));
  if ((GetFileAttributesW(wide.c_str()) & kept) != kept) {
    GTEST_SKIP() << "this file system keeps no such attributes";
  }
  ASSERT_TRUE(kItem.SerializeFile(path));
  EXPECT_EQ(ReadFile(path), TextOf(kItem));
  EXPECT_EQ(GetFileAttributesW(wide.c_str()) & kept, kept);
}

// A symbolic link at the database is replaced by the saved file, not followed. Wine makes no
// links, so there the test's runner plants one.
TEST(FileSave, ReplacesALinkAtTheDatabase) {
  TempDir dir;
  std::string folder = dir.File("");
  WriteFile(folder + "target.db", "old");
  CreateSymbolicLinkW(PathOf(folder + "link.db").wstring().c_str(), L"target.db",
                      SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  if (!Exists(folder + "link.db")) {
    const char* const planted = std::getenv("NEWS_FOREIGN_FOLDER");
    if (planted == nullptr)
      GTEST_SKIP() << "no symbolic link can be made here, and none was planted";
    folder = std::string(planted) + "/";
  }
  ASSERT_TRUE(kItem.SerializeFile(folder + "link.db"));
  EXPECT_EQ(ReadFile(folder + "link.db"), TextOf(kItem));
  EXPECT_EQ(ReadFile(folder + "target.db").substr(0, 3), "old");
}
#else
TEST(FileSave, KeepsModeOwnerAndGroupAndFollowsLinks) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  // A new file gets the mode any new file gets, whatever leftover it is made from; and a save
  // never writes into a leftover, which someone may have opened while it was readable.
  for (int save = 0; save < 2; ++save) {
    WriteFile(TemporaryPathFor(path), "left by a killed save");
    chmod(TemporaryPathFor(path).c_str(), 0600);
    const int openedBefore = open(TemporaryPathFor(path).c_str(), O_RDONLY);
    const mode_t oldMask = umask(027);
    ASSERT_TRUE(kItem.SerializeFile(path));
    umask(oldMask);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));
    char seen[64];
    EXPECT_EQ(pread(openedBefore, seen, sizeof seen, 0), 21) << "the new text was written there";
    close(openedBefore);
  }

  WriteFile(path, std::string(300000, 'o'));
  chmod(path.c_str(), 0604);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path.c_str(), kAlice, kTeam), 0);
  }
  ASSERT_EQ(symlink("news.db", dir.File("link").c_str()), 0);
  ASSERT_EQ(symlink("link", dir.File("link2").c_str()), 0);
  // Links to folders on the way too, and ".." after one leads out of the folder it names.
  fs::create_directories(PathOf(dir.File("real/sub")));
  ASSERT_EQ(symlink("real/sub", dir.File("folder").c_str()), 0);
  ASSERT_EQ(symlink("../../link2", dir.File("real/sub/up").c_str()), 0);
  ASSERT_TRUE(kItem.SerializeFile(dir.File("folder/./up")));
  EXPECT_EQ(ReadFile(path), TextOf(kItem));
  EXPECT_TRUE(fs::is_symlink(dir.File("link2")));
  EXPECT_TRUE(fs::is_symlink(dir.File("real/sub/up")));
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  if (root) {
    EXPECT_EQ(info.st_uid, kAlice);
    EXPECT_EQ(info.st_gid, kTeam);
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
  const std::string readOnly = shared + "/read-only.db", secret = shared + "/secret.db";
  const std::string team = shared + "/team.db", planted = shared + "/planted.db";
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

  // Bob shares Alice's group: his save keeps the group and mode as they were (the file becomes
  // his: nobody may give a file to another owner).
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
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  // Another user's temporary file, a plain one and a FIFO: neither used nor removed.
  const std::string direct = sticky + "/direct.db", fifo = sticky + "/fifo.db";
  WriteFile(TemporaryPathFor(direct), "mallory's");
  ASSERT_EQ(mkfifo(TemporaryPathFor(fifo).c_str(), 0666), 0);
  for (const std::string& planted : {TemporaryPathFor(direct), TemporaryPathFor(fifo)}) {
    ASSERT_EQ(chown(planted.c_str(), kMallory, kMallory), 0);
    chmod(planted.c_str(), 0666);
  }
  const std::string planted = AsUser(kAlice, kAlice, {}, [&] {
    return !kItem.SerializeFile(direct) && !kItem.SerializeFile(fifo);
  });
  if (planted == "impossible") GTEST_SKIP() << "cannot switch to another user here";
  EXPECT_EQ(planted, "ok");
  EXPECT_FALSE(kItem.SerializeFile(direct) || kItem.SerializeFile(fifo));  // nor the folder's owner
  EXPECT_EQ(ReadFile(TemporaryPathFor(direct)), "mallory's");
  EXPECT_TRUE(fs::is_fifo(TemporaryPathFor(fifo)));
  // A FIFO of her own is removed.
  ASSERT_EQ(chown(TemporaryPathFor(fifo).c_str(), kAlice, kAlice), 0);
  EXPECT_EQ(AsUser(kAlice, kAlice, {}, [&] { return kItem.SerializeFile(fifo); }), "ok");
  EXPECT_EQ(ReadFile(fifo), TextOf(kItem));
}

// Where a walk to a file ends: the folder it names, open, and the file's name there.
struct Walked {
  bool ok = false;
  std::string name, resolved;
  std::error_code error;
  struct stat folder {};
};

Walked WalkTo(const std::string& path) {
  Walked walked;
  int folder = -1;
  walked.ok = Resolve(path, folder, walked.name, walked.resolved, walked.error);
  if (folder >= 0) {
    fstat(folder, &walked.folder);
    close(folder);
  }
  return walked;
}

// True when the walk ended in the folder at `path`.
bool EndedIn(const Walked& walked, const std::string& path) {
  struct stat info;
  return walked.ok && stat(path.c_str(), &info) == 0 && info.st_dev == walked.folder.st_dev &&
         info.st_ino == walked.folder.st_ino;
}

// Links to the file and to folders on the way are followed, ".." after a link leads out of the
// folder it names, and a link from the root starts the walk there again.
TEST(PathWalk, FollowsLinksAndDotsAsTheSystemDoes) {
  TempDir dir;
  fs::create_directories(PathOf(dir.File("real/sub")));
  ASSERT_EQ(symlink("news.db", dir.File("link").c_str()), 0);
  ASSERT_EQ(symlink("link", dir.File("link2").c_str()), 0);
  ASSERT_EQ(symlink("real/sub", dir.File("folder").c_str()), 0);
  ASSERT_EQ(symlink("../../link2", dir.File("real/sub/up").c_str()), 0);
  ASSERT_EQ(symlink(dir.File("real").c_str(), dir.File("absolute").c_str()), 0);
  const Walked up = WalkTo(dir.File("folder/./up"));
  EXPECT_TRUE(EndedIn(up, dir.File(""))) << up.error.message();
  EXPECT_EQ(up.name, "news.db");  // which need not exist yet
  EXPECT_EQ(up.resolved, dir.File("news.db"));
  const Walked absolute = WalkTo(dir.File("folder/../../absolute/sub/../x.db"));
  EXPECT_TRUE(EndedIn(absolute, dir.File("real"))) << absolute.error.message();
  EXPECT_EQ(absolute.resolved, dir.File("real/x.db"));
}

TEST(PathWalk, RefusesLoopsMissingFoldersAndFolders) {
  TempDir dir;
  fs::create_directory(PathOf(dir.File("real")));
  ASSERT_EQ(symlink("loop", dir.File("loop").c_str()), 0);
  ASSERT_EQ(symlink("there/x.db", dir.File("here").c_str()), 0);
  ASSERT_EQ(symlink("here", dir.File("there").c_str()), 0);
  ASSERT_EQ(symlink("real/", dir.File("slashed").c_str()), 0);
  const std::pair<std::string, std::error_code> refusals[] = {
      {"loop", std::make_error_code(std::errc::too_many_symbolic_link_levels)},
      {"here", std::make_error_code(std::errc::too_many_symbolic_link_levels)},
      {"missing/news.db", FileError::kFolderMissing},
      {"real/", std::make_error_code(std::errc::is_a_directory)},
      {"real/..", std::make_error_code(std::errc::is_a_directory)},
      {"slashed", std::make_error_code(std::errc::is_a_directory)},
  };
  for (const auto& [path, why] : refusals) {
    const Walked walked = WalkTo(dir.File(path));
    EXPECT_FALSE(walked.ok) << path;
    EXPECT_EQ(walked.error, why) << path;
  }
}

// In a shared sticky folder such as /tmp a link is followed only where the system would: when it
// is this user's own or the folder owner's, never another user's, on the way or at the file.
TEST(PathWalk, FollowsALinkInASharedStickyFolderOnlyOfThisUserOrTheFolderOwner) {
  TempDir dir;
  const std::string sticky = dir.File("sticky"), home = dir.File("home");
  fs::create_directory(sticky);
  fs::create_directory(home);
  fs::permissions(sticky, fs::perms(01777));
  const std::string atFile = sticky + "/news.db", onTheWay = sticky + "/team";
  ASSERT_EQ(symlink((home + "/news.db").c_str(), atFile.c_str()), 0);
  ASSERT_EQ(symlink(home.c_str(), onTheWay.c_str()), 0);
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  ASSERT_EQ(chown(sticky.c_str(), kAlice, kAlice), 0);
  const auto followed = [&](uid_t owner) {
    std::string seen;
    for (const std::string& link : {atFile, onTheWay}) {
      if (lchown(link.c_str(), owner, owner) != 0) return std::string("lchown failed");
    }
    for (const std::string& path : {atFile, onTheWay + "/news.db"}) {
      const Walked walked = WalkTo(path);
      seen += EndedIn(walked, home) ? "followed "
              : walked.error == FileError::kUnsafeLink ? "refused "
                                                       : walked.error.message() + " ";
    }
    return seen;
  };
  EXPECT_EQ(followed(kMallory), "refused refused ");
  EXPECT_EQ(followed(kAlice), "followed followed ");  // the folder's owner
  EXPECT_EQ(followed(geteuid()), "followed followed ");
  fs::permissions(sticky, fs::perms(0777));  // not sticky: the system follows anyone's links
  EXPECT_EQ(followed(kMallory), "followed followed ");
  fs::permissions(sticky, fs::perms(01775));  // sticky, but not everyone's to write
  EXPECT_EQ(followed(kMallory), "followed followed ");
}

// A stray link, FIFO or other file that is not plain at the temporary name is removed, never
// written through or opened, and the save goes on.
TEST(FileSave, RemovesWhatIsNotAPlainFileAtTheTemporaryName) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const std::string temporary = TemporaryPathFor(path);
  WriteFile(dir.File("other.txt"), "someone's data");
  const std::function<int()> strays[] = {
      [&] { return symlink("/nonexistent/file", temporary.c_str()); },
      [&] { return symlink("other.txt", temporary.c_str()); },
      [&] { return mkfifo(temporary.c_str(), 0600); },
  };
  for (const auto& stray : strays) {
    ASSERT_EQ(stray(), 0);
    // A reader of the FIFO would see a writer come and go, were it opened.
    const int reader = open(temporary.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    EXPECT_TRUE(kItem.SerializeFile(path));
    EXPECT_EQ(ReadFile(path), TextOf(kItem));
    EXPECT_FALSE(Exists(temporary));
    pollfd fifo{reader, POLLIN, 0};
    EXPECT_TRUE(reader < 0 || poll(&fifo, 1, 0) == 0) << "the FIFO was opened";
    if (reader >= 0) close(reader);
  }
  EXPECT_EQ(ReadFile(dir.File("other.txt")), "someone's data");
}

// A database file over 2 GiB loads and saves, on 32-bit systems too; only its start is read.
TEST(FileLoad, FilesOver2GiBLoadAndSave) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB db;
  db.AddNewsItem(kItem);
  WriteFile(path, TextOf(db));
  std::error_code error;
  fs::resize_file(PathOf(path), uint64_t{3} << 30, error);  // sparse: no disk space is used
  if (error) GTEST_SKIP() << "this file system cannot hold a 3 GiB file: " << error.message();
  NewsDB loaded(path);
  ASSERT_FALSE(loaded.DidConstructionFail());
  EXPECT_EQ(StampOf(path).size, uint64_t{3} << 30);
  ASSERT_TRUE(loaded.Save());
  EXPECT_EQ(ReadFile(path), TextOf(db));
}
#endif

#if defined(__linux__)
// The calls of each step of a save, as the C library makes them here.
const std::vector<long> kTruncateCalls = {
#if defined(SYS_ftruncate64)
    SYS_ftruncate64,
#endif
    SYS_ftruncate};
const std::vector<long> kRenameCalls = {
#if defined(SYS_renameat)
    SYS_renameat,
#endif
    SYS_renameat2};
const std::vector<long> kThreadCalls = {
#if defined(SYS_clone3)
    SYS_clone3,
#endif
    SYS_clone};

// A save that fails at any step returns false and leaves the old file and nothing of its own.
// Only where the file system keeps no locks (a network file system without its lock service)
// does a save go on, unlocked; where no thread can be had for the writing, it writes as it goes.
TEST(FileSave, AStepThatFailsFailsTheSaveWholeButMissingLocksDoNot) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB large;  // large enough to be written in several pieces
  large.items = {NewsItem(1, "Long", std::string(3 << 20, 'x'), 1, 1, 1, 2026, false, true)};
  const std::tuple<std::vector<long>, int, bool> cases[] = {
      {{SYS_flock}, ENOLCK, true},  {{SYS_flock}, EOPNOTSUPP, true}, {{SYS_flock}, ENOSYS, true},
      {{SYS_flock}, EINVAL, false}, {{SYS_flock}, EIO, false},       {kTruncateCalls, EIO, false},
      {{SYS_fchmod}, EPERM, false}, {{SYS_write}, ENOSPC, false},    {{SYS_fsync}, EIO, false},
      {kRenameCalls, EIO, false},   {kThreadCalls, EAGAIN, true}};
  for (const auto& [calls, error, saves] : cases) {
    SCOPED_TRACE(std::to_string(calls[0]) + " failing with " + std::to_string(error));
    WriteFile(path, "old");
    // A failed save reports the error of the call that failed. (Compared by number: comparing
    // categories has the undefined-behaviour sanitizer write, which fails in one of these rows.)
    const std::string result =
        InChild([&] { return FailCalls(calls, error); },
                [&] { return large.SerializeFile(path) || large.LastError().value() != error; });
    if (result == "impossible") GTEST_SKIP() << "system calls cannot be made to fail here";
    EXPECT_EQ(result, saves ? "ok" : "failed");
    EXPECT_EQ(ReadFile(path), saves ? TextOf(large) : "old");
    EXPECT_FALSE(Exists(TemporaryPathFor(path)));
  }
}

// Where the file system keeps no locks, saves cannot wait for one another: each writes a file of
// its own that no other save opens, so two at once each put their whole text in place, the last
// renamed staying. One killed half-way leaves nothing, or, where the system makes no unnamed
// files, its own ".NAME.<16 hex digits>.tmp", which nothing reads or takes over.
TEST(FileSave, WithoutLocksSavesAtOnceEachPutTheirWholeTextInPlace) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB first, second;
  first.items = {NewsItem(1, "First", std::string(3 << 20, '1'), 1, 1, 1, 2026, false, true)};
  second.items = {NewsItem(2, "Second", std::string(2 << 20, '2'), 1, 1, 1, 2026, false, true)};
  const std::string text = TextOf(first);
  const size_t half = text.size() / 2;
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporary files" : "unnamed temporary files");
    const auto noLocks = [named] {
      return FailCalls({SYS_flock}, ENOLCK) &&
             (!named || FailCalls({SYS_openat}, EOPNOTSUPP, -1, O_TMPFILE & ~O_DIRECTORY));
    };
    // A child forked meanwhile shares the save's file, but can neither write nor rename it.
    const std::string overlapping = InChild(noLocks, [&] {
      FileReplacement save;
      if (!save.Begin(path) || !save.Write(text.data(), half)) return false;
      for (const bool commits : {false, true}) {
        const pid_t child = fork();
        if (child == 0) _exit(commits ? save.Commit() : save.Write("child", 5));
        int status = 0;
        if (waitpid(child, &status, 0) != child || status != 0) return false;
      }
      return second.SerializeFile(path) && ReadFile(path) == TextOf(second) &&
             save.Write(text.data() + half, text.size() - half) && save.Commit() &&
             ReadFile(path) == text;
    });
    if (overlapping == "impossible") GTEST_SKIP() << "system calls cannot be made to fail here";
    EXPECT_EQ(overlapping, "ok");
    const std::string killed = InChild(noLocks, [&] {
      FileReplacement save;
      if (save.Begin(path) && save.Write("half", 4)) raise(SIGKILL);
      return false;
    });
    EXPECT_EQ(killed, "crashed");
    EXPECT_EQ(InChild(noLocks, [&] { return second.SerializeFile(path); }), "ok");
    EXPECT_EQ(ReadFile(path), TextOf(second));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.File(""))) {
      if (entry.path().filename() != "news.db") left.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(left.size(), named ? 1u : 0u);
    if (named) {
      EXPECT_TRUE(std::regex_match(left[0], std::regex(R"(\.news\.db\.[0-9a-f]{16}\.tmp)")));
      EXPECT_EQ(ReadFile(dir.File(left[0])), "half");
    }
  }
}

// A file's access control list as the system stores it (a version, then the tag, permissions and
// user of each entry): read and write for its owner and for Alice, `group` for its group (the
// mode's group bits show the mask, read and write), nothing for others.
std::string AccessList(uint16_t group) {
  constexpr uint32_t kNone = UINT32_MAX;  // the owner, the group and the rest name no one
  const std::tuple<uint16_t, uint16_t, uint32_t> entries[] = {
      {1, 6, kNone}, {2, 6, kAlice}, {4, group, kNone}, {0x10, 6, kNone}, {0x20, 0, kNone}};
  std::string list("\x02\0\0\0", 4);
  for (const auto& [tag, permissions, id] : entries) {
    const uint16_t half[2] = {tag, permissions};
    list.append(reinterpret_cast<const char*>(half), 4);
    list.append(reinterpret_cast<const char*>(&id), 4);
  }
  return list;
}

std::string AttributeOf(const std::string& path, const char* name) {
  char value[256];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "" : std::string(value, static_cast<size_t>(size));
}

// A save keeps the file's access list and the extended attributes its user may set, so that
// nobody gains or loses access; a file without a list gets none from its folder; and where the
// list cannot be kept, the save fails.
TEST(FileSave, KeepsTheAccessListAndExtendedAttributes) {
  const char* const kList = "system.posix_acl_access";
  TempDir dir;
  const std::string path = dir.File("news.db"), shared = dir.File("shared");
  const std::string plain = shared + "/plain.db";
  const std::string list = AccessList(0), inherited = AccessList(6);
  WriteFile(path, "old");
  if (setxattr(path.c_str(), kList, list.data(), list.size(), 0) != 0) {
    GTEST_SKIP() << "this file system keeps no access lists";
  }
  const bool userAttributes = setxattr(path.c_str(), "user.origin", "wire", 4, 0) == 0;
  fs::create_directory(shared);
  WriteFile(plain, "old");
  chmod(plain.c_str(), 0660);
  ASSERT_EQ(
      setxattr(shared.c_str(), "system.posix_acl_default", inherited.data(), inherited.size(), 0),
      0);
  ASSERT_TRUE(kItem.SerializeFile(path) && kItem.SerializeFile(plain));
  EXPECT_EQ(AttributeOf(path, kList), list);
  if (userAttributes) {
    EXPECT_EQ(AttributeOf(path, "user.origin"), "wire");
  }
  EXPECT_EQ(AttributeOf(plain, kList), "");
  EXPECT_EQ(fs::status(plain).permissions(), fs::perms(0660));
  const std::string refused = InChild([] { return FailCalls({SYS_fsetxattr}, EPERM); },
                                      [&] { return NewsDB().SerializeFile(path); });
  EXPECT_EQ(refused, "failed");
  // Saved by Alice, whom the list lets write, the file would become hers and the list would
  // speak of her as its owner and of her group: refused.
  fs::permissions(dir.File(""), fs::perms(0777));
  const std::string asAlice =
      AsUser(kAlice, kAlice, {}, [&] { return NewsDB().SerializeFile(path); });
  EXPECT_TRUE(asAlice == "failed" || asAlice == "impossible") << asAlice;
  EXPECT_EQ(ReadFile(path), TextOf(kItem));
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));
}

// A path through links to a file whose full path is longer than the system takes in one piece
// keeps working: each change reads the newest file through the folder the save walked to, never
// by that long path.
TEST(FileSave, APathThroughLinksLongerThanAnyPathKeepsWorking) {
  TempDir dir;
  const std::string part(240, 'd');
  std::string nine;  // two links to nine folders each: a full path of over 4,340 bytes
  for (int level = 0; level < 9; ++level) nine += part + "/";
  const int top = open(dir.File("").c_str(), O_RDONLY | O_DIRECTORY);
  int at = dup(top), middle = -1;
  ASSERT_EQ(symlinkat(nine.c_str(), top, "a"), 0);
  for (int level = 0; level < 18; ++level) {
    ASSERT_EQ(mkdirat(at, part.c_str(), 0755), 0);
    const int next = openat(at, part.c_str(), O_RDONLY | O_DIRECTORY);
    close(at);
    at = next;
    if (level == 8) middle = dup(at);
  }
  close(at);
  ASSERT_EQ(symlinkat(nine.c_str(), middle, "b"), 0);
  const std::string path = dir.File("a/b/news.db");
  const auto add = [](const char* title) {
    return [title](NewsDB& db, FileContent) {
      db.AddNewsItem(NewsItem(db.GetUnusedIndex(), title, "x", 1, 1, 1, 2026, false, true));
      return true;
    };
  };
  NewsDB db, other;
  FileStamp seen, theirs;
  EXPECT_TRUE(db.UpdateFile(path, seen, add("one")));
  EXPECT_TRUE(db.UpdateFile(path, seen, add("two")));
  EXPECT_TRUE(other.UpdateFile(path, theirs, add("three")));
  EXPECT_TRUE(db.ReloadIfChanged(path, seen));
  EXPECT_TRUE(db.UpdateFile(path, seen, add("four")));
  EXPECT_EQ(NewsDB(path).CountAll(), 4u);
  // Half the depth moved up, so that the folder can be removed by its path.
  EXPECT_EQ(renameat(middle, part.c_str(), top, "rest"), 0);
  close(middle);
  close(top);
}

// What takes a name between a save's look at it and its open of the temporary file is dealt with
// as if it had been there before: a link at the temporary name is never followed (what it names is
// never opened) and the save goes on; a FIFO at the database is never replaced, and the save fails.
TEST(FileSave, WhatTakesANameWhileTheTemporaryFileIsOpenedIsCheckedToo) {
  TempDir dir;
  const std::string path = dir.File("news.db"), temporary = TemporaryPathFor(path);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  const int reader = open(dir.File("fifo").c_str(), O_RDONLY | O_NONBLOCK);
  const std::pair<std::function<bool()>, bool> plants[] = {
      {[&] { return fs::remove(temporary) && symlink("fifo", temporary.c_str()) == 0; }, true},
      {[&] { return fs::remove(path) && mkfifo(path.c_str(), 0600) == 0; }, false}};
  for (const auto& [plant, saves] : plants) {
    WriteFile(path, "old");
    WriteFile(temporary, "left by a killed save");  // what the save finds before it opens
    bool planted = false, saved = !saves;
    if (!OnOpening(
            fs::path(temporary).filename().string(), [&] { planted = planted || plant(); },
            [&] { saved = kItem.SerializeFile(path); })) {
      GTEST_SKIP() << "a thread cannot be stopped at a system call here";
    }
    EXPECT_TRUE(planted);
    EXPECT_EQ(saved, saves);
    EXPECT_TRUE(saves ? ReadFile(path) == TextOf(kItem) : fs::is_fifo(path));
    EXPECT_FALSE(Exists(temporary));
  }
  pollfd fifo{reader, POLLIN, 0};
  EXPECT_EQ(poll(&fifo, 1, 0), 0) << "the FIFO was opened";
  close(reader);
}

// Another user's save, which might hold its lock for ever, is waited for only as long as the save
// says (ten seconds unless set); then the save fails and leaves both files alone. One that ends
// meanwhile, even while its file is still private, lets the save go on.
TEST(FilePermissions, AnotherUsersSaveIsWaitedForOnlyAsLongAsTheSaveSays) {
  TempDir dir;
  fs::permissions(dir.File(""), fs::perms(0777));
  const std::string path = dir.File("news.db"), temporary = TemporaryPathFor(path);
  WriteFile(path, "old");
  WriteFile(temporary, "mallory's");
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  ASSERT_TRUE(chmod(path.c_str(), 0666) == 0 && chmod(temporary.c_str(), 0666) == 0 &&
              chown(temporary.c_str(), kMallory, kMallory) == 0);
  const int held = open(temporary.c_str(), O_RDWR);  // her save in progress
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  EXPECT_EQ(AsUser(kAlice, kAlice, {},
                   [&] {
                     FileReplacement save;
                     save.SetOthersWait(std::chrono::milliseconds(100));
                     const auto began = std::chrono::steady_clock::now();
                     return !save.Begin(path) && save.Error() == FileError::kOthersSaveHeld &&
                            std::chrono::steady_clock::now() - began < std::chrono::seconds(5);
                   }),
            "ok");
  close(held);
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(ReadFile(temporary), "mallory's");
  ASSERT_EQ(chmod(temporary.c_str(), 0600), 0);  // her next save, before it takes the mode
  int opens = 0;  // her save ends after the first try to open her file
  const auto hers = [&] { return ++opens != 2 || unlink(temporary.c_str()) == 0; };
  EXPECT_EQ(AsUser(kAlice, kAlice, {},
                   [&] {
                     bool saved = false;
                     return OnOpening(fs::path(temporary).filename().string(), hers,
                                      [&] { saved = kItem.SerializeFile(path); }) &&
                            saved;
                   }),
            "ok");
  EXPECT_EQ(ReadFile(path), TextOf(kItem));
}

// A new file that cannot be looked at once it is in place is still saved, but its stamp is
// unknown, so that it is read again before the next change.
TEST(FileSave, ANewFileThatCannotBeLookedAtHasNoStamp) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const auto saveUnseen = [&] {
    FileReplacement save;
    if (!save.Begin(path) || !save.Write("new", 3)) return false;
    const int fd = DescriptorOf(TemporaryPathFor(path));
    return fd >= 0 && FailCalls(kLookCalls, EIO, fd) && save.Commit() && !save.Stamp().exists;
  };
  const std::string result = InChild([] { return FailCalls({}, EIO); }, saveUnseen);
  if (result == "impossible") GTEST_SKIP() << "system calls cannot be made to fail here";
  EXPECT_EQ(result, "ok");
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_FALSE(Exists(TemporaryPathFor(path)));
}
#endif
