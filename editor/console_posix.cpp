// The editor's console on Linux, macOS and other POSIX systems: plain line reading through pipes
// and files, line editing with libedit when standard input and output are both terminals.
#if !defined(_WIN32)

#include <unistd.h>

#include <iostream>

#include "console.h"

#ifdef NEWS_HAVE_LIBEDIT
#include <histedit.h>
#include <langinfo.h>
#include <termios.h>

#include <clocale>
#include <csignal>
#include <cstring>
#endif

namespace {

bool terminalOutput = false;

#ifdef NEWS_HAVE_LIBEDIT
// The line editor and one history of lines for each kind of line.
EditLine* lineEditor = nullptr;
History* histories[2] = {nullptr, nullptr};
const char* currentPrompt = "";
bool editorTried = false;

// The terminal's modes before the line editor first changed them.
termios terminalModes;
// Set when the terminal's size has changed, for the line editor to learn before its next line.
volatile std::sig_atomic_t resized = 0;

// The signals are handled here rather than by the line editor, which would pass a signal that
// ends the program on to the whole process group, the shell script or make that started it too.

// Puts the terminal back and ends the program by `signal` as it would have ended anyway, so no
// signal leaves the user a terminal without echo.
void restoreAndEnd(int signal) {
  tcsetattr(STDIN_FILENO, TCSANOW, &terminalModes);
  if (write(STDOUT_FILENO, "\n", 1) < 0) {}  // the shell's prompt starts on a line of its own
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Ctrl-Z: puts the terminal back for the shell, stops, and takes the line editor's modes again
// when continued.
void suspend(int) {
  termios editing;
  const bool editingSaved = tcgetattr(STDIN_FILENO, &editing) == 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &terminalModes);
  std::signal(SIGTSTP, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  std::raise(SIGTSTP);  // the program stops here until it is continued
  std::signal(SIGTSTP, suspend);
  if (editingSaved) tcsetattr(STDIN_FILENO, TCSANOW, &editing);
}

void noteResize(int) {
  resized = 1;
}

char* promptOf(EditLine*) {
  return const_cast<char*>(currentPrompt);
}

// Starts the line editor when standard input and output are both terminals.
void startLineEditor() {
  editorTried = true;
  if (!terminalOutput || isatty(STDIN_FILENO) != 1) return;
  // The cursor moves over characters, not bytes: take the user's character set, or UTF-8 where
  // that is plain ASCII. Only the character type is set, so no number is written differently.
  if (tcgetattr(STDIN_FILENO, &terminalModes) == 0) {
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) std::signal(signal, restoreAndEnd);
    std::signal(SIGTSTP, suspend);
    std::signal(SIGWINCH, noteResize);
  }
  std::setlocale(LC_CTYPE, "");
  const char* const characters = nl_langinfo(CODESET);
  if (std::strcmp(characters, "ANSI_X3.4-1968") == 0 || std::strcmp(characters, "US-ASCII") == 0) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
  lineEditor = el_init("news-editor", stdin, stdout, stderr);
  if (lineEditor == nullptr) return;
  el_set(lineEditor, EL_EDITOR, "emacs");
  el_set(lineEditor, EL_PROMPT, promptOf);
  for (History*& history : histories) {
    history = history_init();
    HistEvent event;
    ::history(history, &event, H_SETSIZE, 500);
    ::history(history, &event, H_SETUNIQUE, 1);
  }
}

// Reads one line through the line editor; false at the end of input.
bool readEdited(std::string& line, const char* prompt, LineKind kind) {
  History* const history = histories[kind == LineKind::kCommand ? 0 : 1];
  currentPrompt = prompt;
  el_set(lineEditor, EL_HIST, ::history, history);
  if (resized != 0) {
    resized = 0;
    el_resize(lineEditor);
  }
  int count = 0;
  const char* got = el_gets(lineEditor, &count);
  if (got == nullptr || count <= 0) {
    std::cout << std::endl;  // the shell's prompt, or what follows, starts on a line of its own
    return false;
  }
  line.assign(got, static_cast<size_t>(count));
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty()) {
    HistEvent event;
    ::history(history, &event, H_ENTER, line.c_str());
  }
  return true;
}
#endif

}  // namespace

std::vector<std::string> startConsole(int argc, char** argv) {
  terminalOutput = isatty(STDOUT_FILENO) == 1;
  return std::vector<std::string>(argv, argv + argc);
}

void endConsole() {
#ifdef NEWS_HAVE_LIBEDIT
  if (lineEditor != nullptr) el_end(lineEditor);
  for (History* history : histories) {
    if (history != nullptr) history_end(history);
  }
  lineEditor = nullptr;
#endif
}

// Reads one line, through the line editor where there is one.
bool readWholeLine(std::string& line, const char* prompt, LineKind kind) {
#ifdef NEWS_HAVE_LIBEDIT
  if (!editorTried) startLineEditor();
  if (lineEditor != nullptr) return readEdited(line, prompt, kind);
#else
  (void)kind;
#endif
  std::cout << prompt << std::flush;
  return static_cast<bool>(std::getline(std::cin, line));
}

bool outputIsTerminal() {
  return terminalOutput;
}

#endif  // !_WIN32
