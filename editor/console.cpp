// The parts of the editor's console that are the same on every platform.
#include <iostream>

#include "console.h"

namespace {

// `text` with its control bytes made visible.
std::string visibleForm(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if ((byte < 32 && byte != '\n' && byte != '\t') || byte == 127) {
      shown += '^';
      shown += static_cast<char>(byte ^ 64);  // ESC is ^[, DEL is ^?
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      // A C1 control written as UTF-8: some terminals act on these as on ESC sequences.
      shown += "M-^";
      shown += static_cast<char>((next - 0x80) ^ 64);
      ++i;
    } else {
      shown += static_cast<char>(byte);
    }
  }
  return shown;
}

}  // namespace

bool readLine(std::string& line, const char* prompt, LineKind kind) {
  if (!readWholeLine(line, prompt, kind)) return false;
  const size_t zero = line.find('\0');
  if (zero != std::string::npos) line.resize(zero);
  return true;
}

void showStored(const std::string& text) {
  if (outputIsTerminal()) {
    std::cout << visibleForm(text);
  } else {
    std::cout << text;
  }
}
