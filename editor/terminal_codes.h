// What crosses a terminal, the same on every platform: the bytes its keys and pastes send, turned
// into the few keys the line editor is bound to, and stored text made safe to show on it.
#ifndef EDITOR_TERMINAL_CODES_H
#define EDITOR_TERMINAL_CODES_H

#include <functional>
#include <string>

// The keys the line editor is bound to, as the decoder hands them on. Every other byte it hands
// on is text to insert. Each is an escape sequence that the decoder never passes through from
// the terminal, so none can be typed or pasted.
namespace key {
constexpr char kLeft[] = "\033[D";
constexpr char kRight[] = "\033[C";
constexpr char kUp[] = "\033[A";
constexpr char kDown[] = "\033[B";
constexpr char kHome[] = "\033[H";
constexpr char kEndOfLine[] = "\033[F";
constexpr char kDelete[] = "\033[3~";
constexpr char kWordLeft[] = "\033b";
constexpr char kWordRight[] = "\033f";
constexpr char kDeleteWord[] = "\033d";
constexpr char kDeleteWordBack[] = "\033\177";
constexpr char kCancel[] = "\033[900~";       // Ctrl-C: drop the line and the dialogue
constexpr char kPastedBreak[] = "\033[901~";  // a line break inside a paste, at the text prompt
constexpr char kLiteral[] = "\033[902~";      // the next byte is pasted text, whatever it is
constexpr char kSuspend[] = "\033[903~";      // Ctrl-Z
}  // namespace key

// Turns what a terminal sends into text and the keys above. Escape sequences of the terminals in
// use (xterm, VTE, rxvt, the Linux console, tmux and screen) are read whole, up to their final
// byte; the editing keys among them become the bound keys, and every other is dropped, so no key
// ever puts a piece of a sequence into a line. Keys that would make the line editor read the keys
// after them raw (Ctrl-R, Ctrl-V, Ctrl-X) do nothing. Inside a bracketed paste everything is text:
// a line break ends a line only where `breaksEndLines` is set (elsewhere line breaks become one
// blank, and none at the paste's end), and control bytes are inserted literally. A paste ends at
// its end marker only when nothing follows it at once: what the terminal sent with the marker,
// which no hand types, belongs to the paste (a pasted text may carry a marker of its own).
class KeyDecoder {
 public:
  // What a byte source returns besides a byte.
  static constexpr int kInputEnded = -1;  // the input ended or failed
  static constexpr int kNoByte = -2;      // no byte came within the wait asked for
  // How long a byte source waits for a byte.
  enum class Wait {
    kForever,  // however long it takes
    kBriefly,  // long enough for the rest of a key's sequence to arrive
    kMoment,   // only for what the terminal has sent already, give or take a moment
  };
  // Returns the next byte (0-255), kNoByte when none came within `wait`, or kInputEnded.
  using Source = std::function<int(Wait wait)>;

  // `utf8` tells whether the terminal sends characters as UTF-8, one byte each otherwise.
  explicit KeyDecoder(bool utf8) : utf8_(utf8) {}

  // Reads from `source` until it has one key or one piece of text and appends what the line
  // editor is to receive to `out` (possibly nothing, for a dropped key). False at the end of input.
  bool Next(const Source& source, bool breaksEndLines, std::string& out);

 private:
  int Take(const Source& source, Wait wait);
  void PutBack(int byte);
  void Escape(const Source& source, bool alt, std::string& out);
  void Pasted(const Source& source, int byte, bool breaksEndLines, std::string& out);

  bool utf8_;
  bool pasting_ = false;
  bool overrun_ = false;      // the paste went on past an end marker that bytes followed at once
  bool pastedBlank_ = false;  // a pasted line break waits to become a blank if text follows
  std::string ahead_;         // bytes read but not yet decoded
};

// What a line read at a console that edits lines itself and marks no paste (a Windows console)
// is. A paste arrives there all at once: a line whose end more keys already wait behind was pasted,
// as no hand types that fast. As at a terminal with marked pastes, a line break inside a paste ends
// only a text line (its blank lines belong to the text); at other prompts the pasted lines are
// joined with blanks into one line, which is offered for editing, never carried out unseen.
enum class ConsoleLine {
  kTyped,   // the line is complete as typed
  kPasted,  // a line break inside a paste ended this text line
  kJoined,  // taken into the paste's one line; the next line is read
  kOffer,   // the paste's last line: `line` is now the whole joined line, to show and edit again
};

// Tracks pastes over the lines read at such a console.
class ConsolePaste {
 public:
  // What `line`, just read at a text prompt or not (`textPrompt`), is, given whether keys waited
  // behind its line end; for kOffer sets `line` to the joined paste.
  ConsoleLine Take(std::string& line, bool textPrompt, bool keysWaiting);

 private:
  bool pasting_ = false;  // the line before was followed by waiting keys
  std::string joined_;    // the lines of a paste at another prompt, joined so far
};

// `text` with everything a terminal could act on shown visibly: C0 controls but line break and
// tab as ^X, DEL as ^?, C1 controls written as UTF-8 as M-^X, and, where `utf8` is false, every
// byte 0x80-0x9F, or, where it is true, every byte that is not part of valid UTF-8, as \xHH.
std::string VisibleForm(const std::string& text, bool utf8);
// Appends VisibleForm of the `size` bytes at `text` to `out`. A long text may be shown in pieces,
// each cut before a byte that is not a UTF-8 continuation byte: the pieces' forms then make the
// whole text's.
void AppendVisibleForm(std::string& out, const char* text, size_t size, bool utf8);

#endif  // EDITOR_TERMINAL_CODES_H
