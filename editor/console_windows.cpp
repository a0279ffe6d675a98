// The editor's console on Windows. Through pipes and files standard input and output behave as the
// platform's text streams: CR LF is read as one line end and line ends are written as CR LF; every
// other byte passes unchanged. At a console, lines are read as UTF-16 and kept as UTF-8, UTF-8 is
// shown as such whatever the console's code page, and Ctrl-C cancels the line being read. The
// console edits lines itself.
#if defined(_WIN32)

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>

#include "console.h"
#include "terminal_codes.h"

namespace {

bool consoleInput = false;
bool consoleOutput = false;

// UTF-8 as UTF-16; bytes that are not UTF-8 become replacement characters.
std::wstring widen(const char* utf8, size_t length) {
  if (length == 0) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(length), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(length), &wide[0], size);
  return wide;
}

std::string narrow(const wchar_t* wide, size_t length) {
  if (length == 0) return std::string();
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), &utf8[0], size, nullptr,
                        nullptr);
  }
  return utf8;
}

// Standard output or error at a console: the UTF-8 bytes are shown through the wide console
// call, whole characters at a time, so neither the console's code page nor a character split
// between two writes can garble them (a file's name in a note on standard error included).
class ConsoleOutput final : public std::streambuf {
 public:
  // Takes the place of `stream`'s buffer, showing on the console of `handle`, until the program
  // ends.
  void Install(std::ostream& stream, DWORD handle) {
    stream_ = &stream;
    handle_ = handle;
    original_ = stream.rdbuf(this);
  }
  ~ConsoleOutput() override {
    Show();
    if (original_ != nullptr) stream_->rdbuf(original_);  // for what is written after
  }

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) pending_ += traits_type::to_char_type(c);
    if (pending_.size() >= 4096) Show();
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<size_t>(count));
    if (pending_.size() >= 4096) Show();
    return count;
  }
  int sync() override {
    Show();
    return 0;
  }

 private:
  // Shows what is pending but an unfinished character at its end, which waits for its rest.
  void Show() {
    size_t whole = pending_.size();
    for (size_t back = 1; back <= 3 && back <= pending_.size(); ++back) {
      const unsigned char byte = static_cast<unsigned char>(pending_[pending_.size() - back]);
      if ((byte & 0xC0) != 0x80) {  // the last character's first byte: is the character whole?
        const size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        if (length > back) whole = pending_.size() - back;
        break;
      }
    }
    const std::wstring wide = widen(pending_.data(), whole);
    DWORD written = 0;
    WriteConsoleW(GetStdHandle(handle_), wide.data(), static_cast<DWORD>(wide.size()), &written,
                  nullptr);
    pending_.erase(0, whole);
  }

  std::string pending_;
  std::ostream* stream_ = nullptr;
  DWORD handle_ = STD_OUTPUT_HANDLE;
  std::streambuf* original_ = nullptr;
};

ConsoleOutput consoleWriter;
ConsoleOutput consoleErrorWriter;

// Standard output to a pipe or a file: each line end is written as CR LF, as a text stream writes
// it; every other byte passes unchanged.
class LineEndOutput final : public std::streambuf {
 public:
  // Takes the place of standard output's buffer until the program ends.
  void Install() { target_ = std::cout.rdbuf(this); }
  ~LineEndOutput() override {
    if (target_ != nullptr) std::cout.rdbuf(target_);  // for what is written after
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (traits_type::to_char_type(c) == '\n' &&
        traits_type::eq_int_type(target_->sputc('\r'), traits_type::eof())) {
      return traits_type::eof();
    }
    return target_->sputc(traits_type::to_char_type(c));
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    std::streamsize done = 0;
    while (done < count) {
      const void* found = std::memchr(text + done, '\n', static_cast<size_t>(count - done));
      const std::streamsize run =
          found == nullptr ? count - done : static_cast<const char*>(found) - (text + done);
      if (target_->sputn(text + done, run) != run) return done;
      done += run;
      if (found == nullptr) break;
      if (target_->sputn("\r\n", 2) != 2) return done;
      ++done;
    }
    return done;
  }
  int sync() override { return target_->pubsync(); }

 private:
  std::streambuf* target_ = nullptr;
};

LineEndOutput lineEndWriter;

// Ctrl-C at the console: noted here (the system calls this on a thread of its own) instead of
// ending the program, and taken as the cancel of the line being read or the next one.
std::atomic<bool> ctrlC{false};
HANDLE ctrlCEvent = nullptr;
// Closing the console, logging off or shutting down: the editor ends as at the end of its input.
std::atomic<int> ending{0};

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT) {
    ctrlC = true;
    SetEvent(ctrlCEvent);
    return TRUE;
  }
  if (event == CTRL_BREAK_EVENT) return FALSE;  // ends the program at once, as it always has
  ending = static_cast<int>(event) + 1;
  SetEvent(ctrlCEvent);
  // The system ends the process once this returns: it returns only when the editor has ended
  // by itself (or the system's time for that runs out).
  Sleep(INFINITE);
  return TRUE;
}

// True, once, when Ctrl-C was pressed since the last call; waits up to `milliseconds` for the
// handler, which may run a moment after the key ended a read.
bool takeCtrlC(DWORD milliseconds) {
  if (!ctrlC && WaitForSingleObject(ctrlCEvent, milliseconds) != WAIT_OBJECT_0) return false;
  ResetEvent(ctrlCEvent);
  return ctrlC.exchange(false);
}

bool isConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// Reads one line typed at the console, without its line end (CR LF there). `offered` is text
// already shown after the prompt, to be edited as if typed. The end of input is Ctrl-Z at the
// start of a line.
LineEnd readConsoleLine(std::wstring& typed, const std::wstring& offered) {
  typed.clear();
  std::wstring buffer(offered.size() + 512, L'\0');
  buffer.replace(0, offered.size(), offered);
  CONSOLE_READCONSOLE_CONTROL control{sizeof control, static_cast<ULONG>(offered.size()), 0, 0};
  for (;;) {
    DWORD got = 0;
    // The console keeps the offered characters at the buffer's start and counts them as read.
    const BOOL read =
        ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), &buffer[0], static_cast<DWORD>(buffer.size()),
                     &got, typed.empty() && !offered.empty() ? &control : nullptr);
    // Ctrl-C ends the read early with nothing read; its handler, which may run a moment later,
    // is waited for, so that it does not cancel the next line too.
    if ((!read || got == 0) && GetLastError() == ERROR_OPERATION_ABORTED) {
      takeCtrlC(1000);
      std::cout << std::endl;
      return LineEnd::kCancelled;
    }
    if (!read || got == 0) {
      if (typed.empty()) return LineEnd::kInputEnded;
      break;
    }
    typed.append(buffer, 0, got);
    if (typed.back() == L'\n') break;
  }
  if (typed[0] == 0x1A) return LineEnd::kInputEnded;
  if (takeCtrlC(0)) {  // pressed during the read, which the console did not end early
    std::cout << std::endl;
    return LineEnd::kCancelled;
  }
  while (!typed.empty() && (typed.back() == L'\n' || typed.back() == L'\r')) typed.pop_back();
  return LineEnd::kTyped;
}

// True when a key that types a character already waits in the console's input: behind a line's
// end, the rest of a paste, which the console takes in at once. A moment is waited for, in case
// the paste arrives in pieces; the key-up of the Enter that ended the line types nothing.
bool keysWaiting() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  for (int look = 0; look < 2; ++look) {
    INPUT_RECORD events[64];
    DWORD got = 0;
    if (!PeekConsoleInputW(input, events, 64, &got)) return false;
    for (DWORD i = 0; i < got; ++i) {
      const KEY_EVENT_RECORD& key = events[i].Event.KeyEvent;
      if (events[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.UnicodeChar != 0) {
        return true;
      }
    }
    if (look == 0 && got < 64) WaitForSingleObject(input, 10);
  }
  return false;
}

// The lines of pastes at the console, as ConsolePaste takes them.
ConsolePaste consolePaste;

// Reads one line of a pipe or file; CR LF ends it as LF does, a lone CR is part of it.
LineEnd readStreamLine(std::string& line) {
  if (!std::getline(std::cin, line)) return LineEnd::kInputEnded;
  if (!std::cin.eof() && !line.empty() && line.back() == '\r') line.pop_back();
  return LineEnd::kTyped;
}

}  // namespace

std::vector<std::string> startConsole(int argc, char** argv) {
  // Binary mode: the C library translates nothing (it would also end the input at a Ctrl-Z byte);
  // line ends are translated here alone.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  consoleInput = isConsole(STD_INPUT_HANDLE);
  consoleOutput = isConsole(STD_OUTPUT_HANDLE);
  if (consoleOutput) {
    consoleWriter.Install(std::cout, STD_OUTPUT_HANDLE);
  } else {
    lineEndWriter.Install();
  }
  if (isConsole(STD_ERROR_HANDLE)) consoleErrorWriter.Install(std::cerr, STD_ERROR_HANDLE);
  if (consoleInput) {
    ctrlCEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  }
  // The narrow arguments are in the ANSI code page, which cannot hold every name.
  int count = 0;
  wchar_t** const wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(narrow(wide[i], wcslen(wide[i])));
  LocalFree(wide);
  return args;
}

void endConsole() {
  std::cout.flush();
}

LineEnd readWholeLine(std::string& line, const std::string& prompt, LineKind kind) {
  line.clear();
  std::cout << prompt << std::flush;
  if (!consoleInput) {
    const LineEnd end = readStreamLine(line);
    // The last line shown is ended, as at a console, so the shell's prompt starts a line.
    if (end == LineEnd::kInputEnded && consoleOutput) std::cout << std::endl;
    return end;
  }
  if (takeCtrlC(0)) {  // Ctrl-C came while no line was read
    std::cout << std::endl;
    return LineEnd::kCancelled;
  }
  std::wstring typed, offered;
  for (;;) {
    const LineEnd end = readConsoleLine(typed, offered);
    if (end != LineEnd::kTyped) {
      consolePaste = ConsolePaste();
      return end;
    }
    line = narrow(typed.data(), typed.size());
    switch (consolePaste.Take(line, kind == LineKind::kText, keysWaiting())) {
      case ConsoleLine::kTyped:
        return LineEnd::kTyped;
      case ConsoleLine::kPasted:
        return LineEnd::kPasted;
      case ConsoleLine::kJoined:
        break;
      case ConsoleLine::kOffer:
        // The pasted lines, joined, wait on the prompt's line for editing and Enter, as a paste
        // at a terminal does: a paste never carries out a command by itself.
        std::cout << prompt.substr(prompt.find_last_of('\n') + 1) << line << std::flush;
        offered = widen(line.data(), line.size());
        break;
    }
  }
}

bool outputIsTerminal() {
  return consoleOutput;
}

int endRequest() {
  return ending;
}

bool interruptRequested() {
  return consoleInput && takeCtrlC(0);
}

void holdStops(bool) {}  // a Windows console has no stop key

void endAsRequested() {}

bool rescueFolder(std::string& folder, std::error_code& error) {
  // Asked for its size first, which counts the terminating zero; 0 when it is not set.
  std::wstring local(GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0), L'\0');
  if (!local.empty()) {
    const DWORD size =
        GetEnvironmentVariableW(L"LOCALAPPDATA", &local[0], static_cast<DWORD>(local.size()));
    local.resize(size < local.size() ? size : 0);  // without the zero; none if it grew meanwhile
  }
  const std::wstring wide = local + L"\\news-editor";  // the user's own, private
  folder = narrow(wide.data(), wide.size()) + "\\";
  if (local.empty()) {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
    return false;
  }
  CreateDirectoryW(local.c_str(), nullptr);  // made if missing, as the state folder is elsewhere
  if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return false;
  }
  return true;
}

bool writePrivateFile(const std::string& path, const std::string& text, std::error_code& error) {
  const std::wstring name = widen(path.data(), path.size());
  // In the user's own local application data, which only the user may open.
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    error = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS
                ? std::make_error_code(std::errc::file_exists)
                : std::error_code(static_cast<int>(code), std::system_category());
    return false;
  }
  size_t written = 0;
  while (written < text.size()) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(text.size() - written, 1 << 20));
    DWORD wrote = 0;
    if (!WriteFile(file, text.data() + written, piece, &wrote, nullptr) || wrote == 0) break;
    written += wrote;
  }
  const bool whole = written == text.size() && FlushFileBuffers(file);
  if (!whole) error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
  CloseHandle(file);
  if (!whole) DeleteFileW(name.c_str());
  return whole;
}

bool terminalIsUtf8() {
  return true;  // shown through the wide console call, from UTF-8
}

#endif  // _WIN32
