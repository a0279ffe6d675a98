// How the editor meets its console: arguments, reading lines, and showing stored text safely.
//
// Through pipes and files every byte passes unchanged (on Windows, as the platform's text streams:
// CR LF reads as one line end and line ends are written as CR LF). At a terminal, lines are read
// with line editing where the platform offers it, a paste only ever inserts text, Ctrl-C cancels
// instead of ending the program, and stored text is shown so that it cannot drive the terminal.
// What is the same everywhere is in console.cpp and terminal_codes.cpp; each platform family
// implements the rest in a file of its own (console_posix.cpp, console_windows.cpp), which
// compiles to nothing on the other.
#ifndef EDITOR_CONSOLE_H
#define EDITOR_CONSOLE_H

#include <string>
#include <system_error>
#include <vector>

// Readies standard input and output and returns the command-line arguments as UTF-8, the
// program's name first.
std::vector<std::string> startConsole(int argc, char** argv);

// Leaves the terminal as it was found; called once before the program ends.
void endConsole();

// What a line read is for: at a terminal each kind recalls only its own earlier lines, and only
// a text line is ended by a line break inside a paste.
enum class LineKind { kCommand, kTitle, kText, kNumber };

// How reading a line ended.
enum class LineEnd {
  kTyped,      // a line end was typed or read: the line is complete
  kPasted,     // a line break inside a paste ended this text line (at a terminal only)
  kCancelled,  // Ctrl-C at a terminal: the line, and the dialogue it belongs to, are dropped
  kInputEnded  // the end of input or a read error: there is no line
};

// Shows `prompt` (flushed, after all output before it) and reads one line of standard input into
// `line`, without its line end and cut at its first zero byte. At the end of input at a terminal,
// a line break is shown, so that whatever follows starts a new line. The prompt may begin with
// whole lines (a dialogue's question); a terminal shows them again after the program was stopped
// and continued.
LineEnd readLine(std::string& line, const std::string& prompt, LineKind kind);

// Appends the stored text `text` (`size` bytes, a piece of a longer text cut between characters)
// to `out` as standard output is to show it: unchanged, except at a terminal, where whatever a
// terminal could act on is shown visibly (see VisibleForm in terminal_codes.h).
void appendShown(std::string& out, const char* text, size_t size);

// The signal that asked the editor to end before its input did (a hangup, a termination, an
// interrupt through a pipe), or 0. Once there is one, the input ends where it has arrived: the
// lines read after it are those already sent (typed ahead, or written to a pipe), and of a last
// line without its line end only a title or text line is kept (a command or number being typed
// is not carried out), as at a terminal the title or text line being typed is.
int endRequest();

// True, once, when the user asked to stop what the editor shows or waits for now: Ctrl-C typed
// at a terminal while a listing was shown or a save waited (taken, so it cancels no line too).
// True from then on when standard output has gone.
bool interruptRequested();

// While held, a stop signal (Ctrl-Z, SIGTSTP) waits for the release before the editor stops: a
// save stopped half-way would keep every other save of the file waiting.
void holdStops(bool hold);

// Ends the process by the signal that asked it to end where the program that started the editor
// must see that signal (an interrupt ends a script that runs the editor); returns otherwise.
void endAsRequested();

// Sets `folder` to the folder of the user's own where changes that could not be saved are kept
// (ending in a path separator), made private where it is missing, below a home or state folder
// that exists. False, with `error`, when it cannot be made, or it is not a folder of this user's
// that only this user may write to.
bool rescueFolder(std::string& folder, std::error_code& error);

// Writes `text` to the new file `path`, which only this user may read and write, through the
// handle that made it, and flushes it to the disk. False, with `error`, when anything stands at
// that name (std::errc::file_exists: nothing is ever replaced) or the file cannot be written
// (it is then removed).
bool writePrivateFile(const std::string& path, const std::string& text, std::error_code& error);

// What each platform's file supplies to the shared part (console.cpp):

// Shows `prompt` and reads one whole line, without its line end; as readLine otherwise.
LineEnd readWholeLine(std::string& line, const std::string& prompt, LineKind kind);

// True when standard output is a terminal or console.
bool outputIsTerminal();

// True when the terminal shows UTF-8 (so bytes that are not UTF-8 are shown visibly); false
// where it shows one byte per character.
bool terminalIsUtf8();

#endif  // EDITOR_CONSOLE_H
