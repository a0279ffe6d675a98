// The parts of the editor's console that are the same on every platform.
#include <iostream>

#include "console.h"
#include "terminal_codes.h"

LineEnd readLine(std::string& line, const std::string& prompt, LineKind kind) {
  const LineEnd end = readWholeLine(line, prompt, kind);
  const size_t zero = line.find('\0');
  if (zero != std::string::npos) line.resize(zero);
  return end;
}

void showStored(const std::string& text) {
  if (outputIsTerminal()) {
    std::cout << VisibleForm(text, terminalIsUtf8());
  } else {
    std::cout << text;
  }
}
