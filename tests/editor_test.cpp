// End-to-end tests: the built editor, typed at through a pipe, on a database file of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace fs = std::filesystem;

using namespace newsdb;  // the library's own names

namespace {

// `text` with each line end written as this platform's scripts and text streams write it.
std::string PlatformLines(std::string text) {
#if defined(_WIN32)
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
    text.insert(at, "\r");
#endif
  return text;
}

#if defined(_WIN32)
// `text` with each CR LF read as one line end.
std::string LinesOf(std::string text) {
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  return text;
}
#endif

// The editor running in a child process, with its standard input, output and error on pipes.
class Editor {
 public:
  // Starts the editor with `args` (the program name first). On POSIX, `inChild` runs in the
  // child just before the editor starts.
  explicit Editor(const std::vector<std::string>& args,
                  const std::function<void()>& inChild = nullptr);
  // An editor that a failed test left running is ended, so that it cannot wait for ever.
  ~Editor() {
    if (!running_) return;
#if defined(_WIN32)
    TerminateProcess(process_, 1);
#else
    kill(pid, SIGKILL);
#endif
    Finish();
  }

  // Types `text`; whatever an editor that has already ended does not take is dropped.
  void Type(const std::string& text);
  // Reads output until `marker` appears after what earlier calls found, or the output ends.
  void ReadUntil(const std::string& marker) {
    size_t at;
    while ((at = out.find(marker, seen_)) == std::string::npos) {
      if (!ReadSome()) return;
    }
    seen_ = at + marker.size();
  }
#if !defined(_WIN32)
  // Reads standard error until `marker` appears after what earlier calls found; false when ten
  // seconds pass without it, or it ends.
  bool ReadErrorsUntil(const std::string& marker);
#endif
  // Ends the input, reads all output and returns the exit status (on Windows the whole code, as
  // cmd's ERRORLEVEL sees it; -1 there would pass `if errorlevel 1`).
  int Finish();

  std::string raw;  // what the editor wrote
  std::string out;  // the same, with CR LF read as one line end as a Windows text stream does
  std::string err;  // what it wrote to standard error, CR LF read as one line end
#if !defined(_WIN32)
  pid_t pid = -1;
#endif

 private:
  bool ReadSome();

  // Reads some of standard error, waiting up to `milliseconds`; false when nothing came.
  bool ReadSomeErrors(int milliseconds);

  size_t seen_ = 0, errorsSeen_ = 0;
  bool running_ = true;
#if defined(_WIN32)
  HANDLE process_ = nullptr, input_ = nullptr, output_ = nullptr, errors_ = nullptr;
#else
  int input_ = -1, output_ = -1, errors_ = -1;
#endif
};

#if defined(_WIN32)
Editor::Editor(const std::vector<std::string>& args, const std::function<void()>&) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE childInput, childOutput, childErrors;
  CreatePipe(&childInput, &input_, &inherit, 1 << 20);
  CreatePipe(&output_, &childOutput, &inherit, 1 << 20);
  CreatePipe(&errors_, &childErrors, &inherit, 1 << 20);
  for (HANDLE own : {input_, output_, errors_}) SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
  std::wstring commandLine;
  for (const std::string& arg : args) commandLine += L"\"" + PathOf(arg).wstring() + L"\" ";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = childErrors;
  PROCESS_INFORMATION started{};
  const std::string program = args.empty() ? NEWS_EDITOR_PATH : args[0];
  if (CreateProcessW(PathOf(program).wstring().c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                     nullptr, nullptr, &startup, &started)) {
    process_ = started.hProcess;
    CloseHandle(started.hThread);
  }
  CloseHandle(childInput);
  CloseHandle(childOutput);
  CloseHandle(childErrors);
}

bool Editor::ReadSomeErrors(int milliseconds) {
  DWORD ready = 0;
  for (int waited = 0; PeekNamedPipe(errors_, nullptr, 0, nullptr, &ready, nullptr) && ready == 0;
       waited += 10) {
    if (waited >= milliseconds) return false;
    Sleep(10);
  }
  char buffer[4096];
  DWORD got = 0;
  if (!ReadFile(errors_, buffer, sizeof buffer, &got, nullptr) || got == 0) return false;
  err = LinesOf(err + std::string(buffer, got));
  return true;
}

void Editor::Type(const std::string& text) {
  DWORD written = 0;
  WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool Editor::ReadSome() {
  char buffer[65536];
  DWORD got = 0;
  if (!ReadFile(output_, buffer, sizeof buffer, &got, nullptr) || got == 0) return false;
  raw.append(buffer, got);
  out = LinesOf(raw);
  return true;
}

int Editor::Finish() {
  CloseHandle(input_);
  while (ReadSome()) {}
  while (ReadSomeErrors(60000)) {}
  running_ = false;
  CloseHandle(output_);
  CloseHandle(errors_);
  DWORD status = 0;
  WaitForSingleObject(process_, INFINITE);
  GetExitCodeProcess(process_, &status);
  CloseHandle(process_);
  return static_cast<int>(status);
}
#else
Editor::Editor(const std::vector<std::string>& args, const std::function<void()>& inChild) {
  int in[2], out[2], errors[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(errors) != 0) return;
  // Other editors started later must not hold this one's pipes open.
  for (int fd : {in[0], in[1], out[0], out[1], errors[0], errors[1]})
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  std::signal(SIGPIPE, SIG_IGN);  // an editor that ended early must not end the test
  pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(errors[1], 2);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (inChild) inChild();
    execv(args.empty() ? NEWS_EDITOR_PATH : args[0].c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(errors[1]);
  input_ = in[1];
  output_ = out[0];
  errors_ = errors[0];
}

bool Editor::ReadSomeErrors(int milliseconds) {
  pollfd ready{errors_, POLLIN, 0};
  char buffer[4096];
  const ssize_t got = poll(&ready, 1, milliseconds) == 1 ? read(errors_, buffer, sizeof buffer) : 0;
  if (got > 0) err.append(buffer, static_cast<size_t>(got));
  return got > 0;
}

void Editor::Type(const std::string& text) {
  if (write(input_, text.data(), text.size())) return;
}

bool Editor::ReadSome() {
  char buffer[65536];
  const ssize_t got = read(output_, buffer, sizeof buffer);
  if (got <= 0) return false;
  raw.append(buffer, static_cast<size_t>(got));
  out.append(buffer, static_cast<size_t>(got));
  return true;
}

int Editor::Finish() {
  close(input_);
  while (ReadSome()) {}
  while (ReadSomeErrors(60000)) {}
  running_ = false;
  close(output_);
  close(errors_);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

#if !defined(_WIN32)
bool Editor::ReadErrorsUntil(const std::string& marker) {
  size_t at;
  while ((at = err.find(marker, errorsSeen_)) == std::string::npos) {
    if (!ReadSomeErrors(10000)) return false;
  }
  errorsSeen_ = at + marker.size();
  return true;
}
#endif

// `text` with @TIME@ and @FIELDS@ replaced by the local time of `moment` as listed and as stored,
// and @EDITOR@ by the editor's path.
std::string Stamped(std::string text, std::time_t moment) {
  const std::tm t = *std::localtime(&moment);
  char listed[64], stored[80];
  std::snprintf(listed, sizeof listed, "%d:%02d %d.%d.%d", t.tm_hour, t.tm_min, t.tm_mday,
                t.tm_mon + 1, t.tm_year + 1900);
  std::snprintf(stored, sizeof stored, R"("%d" "%d" "%d" "%d")", t.tm_hour * 60 + t.tm_min,
                t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
  const std::pair<std::string, std::string> marks[] = {
      {"@TIME@", listed}, {"@FIELDS@", stored}, {"@EDITOR@", NEWS_EDITOR_PATH}};
  for (const auto& [mark, value] : marks) {
    for (size_t at; (at = text.find(mark)) != std::string::npos;)
      text.replace(at, mark.size(), value);
  }
  return text;
}

// Expects `actual` to be `pattern` stamped with the time at the start or at the end of a run.
void ExpectStamped(const std::string& actual, const std::string& pattern, std::time_t start,
                   std::time_t end) {
  if (actual != Stamped(pattern, end)) {
    EXPECT_EQ(actual, Stamped(pattern, start));
  }
}

// The arguments of a session: the lines of its "args" file, @DB@ standing for the database path,
// or else just the database path.
std::vector<std::string> SessionArgs(const std::string& session, const std::string& db) {
  if (!Exists(session + "args")) return {NEWS_EDITOR_PATH, db};
  std::vector<std::string> args = {NEWS_EDITOR_PATH};
  std::istringstream lines(ReadFile(session + "args"));
  for (std::string line; std::getline(lines, line);) args.push_back(line == "@DB@" ? db : line);
  return args;
}

// Expects the editor started with `args` to print `out` and end with status 255 whatever is typed,
// as when it refuses its arguments or its file, and to say `errors` on standard error. On POSIX
// `inChild` runs as for Editor.
void ExpectRefused(const std::vector<std::string>& args, const std::string& out,
                   const std::function<void()>& inChild = nullptr, const std::string& errors = "") {
  Editor editor(args, inChild);
  editor.Type("a\nT\nx\n\nq\n");
  EXPECT_EQ(editor.Finish(), 255);
  EXPECT_EQ(editor.out, out);
  EXPECT_EQ(editor.err, errors);
}

const char kRefused[] = "Unable to load news DB\n";

// The folder where every editor started here keeps what it could not save: one of the tests',
// never the user's own.
class RescueFolder final : public testing::Environment {
 public:
  void SetUp() override {
#if defined(_WIN32)
    _putenv_s("LOCALAPPDATA", state_.File("state").c_str());
#else
    setenv("XDG_STATE_HOME", state_.File("state").c_str(), 1);  // made by the first rescue
#endif
  }
  static std::string Path() {
#if defined(_WIN32)
    return std::string(std::getenv("LOCALAPPDATA")) + "\\news-editor\\";
#else
    return std::string(std::getenv("XDG_STATE_HOME")) + "/news-editor/";
#endif
  }

 private:
  TempDir state_;
};
testing::Environment* const kRescueFolder = testing::AddGlobalTestEnvironment(new RescueFolder);

// Expects the editor to refuse the database `path` with "Unable to load news DB" on standard
// output and `reason` on standard error.
void ExpectLoadRefused(const std::string& path, const std::string& reason,
                       const std::function<void()>& inChild = nullptr,
                       const std::string& program = NEWS_EDITOR_PATH) {
  ExpectRefused({program, path}, kRefused, inChild,
                "news-editor: cannot load " + path + ": " + reason + "\n");
}

}  // namespace

// Each folder under data/editor is a session: "input" is typed, "before.db" (if there is one) is
// the database file at the start, "stdout" is the output expected and "after.db" the file at the
// end (if missing, the file must be as it was), "stderr" what standard error must say (nothing
// if missing; @DB@ stands for the database's path), "status" the exit status if it is not 0,
// "args" the arguments if they are not just the database. On Windows every line end typed and
// expected is CR LF.
TEST(EditorSessions, MatchTheirTranscripts) {
  for (const auto& entry : fs::directory_iterator(NEWS_TEST_DATA "/editor")) {
    const std::string session = entry.path().string() + "/";
    SCOPED_TRACE(session);
    TempDir dir;
    const std::string db = dir.File(u8"news-ü-日本.db");  // any name works, on every platform
    if (Exists(session + "before.db")) fs::copy_file(session + "before.db", PathOf(db));
    const std::string after = session + (Exists(session + "after.db") ? "after.db" : "before.db");
    const std::time_t start = std::time(nullptr);
    Editor editor(SessionArgs(session, db));
    editor.Type(PlatformLines(ReadFile(session + "input")));
    const int status = editor.Finish();
    const std::time_t end = std::time(nullptr);
    EXPECT_EQ(status, Exists(session + "status") ? std::stoi(ReadFile(session + "status")) : 0);
    ExpectStamped(editor.raw, PlatformLines(ReadFile(session + "stdout")), start, end);
    std::string errors = ReadFile(session + "stderr");
    for (size_t at; (at = errors.find("@DB@")) != std::string::npos;) errors.replace(at, 4, db);
    EXPECT_EQ(editor.err, errors);
    EXPECT_EQ(Exists(db), Exists(after));
    ExpectStamped(ReadFile(db), ReadFile(after), start, end);
    EXPECT_FALSE(Exists(TemporaryPathFor(db)));
  }
}

#if defined(NEWS_FAKE_CLOCK)
// In the editor's process: the C library's clock stands still at 1:04 on 1 January 2200, UTC.
void AtFixedTime() {
  setenv("LD_PRELOAD", NEWS_FAKE_CLOCK, 1);
  setenv("NEWS_FAKE_TIME", "7258122240", 1);
  setenv("TZ", "UTC0", 1);
  setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);  // the stand-in comes before it
}

// Messages written after 2038 keep their dates, on 32-bit systems too.
TEST(EditorClock, MessagesWrittenAfter2038KeepTheirDates) {
  TempDir dir;
  Editor editor({NEWS_EDITOR_PATH, dir.File("news.db")}, AtFixedTime);
  editor.Type("a\nLater\ntext\n\n");
  EXPECT_EQ(editor.Finish(), 0);
  EXPECT_NE(editor.out.find("  Message Later 1 (1:04 1.1.2200) :text"), std::string::npos)
      << editor.out;
}
#endif

// Editors sharing a file: each change and each listing is made to what another editor saved
// meanwhile, with the changes whose save failed made again (and none that was saved). How they are
// made again, and how a delete follows them, pending_changes_test pins.
TEST(EditorSharing, ChangesAndListingsAreMadeToTheNewestContent) {
  TempDir dir;
  const std::string db = dir.File("news.db");
  const auto add = [&db](const std::string& title) {  // another editor's
    Editor theirs({NEWS_EDITOR_PATH, db});
    theirs.Type("a\n" + title + "\ny\n\n");
    EXPECT_EQ(theirs.Finish(), 0);
  };
  Editor mine({NEWS_EDITOR_PATH, db});
  mine.Type("a\nFirst\nx\n\n");
  mine.ReadUntil("Added new news entry to DB\n");
  fs::create_directory(PathOf(TemporaryPathFor(db)));  // in the way of every save
  mine.Type("a\nMine\nx\n\nh\n");
  mine.ReadUntil("Valid commands are:");
  EXPECT_NE(mine.out.find("  Message Mine 2 ("), std::string::npos);
  EXPECT_NE(mine.out.find("(Visible=1)\nUnable to save news DB\n"), std::string::npos);
  fs::remove(PathOf(TemporaryPathFor(db)));
  add("Theirs");
  mine.Type("l\nh\n");
  mine.ReadUntil("Valid commands are:");
  const size_t listed = mine.out.rfind("DB contains 3 news items.\n  Message First 1 (");
  EXPECT_NE(mine.out.find("  Message Theirs 2 (", listed), std::string::npos) << mine.out;
  EXPECT_NE(mine.out.find("  Message Mine 3 (", listed), std::string::npos);
  EXPECT_EQ(mine.Finish(), 0);
  NewsDB saved(db);
  ASSERT_EQ(saved.CountAll(), 3u);
  EXPECT_EQ(saved.GetNewsItemAll(1).title + " " + saved.GetNewsItemAll(2).title, "Theirs Mine");
}

// A file that no longer loads is never overwritten; the change stays in memory, and quitting
// says that it could not be saved.
TEST(EditorSharing, AFileThatNoLongerLoadsIsKeptAndReported) {
  TempDir dir;
  const std::string db = dir.File("news.db");
  Editor editor({NEWS_EDITOR_PATH, db});
  editor.ReadUntil("Enter command [h for help]:");
  WriteFile(db, "written by something else");
  editor.Type("a\nKept\ntext\n\n");
  editor.ReadUntil("two newlines]:\n");
  editor.ReadUntil("\nEnter command [h for help]:");
  EXPECT_NE(editor.out.find("  Message Kept 1 ("), std::string::npos);
  EXPECT_NE(editor.out.find("(Visible=1)\nUnable to save news DB\n\nEnter command"),
            std::string::npos);
  EXPECT_EQ(editor.Finish(), 1);
  EXPECT_EQ(editor.out.substr(editor.out.size() - 23), "Unable to save news DB\n");
  EXPECT_EQ(ReadFile(db), "written by something else");
}

// A change that cannot be saved by the end is kept in a new private file in the user's state
// folder, named on standard error after the database and the time, never in place of another
// file; it loads like any database.
TEST(EditorSave, WhatCannotBeSavedIsKeptInARescueFile) {
  TempDir dir;
  const std::string db = dir.File("news.db");
  fs::create_directory(PathOf(TemporaryPathFor(db)));  // in the way of every save
  std::function<void()> inChild;
#if defined(NEWS_FAKE_CLOCK)
  inChild = AtFixedTime;  // so that both rescues are made at the same time
#endif
  std::string rescues[2];
  for (const int run : {0, 1}) {
    Editor editor({NEWS_EDITOR_PATH, db}, inChild);
    editor.Type(PlatformLines("a\nRescued " + std::to_string(run) + "\ntext\n\nq\n"));
    EXPECT_EQ(editor.Finish(), 1);
    const std::string cannot = "news-editor: cannot save " + db + ": ",
                      kept = "news-editor: the unsaved change is kept in ";
    EXPECT_EQ(editor.err.compare(0, cannot.size(), cannot), 0) << editor.err;
    const size_t at = editor.err.find(kept + RescueFolder::Path() + "news.db.");
    ASSERT_NE(at, std::string::npos) << editor.err;
    rescues[run] = editor.err.substr(at + kept.size());
    rescues[run].pop_back();  // the line end
  }
  EXPECT_NE(rescues[0], rescues[1]);
#if defined(NEWS_FAKE_CLOCK)
  EXPECT_EQ(rescues[0], RescueFolder::Path() + "news.db.2200-01-01-010400");
  EXPECT_EQ(rescues[1], rescues[0] + "-2");
#endif
  for (const int run : {0, 1}) {
    NewsDB rescued(rescues[run]);
    ASSERT_EQ(rescued.CountAll(), 1u);
    EXPECT_EQ(rescued.GetNewsItemAll(0).title, "Rescued " + std::to_string(run));
#if !defined(_WIN32)
    struct stat info;
    ASSERT_EQ(stat(rescues[run].c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
  }
  EXPECT_FALSE(Exists(db));
#if !defined(_WIN32)
  // A rescue folder that others may write to is not used: they could put another file in place.
  const std::string folder = RescueFolder::Path();
  fs::permissions(PathOf(folder), fs::perms(0777));
  Editor editor({NEWS_EDITOR_PATH, db});
  editor.Type("a\nNot kept\ntext\n\n");
  EXPECT_EQ(editor.Finish(), 1);
  EXPECT_NE(editor.err.find("news-editor: cannot keep the unsaved change in " + folder +
                            ": Permission denied\n"),
            std::string::npos)
      << editor.err;
  fs::permissions(PathOf(folder), fs::perms(0700));
#endif
}

// A line may be of any length at every prompt: a megabyte each, through pipes.
TEST(EditorThroughPipes, LinesOfAnyLengthAreTakenWhole) {
  TempDir dir;
  const std::string db = dir.File("news.db"), title(1 << 20, 'T'), text(1 << 20, 'x');
  Editor editor({NEWS_EDITOR_PATH, db});
  editor.Type(PlatformLines("a" + std::string(1 << 20, 'a') + "\n" + title + "\n" + text + "\n\n"));
  editor.ReadUntil("Added new news entry to DB");
  // A number of a megabyte: 2 and blanks after it, which no message has.
  editor.Type(
      PlatformLines("d" + std::string(1 << 20, 'd') + "\n2" + std::string(1 << 20, ' ') + "\nq\n"));
  EXPECT_EQ(editor.Finish(), 0);
  NewsDB saved(db);
  ASSERT_EQ(saved.CountAll(), 1u);
  EXPECT_EQ(saved.GetNewsItemAll(0).title.size(), title.size());
  EXPECT_TRUE(saved.GetNewsItemAll(0).title == title);
  EXPECT_TRUE(saved.GetNewsItemAll(0).text == text);
#if !defined(_WIN32)
  // One too long for the memory the editor may take is dropped with its dialogue, and said so.
  if (kAddressSanitizer) return;  // which cannot run under an address limit
  Editor limited({NEWS_EDITOR_PATH, dir.File("limited.db")}, [] {
    const rlimit limit{128 << 20, RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &limit);
  });
  limited.Type("a\nTitle\n" + std::string(160 << 20, 'x') + "\nline\n\nq\n");
  EXPECT_EQ(limited.Finish(), 0);
  EXPECT_EQ(limited.err, "news-editor: a line too long for the memory there is was dropped\n");
  EXPECT_FALSE(Exists(dir.File("limited.db")));
#endif
}

TEST(EditorStart, RefusesWhatItCannotReadAndTouchesNoFile) {
  TempDir dir;
  fs::create_directory(PathOf(dir.File("folder")));  // as any file a load refuses
  ExpectLoadRefused(dir.File("folder"), "Is a directory");
  ExpectLoadRefused(dir.File("missing/news.db"), "the folder does not exist");
#if !defined(_WIN32)
  // A database too large for the memory the editor may take: not loaded, not touched.
  if (!kAddressSanitizer) {  // which cannot run under an address limit
    NewsDB db;
    db.items = {NewsItem(1, "Long", std::string(48 << 20, 'x'), 545, 5, 12, 2026, false, true)};
    ASSERT_TRUE(db.SerializeFile(dir.File("big.db")));
    const FileStamp bigStamp = StampOf(dir.File("big.db"));
    ExpectLoadRefused(dir.File("big.db"), "Cannot allocate memory", [] {
      const rlimit limit{40 << 20, RLIM_INFINITY};
      setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_TRUE(StampOf(dir.File("big.db")) == bigStamp);
  }
  // A sparse file of exabytes claiming as many messages: more than any memory could reserve. (A
  // 32-bit program may get all it can address, and then reads the whole file before it fails.)
  const std::string sparse = "/dev/shm/news-test-" + std::to_string(getpid()) + ".db";
  WriteFile(sparse, R"(<"1" "4611686018427387904" <"1" "T")");
  std::error_code tooLarge;
  fs::resize_file(sparse, uint64_t{INT64_MAX}, tooLarge);
  if (!tooLarge && !kAddressSanitizer && sizeof(size_t) == 8)
    ExpectLoadRefused(sparse, "Cannot allocate memory");
  fs::remove(sparse, tooLarge);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);  // never opened, so never waited for
  ExpectLoadRefused(dir.File("fifo"), "not a regular file");
  // Another user's private file in a shared folder: not an empty database to replace.
  fs::permissions(dir.File(""), fs::perms(0777));
  const std::string secret = dir.File("secret.db");
  WriteFile(secret, "<\"1\" \"0\">");
  chmod(secret.c_str(), 0600);
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  // A copy of the editor that the other user can reach wherever this build lives.
  const std::string program = dir.File("news-editor");
  fs::copy_file(NEWS_EDITOR_PATH, program);
  fs::permissions(program, fs::perms(0755));
  ExpectLoadRefused(
      secret, "Permission denied",
      [] {
        if (setgid(kBobsGroup) != 0 || setuid(kBob) != 0) _exit(3);
      },
      program);
  EXPECT_EQ(ReadFile(secret), "<\"1\" \"0\">");
#endif
}

// Linux only: the state of a process is read from /proc.
#if defined(__linux__)
// The state of process `pid` as the system shows it: 'T' when stopped.
char StateOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t name = line.rfind(')');
  return name == std::string::npos || name + 2 >= line.size() ? '?' : line[name + 2];
}

// Waits up to ten seconds for process `pid` to be in `state`.
bool WaitForState(pid_t pid, char state) {
  for (int waited = 0; waited < 1000 && StateOf(pid) != state; ++waited) usleep(10000);
  return StateOf(pid) == state;
}

// Through pipes a termination ends the editor as the end of input does, there where the input
// has arrived: lines sent before it are still carried out, the message being written is added and
// saved, and a command sent without its line end is not carried out. An interrupt does the same
// and then ends the editor as it ends any program.
TEST(EditorThroughPipes, EndingSignalsKeepWhatWasSent) {
  TempDir dir;
  const std::string db = dir.File("news.db");
  {
    Editor editor({NEWS_EDITOR_PATH, db});
    editor.ReadUntil("Enter command [h for help]:");
    kill(editor.pid, SIGSTOP);  // the termination comes before the editor reads what was sent
    ASSERT_TRUE(WaitForState(editor.pid, 'T'));
    editor.Type("a\nSent\nx\n\nd\n1\nd");
    kill(editor.pid, SIGTERM);
    kill(editor.pid, SIGCONT);
    EXPECT_EQ(editor.Finish(), 0);
    const std::string end =
        "Added new news entry to DB\n\nEnter command [h for help]:Enter index "
        "to delete:\nDB contains 0 news items.\n\nEnter command [h for help]:";
    EXPECT_EQ(editor.out.substr(editor.out.size() - end.size()), end);
    EXPECT_EQ(ReadFile(db), "<\"1\" \"0\">");
  }
  Editor editor({NEWS_EDITOR_PATH, db});
  editor.Type("a\nKept\none line\nhalf a li");
  editor.ReadUntil("two newlines]:\n");
  kill(editor.pid, SIGINT);
  EXPECT_EQ(editor.Finish(), -1);
  NewsDB saved(db);
  ASSERT_EQ(saved.CountAll(), 1u);
  EXPECT_EQ(saved.GetNewsItemAll(0).text, "one line\nhalf a li");
}

// A save that waits for another says so; a stop meanwhile stops the editor only once its save is
// done, so that it never keeps other saves waiting. A termination gives the wait up: the change
// then goes to a private rescue file, which is named and loads like any database.
TEST(EditorSave, WaitsVisiblyStopsAfterItAndGivesUpWhenTerminated) {
  TempDir dir;
  const std::string db = dir.File("news.db");
  const std::string waiting = "news-editor: waiting for another program's save of " + db + "\n";
  {
    auto other = std::make_unique<FileReplacement>();  // another program's save, under way
    ASSERT_TRUE(other->Begin(db));
    // A job of its own, as a shell makes it: the system never stops an orphaned one.
    Editor editor({NEWS_EDITOR_PATH, db}, [] { setpgid(0, 0); });
    editor.Type("a\nFirst\ntext\n\n");
    ASSERT_TRUE(editor.ReadErrorsUntil(waiting));
    kill(editor.pid, SIGTSTP);
    usleep(200000);
    EXPECT_NE(StateOf(editor.pid), 'T');
    other.reset();
    ASSERT_TRUE(WaitForState(editor.pid, 'T'));
    EXPECT_EQ(NewsDB(db).CountAll(), 1u);  // saved before it stopped
    kill(editor.pid, SIGCONT);
    editor.Type("q\n");
    EXPECT_EQ(editor.Finish(), 0);
  }
  FileReplacement other;
  ASSERT_TRUE(other.Begin(db));
  Editor editor({NEWS_EDITOR_PATH, db});
  editor.Type("a\nRescued\ntext\n\n");
  ASSERT_TRUE(editor.ReadErrorsUntil(waiting));
  kill(editor.pid, SIGTERM);
  EXPECT_EQ(editor.Finish(), 1);
  const std::string gaveUp = "news-editor: cannot save " + db + ": " +
                             make_error_code(FileError::kWaitGivenUp).message() + "\n";
  const std::string kept = "news-editor: the unsaved change is kept in " + RescueFolder::Path();
  // For the add after two seconds of waiting, then at once at the end.
  EXPECT_EQ(editor.err.substr(0, waiting.size() + 2 * gaveUp.size() + kept.size()),
            waiting + gaveUp + gaveUp + kept);
  EXPECT_EQ(NewsDB(db).CountAll(), 1u);
}
#endif

#if !defined(_WIN32)
// Options other than --help and --version are mistakes, never names of files to make; after
// "--" a name may start with "-".
TEST(EditorStart, WrongArgumentsPrintUsageAndTouchNoFile) {
  TempDir dir;
  const std::string a = dir.File("a");
  const auto inDir = [&] {
    if (chdir(dir.File("").c_str()) != 0) _exit(3);
  };
  for (const std::vector<std::string>& args : {std::vector<std::string>{NEWS_EDITOR_PATH},
                                               {NEWS_EDITOR_PATH, a, "b"},
                                               {},
                                               {NEWS_EDITOR_PATH, "-a"},
                                               {NEWS_EDITOR_PATH, "--"},
                                               {NEWS_EDITOR_PATH, "--a"},
                                               {NEWS_EDITOR_PATH, "--", a, "b"},
                                               {NEWS_EDITOR_PATH, a, "--help"}}) {
    const std::string name = args.empty() ? "news-editor" : NEWS_EDITOR_PATH;
    ExpectRefused(args, "Usage:\n  " + name + " database\n\n", inDir);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("")), {}), 0);
  for (const char* const name : {"-a", "-"}) {
    Editor editor({NEWS_EDITOR_PATH, "--", name}, inDir);
    editor.Type("a\nT\nx\n\nq\n");
    EXPECT_EQ(editor.Finish(), 0);
    EXPECT_EQ(NewsDB(dir.File(name)).CountAll(), 1u) << name;
  }
}
#endif

// Linux only, as prlimit sets the limits of the running editor.
#if defined(__linux__)
// A save that fails is reported; the change stays in memory, one more save is tried at quit, and
// the exit status says whether that worked. The file may not grow, or the editor, holding many
// messages, may take hardly more memory than it has, so that the add's save runs out of it (which
// never ends the editor). Once the limit is lifted the add is saved exactly once.
TEST(EditorSave, FailedSavesAreReportedAndRetriedAtQuit) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB few, many;
  few.items = {NewsItem(1, "Old", std::string(500, 'o'), 545, 5, 12, 2026, false, true)};
  for (int i = 1; i <= 20000; ++i) {
    many.items.emplace_back(i, "t", std::string(100, 'x'), 1, 1, 1, 2026, false, true);
  }
  many.lastIndex = 20000;
  const std::tuple<const NewsDB&, bool, bool> cases[] = {
      {few, false, false}, {few, false, true}, {many, true, true}};  // memory limited, lifted
  for (const auto& [db, memory, lifted] : cases) {
    if (memory && kAddressSanitizer) continue;  // which cannot run under an address limit
    const auto resource = memory ? RLIMIT_AS : RLIMIT_FSIZE;
    ASSERT_TRUE(db.SerializeFile(path));
    const std::string before = ReadFile(path);
    Editor editor({NEWS_EDITOR_PATH, path});
    editor.ReadUntil("Enter command [h for help]:");
    size_t room = before.size() + 8;  // for the file; for memory, a little more than it takes
    std::ifstream status("/proc/" + std::to_string(editor.pid) + "/status");
    for (std::string line; memory && std::getline(status, line);) {
      if (line.compare(0, 7, "VmSize:") == 0) room = (std::stoul(line.substr(7)) << 10) + (1 << 20);
    }
    const rlimit limit{room, RLIM_INFINITY}, none{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(editor.pid, resource, &limit, nullptr), 0);
    editor.Type("a\nNew\ntext\n\n");
    editor.ReadUntil("two newlines]:\n");
    editor.ReadUntil("\nEnter command [h for help]:");
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_FALSE(Exists(TemporaryPathFor(path)));  // no leftover piles up
    const std::string failed = "(Visible=1)\nUnable to save news DB\n\nEnter command [h for help]:";
    EXPECT_EQ(editor.out.substr(editor.out.size() - failed.size()), failed);
    const std::string why = memory ? "Cannot allocate memory" : "File too large";
    EXPECT_TRUE(editor.ReadErrorsUntil("news-editor: cannot save " + path + ": " + why + "\n"));
    ASSERT_EQ(prlimit(editor.pid, resource, lifted ? &none : &limit, nullptr), 0);
    editor.Type("q\n");
    if (!lifted) editor.Type("q\n");
    EXPECT_EQ(editor.Finish(), lifted ? 0 : 1);
    const std::string end = lifted ? "help]:" : "help]:Unable to save news DB\n";
    EXPECT_EQ(editor.out.substr(editor.out.size() - end.size()), end);
    NewsDB saved(path);
    ASSERT_EQ(saved.CountAll(), db.CountAll() + lifted);
    EXPECT_EQ(saved.GetNewsItemAll(saved.CountAll() - 1).title, lifted ? "New" : "Old");
    EXPECT_FALSE(Exists(TemporaryPathFor(path)));
  }
}
#endif

#if defined(__linux__)
// A database that loads also lists within the memory it was loaded in: no text is copied whole.
TEST(EditorListing, ALongTextIsListedWithinTheMemoryItWasLoadedIn) {
  if (kAddressSanitizer) GTEST_SKIP() << "no address limit under the address sanitizer";
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB db;
  db.items = {NewsItem(1, "Long", std::string(32 << 20, 'x'), 545, 5, 12, 2026, false, true)};
  ASSERT_TRUE(db.SerializeFile(path));
  Editor editor({NEWS_EDITOR_PATH, path});
  editor.ReadUntil("Enter command [h for help]:");
  std::ifstream status("/proc/" + std::to_string(editor.pid) + "/status");
  size_t room = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 7, "VmSize:") == 0) room = (std::stoul(line.substr(7)) << 10) + (16 << 20);
  }
  const rlimit limit{room, RLIM_INFINITY};
  ASSERT_EQ(prlimit(editor.pid, RLIMIT_AS, &limit, nullptr), 0);
  editor.Type("l\n");
  EXPECT_EQ(editor.Finish(), 0);
  const std::string end = "x(Visible=1)\n\nEnter command [h for help]:";
  EXPECT_EQ(editor.out.substr(editor.out.size() - end.size()), end);
  EXPECT_EQ(editor.err, "");
}
#endif
