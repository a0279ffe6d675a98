// Line editing at a terminal with libedit (see line_editor.h).
#include "line_editor.h"

#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iostream>

namespace {

// What the signal handlers installed with the terminal noted; each also writes to the wake-up
// pipe, so that waiting for a key wakes up for it.
volatile std::sig_atomic_t resized = 0, continued = 0, interrupted = 0;

// The terminal as the line editor found it, which signal handlers put back: set once, when the
// terminal is taken, before any handler that acts on it could find it taken.
termios foundModes;
volatile std::sig_atomic_t terminalTaken = 0;
volatile std::sig_atomic_t pasteMode = 0;  // bracketed paste is turned on while the editor runs
const char kPasteOn[] = "\033[?2004h", kPasteOff[] = "\033[?2004l";

constexpr int kCtrlC = 0x03;

// Bytes that are not characters of the terminal's set, and the zero byte, cross libedit as
// characters of their own, from the end of the last private-use plane: U+10FF00 plus the byte.
// A person types none of these; the line read has them back as the bytes they stand for.
constexpr wchar_t kStandIns = 0x10FF00;

// Writes to the terminal directly; safe in a signal handler.
void writeRaw(const char* text) {
  if (write(STDOUT_FILENO, text, std::strlen(text)) < 0) {}  // nothing to do about a lost write
}

// Puts the terminal back and ends the program by `signal` as it would have ended anyway.
void restoreAndEnd(int signal) {
  restoreTerminal();
  writeRaw("\n");  // the shell's prompt starts on a line of its own
  raiseAsDefault(signal);
}

void note(volatile std::sig_atomic_t& flag) {
  flag = 1;
  wakeUpInput();
}
void noteResize(int) {
  note(resized);
}
void noteContinue(int) {
  note(continued);
}
void noteInterrupt(int) {
  note(interrupted);
}

// The columns that `text` takes on the screen from column `column` on, as libedit shows it: tabs
// to the next multiple of 8, control characters as ^X.
int columnsOf(const wchar_t* text, const wchar_t* end, int column) {
  for (; text < end; ++text) {
    const int width = *text == L'\t' ? 8 - column % 8 : wcwidth(*text);
    column += width >= 0 ? width : 2;
  }
  return column;
}

// `line`, as libedit gives it in UTF-8, with the stand-ins turned back into their bytes.
std::string withoutStandIns(const std::string& line) {
  std::string bytes;
  bytes.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    const auto at = [&line](size_t j) { return static_cast<unsigned char>(line[j]); };
    if (i + 3 < line.size() && at(i) == 0xF4 && at(i + 1) == 0x8F && at(i + 2) >= 0xBC) {
      bytes += static_cast<char>((at(i + 2) & 0x03) << 6 | (at(i + 3) & 0x3F));
      i += 3;
    } else {
      bytes += line[i];
    }
  }
  return bytes;
}

void bind(EditLine* editor, const char* keys, const char* function) {
  el_set(editor, EL_BIND, keys, function, nullptr);
}

}  // namespace

// What libedit calls, and what they need of the line editor, which each finds as the client
// data of the EditLine it is given.
struct EditorCalls {
  // The line editor that `editor` belongs to.
  static LineEditor& of(EditLine* editor) {
    void* data = nullptr;
    el_get(editor, EL_CLIENTDATA, &data);
    return *static_cast<LineEditor*>(data);
  }

  // Shows the prompt and the line being edited again, on the line the cursor is on.
  static void redraw(LineEditor& line) {
    std::fputs(line.heading_.c_str(), stdout);
    el_set(line.editor_, EL_REFRESH);
  }

  // Draws the prompt and the line afresh after the terminal changed its width. Terminals rewrap
  // the rows of a long line to the new width; the cursor goes back to the first of them,
  // everything from there down is cleared, and the line is drawn again.
  static void redrawAtNewWidth(LineEditor& state) {
    EditLine* const editor = state.editor_;
    int width = 0;
    const LineInfoW* const line = el_wline(editor);
    if (el_get(editor, EL_GETTC, "co", &width) != 0 || width <= 0 || line == nullptr) width = 80;
    std::wstring prompt(state.prompt_.size(), L'\0');
    const size_t characters = std::mbstowcs(&prompt[0], state.prompt_.c_str(), prompt.size());
    prompt.resize(characters == static_cast<size_t>(-1) ? 0 : characters);
    const int column = columnsOf(line->buffer, line->cursor,
                                 columnsOf(prompt.data(), prompt.data() + prompt.size(), 0));
    std::fputs("\r", stdout);
    for (int row = column / width; row > 0; --row) el_set(editor, EL_ECHOTC, "-s", "up", nullptr);
    el_set(editor, EL_ECHOTC, "-s", "cd", nullptr);
    el_set(editor, EL_REFRESH);
  }

  // Acts on what the signal handlers noted: a new size, a continue after a stop, and an
  // interrupt signal, which is returned as the Ctrl-C key to cancel the line (-1 otherwise).
  static int takeSignals(LineEditor& line) {
    char drained[64];
    while (read(line.wakeUp_, drained, sizeof drained) > 0) {}
    if (continued != 0) {
      continued = 0;
      // The shell may have changed the modes while the program was stopped.
      if (line.editingModesTaken_) tcsetattr(STDIN_FILENO, TCSANOW, &line.editingModes_);
      if (pasteMode != 0) writeRaw(kPasteOn);
      redraw(line);
    }
    if (resized != 0) {
      resized = 0;
      el_resize(line.editor_);
      redrawAtNewWidth(line);
    }
    if (interrupted != 0) {
      interrupted = 0;
      return kCtrlC;
    }
    return -1;
  }

  // The next byte from the terminal, or KeyDecoder::kNoByte when none comes within `wait`:
  // briefly is half a second, which tells a lone Escape from the start of a sequence sent in
  // pieces; a moment is what the terminal has sent already, allowing for a paste written in
  // several pieces.
  static int readByte(LineEditor& line, KeyDecoder::Wait wait) {
    if (line.inputAt_ < line.input_.size()) {
      return static_cast<unsigned char>(line.input_[line.inputAt_++]);
    }
    for (;;) {
      const int signalled = takeSignals(line);  // after its wake-up is drained, so none is missed
      if (endRequest() != 0) return KeyDecoder::kInputEnded;
      if (signalled >= 0) return signalled;
      fd_set ready;
      FD_ZERO(&ready);
      FD_SET(STDIN_FILENO, &ready);
      FD_SET(line.wakeUp_, &ready);
      timeval limit{0, wait == KeyDecoder::Wait::kBriefly ? 500000 : 20000};
      const bool forever = wait == KeyDecoder::Wait::kForever;
      const int found =
          select(line.wakeUp_ + 1, &ready, nullptr, nullptr, forever ? nullptr : &limit);
      if (found < 0 && errno == EINTR) continue;
      if (found < 0) return KeyDecoder::kInputEnded;
      if (found == 0) return KeyDecoder::kNoByte;
      if (!FD_ISSET(STDIN_FILENO, &ready)) continue;
      char bytes[4096];
      const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) return KeyDecoder::kInputEnded;
      line.input_.assign(bytes, static_cast<size_t>(got));
      line.inputAt_ = 1;
      return static_cast<unsigned char>(bytes[0]);
    }
  }

  // Puts what a pasted line break carried over at the start of this line, after the cursor.
  static void takeCarried(LineEditor& line) {
    std::string& carried = line.carried_;
    if (carried.empty()) return;
    const size_t characters = std::mbstowcs(nullptr, carried.c_str(), 0);
    el_insertstr(line.editor_, carried.c_str());
    if (characters != static_cast<size_t>(-1)) {
      el_cursor(line.editor_, -static_cast<int>(characters));
    }
    carried.clear();
    std::fputs("\r", stdout);  // at the start of the line's row, under the whole lines above it
    el_set(line.editor_, EL_REFRESH);
  }

  // libedit's way of reading a character: bytes from the terminal go through the key decoder,
  // and what it gives is taken as characters of the user's character set.
  static int readCharacter(EditLine* editor, wchar_t* character) {
    LineEditor& line = of(editor);
    if (!line.editingModesTaken_) {  // libedit has just set them for this line
      line.editingModesTaken_ = tcgetattr(STDIN_FILENO, &line.editingModes_) == 0;
      line.modesKnown_ = line.modesKnown_ || line.editingModesTaken_;
      takeCarried(line);
    }
    const KeyDecoder::Source source = [&line](KeyDecoder::Wait wait) {
      return readByte(line, wait);
    };
    for (;;) {
      if (!line.decoded_.empty()) {
        std::mbstate_t state{};
        const size_t used =
            std::mbrtowc(character, line.decoded_.data(), line.decoded_.size(), &state);
        if (used == 0 || (used == static_cast<size_t>(-1) && line.utf8_)) {
          *character = kStandIns + static_cast<unsigned char>(line.decoded_[0]);
          line.decoded_.erase(0, 1);
          return 1;
        }
        if (used == static_cast<size_t>(-1)) {
          line.decoded_.erase(0,
                              1);  // not a character of this set, which has no room for stand-ins
          continue;
        }
        if (used != static_cast<size_t>(-2)) {
          line.decoded_.erase(0, used);
          return 1;
        }
      }
      const bool textLine = line.kind_ == LineKind::kText;
      if (!line.keys_.Next(source, textLine, line.decoded_)) {
        line.decoded_.clear();
        *character = L'\0';
        return 0;
      }
    }
  }

  // Ends the line being edited as Enter does, noting why.
  static unsigned char endLineAs(EditLine* editor, LineEnd end) {
    of(editor).end_ = end;
    el_push(editor, "\r");
    return CC_NORM;
  }

  static unsigned char cancelLine(EditLine* editor, int) {
    return endLineAs(editor, LineEnd::kCancelled);
  }

  // A line break inside a paste: what stands after the cursor goes on to the next line, as it
  // would in any editor, and the paste goes on before it.
  static unsigned char endPastedLine(EditLine* editor, int) {
    const LineInfoW* const wide = el_wline(editor);
    const LineInfo* const narrow = el_line(editor);
    const int after = static_cast<int>(wide->lastchar - wide->cursor);
    of(editor).carried_.assign(narrow->cursor, narrow->lastchar);
    el_cursor(editor, after);
    el_deletestr(editor, after);
    endLineAs(editor, LineEnd::kPasted);
    return CC_REFRESH;  // the line as it ends, before libedit moves on
  }

  // Ctrl-Z: stops as the terminal's own key would, the whole job (a make or a script that
  // started the editor waits for it), and shows the prompt and the line again after.
  static unsigned char suspendEditing(EditLine* editor, int) {
    std::fputs("\n", stdout);  // the shell's report starts on a line of its own
    std::fflush(stdout);
    kill(0, SIGTSTP);
    continued = 0;
    redraw(of(editor));
    return CC_NORM;
  }

  static char* promptOf(EditLine* editor) { return const_cast<char*>(of(editor).prompt_.c_str()); }

  // Binds the keys the key decoder hands on (and nothing it never hands on can reach libedit).
  static void bindKeys(EditLine* editor) {
    el_set(editor, EL_ADDFN, "news-cancel", "Drop the line", cancelLine);
    el_set(editor, EL_ADDFN, "news-pasted-break", "End a pasted line", endPastedLine);
    el_set(editor, EL_ADDFN, "news-suspend", "Stop the program", suspendEditing);
    bind(editor, key::kLeft, "ed-prev-char");
    bind(editor, key::kRight, "ed-next-char");
    bind(editor, key::kUp, "ed-prev-history");
    bind(editor, key::kDown, "ed-next-history");
    bind(editor, key::kHome, "ed-move-to-beg");
    bind(editor, key::kEndOfLine, "ed-move-to-end");
    bind(editor, key::kDelete, "ed-delete-next-char");
    bind(editor, key::kWordLeft, "ed-prev-word");
    bind(editor, key::kWordRight, "em-next-word");
    bind(editor, key::kDeleteWord, "em-delete-next-word");
    bind(editor, key::kDeleteWordBack, "ed-delete-prev-word");
    bind(editor, key::kCancel, "news-cancel");
    bind(editor, key::kPastedBreak, "news-pasted-break");
    bind(editor, key::kLiteral, "ed-quoted-insert");
    bind(editor, key::kSuspend, "news-suspend");
    bind(editor, "\t", "ed-insert");
    bind(editor, "\025", "vi-kill-line-prev");  // Ctrl-U: as in a shell, up to the cursor
    // C1 control characters reach libedit only from a paste, whose text they are; libedit would
    // take them for Alt-keys.
    for (wchar_t c = 0x80; c < 0xA0; ++c) {
      const wchar_t key[] = {c, L'\0'};
      el_wset(editor, EL_BIND, key, L"ed-insert", nullptr);
    }
  }
};

LineEditor::LineEditor(int wakeUp, bool utf8) : wakeUp_(wakeUp), utf8_(utf8), keys_(utf8) {}

bool LineEditor::TakeTerminal() {
  if (tcgetattr(STDIN_FILENO, &foundModes) != 0) return false;
  EditLine* const editor = el_init("news-editor", stdin, stdout, stderr);
  if (editor == nullptr) return false;
  editor_ = editor;
  terminalTaken = 1;
  // Those that cannot wait for the editor to end by itself.
  for (const int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    if (std::signal(signal, restoreAndEnd) == SIG_IGN) std::signal(signal, SIG_IGN);
  }
  handleSignal(SIGCONT, noteContinue, false);
  handleSignal(SIGWINCH, noteResize, false);
  handleSignal(SIGINT, noteInterrupt,
               false);  // Ctrl-C while no line is read: the next line is cancelled
  el_set(editor, EL_CLIENTDATA, this);
  el_set(editor, EL_EDITOR, "emacs");
  el_set(editor, EL_PROMPT, EditorCalls::promptOf);
  el_set(editor, EL_GETCFN, EditorCalls::readCharacter);
  // Ctrl-C and Ctrl-Z reach the editor as keys; CR and LF arrive as they were sent.
  el_set(editor, EL_SETTY, "-d", "-isig", "-icrnl", "-inlcr", nullptr);
  EditorCalls::bindKeys(editor);
  for (History*& history : histories_) {
    history = history_init();
    HistEvent event;
    ::history(history, &event, H_SETSIZE, 500);
    ::history(history, &event, H_SETUNIQUE, 1);
  }
  const char* const terminal = std::getenv("TERM");
  pasteMode = terminal != nullptr && *terminal != '\0' && std::strcmp(terminal, "dumb") != 0;
  if (pasteMode != 0) writeRaw(kPasteOn);
  return true;
}

bool LineEditor::InterruptTyped() {
  if (interrupted != 0) {
    interrupted = 0;
    return true;
  }
  pollfd ready{STDIN_FILENO, POLLIN, 0};
  while (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
    char bytes[4096];
    const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
    if (got <= 0) break;  // the end, which the next read finds again
    input_.erase(0, inputAt_);
    inputAt_ = 0;
    input_.append(bytes, static_cast<size_t>(got));
  }
  const size_t key = input_.find(static_cast<char>(kCtrlC), inputAt_);
  if (key == std::string::npos || key > input_.find("\033[200~", inputAt_)) return false;
  input_.erase(key, 1);
  return true;
}

LineEnd LineEditor::Read(std::string& line, const std::string& prompt, LineKind kind) {
  const size_t lines = prompt.rfind('\n') + 1;  // 0 when there is no line break
  heading_ = prompt.substr(0, lines);
  prompt_ = prompt.substr(lines);
  kind_ = kind;
  end_ = LineEnd::kTyped;
  editingModesTaken_ = false;
  line.clear();
  std::cout << heading_ << std::flush;
  continued = 0;
  if (interrupted != 0) {  // Ctrl-C came while no line was read
    interrupted = 0;
    std::cout << prompt_ << std::endl;
    return LineEnd::kCancelled;
  }
  History* const history = histories_[static_cast<size_t>(kind)];
  el_set(editor_, EL_HIST, ::history, history);
  int count = 0;
  const char* got = el_gets(editor_, &count);
  // The terminal's signal keys stay off between lines too, and typed keys are sent at once, so
  // that Ctrl-C during a listing or a save is seen.
  if (modesKnown_) tcsetattr(STDIN_FILENO, TCSANOW, &editingModes_);
  // Asked to end: a title or text being typed is kept, a command or number is not carried out.
  const bool ending = endRequest() != 0;
  const bool dropped = ending && (kind == LineKind::kCommand || kind == LineKind::kNumber);
  const LineInfo* const shown = el_line(editor_);
  if (ending && !dropped && (got == nullptr || count <= 0) && shown != nullptr &&
      shown->lastchar > shown->buffer) {
    got = shown->buffer;  // the line the input ended in, as libedit still holds it
    count = static_cast<int>(shown->lastchar - shown->buffer);
  }
  if (got == nullptr || count <= 0 || dropped) {
    std::cout << std::endl;  // the shell's prompt, or what follows, starts on a line of its own
    return LineEnd::kInputEnded;
  }
  if (end_ == LineEnd::kCancelled) return LineEnd::kCancelled;
  line.assign(got, static_cast<size_t>(count));
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty()) {
    HistEvent event;
    ::history(history, &event, H_ENTER, line.c_str());  // with its stand-ins, to be recalled
  }
  if (utf8_) line = withoutStandIns(line);
  return end_;
}

void restoreTerminal() {
  if (terminalTaken == 0) return;
  if (pasteMode != 0) writeRaw(kPasteOff);
  tcsetattr(STDIN_FILENO, TCSANOW, &foundModes);
}

TerminalLeft::TerminalLeft() : saved_(terminalTaken != 0 && tcgetattr(STDIN_FILENO, &modes_) == 0) {
  restoreTerminal();
}

TerminalLeft::~TerminalLeft() {
  if (saved_) tcsetattr(STDIN_FILENO, TCSANOW, &modes_);
  if (terminalTaken != 0 && pasteMode != 0) writeRaw(kPasteOn);
}
