// Line editing at a terminal with libedit, for the console on POSIX systems (console_posix.cpp),
// which reads through it when standard input and output are both terminals. Compiled only where
// libedit was found.
//
// The terminal's own signal keys are off from the first line read to the end (Ctrl-C and Ctrl-Z
// come as keys and are handled in step with the editing, or when a listing or a save looks for
// them); the signals themselves are handled here rather than by libedit, which would pass a
// signal that ends the program on to the whole process group, the shell script or make that
// started it too.
#ifndef EDITOR_LINE_EDITOR_H
#define EDITOR_LINE_EDITOR_H

#include <histedit.h>
#include <termios.h>

#include <cstddef>
#include <string>

#include "console.h"
#include "terminal_codes.h"

// The line editor on the terminal of standard input and output, one history of lines for each
// kind of line, and the line being read. libedit's callbacks reach it as the editor's client data.
class LineEditor {
 public:
  // A line editor that also wakes up for what the signal handlers write to the pipe `wakeUp`,
  // for a terminal that shows UTF-8 or not (`utf8`); it touches the terminal only once taken.
  LineEditor(int wakeUp, bool utf8);

  // Takes the terminal for editing: notes its modes, starts libedit, installs the handlers of
  // the signals it handles from then on (an interrupt, a resize, a continue, and a crash, which
  // puts the terminal back) and turns bracketed paste on. False, with nothing changed, when the
  // terminal cannot be edited on.
  bool TakeTerminal();

  // True once TakeTerminal has succeeded.
  bool TerminalTaken() const { return editor_ != nullptr; }

  // Shows `prompt` and reads one line through the taken terminal, as readWholeLine does.
  LineEnd Read(std::string& line, const std::string& prompt, LineKind kind);

  // True, once, when Ctrl-C was typed at the taken terminal and not yet read (it is taken out of
  // what was typed; one inside a paste is text), or an interrupt signal came.
  bool InterruptTyped();

 private:
  friend struct EditorCalls;  // libedit's callbacks, which act on the editor they are given

  // One history for each kind of line, kNumber being the last kind.
  static constexpr size_t kLineKinds = static_cast<size_t>(LineKind::kNumber) + 1;

  int wakeUp_;
  bool utf8_;
  EditLine* editor_ = nullptr;
  History* histories_[kLineKinds] = {};
  KeyDecoder keys_;
  std::string decoded_;  // what the key decoder gave that libedit has not taken yet
  std::string input_;    // bytes read from the terminal and not yet decoded
  size_t inputAt_ = 0;
  termios editingModes_{};          // libedit's modes while it reads, kept between lines
  bool editingModesTaken_ = false;  // for the line being read
  bool modesKnown_ = false;         // for any line
  std::string heading_;             // whole lines of the prompt, shown before libedit's prompt
  std::string prompt_;              // the rest of the prompt, which libedit shows
  std::string carried_;             // the end of a line that a pasted line break moved to the next
  LineKind kind_ = LineKind::kCommand;
  LineEnd end_ = LineEnd::kTyped;
};

// Leaves the terminal as the line editor found it (its modes, and no bracketed paste for the
// shell); nothing before it was taken. Safe in a signal handler.
void restoreTerminal();

// While it lives, the terminal is as the line editor found it, for the shell while the program is
// stopped; then it has the modes it had before again. Safe in a signal handler.
class TerminalLeft {
 public:
  // Notes the terminal's modes and puts it back as it was found.
  TerminalLeft();
  // Gives the terminal the modes noted, and bracketed paste where it was on.
  ~TerminalLeft();
  TerminalLeft(const TerminalLeft&) = delete;
  TerminalLeft& operator=(const TerminalLeft&) = delete;

 private:
  termios modes_;
  bool saved_;
};

// What console_posix.cpp supplies to the line editor, each safe in a signal handler:

// Wakes up a wait for input, as every signal handler does after noting its signal.
void wakeUpInput();

// Handles `signal` with `handler`, restarting the system calls it interrupts (so a save goes on
// undisturbed); a signal ignored by whoever started the editor stays ignored where `keepIgnored`.
void handleSignal(int signal, void (*handler)(int), bool keepIgnored);

// Lets `signal` act as it does by default, at once: ends or stops the process.
void raiseAsDefault(int signal);

#endif  // EDITOR_LINE_EDITOR_H
