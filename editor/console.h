// How the editor meets its console: arguments, reading lines, and showing stored text safely.
//
// Through pipes and files every byte passes unchanged. At a terminal, lines are read with line
// editing where the platform offers it, and stored text is shown so that it cannot drive the
// terminal. What is the same everywhere is in console.cpp; each platform family implements the rest
// in a file of its own (console_posix.cpp, console_windows.cpp), which compiles to nothing on the
// other.
#ifndef EDITOR_CONSOLE_H
#define EDITOR_CONSOLE_H

#include <string>
#include <vector>

// Readies standard input and output and returns the command-line arguments as UTF-8, the
// program's name first.
std::vector<std::string> startConsole(int argc, char** argv);

// Leaves the terminal as it was found; called once before the program ends.
void endConsole();

// What a line read is for: each kind recalls its own earlier lines at a terminal.
enum class LineKind { kCommand, kText };

// Shows `prompt` (flushed, without a line break) and reads one line of standard input into
// `line`, without its line end and cut at its first zero byte. False at the end of input or on a
// read error; at a terminal a line break is shown then, so whatever follows starts a new line.
bool readLine(std::string& line, const char* prompt, LineKind kind);

// Writes stored `text` to standard output: unchanged, except at a terminal, where control bytes
// (all below 32 but line break and tab, 127, and the C1 controls) are shown as ^X, ^? or M-^X.
void showStored(const std::string& text);

// What each platform's file supplies to the shared part (console.cpp):

// Shows `prompt` and reads one whole line, without its line end; as readLine otherwise.
bool readWholeLine(std::string& line, const char* prompt, LineKind kind);

// True when standard output is a terminal or console.
bool outputIsTerminal();

#endif  // EDITOR_CONSOLE_H
