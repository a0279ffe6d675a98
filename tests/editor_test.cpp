// End-to-end tests: the built editor, typed at through a pipe, on a database file of its own.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// The editor running in a child process, with its standard input and output on pipes.
class Editor {
 public:
  explicit Editor(const std::vector<std::string>& args, rlim_t maxFileBytes = RLIM_INFINITY) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    std::signal(SIGPIPE, SIG_IGN);  // an editor that ended early must not end the test
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
      std::vector<char*> argv;
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{maxFileBytes, RLIM_INFINITY};  // the test may lift it later
      setrlimit(RLIMIT_FSIZE, &limit);
      execv(NEWS_EDITOR_PATH, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }

  // Types `text`; whatever an editor that has already ended does not take is dropped.
  void Type(const std::string& text) {
    if (write(input_, text.data(), text.size())) return;
  }
  // Reads output until `marker` appears after what earlier calls found, or the output ends.
  void ReadUntil(const std::string& marker) {
    size_t at;
    while ((at = out.find(marker, seen_)) == std::string::npos) {
      if (!ReadSome()) return;
    }
    seen_ = at + marker.size();
  }
  void LiftFileSizeLimit() {
    const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, &none, nullptr), 0);
  }
  // Ends the input, reads all output and returns the exit status.
  int Finish() {
    close(input_);
    while (ReadSome()) {}
    close(output_);
    int status = 0;
    waitpid(pid_, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string out;

 private:
  bool ReadSome() {
    char buffer[65536];
    const ssize_t got = read(output_, buffer, sizeof buffer);
    if (got > 0) out.append(buffer, static_cast<size_t>(got));
    return got > 0;
  }

  size_t seen_ = 0;
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
};

// `text` with @TIME@ and @FIELDS@ replaced by the local time of `moment` as listed and as stored.
std::string Stamped(std::string text, std::time_t moment) {
  const std::tm t = *std::localtime(&moment);
  char listed[64], stored[80];
  std::snprintf(listed, sizeof listed, "%d:%02d %d.%d.%d", t.tm_hour, t.tm_min, t.tm_mday,
                t.tm_mon + 1, t.tm_year + 1900);
  std::snprintf(stored, sizeof stored, R"("%d" "%d" "%d" "%d")", t.tm_hour * 60 + t.tm_min,
                t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
  for (const auto& [mark, value] : {std::pair<std::string, const char*>{"@TIME@", listed},
                                    std::pair<std::string, const char*>{"@FIELDS@", stored}}) {
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

}  // namespace

// Each folder under data/editor is a session: "input" is typed, "before.db" (if there is one) is
// the database file at the start, "stdout" is the output expected and "after.db" the file at the
// end (if missing, the file must be as it was), "status" the exit status if it is not 0.
TEST(EditorSessions, MatchTheirTranscripts) {
  for (const auto& entry : fs::directory_iterator(NEWS_TEST_DATA "/editor")) {
    const std::string session = entry.path().string() + "/";
    SCOPED_TRACE(session);
    TempDir dir;
    const std::string db = dir.File("news.db");
    if (fs::exists(session + "before.db")) fs::copy_file(session + "before.db", db);
    const std::string after =
        session + (fs::exists(session + "after.db") ? "after.db" : "before.db");
    const std::time_t start = std::time(nullptr);
    Editor editor({NEWS_EDITOR_PATH, db});
    editor.Type(ReadFile(session + "input"));
    const int status = editor.Finish();
    const std::time_t end = std::time(nullptr);
    EXPECT_EQ(status, fs::exists(session + "status") ? std::stoi(ReadFile(session + "status")) : 0);
    ExpectStamped(editor.out, ReadFile(session + "stdout"), start, end);
    EXPECT_EQ(fs::exists(db), fs::exists(after));
    ExpectStamped(ReadFile(db), ReadFile(after), start, end);
  }
}

TEST(EditorStart, WrongArgumentsPrintUsageAndTouchNoFile) {
  TempDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{NEWS_EDITOR_PATH}, {NEWS_EDITOR_PATH, dir.File("a"), "b"}, {}}) {
    Editor editor(args);
    editor.Type("a\nT\nx\n\n");
    EXPECT_EQ(editor.Finish(), 255);
    const std::string name = args.empty() ? "news-editor" : NEWS_EDITOR_PATH;
    EXPECT_EQ(editor.out, "Usage:\n  " + name + " database\n\n");
  }
  EXPECT_FALSE(fs::exists(dir.File("a")));
}

TEST(EditorSave, FailedSaveIsReportedAndTheNextSaveWritesTheChange) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  NewsDB db;
  db.items = {NewsItem(1, "Old", std::string(500, 'o'), 545, 5, 12, 2026, false, true)};
  ASSERT_TRUE(db.SerializeFile(path));
  const std::string before = ReadFile(path);
  Editor editor({NEWS_EDITOR_PATH, path}, before.size() + 8);
  editor.Type("a\nNew\ntext\n\n");
  editor.ReadUntil("two newlines]:\n");
  editor.ReadUntil("\nEnter command [h for help]:");
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  const std::string failed = "(Visible=1)\nUnable to save news DB\n\nEnter command [h for help]:";
  EXPECT_EQ(editor.out.substr(editor.out.size() - failed.size()), failed);

  editor.LiftFileSizeLimit();
  editor.Type("d\n99\n");
  EXPECT_EQ(editor.Finish(), 0);
  NewsDB saved(path);
  ASSERT_EQ(saved.CountAll(), 2u);
  EXPECT_EQ(saved.GetNewsItemAll(1).text, "text");
}
