// The editor's console on Linux, macOS and other POSIX systems: plain line reading through pipes
// and files, line editing with libedit when standard input and output are both terminals.
#if !defined(_WIN32)

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
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
#include <histedit.h>
#include <sys/select.h>

#include <cwchar>

#include "terminal_codes.h"
#endif

namespace {

bool terminalOutput = false;
bool utf8Terminal = true;

// A pipe the signal handlers write to, so that waiting for input wakes up for them.
int wakeUp[2] = {-1, -1};
// The signal that asked the editor to end, 0 until one did.
volatile std::sig_atomic_t endSignal = 0;
// While a save runs stops are held; one asked for meanwhile is pending.
volatile std::sig_atomic_t stopsHeld = 0, stopPending = 0;

void wake() {
  if (wakeUp[1] >= 0 && write(wakeUp[1], "", 1) < 0) {}  // a full pipe wakes all the same
}

// A signal that ends the editor: noted, and acted on where input is read, so that a save under
// way finishes and what was typed is kept.
void noteEnd(int signal) {
  if (endSignal == 0) endSignal = signal;
  wake();
}

// Handles `signal` with `handler`, restarting the system calls it interrupts (so a save goes on
// undisturbed); a signal ignored by whoever started the editor stays ignored where `keepIgnored`.
void handle(int signal, void (*handler)(int), bool keepIgnored = false) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  struct sigaction before {};
  sigaction(signal, &action, &before);
  if (keepIgnored && before.sa_handler == SIG_IGN) sigaction(signal, &before, nullptr);
}

// Lets `signal` act as it does by default, at once: ends or stops the process.
void raiseAsDefault(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  std::raise(signal);
}

void onStop(int);

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
PlainInput plainInput;

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
  PlainInput& in = plainInput;
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

// Takes the user's character set for the terminal, or UTF-8 where that is plain ASCII; notes
// whether the terminal shows UTF-8. Only the character type is set, so no number is written
// differently.
void takeCharacterSet() {
  std::setlocale(LC_CTYPE, "");
  const char* characters = nl_langinfo(CODESET);
  if (std::strcmp(characters, "ANSI_X3.4-1968") == 0 || std::strcmp(characters, "US-ASCII") == 0) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
    characters = nl_langinfo(CODESET);
  }
  utf8Terminal = std::strcmp(characters, "UTF-8") == 0 || std::strcmp(characters, "utf8") == 0;
}

// The terminal's modes before the line editor first changed them, once it has.
termios foundModes;
bool terminalTaken = false;
const char kPasteOn[] = "\033[?2004h", kPasteOff[] = "\033[?2004l";
bool pasteMode = false;  // bracketed paste is turned on while the editor runs

// Writes to the terminal directly; safe in a signal handler.
void writeRaw(const char* text) {
  if (write(STDOUT_FILENO, text, std::strlen(text)) < 0) {}  // nothing to do about a lost write
}

// Leaves the terminal as it was found: modes, and no bracketed paste for the shell.
void restoreTerminal() {
  if (!terminalTaken) return;
  if (pasteMode) writeRaw(kPasteOff);
  tcsetattr(STDIN_FILENO, TCSANOW, &foundModes);
}

void stopNow() {
  termios modes;
  const bool saved = terminalTaken && tcgetattr(STDIN_FILENO, &modes) == 0;
  restoreTerminal();
  raiseAsDefault(SIGTSTP);  // the program stops here until it is continued
  handle(SIGTSTP, onStop);
  if (saved) tcsetattr(STDIN_FILENO, TCSANOW, &modes);
  if (terminalTaken && pasteMode) writeRaw(kPasteOn);
}

#ifdef NEWS_HAVE_LIBEDIT

// Everything here serves one line editor on the terminal of standard input and output. The
// terminal's own signal keys are off from the first line read to the end (Ctrl-C and Ctrl-Z come
// as keys and are handled in step with the editing, or when a listing or a save looks for them);
// the signals themselves are handled here rather than by the line editor, which would pass a
// signal that ends the program on to the whole process group, the shell script or make that
// started it too.

volatile std::sig_atomic_t resized = 0, continued = 0, interrupted = 0;

constexpr int kCtrlC = 0x03;

// Puts the terminal back and ends the program by `signal` as it would have ended anyway.
void restoreAndEnd(int signal) {
  restoreTerminal();
  writeRaw("\n");  // the shell's prompt starts on a line of its own
  raiseAsDefault(signal);
}

void note(volatile std::sig_atomic_t& flag) {
  flag = 1;
  wake();
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

// The line editor, one history of lines for each kind of line, and the line being read.
struct LineEditor {
  EditLine* editor = nullptr;
  History* histories[4] = {};
  KeyDecoder keys{true};
  std::string decoded;  // what the key decoder gave that the line editor has not taken yet
  std::string input;    // bytes read from the terminal and not yet decoded
  size_t inputAt = 0;
  termios editingModes{};          // the line editor's modes while it reads, kept between lines
  bool editingModesTaken = false;  // for the line being read
  bool modesKnown = false;         // for any line
  std::string heading;  // whole lines of the prompt, shown before the line editor's prompt
  std::string prompt;   // the rest of the prompt, which the line editor shows
  std::string carried;  // the end of a line that a pasted line break moved to the next
  LineKind kind = LineKind::kCommand;
  LineEnd end = LineEnd::kTyped;
};
LineEditor* lineEditor = nullptr;
bool editorTried = false;

// Shows the prompt and the line being edited again, on the line the cursor is on.
void redraw(EditLine* editor) {
  std::fputs(lineEditor->heading.c_str(), stdout);
  el_set(editor, EL_REFRESH);
}

// The columns that `text` takes on the screen from column `column` on, as the line editor shows
// it: tabs to the next multiple of 8, control characters as ^X.
int columnsOf(const wchar_t* text, const wchar_t* end, int column) {
  for (; text < end; ++text) {
    const int width = *text == L'\t' ? 8 - column % 8 : wcwidth(*text);
    column += width >= 0 ? width : 2;
  }
  return column;
}

// Draws the prompt and the line afresh after the terminal changed its width. Terminals rewrap the
// rows of a long line to the new width; the cursor goes back to the first of them, everything
// from there down is cleared, and the line is drawn again.
void redrawAtNewWidth(EditLine* editor) {
  int width = 0;
  const LineInfoW* const line = el_wline(editor);
  if (el_get(editor, EL_GETTC, "co", &width) != 0 || width <= 0 || line == nullptr) width = 80;
  std::wstring prompt(lineEditor->prompt.size(), L'\0');
  const size_t characters = std::mbstowcs(&prompt[0], lineEditor->prompt.c_str(), prompt.size());
  prompt.resize(characters == static_cast<size_t>(-1) ? 0 : characters);
  const int column = columnsOf(line->buffer, line->cursor,
                               columnsOf(prompt.data(), prompt.data() + prompt.size(), 0));
  std::fputs("\r", stdout);
  for (int row = column / width; row > 0; --row) el_set(editor, EL_ECHOTC, "-s", "up", nullptr);
  el_set(editor, EL_ECHOTC, "-s", "cd", nullptr);
  el_set(editor, EL_REFRESH);
}

// Acts on what the signal handlers noted: a new size, a continue after a stop, and an interrupt
// signal, which is returned as the Ctrl-C key to cancel the line (-1 otherwise).
int takeSignals(EditLine* editor) {
  char drained[64];
  while (read(wakeUp[0], drained, sizeof drained) > 0) {}
  if (continued != 0) {
    continued = 0;
    // The shell may have changed the modes while the program was stopped.
    if (lineEditor->editingModesTaken) {
      tcsetattr(STDIN_FILENO, TCSANOW, &lineEditor->editingModes);
    }
    if (pasteMode) writeRaw(kPasteOn);
    redraw(editor);
  }
  if (resized != 0) {
    resized = 0;
    el_resize(editor);
    redrawAtNewWidth(editor);
  }
  if (interrupted != 0) {
    interrupted = 0;
    return kCtrlC;
  }
  return -1;
}

// The next byte from the terminal, or KeyDecoder::kNoByte when none comes within `wait`: briefly
// is half a second, which tells a lone Escape from the start of a sequence sent in pieces; a
// moment is what the terminal has sent already, allowing for a paste written in several pieces.
int readByte(EditLine* editor, KeyDecoder::Wait wait) {
  LineEditor& line = *lineEditor;
  if (line.inputAt < line.input.size()) {
    return static_cast<unsigned char>(line.input[line.inputAt++]);
  }
  for (;;) {
    const int signalled = takeSignals(editor);  // after its wake-up is drained, so none is missed
    if (endSignal != 0) return KeyDecoder::kInputEnded;
    if (signalled >= 0) return signalled;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(STDIN_FILENO, &ready);
    FD_SET(wakeUp[0], &ready);
    timeval limit{0, wait == KeyDecoder::Wait::kBriefly ? 500000 : 20000};
    const bool forever = wait == KeyDecoder::Wait::kForever;
    const int found = select(wakeUp[0] + 1, &ready, nullptr, nullptr, forever ? nullptr : &limit);
    if (found < 0 && errno == EINTR) continue;
    if (found < 0) return KeyDecoder::kInputEnded;
    if (found == 0) return KeyDecoder::kNoByte;
    if (!FD_ISSET(STDIN_FILENO, &ready)) continue;
    char bytes[4096];
    const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return KeyDecoder::kInputEnded;
    line.input.assign(bytes, static_cast<size_t>(got));
    line.inputAt = 1;
    return static_cast<unsigned char>(bytes[0]);
  }
}

// Puts what a pasted line break carried over at the start of this line, after the cursor.
void takeCarried(EditLine* editor) {
  std::string& carried = lineEditor->carried;
  if (carried.empty()) return;
  const size_t characters = std::mbstowcs(nullptr, carried.c_str(), 0);
  el_insertstr(editor, carried.c_str());
  if (characters != static_cast<size_t>(-1)) el_cursor(editor, -static_cast<int>(characters));
  carried.clear();
  std::fputs("\r", stdout);  // at the start of the line's row, under the whole lines above it
  el_set(editor, EL_REFRESH);
}

// Bytes that are not characters of the terminal's set, and the zero byte, cross the line editor
// as characters of their own, from the end of the last private-use plane: U+10FF00 plus the byte.
// A person types none of these; the line read has them back as the bytes they stand for.
constexpr wchar_t kStandIns = 0x10FF00;

// `line`, as the line editor gives it in UTF-8, with the stand-ins turned back into their bytes.
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

// The line editor's way of reading a character: bytes from the terminal go through the key
// decoder, and what it gives is taken as characters of the user's character set.
int readCharacter(EditLine* editor, wchar_t* character) {
  LineEditor& line = *lineEditor;
  if (!line.editingModesTaken) {  // the line editor has just set them for this line
    line.editingModesTaken = tcgetattr(STDIN_FILENO, &line.editingModes) == 0;
    line.modesKnown = line.modesKnown || line.editingModesTaken;
    takeCarried(editor);
  }
  const KeyDecoder::Source source = [editor](KeyDecoder::Wait wait) {
    return readByte(editor, wait);
  };
  for (;;) {
    if (!line.decoded.empty()) {
      std::mbstate_t state{};
      const size_t used = std::mbrtowc(character, line.decoded.data(), line.decoded.size(), &state);
      if (used == 0 || (used == static_cast<size_t>(-1) && utf8Terminal)) {
        *character = kStandIns + static_cast<unsigned char>(line.decoded[0]);
        line.decoded.erase(0, 1);
        return 1;
      }
      if (used == static_cast<size_t>(-1)) {
        line.decoded.erase(0, 1);  // not a character of this set, which has no room for stand-ins
        continue;
      }
      if (used != static_cast<size_t>(-2)) {
        line.decoded.erase(0, used);
        return 1;
      }
    }
    const bool textLine = line.kind == LineKind::kText;
    if (!line.keys.Next(source, textLine, line.decoded)) {
      line.decoded.clear();
      *character = L'\0';
      return 0;
    }
  }
}

// Ends the line being edited as Enter does, noting why.
unsigned char endLineAs(EditLine* editor, LineEnd end) {
  lineEditor->end = end;
  el_push(editor, "\r");
  return CC_NORM;
}

unsigned char cancelLine(EditLine* editor, int) {
  return endLineAs(editor, LineEnd::kCancelled);
}

// A line break inside a paste: what stands after the cursor goes on to the next line, as it would
// in any editor, and the paste goes on before it.
unsigned char endPastedLine(EditLine* editor, int) {
  const LineInfoW* const wide = el_wline(editor);
  const LineInfo* const narrow = el_line(editor);
  const int after = static_cast<int>(wide->lastchar - wide->cursor);
  lineEditor->carried.assign(narrow->cursor, narrow->lastchar);
  el_cursor(editor, after);
  el_deletestr(editor, after);
  endLineAs(editor, LineEnd::kPasted);
  return CC_REFRESH;  // the line as it ends, before the line editor moves on
}

// Ctrl-Z: stops as the terminal's own key would, the whole job (a make or a script that started
// the editor waits for it), and shows the prompt and the line again after.
unsigned char suspendEditing(EditLine* editor, int) {
  std::fputs("\n", stdout);  // the shell's report starts on a line of its own
  std::fflush(stdout);
  kill(0, SIGTSTP);
  continued = 0;
  redraw(editor);
  return CC_NORM;
}

char* promptOf(EditLine*) {
  return const_cast<char*>(lineEditor->prompt.c_str());
}

void bind(EditLine* editor, const char* keys, const char* function) {
  el_set(editor, EL_BIND, keys, function, nullptr);
}

// Binds the keys the key decoder hands on (and nothing it never hands on can reach the editor).
void bindKeys(EditLine* editor) {
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
  // C1 control characters reach the editor only from a paste, whose text they are; the line
  // editor would take them for Alt-keys.
  for (wchar_t c = 0x80; c < 0xA0; ++c) {
    const wchar_t key[] = {c, L'\0'};
    el_wset(editor, EL_BIND, key, L"ed-insert", nullptr);
  }
}

// Starts the line editor when standard input and output are both terminals.
void startLineEditor() {
  editorTried = true;
  if (!terminalOutput || isatty(STDIN_FILENO) != 1) return;
  if (tcgetattr(STDIN_FILENO, &foundModes) != 0 || wakeUp[0] < 0) return;
  static LineEditor line;
  lineEditor = &line;
  line.keys = KeyDecoder(utf8Terminal);
  line.editor = el_init("news-editor", stdin, stdout, stderr);
  if (line.editor == nullptr) {
    lineEditor = nullptr;
    return;
  }
  terminalTaken = true;
  // Those that cannot wait for the editor to end by itself.
  for (const int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    if (std::signal(signal, restoreAndEnd) == SIG_IGN) std::signal(signal, SIG_IGN);
  }
  handle(SIGCONT, noteContinue);
  handle(SIGWINCH, noteResize);
  handle(SIGINT, noteInterrupt);  // Ctrl-C while no line is read: the next line is cancelled
  EditLine* const editor = line.editor;
  el_set(editor, EL_EDITOR, "emacs");
  el_set(editor, EL_PROMPT, promptOf);
  el_set(editor, EL_GETCFN, readCharacter);
  // Ctrl-C and Ctrl-Z reach the editor as keys; CR and LF arrive as they were sent.
  el_set(editor, EL_SETTY, "-d", "-isig", "-icrnl", "-inlcr", nullptr);
  bindKeys(editor);
  for (History*& history : line.histories) {
    history = history_init();
    HistEvent event;
    ::history(history, &event, H_SETSIZE, 500);
    ::history(history, &event, H_SETUNIQUE, 1);
  }
  const char* const terminal = std::getenv("TERM");
  pasteMode = terminal != nullptr && *terminal != '\0' && std::strcmp(terminal, "dumb") != 0;
  if (pasteMode) writeRaw(kPasteOn);
}

// True, once, when Ctrl-C was typed at the terminal and not yet read (it is taken out of what was
// typed; one inside a paste is text), or an interrupt signal came.
bool interruptTyped() {
  LineEditor& line = *lineEditor;
  if (interrupted != 0) {
    interrupted = 0;
    return true;
  }
  pollfd ready{STDIN_FILENO, POLLIN, 0};
  while (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
    char bytes[4096];
    const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
    if (got <= 0) break;  // the end, which the next read finds again
    line.input.erase(0, line.inputAt);
    line.inputAt = 0;
    line.input.append(bytes, static_cast<size_t>(got));
  }
  const size_t key = line.input.find(static_cast<char>(kCtrlC), line.inputAt);
  if (key == std::string::npos || key > line.input.find("\033[200~", line.inputAt)) return false;
  line.input.erase(key, 1);
  return true;
}

// Reads one line through the line editor.
LineEnd readEdited(std::string& line, const std::string& prompt, LineKind kind) {
  LineEditor& state = *lineEditor;
  const size_t lines = prompt.rfind('\n') + 1;  // 0 when there is no line break
  state.heading = prompt.substr(0, lines);
  state.prompt = prompt.substr(lines);
  state.kind = kind;
  state.end = LineEnd::kTyped;
  state.editingModesTaken = false;
  line.clear();
  std::cout << state.heading << std::flush;
  continued = 0;
  if (interrupted != 0) {  // Ctrl-C came while no line was read
    interrupted = 0;
    std::cout << state.prompt << std::endl;
    return LineEnd::kCancelled;
  }
  History* const history = state.histories[static_cast<int>(kind)];
  el_set(state.editor, EL_HIST, ::history, history);
  int count = 0;
  const char* got = el_gets(state.editor, &count);
  // The terminal's signal keys stay off between lines too, and typed keys are sent at once, so
  // that Ctrl-C during a listing or a save is seen.
  if (state.modesKnown) tcsetattr(STDIN_FILENO, TCSANOW, &state.editingModes);
  // Asked to end: a title or text being typed is kept, a command or number is not carried out.
  const bool dropped = endSignal != 0 && (kind == LineKind::kCommand || kind == LineKind::kNumber);
  const LineInfo* const shown = el_line(state.editor);
  if (endSignal != 0 && !dropped && (got == nullptr || count <= 0) && shown != nullptr &&
      shown->lastchar > shown->buffer) {
    got = shown->buffer;  // the line the input ended in, as the line editor still holds it
    count = static_cast<int>(shown->lastchar - shown->buffer);
  }
  if (got == nullptr || count <= 0 || dropped) {
    std::cout << std::endl;  // the shell's prompt, or what follows, starts on a line of its own
    return LineEnd::kInputEnded;
  }
  if (state.end == LineEnd::kCancelled) return LineEnd::kCancelled;
  line.assign(got, static_cast<size_t>(count));
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty()) {
    HistEvent event;
    ::history(history, &event, H_ENTER, line.c_str());  // with its stand-ins, to be recalled
  }
  if (utf8Terminal) line = withoutStandIns(line);
  return state.end;
}
#endif

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
    if (signal != SIGINT || !lineEditing) handle(signal, noteEnd, true);
  }
  handle(SIGTSTP, onStop, true);
#if defined(F_SETPIPE_SZ)
  // A listing through a pipe goes in pieces of a megabyte rather than the pipe's default 64 KB,
  // with fewer waits for the reader; where that is refused the pipe stays as it is.
  fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
#endif
  terminalOutput = isatty(STDOUT_FILENO) == 1;
  if (terminalOutput) takeCharacterSet();
  return std::vector<std::string>(argv, argv + argc);
}

void endConsole() {
  std::cout.flush();
  std::fflush(stdout);
  // The line editor lives until the process ends, as the database does: ending it would only
  // give memory back (and it does not give back all it took for the keys bound here).
  restoreTerminal();
}

int endRequest() {
  return endSignal;
}

bool interruptRequested() {
  if (endSignal == SIGPIPE) return true;
#ifdef NEWS_HAVE_LIBEDIT
  if (lineEditor != nullptr) return interruptTyped();
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
#ifdef NEWS_HAVE_LIBEDIT
  if (!editorTried) startLineEditor();
  if (lineEditor != nullptr) return readEdited(line, prompt, kind);
#endif
  std::cout << prompt << std::flush;
  const LineEnd end = readPlainLine(line, kind);
  // The last line shown is ended, as at a terminal, so the shell's prompt starts a line of its own.
  if (end == LineEnd::kInputEnded && terminalOutput) std::cout << std::endl;
  return end;
}

bool outputIsTerminal() {
  return terminalOutput;
}

bool terminalIsUtf8() {
  return utf8Terminal;
}

#endif  // !_WIN32
