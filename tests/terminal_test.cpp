// The editor at a terminal (a pseudo-terminal here): lines are edited before they are stored,
// commands are recalled, Ctrl-D ends on a line of its own, stored control bytes are shown
// visibly, and the terminal is left as it was found.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#include <utmp.h>
#endif

#include <csignal>
#include <string>

#include "NewsDB.h"
#include "test_support.h"

namespace {

// The editor on a terminal of its own; the test types at it as a person would.
class Terminal {
 public:
  explicit Terminal(const std::string& db) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    tcgetattr(slave_, &before);
    pid_ = fork();
    if (pid_ == 0) {
      close(master_);
      login_tty(slave_);
      setenv("TERM", "xterm", 1);
      execl(NEWS_EDITOR_PATH, NEWS_EDITOR_PATH, db.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
    close(slave_);
  }

  // Types `keys` once the line editor has the terminal (it shows its prompt a moment before), so
  // that no key meets the terminal's own line editing.
  void Type(const std::string& keys) {
    for (int waited = 0; (LocalModes() & ICANON) != 0 && waited < 1000; ++waited) ReadSome(10);
    ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size()));
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
  pid_t Pid() const { return pid_; }
  bool Started() const { return pid_ > 0; }
  // The terminal's local modes now (echo, line editing), as the shell would find them.
  tcflag_t LocalModes() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now.c_lflag;
  }

  std::string out;
  termios before{};

 private:
  bool ReadSome(int milliseconds) {
    pollfd ready{master_, POLLIN, 0};
    if (poll(&ready, 1, milliseconds) <= 0) return false;
    char buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got > 0) out.append(buffer, static_cast<size_t>(got));
    return got > 0;
  }

  int master_ = -1, slave_ = -1;
  pid_t pid_ = -1;
  size_t seen_ = 0;
};

const char kPrompt[] = "Enter command [h for help]:";
const char kLeft[] = "\033[D", kUp[] = "\033[A", kBackspace[] = "\177", kEnter[] = "\r";

}  // namespace

TEST(EditorAtATerminal, StoresWhatTheLineShowsAndEndsCleanly) {
#if !defined(NEWS_HAVE_LIBEDIT)
  GTEST_SKIP() << "the editor was built without libedit";
#endif
  TempDir dir;
  const std::string db = dir.File("news.db");
  WriteFile(
      db,
      "<\"1\" \"1\" <\"1\" \"\033]0;owned\007\" \"x\" \"545\" \"5\" \"12\" \"2026\" \"0\" \"1\">>");
  Terminal terminal(db);
  if (!terminal.Started()) GTEST_SKIP() << "no pseudo-terminal here (is /dev/pts mounted?)";
  ASSERT_TRUE(terminal.WaitFor("  Message ^[]0;owned^G 1 (9:05 5.12.2026) :x(Visible=1)"));
  ASSERT_TRUE(terminal.WaitFor(kPrompt));
  terminal.Type(std::string("a") + kEnter);
  ASSERT_TRUE(terminal.WaitFor("Enter new title text:"));
  terminal.Type(std::string("Lunh") + kLeft + "c" + kEnter);
  ASSERT_TRUE(terminal.WaitFor("two newlines]:"));
  terminal.Type(std::string("Pizzaa") + kBackspace + kEnter + kEnter);
  ASSERT_TRUE(terminal.WaitFor("Added new news entry to DB"));
  ASSERT_TRUE(terminal.WaitFor(kPrompt));
  // Up recalls the last command, which starts another add; it is cancelled at once.
  terminal.Type(std::string(kUp) + kEnter);
  ASSERT_TRUE(terminal.WaitFor("Enter new title text:"));
  terminal.Type(std::string(kEnter) + kEnter);
  ASSERT_TRUE(terminal.WaitFor(kPrompt));
  terminal.Type("\004");  // Ctrl-D on an empty line
  const int status = terminal.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(terminal.out.back(), '\n');
  EXPECT_EQ(terminal.LocalModes(), terminal.before.c_lflag);
  NewsDB saved(db);
  ASSERT_EQ(saved.CountAll(), 2u);
  EXPECT_EQ(saved.GetNewsItemAll(1).title, "Lunch");
  EXPECT_EQ(saved.GetNewsItemAll(1).text, "Pizza");
}

TEST(EditorAtATerminal, SignalsLeaveTheTerminalAsItWas) {
#if !defined(NEWS_HAVE_LIBEDIT)
  GTEST_SKIP() << "the editor was built without libedit";
#endif
  TempDir dir;
  for (const bool typed : {true, false}) {
    SCOPED_TRACE(typed ? "Ctrl-C" : "SIGTERM");
    Terminal terminal(dir.File("news.db"));
    if (!terminal.Started()) GTEST_SKIP() << "no pseudo-terminal here (is /dev/pts mounted?)";
    ASSERT_TRUE(terminal.WaitFor(kPrompt));
    terminal.Type("Quit soon");  // echoed by the line editor, so the terminal is in its hands
    ASSERT_TRUE(terminal.WaitFor("Quit soon"));
    if (typed) {
      terminal.Type("\003");  // Ctrl-C
    } else {
      kill(terminal.Pid(), SIGTERM);
    }
    const int status = terminal.Wait();
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(terminal.LocalModes(), terminal.before.c_lflag);
  }
}
