// The editor's console on Linux, macOS and other POSIX systems: plain line reading through pipes
// and files, line editing with libedit when standard input and output are both terminals.
#if !defined(_WIN32)

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <vector>

#include "console.h"

#ifdef NEWS_HAVE_LIBEDIT
#include <optional>

#include "line_editor.h"
#endif

namespace {

// A pipe the signal handlers write to, so that waiting for input wakes up for them.
int wakeUp[2] = {-1, -1};
// The signal that asked the editor to end, 0 until one did.
volatile std::sig_atomic_t endSignal = 0;
// While a save runs stops are held; one asked for meanwhile is pending.
volatile std::sig_atomic_t stopsHeld = 0, stopPending = 0;

}  // namespace

void wakeUpInput() {
  if (wakeUp[1] >= 0 && write(wakeUp[1], "", 1) < 0) {}  // a full pipe wakes all the same
}

void handleSignal(int signal, void (*handler)(int), bool keepIgnored) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  struct sigaction before {};
  sigaction(signal, &action, &before);
  if (keepIgnored && before.sa_handler == SIG_IGN) sigaction(signal, &before, nullptr);
}

void raiseAsDefault(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  std::raise(signal);
}

namespace {

// A signal that ends the editor: noted, and acted on where input is read, so that a save under
// way finishes and what was typed is kept.
void noteEnd(int signal) {
  if (endSignal == 0) endSignal = signal;
  wakeUpInput();
}

// Stops the program as Ctrl-Z would; at a terminal, the terminal is put back for the shell while
// it is stopped and gets the modes it had again when the program is continued.
void stopNow();

void onStop(int) {
  if (stopsHeld != 0) {
    stopPending = 1;
  } else {
    stopNow();
  }
}

// Standard input where no line editor reads it, taken in large pieces; a request to end wakes
// the wait for more.
struct PlainInput {
  std::string bytes;
  size_t at = 0;          // the first byte not yet returned
  size_t searched = 0;    // how many bytes from `at` on are known to hold no line break
  bool ended = false;     // nothing more is read: the input ended, or the editor was asked to end
  bool dropping = false;  // a line too long for memory is being dropped, up to its line end
};

// What the console keeps between calls, set up by startConsole; it lives until the process ends.
struct Console {
  bool terminalOutput = false;
  bool utf8Terminal = true;
  PlainInput plainInput;
#ifdef NEWS_HAVE_LIBEDIT
  std::optional<LineEditor> lineEditor;  // where standard input and output are both terminals
#endif
};

Console& console() {
  static Console state;
  return state;
}

// Takes the next line from what `in` holds into `line`, `whole` telling whether its line end came
// too; false when it holds no whole line (nor, at the end, a last one).
bool takeLine(PlainInput& in, std::string& line, bool& whole) {
  const size_t found = in.bytes.find('\n', in.at + in.searched);
  if (found == std::string::npos && !(in.ended && in.at < in.bytes.size())) {
    in.searched = in.bytes.size() - in.at;
    return false;
  }
  whole = found != std::string::npos;
  const size_t end = whole ? found : in.bytes.size();
  line.assign(in.bytes, in.at, end - in.at);
  in.at = end + whole;
  in.searched = 0;
  if (in.at >= (size_t{1} << 16) && in.at >= in.bytes.size() / 2) {  // never moved twice
    in.bytes.erase(0, in.at);
    in.at = 0;
  }
  return true;
}

// Reads what standard input has ready into `in`, waiting for it unless `ending`; false when a
// signal's wake-up came first.
bool readMore(PlainInput& in, bool ending) {
  pollfd ready[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeUp[0], POLLIN, 0}};
  const int arrived = poll(ready, ending || wakeUp[0] < 0 ? 1 : 2, ending ? 0 : -1);
  if (arrived <= 0) {
    in.ended = arrived == 0 || (errno != EINTR && errno != EAGAIN);
    return false;
  }
  char drained[64];
  while (ready[1].revents != 0 && read(wakeUp[0], drained, sizeof drained) > 0) {}
  if (ready[0].revents == 0) return false;
  char piece[1 << 16];
  const ssize_t got = read(STDIN_FILENO, piece, sizeof piece);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) {
    in.ended = true;
  } else {
    in.bytes.append(piece, static_cast<size_t>(got));
  }
  return true;
}

// Reads one line of standard input, without its line break. The last line may lack one. Once the
// editor is asked to end, what has arrived is still read, but no more (see endRequest). A line
// too long for the memory there is cancels its dialogue, as Ctrl-C at a terminal does.
LineEnd readPlainLine(std::string& line, LineKind kind) {
  PlainInput& in = console().plainInput;
  for (;;) {
    try {
      if (in.dropping) {  // up to the line end of the line that did not fit
        const size_t found = in.bytes.find('\n', in.at);
        in.bytes.erase(in.at, found == std::string::npos ? found : found + 1 - in.at);
        in.dropping = found == std::string::npos && !in.ended;
        if (!in.dropping) {
          std::cerr << "news-editor: a line too long for the memory there is was dropped"
                    << std::endl;
          return LineEnd::kCancelled;
        }
      }
      const bool ending = endSignal != 0;
      bool whole = false;
      if (takeLine(in, line, whole)) {
        // Without its line end, a command or number sent as the editor was asked to end is not
        // carried out.
        const bool message = kind == LineKind::kTitle || kind == LineKind::kText;
        if (ending && !whole && !message) return LineEnd::kInputEnded;
        return LineEnd::kTyped;
      }
      if (in.ended) return LineEnd::kInputEnded;
      // Asked to end: what has arrived is read, then the input ends there.
      while (!in.ended && readMore(in, ending) && ending) {}
      if (ending) in.ended = true;
    } catch (const std::bad_alloc&) {
      in.bytes.erase(in.at);
      in.bytes.shrink_to_fit();
      in.searched = 0;
      in.dropping = true;
    }
  }
}

// Takes the user's character set for the terminal, or UTF-8 where that is plain ASCII; notes in
// `utf8Terminal` whether the terminal shows UTF-8. Only the character type is set, so no number is
// written differently.
void takeCharacterSet(bool& utf8Terminal) {
  std::setlocale(LC_CTYPE, "");
  const char* characters = nl_langinfo(CODESET);
  if (std::strcmp(characters, "ANSI_X3.4-1968") == 0 || std::strcmp(characters, "US-ASCII") == 0) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
    characters = nl_langinfo(CODESET);
  }
  utf8Terminal = std::strcmp(characters, "UTF-8") == 0 || std::strcmp(characters, "utf8") == 0;
}

void stopNow() {
#ifdef NEWS_HAVE_LIBEDIT
  const TerminalLeft left;  // for the shell while stopped, taken back when continued
#endif
  raiseAsDefault(SIGTSTP);  // the program stops here until it is continued
  handleSignal(SIGTSTP, onStop, false);
}

}  // namespace

std::vector<std::string> startConsole(int argc, char** argv) {
  // A save that would pass the file size limit then fails, is reported and keeps the change in
  // memory, instead of ending the editor.
  std::signal(SIGXFSZ, SIG_IGN);
  if (pipe(wakeUp) == 0) {
    for (const int end : wakeUp) {
      fcntl(end, F_SETFL, O_NONBLOCK);
      fcntl(end, F_SETFD, FD_CLOEXEC);
    }
  }
  // Signals that end a program end the editor as the end of its input does, once a save under
  // way has finished; at a terminal an interrupt is Ctrl-C, which the line editor takes.
  bool lineEditing = false;
#ifdef NEWS_HAVE_LIBEDIT
  lineEditing = isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1;
#endif
  for (const int signal : {SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2,
                           SIGXCPU, SIGVTALRM, SIGPROF}) {
    if (signal != SIGINT || !lineEditing) handleSignal(signal, noteEnd, true);
  }
  handleSignal(SIGTSTP, onStop, true);
#if defined(F_SETPIPE_SZ)
  // A listing through a pipe goes in pieces of a megabyte rather than the pipe's default 64 KB,
  // with fewer waits for the reader; where that is refused the pipe stays as it is.
  fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
#endif
  Console& state = console();
  state.terminalOutput = isatty(STDOUT_FILENO) == 1;
  if (state.terminalOutput) takeCharacterSet(state.utf8Terminal);
#ifdef NEWS_HAVE_LIBEDIT
  // The terminal itself is left alone until the first line is read (see readWholeLine).
  if (lineEditing && wakeUp[0] >= 0) state.lineEditor.emplace(wakeUp[0], state.utf8Terminal);
#endif
  return std::vector<std::string>(argv, argv + argc);
}

void endConsole() {
  std::cout.flush();
  std::fflush(stdout);
  // The line editor lives until the process ends, as the database does: ending it would only
  // give memory back (and it does not give back all it took for the keys bound here).
#ifdef NEWS_HAVE_LIBEDIT
  restoreTerminal();
#endif
}

int endRequest() {
  return endSignal;
}

bool interruptRequested() {
  if (endSignal == SIGPIPE) return true;
#ifdef NEWS_HAVE_LIBEDIT
  std::optional<LineEditor>& editor = console().lineEditor;
  if (editor && editor->TerminalTaken()) return editor->InterruptTyped();
#endif
  return false;
}

void holdStops(bool hold) {
  stopsHeld = hold;
  if (!hold && stopPending != 0) {
    stopPending = 0;
    stopNow();
  }
}

void endAsRequested() {
  // The end of input's status says what a hangup or termination ended.
  if (endSignal != 0 && endSignal != SIGHUP && endSignal != SIGTERM) raiseAsDefault(endSignal);
}

bool rescueFolder(std::string& folder, std::error_code& error) {
  // $XDG_STATE_HOME/news-editor/, else ~/.local/state/news-editor/; only absolute paths count.
  // What is made is made below the state or home folder, which must exist.
  std::string base;
  std::vector<std::string> parts;
  const char* const state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    const std::string given = state;
    const size_t slash = given.find_last_of('/', given.find_last_not_of('/'));
    base = given.substr(0, slash == 0 ? 1 : slash);
    parts = {given.substr(slash + 1)};
  } else {
    const char* home = std::getenv("HOME");
    const passwd* const user = home != nullptr && home[0] == '/' ? nullptr : getpwuid(getuid());
    if (user != nullptr) home = user->pw_dir;
    base = home != nullptr && home[0] == '/' ? home : "";
    parts = {".local", "state"};
  }
  parts.push_back("news-editor");
  folder = base;
  std::error_code made;
  for (const std::string& part : parts) {
    folder += (folder.empty() || folder.back() != '/' ? "/" : "") + part;
    if (!base.empty() && !made && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      made = std::error_code(errno, std::generic_category());
    }
  }
  folder += '/';
  // Only this user may add or replace files in it, so the file written there stays the one made.
  struct stat found;
  if (base.empty()) {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
  } else if (made) {
    error = made;
  } else if (lstat(folder.substr(0, folder.size() - 1).c_str(), &found) != 0) {
    error = std::error_code(errno, std::generic_category());
  } else if (!S_ISDIR(found.st_mode) || found.st_uid != geteuid() ||
             (found.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    error = std::make_error_code(std::errc::permission_denied);
  } else {
    return true;
  }
  return false;
}

bool writePrivateFile(const std::string& path, const std::string& text, std::error_code& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = std::error_code(errno, std::generic_category());
    return false;
  }
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t wrote = write(fd, text.data() + written, text.size() - written);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    written += static_cast<size_t>(wrote);
  }
  const bool whole = written == text.size() && fsync(fd) == 0;
  if (!whole) error = std::error_code(errno != 0 ? errno : EIO, std::generic_category());
  if (close(fd) != 0 && whole) {
    error = std::error_code(errno, std::generic_category());
  } else if (whole) {
    return true;
  }
  unlink(path.c_str());
  return false;
}

// Reads one line, through the line editor where there is one.
LineEnd readWholeLine(std::string& line, const std::string& prompt, LineKind kind) {
  Console& state = console();
#ifdef NEWS_HAVE_LIBEDIT
  // The terminal is taken at the first line read, so that what ends the editor before (--help,
  // a file it refuses) leaves it untouched; where it cannot be, lines are read plainly.
  std::optional<LineEditor>& editor = state.lineEditor;
  if (editor && !editor->TerminalTaken() && !editor->TakeTerminal()) editor.reset();
  if (editor) return editor->Read(line, prompt, kind);
#endif
  std::cout << prompt << std::flush;
  const LineEnd end = readPlainLine(line, kind);
  // The last line shown is ended, as at a terminal, so the shell's prompt starts a line of its own.
  if (end == LineEnd::kInputEnded && state.terminalOutput) std::cout << std::endl;
  return end;
}

bool outputIsTerminal() {
  return console().terminalOutput;
}

bool terminalIsUtf8() {
  return console().utf8Terminal;
}

#endif  // !_WIN32
