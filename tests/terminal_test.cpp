// The editor at a terminal (a pseudo-terminal here): lines are edited before they are stored,
// commands are recalled, Ctrl-D ends on a line of its own, stored control bytes are shown
// visibly, and the terminal is left as it was found.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#include <utmp.h>
#endif

#include <clocale>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "NewsDB.h"
#include "test_support.h"

using namespace newsdb;  // the library's own names

namespace {

// Which of the editor's standard input and output is a pipe rather than the terminal.
enum class Piped { kNeither, kInput, kOutput };

// The editor on a terminal of its own, on a database file of its own; the test types at it as a
// person would.
class Terminal {
 public:
  // Starts the editor on a file holding `content`, in the character set of `locale` if one is
  // given, with `piped` on a pipe: typed keys then go into that pipe, or what the editor writes
  // there is read with its terminal's output.
  explicit Terminal(const std::string& content, const char* locale = nullptr,
                    Piped piped = Piped::kNeither)
      : piped_(piped) {
    WriteFile(db, content);
    int ends[2];
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || pipe(ends) != 0) return;
    tcgetattr(slave_, &before);
    pid_ = fork();
    if (pid_ == 0) {
      close(master_);
      login_tty(slave_);
      if (piped == Piped::kInput) dup2(ends[0], STDIN_FILENO);
      if (piped == Piped::kOutput) dup2(ends[1], STDOUT_FILENO);
      close(ends[0]);
      close(ends[1]);
      setenv("TERM", "xterm", 1);
      if (locale != nullptr) setenv("LC_ALL", locale, 1);
#if defined(NEWS_TEST_LOCALES)
      if (locale != nullptr && std::strcmp(locale, "C") != 0)
        setenv("LOCPATH", NEWS_TEST_LOCALES, 1);
#endif
      execl(NEWS_EDITOR_PATH, NEWS_EDITOR_PATH, db.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    pipe_ = piped == Piped::kInput ? ends[1] : ends[0];
    close(piped == Piped::kInput ? ends[0] : ends[1]);
    if (piped == Piped::kNeither) close(pipe_);
    if (piped == Piped::kNeither) pipe_ = -1;
  }
  ~Terminal() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
    close(slave_);
    if (pipe_ >= 0) close(pipe_);
  }

  // Types `keys` once the line editor has the terminal (it shows its prompt a moment before), so
  // that no key meets the terminal's own line editing, then waits for `marker` as WaitFor does.
  bool Type(const std::string& keys, const std::string& marker = "") {
    for (int waited = 0; piped_ == Piped::kNeither && (LocalModes() & ICANON) != 0 && waited < 1000;
         ++waited) {
      ReadSome(10);
    }
    const int to = piped_ == Piped::kInput ? pipe_ : master_;
    return write(to, keys.data(), keys.size()) == ssize_t(keys.size()) && WaitFor(marker);
  }
  // Ends piped input.
  void EndInput() {
    close(pipe_);
    pipe_ = -1;
  }
  // Waits until the editor, once shown to have taken what was sent (by its echo, waited for
  // first), waits for a key however long it takes (in select without a time limit): keys sent
  // then come after a pause, as a hand's do after a paste. False after ten seconds, or where the
  // system does not show it.
  bool WaitUntilIdle() {
#if defined(__linux__)
    for (int waited = 0; waited < 1000; ++waited, ReadSome(10)) {
      std::ifstream call("/proc/" + std::to_string(pid_) + "/syscall");
      if (!call.is_open()) return false;
      std::string number, arguments[5];  // "running" while it runs
      call >> number >> arguments[0] >> arguments[1] >> arguments[2] >> arguments[3] >>
          arguments[4];
      const bool selects =
          number == std::to_string(SYS_select) || number == std::to_string(SYS_pselect6);
      int unread = -1;  // what the editor has not read from the terminal yet
      if (selects && arguments[4] == "0x0" && ioctl(slave_, FIONREAD, &unread) == 0 &&
          unread == 0) {
        return true;
      }
    }
#endif
    return false;
  }
  // Reads until `marker` shows after what earlier calls found; false after ten seconds without.
  bool WaitFor(const std::string& marker) {
    size_t at;
    while ((at = out.find(marker, seen_)) == std::string::npos) {
      if (!ReadSome(10000)) return false;
    }
    seen_ = at + marker.size();
    return true;
  }
  // Waits up to ten seconds for the editor to end and returns its wait status; the terminal's
  // output is read on.
  int Wait() {
    int status = 0;
    for (int waited = 0; waitpid(pid_, &status, WNOHANG) == 0; ++waited) {
      if (waited == 100) kill(pid_, SIGKILL);
      ReadSome(100);
    }
    while (ReadSome(100)) {}
    pid_ = -1;
    return status;
  }
  pid_t Pid() const {
    return pid_;
  }
  // Gives the terminal a new size, as a window's resize does.
  void Resize(unsigned short rows, unsigned short columns) {
    const winsize size{rows, columns, 0, 0};
    ioctl(master_, TIOCSWINSZ, &size);
  }
  bool Started() const {
    return pid_ > 0;
  }
  // The terminal's local modes now (echo, line editing), as the shell would find them.
  tcflag_t LocalModes() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now.c_lflag;
  }

  TempDir dir;
  const std::string db = dir.File("news.db");
  std::string out;
  termios before{};

 private:
  bool ReadSome(int milliseconds) {
    pollfd ready[2] = {{master_, POLLIN, 0}, {pipe_, POLLIN, 0}};
    if (poll(ready, piped_ == Piped::kOutput ? 2 : 1, milliseconds) <= 0) return false;
    char buffer[4096];
    const ssize_t got = read(ready[0].revents != 0 ? master_ : pipe_, buffer, sizeof buffer);
    if (got > 0) out.append(buffer, static_cast<size_t>(got));
    return got > 0;
  }

  Piped piped_;
  int master_ = -1, slave_ = -1, pipe_ = -1;
  pid_t pid_ = -1;
  size_t seen_ = 0;
};

using namespace std::string_literals;

const std::string kPrompt = "Enter command [h for help]:", kTitle = "Enter new title text:";
const std::string kLeft = "\033[D", kUp = "\033[A", kBackspace = "\177", kEnter = "\r";
const char kPasteOff[] = "\033[?2004l",
           kNoTerminal[] = "no pseudo-terminal here (is /dev/pts mounted?)";

// A database of messages 1 to 3, each titled by its number.
const char kThree[] =
    "<\"3\" \"3\" <\"1\" \"one\" \"x\" \"545\" \"5\" \"12\" \"2026\" \"0\" \"1\"> "
    "<\"2\" \"two\" \"x\" \"545\" \"5\" \"12\" \"2026\" \"0\" \"1\"> "
    "<\"3\" \"three\" \"x\" \"545\" \"5\" \"12\" \"2026\" \"0\" \"1\">>";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

TEST(EditorAtATerminal, StoresWhatTheLineShowsAndEndsCleanly) {
#if !defined(NEWS_HAVE_LIBEDIT)
  GTEST_SKIP() << "the editor was built without libedit";
#endif
  Terminal terminal(
      "<\"1\" \"1\" <\"1\" \"\033]0;owned\007\x9b"
      "2J\" \"x\" \"545\" \"5\" \"12\" \"2026\" \"0\" \"1\">>");
  if (!terminal.Started()) GTEST_SKIP() << kNoTerminal;
  ASSERT_TRUE(terminal.WaitFor("  Message ^[]0;owned^G\\x9B2J 1 (9:05 5.12.2026) :x(Visible=1)"));
  ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("a" + kEnter, kTitle));
  // Every kind of key on one line: Tab, word moves of xterm and rxvt, Home, End, Delete, and keys
  // that do nothing (Insert, PageUp, F1, F5, F12, Shift-Tab, the Linux console's F1).
  ASSERT_TRUE(terminal.Type("Lunh" + kLeft + "c\033[F\tcol2 word3" + "\033[1;5D\033Od" + "X" +
                                "\033[H" + "H\033[F" + "E\033b" + "m" + kLeft + kLeft + "\033[3~" +
                                "\033[2~\033[5~\033OP\033[15~\033[24~\033[Z\033[[A\033[1;3C" +
                                kEnter,
                            "two newlines]:"));
  ASSERT_TRUE(terminal.Type("Pizzaa" + kBackspace + kEnter + kEnter, "Added new news entry to DB"));
  // Up recalls the last command, which starts another add; at the title prompt Up recalls the
  // last title, not the text line typed since.
  ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type(kUp + kEnter, kTitle));
  ASSERT_TRUE(terminal.Type(kUp + " again" + kEnter, "two newlines]:"));
  ASSERT_TRUE(terminal.Type(kUp + kEnter + kEnter, "Added new news entry to DB"));
  ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("\004"));  // Ctrl-D on an empty line
  const int status = terminal.Wait();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(EndsWith(terminal.out, std::string("\n") + kPasteOff));  // on a line of its own
  EXPECT_EQ(terminal.LocalModes(), terminal.before.c_lflag);
  NewsDB saved(terminal.db);
  ASSERT_EQ(saved.CountAll(), 3u);
  for (const uint64_t i : {1, 2}) {
    EXPECT_EQ(saved.GetNewsItemAll(i).title + "|" + saved.GetNewsItemAll(i).text,
              std::string("HLunch\tXcol2mword3E") + (i == 2 ? " again" : "") + "|Pizza");
  }
}

// Stored text is shown safely in the terminal's character set: at a UTF-8 terminal (which a plain
// ASCII setting is taken as) valid characters are shown and the rest escaped; at one of another
// set every byte that is a C1 control there is escaped. A long text, shown in pieces, is shown as
// a whole: no character is cut in two.
TEST(EditorAtATerminal, StoredTextIsShownSafelyInTheTerminalsCharacterSet) {
  const std::string cases[][3] = {{"C", "\xE2\x82\xAC \x9B", "\xE2\x82\xAC \\x9B"},
                                  {"de_DE.ISO-8859-1", "\xE2\x82\xAC \x9B", "\xE2\\x82\xAC \\x9B"}};
  for (const auto& [locale, stored, shown] : cases) {
#if defined(NEWS_TEST_LOCALES)
    const bool made = Exists(NEWS_TEST_LOCALES "/" + locale + "/LC_CTYPE");
#else
    const bool made = false;
#endif
    const locale_t known = made ? nullptr : newlocale(LC_CTYPE_MASK, locale.c_str(), nullptr);
    if (!made && known == nullptr) {
      GTEST_SKIP() << "the locale " << locale
                   << " is not installed here, and could not be made "
                      "(the build makes it with localedef from the C library's locale sources)";
    }
    if (known != nullptr) freelocale(known);
    std::string text = "x";
    for (int i = 0; i < 40000; ++i) text += "\xC3\xA9";  // é, from an odd byte on
    Terminal terminal("<\"1\" \"1\" <\"1\" \"" + stored + "\" \"" + text +
                          "\" \"545\" \"5\" \"12\" \"2026\" \"0\" \"1\">>",
                      locale.c_str());
    if (!terminal.Started()) GTEST_SKIP() << kNoTerminal;
    EXPECT_TRUE(terminal.WaitFor("  Message " + shown + " 1 (")) << locale << ": " << terminal.out;
    EXPECT_TRUE(terminal.WaitFor(") :" + text + "(Visible=1)")) << locale;
    // A byte typed above 127 is stored as typed, a character of this set or not.
    ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("a" + kEnter, kTitle));
    ASSERT_TRUE(terminal.Type("caf\xE9" + kEnter + "x" + kEnter + kEnter, "Added new news entry"));
    ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("q" + kEnter));
    terminal.Wait();
    EXPECT_EQ(NewsDB(terminal.db).GetNewsItemAll(1).title, "caf\xE9") << locale;
  }
}

// A paste only ever inserts text: an email with blank lines is one message, and a paste at the
// command prompt runs no command.
TEST(EditorAtATerminal, PastesAreTextAndRunNoCommand) {
#if !defined(NEWS_HAVE_LIBEDIT)
  GTEST_SKIP() << "the editor was built without libedit";
#endif
#if !defined(__linux__)
  GTEST_SKIP() << "only Linux shows when the editor waits for a key";
#endif
  Terminal terminal(kThree);
  if (!terminal.Started()) GTEST_SKIP() << kNoTerminal;
  ASSERT_TRUE(terminal.WaitFor("\033[?2004h"));  // bracketed paste is on
  ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("a" + kEnter, kTitle));
  // A C1 control, and bytes that are not UTF-8, are kept as they came.
  ASSERT_TRUE(terminal.Type("\033[200~Remind\r\nme\xC2\x88 bad[\xFF\xFE\xC3]\r\033[201~", "]"));
  ASSERT_TRUE(terminal.WaitUntilIdle() && terminal.Type(kEnter, "two newlines]:"));
  // Pasted into the middle of a line, whose end follows the pasted lines; a zero byte ends the
  // text of its line.
  ASSERT_TRUE(terminal.Type("Hi Anna" + kLeft + kLeft + kLeft + kLeft));
  ASSERT_TRUE(
      terminal.Type("\033[200~team,\r\rDon't forget the deadline on Friday.\r3 reports are still "
                    "missing."s +
                        '\0' + " Cut.\r\rThanks!\r\033[201~",
                    "!Anna"));  // the last character pasted, drawn before the rest of the line
  ASSERT_TRUE(terminal.WaitUntilIdle() &&
              terminal.Type(kEnter + kEnter, "Added new news entry to DB"));
  // A paste that carries an end marker of its own, with what would delete message 3 after it.
  ASSERT_TRUE(terminal.WaitFor(kPrompt) &&
              terminal.Type("\033[200~x\033[201~\rd\r3\r\033[201~", "x d 3"));
  ASSERT_TRUE(terminal.WaitUntilIdle() && terminal.Type("\025q" + kEnter));  // Ctrl-U: line dropped
  const int status = terminal.Wait();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(EndsWith(terminal.out, kPasteOff));
  NewsDB saved(terminal.db);
  ASSERT_EQ(saved.CountAll(), 4u);
  EXPECT_EQ(saved.GetNewsItemAll(2).title, "three");
  EXPECT_EQ(saved.GetNewsItemAll(3).title, "Remind me\xC2\x88 bad[\xFF\xFE\xC3]");
  EXPECT_EQ(saved.GetNewsItemAll(3).text,
            "Hi team,\n\nDon't forget the deadline on Friday.\n3 reports are still missing.\n\n"
            "Thanks!\nAnna");
}

// Ctrl-C, typed or sent, cancels the line and the dialogue and goes on; after a continue or a
// resize the line is drawn again; a signal that ends the program leaves the terminal as it was.
TEST(EditorAtATerminal, CtrlCCancelsAndEndingSignalsRestoreTheTerminal) {
#if !defined(NEWS_HAVE_LIBEDIT)
  GTEST_SKIP() << "the editor was built without libedit";
#endif
  {
    Terminal terminal(kThree);
    if (!terminal.Started()) GTEST_SKIP() << kNoTerminal;
    ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("a" + kEnter, kTitle));
    // At each prompt of a dialogue, after any key (Ctrl-R).
    ASSERT_TRUE(terminal.Type("Tit\022\003", kPrompt) && terminal.Type("a" + kEnter, kTitle));
    ASSERT_TRUE(terminal.Type("Title" + kEnter + "one line" + kEnter + "half a li", "half a li"));
    // Ctrl-Z: bracketed paste off for the shell, on again after, and the line shown again. (A
    // terminal of its own makes the editor a job no shell controls, which the system never stops.)
    ASSERT_TRUE(terminal.Type("\032", std::string(kPasteOff) + "\033[?2004h"));
    ASSERT_TRUE(terminal.WaitFor("half a li"));
    ASSERT_TRUE(terminal.Type("\003", kPrompt));  // Ctrl-C
    ASSERT_TRUE(terminal.Type("d" + kEnter + "2", "delete:\r\n2"));
    kill(terminal.Pid(), SIGINT);  // Ctrl-C as a signal, as another program sends it, cancels too
    ASSERT_TRUE(terminal.WaitFor(kPrompt) &&
                terminal.Type("l" + kEnter, "DB contains 3 news items."));
    ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("q" + kEnter));
    const int status = terminal.Wait();
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << status;
    EXPECT_EQ(ReadFile(terminal.db), kThree);
  }
  Terminal terminal(kThree);
  ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("a" + kEnter, kTitle));
  // Echoed by the line editor, so the terminal is in its hands.
  ASSERT_TRUE(terminal.Type("Kept" + kEnter + "one line" + kEnter + "half a li", "half a li"));
  kill(terminal.Pid(), SIGCONT);  // as after a stop: the prompt and the line are drawn again
  EXPECT_TRUE(terminal.WaitFor("half a li"));
  terminal.Resize(30, 100);  // and after a resize
  EXPECT_TRUE(terminal.WaitFor("half a li"));
  kill(terminal.Pid(), SIGHUP);  // the window is closed: the message being written is kept
  const int status = terminal.Wait();
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << status;
  EXPECT_NE(terminal.out.find(kPasteOff, terminal.out.find("half a li")), std::string::npos);
  EXPECT_EQ(terminal.LocalModes(), terminal.before.c_lflag);
  NewsDB saved(terminal.db);
  ASSERT_EQ(saved.CountAll(), 4u);
  EXPECT_EQ(saved.GetNewsItemAll(3).title, "Kept");
  EXPECT_EQ(saved.GetNewsItemAll(3).text, "one line\nhalf a li");
}

// Ctrl-C belongs to the editor for its whole run: during a listing it ends the listing; while a
// save waits for another it gives the wait up, and the change stays to be saved later.
TEST(EditorAtATerminal, CtrlCEndsAListingAndGivesUpAWait) {
#if !defined(NEWS_HAVE_LIBEDIT)
  GTEST_SKIP() << "the editor was built without libedit";
#endif
  NewsDB many;
  for (int i = 1; i <= 100000; ++i)
    many.items.emplace_back(i, "t", "x", 1, 1, 1, 2026, false, true);
  many.items.back().title = "last";
  Terminal terminal(TextOf(many));
  if (!terminal.Started()) GTEST_SKIP() << kNoTerminal;
  ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("l" + kEnter, "DB contains 100000"));
  ASSERT_TRUE(terminal.Type("\003", kPrompt));
  EXPECT_EQ(terminal.out.find("Message last"), terminal.out.rfind("Message last"));  // once only
  auto other = std::make_unique<FileReplacement>();  // another program's save, under way
  ASSERT_TRUE(other->Begin(terminal.db));
  ASSERT_TRUE(terminal.Type("a" + kEnter + "New" + kEnter + "x" + kEnter + kEnter,
                            "news-editor: waiting for another program's save of " + terminal.db));
  ASSERT_TRUE(terminal.Type("\003", "(Visible=1)\r\nUnable to save news DB\r\n"));
  ASSERT_TRUE(terminal.WaitFor("news-editor: cannot save " + terminal.db + ": " +
                               make_error_code(FileError::kWaitGivenUp).message()));
  ASSERT_TRUE(terminal.WaitFor(kPrompt));
  other.reset();
  ASSERT_TRUE(terminal.Type("q" + kEnter));
  const int status = terminal.Wait();
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << status;
  EXPECT_EQ(NewsDB(terminal.db).CountAll(), 100001u);
}

// With only one of them at a terminal: each prompt reaches piped output before the editor waits
// for the line typed at the terminal, and the end of piped input ends the last line shown.
TEST(EditorAtATerminal, WithOneSidePipedPromptsShowAndTheLastLineEnds) {
  {
    Terminal terminal(kThree, nullptr, Piped::kOutput);  // as in `news-editor news.db | tee log`
    if (!terminal.Started()) GTEST_SKIP() << kNoTerminal;
    ASSERT_TRUE(terminal.WaitFor(kPrompt) && terminal.Type("a" + kEnter, kTitle));
    ASSERT_TRUE(terminal.Type("T" + kEnter, "two newlines]:\n") && terminal.Type("\004"));
    const int status = terminal.Wait();
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << status;
  }
  Terminal terminal(kThree, nullptr, Piped::kInput);
  if (!terminal.Started()) GTEST_SKIP() << kNoTerminal;
  ASSERT_TRUE(terminal.Type("h\n", "close this application"));
  terminal.EndInput();
  terminal.Wait();
  EXPECT_TRUE(EndsWith(terminal.out, kPrompt + "\r\n"));
}
