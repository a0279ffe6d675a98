// The editor's console on Windows. Through pipes and files bytes pass unchanged, as on POSIX; at
// a console, lines are read as UTF-16 and kept as UTF-8, and stored UTF-8 is shown as such. The
// console edits lines itself.
#if defined(_WIN32)

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <iostream>

#include "console.h"

namespace {

bool consoleInput = false;
bool consoleOutput = false;
UINT originalOutputPage = 0;

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
  if (consoleOutput) {
    originalOutputPage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
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
  if (consoleOutput && originalOutputPage != 0) SetConsoleOutputCP(originalOutputPage);
}

bool readLine(std::string& line, const char* prompt, LineKind) {
  std::cout << prompt << std::flush;
  if (consoleInput ? !readConsoleLine(line) : !std::getline(std::cin, line)) return false;
  const size_t zero = line.find('\0');
  if (zero != std::string::npos) line.resize(zero);
  return true;
}

void showStored(const std::string& text) {
  if (consoleOutput) {
    std::cout << visibleForm(text);
  } else {
    std::cout << text;
  }
}

#endif  // _WIN32
