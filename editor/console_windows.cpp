// The editor's console on Windows. Through pipes and files bytes pass unchanged, as on POSIX; at
// a console, lines are read as UTF-16 and kept as UTF-8, and UTF-8 is shown as such whatever the
// console's code page. The console edits lines itself.
#if defined(_WIN32)

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>

#include "console.h"

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

// Standard output at a console: the UTF-8 bytes are shown through the wide console call, whole
// characters at a time, so neither the console's code page nor a character split between two
// writes can garble them.
class ConsoleOutput final : public std::streambuf {
 public:
  // Takes the place of standard output's buffer until the program ends.
  void Install() { original_ = std::cout.rdbuf(this); }
  ~ConsoleOutput() override {
    Show();
    if (original_ != nullptr) std::cout.rdbuf(original_);  // for what is written after
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
    WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), wide.data(), static_cast<DWORD>(wide.size()),
                  &written, nullptr);
    pending_.erase(0, whole);
  }

  std::string pending_;
  std::streambuf* original_ = nullptr;
};

ConsoleOutput consoleWriter;

bool isConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// Reads one line typed at the console, as UTF-8 without its line end (CR LF there). False at the
// end of input, which a console user signals with Ctrl-Z at the start of a line.
bool readConsoleLine(std::string& line) {
  std::wstring typed;
  wchar_t buffer[512];
  for (;;) {
    DWORD got = 0;
    if (!ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), buffer, 512, &got, nullptr) || got == 0) {
      if (typed.empty()) return false;
      break;
    }
    typed.append(buffer, got);
    if (typed.back() == L'\n') break;
  }
  if (typed[0] == 0x1A) return false;
  while (!typed.empty() && (typed.back() == L'\n' || typed.back() == L'\r')) typed.pop_back();
  line = narrow(typed.data(), typed.size());
  return true;
}

}  // namespace

std::vector<std::string> startConsole(int argc, char** argv) {
  // Binary mode: no line end or Ctrl-Z is translated on the way in or out.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  consoleInput = isConsole(STD_INPUT_HANDLE);
  consoleOutput = isConsole(STD_OUTPUT_HANDLE);
  if (consoleOutput) consoleWriter.Install();
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

bool readWholeLine(std::string& line, const char* prompt, LineKind) {
  std::cout << prompt << std::flush;
  return consoleInput ? readConsoleLine(line) : static_cast<bool>(std::getline(std::cin, line));
}

bool outputIsTerminal() {
  return consoleOutput;
}

#endif  // _WIN32
