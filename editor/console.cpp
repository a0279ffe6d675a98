// The parts of the editor's console that are the same on every platform.
#include "console.h"
#include "terminal_codes.h"

LineEnd readLine(std::string& line, const std::string& prompt, LineKind kind) {
  line.clear();
  const LineEnd end = readWholeLine(line, prompt, kind);
  const size_t zero = line.find('\0');
  if (zero != std::string::npos) line.resize(zero);
  return end;
}

void appendShown(std::string& out, const char* text, size_t size) {
  if (outputIsTerminal()) {
    AppendVisibleForm(out, text, size, terminalIsUtf8());
  } else {
    out.append(text, size);
  }
}
