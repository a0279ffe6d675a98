// End-to-end tests: the built editor with prepared input and a database file of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "NewsDB.h"
#include "test_support.h"

namespace {

const std::string kPrompt = "\nEnter command [h for help]:";
const std::string kTitlePrompt = "Enter new title text:\n";
const std::string kTextPrompt = "Enter new news text [quit editing with two newlines]:\n";
const std::string kAdded = "Added new news entry to DB\n";
const std::string kDeletePrompt = "Enter index to delete:\n";
const std::string kEmptyListing = "DB contains 0 news items.\n";

struct EditorRun {
  std::string out;
  int status = -1;
};

// Runs the editor with `args` (the program name included, unless empty) and `input` on
// standard input; `limitFileBytes`, when not zero, caps the size of files it may write.
EditorRun RunEditor(const TempDir& dir, const std::vector<std::string>& args,
                    const std::string& input, rlim_t limitFileBytes = 0) {
  WriteFile(dir.File("stdin"), input);
  const pid_t child = fork();
  if (child == 0) {
    const int in = open(dir.File("stdin").c_str(), O_RDONLY);
    const int out = open(dir.File("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    if (limitFileBytes != 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{limitFileBytes, limitFileBytes};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    for (const std::string& arg : args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(NEWS_EDITOR_PATH, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return EditorRun{ReadFile(dir.File("stdout")), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

EditorRun RunOn(const TempDir& dir, const std::string& input) {
  return RunEditor(dir, {NEWS_EDITOR_PATH, dir.File("news.db")}, input);
}

// The listing line of `item`.
std::string Entry(const NewsItem& item) {
  const std::string minutes = std::to_string(item.timeOfDay % 60);
  return "  Message " + item.title + " " + std::to_string(item.index) + " (" +
         std::to_string(item.timeOfDay / 60) + ":" + (minutes.size() < 2 ? "0" : "") + minutes +
         " " + std::to_string(item.day) + "." + std::to_string(item.month) + "." +
         std::to_string(item.year) + ") :" + item.text + "(Visible=" + (item.visible ? "1" : "0") +
         ")\n";
}

void SaveDB(const std::string& path, uint32_t lastIndex, const std::vector<NewsItem>& items) {
  NewsDB db;
  db.lastIndex = lastIndex;
  db.items = items;
  ASSERT_TRUE(db.SerializeFile(path));
}

NewsItem Item(uint32_t index, const std::string& title, const std::string& text,
              bool visible = true) {
  return NewsItem(static_cast<int32_t>(index), title, text, 545, 5, 12, 2026, false, visible);
}

// True when `item` carries the local time of `moment`.
bool StampedAt(const NewsItem& item, std::time_t moment) {
  const std::tm local = *std::localtime(&moment);
  return item.timeOfDay == static_cast<uint32_t>(local.tm_hour * 60 + local.tm_min) &&
         item.day == static_cast<uint32_t>(local.tm_mday) &&
         item.month == static_cast<uint32_t>(local.tm_mon + 1) && item.year == local.tm_year + 1900;
}

}  // namespace

TEST(EditorStart, WrongArgumentsPrintUsageAndTouchNoFile) {
  TempDir dir;
  const std::string usage = "Usage:\n  " + std::string(NEWS_EDITOR_PATH) + " database\n\n";
  EXPECT_EQ(RunEditor(dir, {NEWS_EDITOR_PATH}, "").out, usage);
  const EditorRun two =
      RunEditor(dir, {NEWS_EDITOR_PATH, dir.File("a"), dir.File("b")}, "a\nT\nx\n\n");
  EXPECT_EQ(two.out, usage);
  EXPECT_EQ(two.status, 255);
  const EditorRun none = RunEditor(dir, {}, "");
  EXPECT_EQ(none.out, "Usage:\n  news-editor database\n\n");
  EXPECT_EQ(none.status, 255);
  EXPECT_FALSE(std::filesystem::exists(dir.File("a")));
}

TEST(EditorStart, UnreadableDatabaseIsALoadError) {
  TempDir dir;
  for (const char* contents : {"", "<\"5\">", "<\"1\" \"1\" <\"1\" \"T\">>"}) {
    WriteFile(dir.File("news.db"), contents);
    const EditorRun run = RunOn(dir, "q\n");
    EXPECT_EQ(run.out, "Unable to load news DB\n") << contents;
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(ReadFile(dir.File("news.db")), contents);
  }
}

TEST(EditorStart, MissingFileStartsEmptyAndIsNotCreatedWithoutAChange) {
  TempDir dir;
  const EditorRun run = RunOn(dir, "l\nd\n0\nd\nnone\nd\n\na\nT\n\nQuit\nl\n");
  EXPECT_EQ(run.out, kEmptyListing + kPrompt + kEmptyListing + kPrompt + kDeletePrompt + kPrompt +
                         kDeletePrompt + kPrompt + kDeletePrompt + kPrompt + kTitlePrompt +
                         kTextPrompt + kPrompt);
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("news.db")));
}

TEST(EditorCommands, LettersInEitherCaseAndHelp) {
  TempDir dir;
  const std::string help =
      "Valid commands are:\n  h: this help screen\n  l: list all news\n"
      "  d: delete a news message\n  a: add a new news message\n  q: close this application\n";
  const std::string longLine(5000, 'h');
  const EditorRun run = RunOn(dir, "H\nhelp\nx\n\n" + longLine + "\nL\nq\nh\n");
  EXPECT_EQ(run.out, kEmptyListing + kPrompt + help + kPrompt + help + kPrompt + kPrompt + kPrompt +
                         help + kPrompt + kEmptyListing + kPrompt);
}

TEST(EditorListing, ShowsEveryMessageInItsFormat) {
  TempDir dir;
  std::vector<NewsItem> items = {Item(3, "Hello", "Room changed"), Item(4, "", "one\ntwo", false),
                                 Item(5, "Late", "x"), Item(6, "Edge", "y")};
  items[1].timeOfDay = 1500;
  items[1].year = -44;
  items[2].timeOfDay = 1439;
  items[3].timeOfDay = 0;
  SaveDB(dir.File("news.db"), 6, items);
  EXPECT_EQ(RunOn(dir, "q\n").out,
            "DB contains 3 news items.\n"
            "  Message Hello 3 (9:05 5.12.2026) :Room changed(Visible=1)\n"
            "  Message  4 (25:00 5.12.-44) :one\ntwo(Visible=0)\n"
            "  Message Late 5 (23:59 5.12.2026) :x(Visible=1)\n"
            "  Message Edge 6 (0:00 5.12.2026) :y(Visible=1)\n" +
                kPrompt);
}

TEST(EditorAdd, AddsStampedMessageSavesListsAndConfirms) {
  TempDir dir;
  const std::time_t before = std::time(nullptr);
  const EditorRun run = RunOn(dir, "A\n" + std::string(3000, 'T') + "\none\n  \n\r\ntwo" +
                                       std::string(1, '\0') + "ignored\n\n\nq\n");
  const std::time_t after = std::time(nullptr);
  NewsDB db(dir.File("news.db"));
  ASSERT_FALSE(db.DidConstructionFail());
  ASSERT_EQ(db.CountAll(), 1u);
  const NewsItem& item = db.GetNewsItemAll(0);
  EXPECT_TRUE(StampedAt(item, before) || StampedAt(item, after));
  EXPECT_EQ(item.index, 1u);
  EXPECT_EQ(db.lastIndex, 1u);
  EXPECT_EQ(item.title, std::string(3000, 'T'));
  EXPECT_EQ(item.text, "one\n  \n\r\ntwo");
  EXPECT_FALSE(item.read);
  EXPECT_TRUE(item.visible);
  EXPECT_EQ(run.out, kEmptyListing + kPrompt + kTitlePrompt + kTextPrompt +
                         "DB contains 1 news items.\n" + Entry(item) + kAdded + kPrompt + kPrompt);
}

TEST(EditorAdd, EndOfInputKeepsTypedTextAndCancelsOtherwise) {
  TempDir dir;
  SaveDB(dir.File("news.db"), 4, {Item(4, "Old", "x")});
  for (const char* input : {"a\n", "a\nTitle\n", "a\nTitle\n\n"}) {
    const EditorRun run = RunOn(dir, input);
    EXPECT_EQ(run.status, 0) << input;
    EXPECT_EQ(NewsDB(dir.File("news.db")).CountAll(), 1u) << input;
  }
  const EditorRun run = RunOn(dir, "a\nTitle\nfirst\nlast without line break");
  EXPECT_EQ(run.status, 0);
  NewsDB db(dir.File("news.db"));
  ASSERT_EQ(db.CountAll(), 2u);
  EXPECT_EQ(db.GetNewsItemAll(1).index, 5u);
  EXPECT_EQ(db.GetNewsItemAll(1).text, "first\nlast without line break");
  EXPECT_EQ(run.out.substr(run.out.size() - kAdded.size()), kAdded);
}

TEST(EditorDelete, RemovesByIndexAndSavesForEveryNonZeroNumber) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  const std::vector<NewsItem> items = {Item(2, "Two", "b", false), Item(4294967295u, "Max", "m")};
  struct Case {
    const char* typed;
    size_t left;
  };
  for (const Case& c : {Case{" +2xyz", 1}, Case{"-1", 1}, Case{"7", 2}, Case{"4294967296", 2},
                        Case{"-2147483649", 2}, Case{"99999999999999999999999", 2},
                        Case{"-99999999999999999999999", 2}}) {
    SaveDB(path, 9, items);
    WriteFile(path, ReadFile(path) + "  trailing bytes the editor drops");
    const EditorRun run = RunOn(dir, std::string("d\n") + c.typed + "\nq\n");
    NewsDB db(path);
    EXPECT_EQ(db.CountAll(), c.left) << c.typed;
    EXPECT_EQ(ReadFile(path).find("trailing"), std::string::npos) << c.typed;  // file written
    EXPECT_EQ(run.out.find("Unable"), std::string::npos);
  }
  SaveDB(path, 9, items);
  const EditorRun run = RunOn(dir, "d\n2\nd\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "DB contains 1 news items.\n" + Entry(items[0]) + Entry(items[1]) + kPrompt +
                         kDeletePrompt + "DB contains 1 news items.\n" + Entry(items[1]) + kPrompt +
                         kDeletePrompt);
}

TEST(EditorSave, FailedSaveIsReportedAndTheChangeKept) {
  TempDir dir;
  const std::string path = dir.File("news.db");
  SaveDB(path, 1, {Item(1, "Old", "x")});
  const std::string before = ReadFile(path);
  std::filesystem::create_directory(path + ".tmp");  // blocks every save
  const EditorRun run = RunOn(dir, "a\nNew\ntext\n\nd\n1\nq\n");
  EXPECT_EQ(ReadFile(path), before);
  const std::string unable = "Unable to save news DB\n";
  EXPECT_EQ(run.out.find(kAdded), std::string::npos);
  const size_t first = run.out.find("  Message New 2 (");
  ASSERT_NE(first, std::string::npos);
  EXPECT_LT(first, run.out.find(unable));
  EXPECT_EQ(run.out.substr(run.out.size() - unable.size() - kPrompt.size()), unable + kPrompt);
  EXPECT_NE(run.out.rfind("DB contains 1 news items.\n  Message New 2 ("), std::string::npos);
}
