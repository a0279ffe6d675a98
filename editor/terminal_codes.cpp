#include "terminal_codes.h"

#include <cstdio>
#include <vector>

namespace {

constexpr int kEscape = 0x1B;

// Modifier bits of an xterm-style sequence: its second parameter minus one.
constexpr int kAlt = 2, kCtrl = 4, kMeta = 8;

bool Between(int byte, int low, int high) {
  return byte >= low && byte <= high;
}

// The numbers of a sequence's parameters ("1;5" gives 1 and 5); a missing one counts as 1.
std::vector<int> Numbers(const std::string& parameters) {
  std::vector<int> numbers(1, 0);
  for (const char c : parameters) {
    if (c == ';') {
      numbers.push_back(0);
    } else if (Between(c, '0', '9') && numbers.back() < 100000) {
      numbers.back() = numbers.back() * 10 + (c - '0');
    }
  }
  for (int& number : numbers) {
    if (number == 0) number = 1;
  }
  return numbers;
}

// The bound key for an arrow's final byte, moving by words when Ctrl, Alt or Meta is held.
const char* Arrow(int final, bool byWord) {
  switch (final) {
    case 'A':
      return key::kUp;
    case 'B':
      return key::kDown;
    case 'C':
      return byWord ? key::kWordRight : key::kRight;
    case 'D':
      return byWord ? key::kWordLeft : key::kLeft;
    case 'H':
      return key::kHome;
    case 'F':
      return key::kEndOfLine;
    default:
      return nullptr;
  }
}

// What a control sequence, ESC [ `parameters` `final`, does; null for the keys that do nothing.
// `alt` is set when an ESC came before it (rxvt's Alt).
const char* ControlSequence(const std::string& parameters, int final, bool alt) {
  if (!parameters.empty() && Between(parameters[0], '<', '?')) return nullptr;  // private
  const std::vector<int> numbers = Numbers(parameters);
  // xterm's modifiers: the second number less one.
  const int modifiers = (numbers.size() > 1 ? numbers[1] - 1 : 0) | (alt ? kAlt : 0);
  const bool byWord = (modifiers & (kAlt | kCtrl | kMeta)) != 0;
  if (Between(final, 'a', 'd')) return Arrow(final - 'a' + 'A', false);  // rxvt: Shift-arrows
  if (final != '~' && final != '^' && final != '@' && final != '$') return Arrow(final, byWord);
  // ESC [ n ~, with rxvt's ^ (Ctrl), @ (Ctrl-Shift) and $ (Shift) in place of the ~.
  const bool ctrl = byWord || final == '^' || final == '@';
  switch (numbers[0]) {
    case 1:
    case 7:
      return key::kHome;
    case 4:
    case 8:
      return key::kEndOfLine;
    case 3:
      return ctrl ? key::kDeleteWord : key::kDelete;
    default:
      return nullptr;  // Insert, PageUp, PageDown, the function keys and the rest
  }
}

// What a single-shift sequence, ESC O `parameters` `final`, does: arrows and Home and End in the
// cursor-key mode (an old xterm puts the modifier number in the parameters), rxvt's Ctrl-arrows,
// and the keypad's keys in its application mode.
std::string SingleShift(const std::string& parameters, int final, bool alt) {
  if (Between(final, 'a', 'd')) return Arrow(final - 'a' + 'A', true);
  if (final == 'M') return "\r";
  static const char kKeypad[] = "*+,-./0123456789";
  if (Between(final, 'j', 'y')) return std::string(1, kKeypad[final - 'j']);
  if (final == 'X') return "=";
  const int modifiers = (parameters.empty() ? 0 : Numbers(parameters)[0] - 1) | (alt ? kAlt : 0);
  const char* const bound = Arrow(final, (modifiers & (kAlt | kCtrl | kMeta)) != 0);
  return bound == nullptr ? "" : bound;
}

}  // namespace

bool KeyDecoder::Next(const Source& source, bool breaksEndLines, std::string& out) {
  if (overrun_) {  // past an end marker, the paste lasts as long as its bytes come at once
    const int byte = Take(source, Wait::kMoment);
    if (byte == kInputEnded) return false;
    if (byte != kNoByte) {
      Pasted(source, byte, breaksEndLines, out);
      return true;
    }
    pasting_ = overrun_ = pastedBlank_ = false;
  }
  const int byte = Take(source, Wait::kForever);
  if (byte < 0) return false;
  if (pasting_) {
    Pasted(source, byte, breaksEndLines, out);
    return true;
  }
  switch (byte) {
    case kEscape:
      Escape(source, false, out);
      break;
    case 0x03:  // Ctrl-C
      out += key::kCancel;
      break;
    case 0x1A:  // Ctrl-Z
      out += key::kSuspend;
      break;
    case 0x12:  // Ctrl-R, a search, and Ctrl-X, a prefix, read the keys after them raw;
    case 0x18:  // Ctrl-V, quoted insert, would let the bytes of a sequence into the line
    case 0x16:
    case 0x1C:  // Ctrl-\: no signal while a line is edited
      break;
    default:
      out += static_cast<char>(byte);
  }
  return true;
}

int KeyDecoder::Take(const Source& source, Wait wait) {
  if (ahead_.empty()) return source(wait);
  const int byte = static_cast<unsigned char>(ahead_[0]);
  ahead_.erase(0, 1);
  return byte;
}

// Leaves `byte`, if it is one, to be decoded next.
void KeyDecoder::PutBack(int byte) {
  if (byte >= 0) ahead_.insert(ahead_.begin(), static_cast<char>(byte));
}

// After an ESC: a sequence, read whole up to its final byte, or an Alt-key. A lone Escape, and
// any sequence or Alt-key that is not bound, does nothing. Only the byte after the ESC, and the
// one after its introducer, may be waited for briefly (they tell Escape, Alt-[ and Alt-O from a
// sequence); the rest of a sequence begun is always waited for, since a terminal sends it whole.
void KeyDecoder::Escape(const Source& source, bool alt, std::string& out) {
  const int introducer = Take(source, Wait::kBriefly);
  if (introducer == '[' || introducer == 'O') {
    int byte = Take(source, Wait::kBriefly);
    if (introducer == '[' && byte == '[') {  // the Linux console's F1-F5: ESC [ [ A-E
      Take(source, Wait::kForever);
      return;
    }
    std::string parameters;
    for (; Between(byte, 0x30, 0x3F); byte = Take(source, Wait::kForever)) {
      parameters += static_cast<char>(byte);
    }
    // Intermediate bytes; none but rxvt's $ (Shift) ends a key's sequence, so $ is final.
    while (Between(byte, 0x20, 0x2F) && byte != '$') byte = Take(source, Wait::kForever);
    if (!Between(byte, 0x40, 0x7E) && byte != '$') {
      PutBack(byte);  // cut short: whatever came instead is a key of its own
      return;
    }
    if (introducer == '[' && parameters == "200" && byte == '~') {
      pasting_ = true;
      return;
    }
    if (introducer == 'O') {
      out += SingleShift(parameters, byte, alt);
    } else if (const char* bound = ControlSequence(parameters, byte, alt)) {
      out += bound;
    }
    return;
  }
  if (introducer == kEscape && !alt) {  // rxvt sends Alt before a sequence as one more ESC
    Escape(source, true, out);
    return;
  }
  switch (introducer) {
    case 'b':
    case 'B':
      out += key::kWordLeft;
      break;
    case 'f':
    case 'F':
      out += key::kWordRight;
      break;
    case 'd':
    case 'D':
      out += key::kDeleteWord;
      break;
    case 0x7F:
    case 0x08:
      out += key::kDeleteWordBack;
      break;
    default:
      // Any other Alt-key does nothing, the rest of a UTF-8 character included.
      if (utf8_ && introducer >= 0xC0) {
        const int rest = introducer >= 0xF0 ? 3 : introducer >= 0xE0 ? 2 : 1;
        for (int i = 0; i < rest; ++i) {
          const int byte = Take(source, Wait::kForever);
          if (!Between(byte, 0x80, 0xBF)) {
            PutBack(byte);
            break;
          }
        }
      }
  }
}

// One byte of a paste, which only ever inserts text; ESC [ 201 ~ ends the paste unless more bytes
// came with it. The terminal always ends a paste with that marker, so every byte before it is
// waited for; after one, only what comes at once is.
void KeyDecoder::Pasted(const Source& source, int byte, bool breaksEndLines, std::string& out) {
  static const char kPasteEnd[] = "[201~";
  const Wait wait = overrun_ ? Wait::kMoment : Wait::kForever;
  if (byte == kEscape) {
    std::string read;
    for (const char* expected = kPasteEnd; *expected != '\0'; ++expected) {
      const int next = Take(source, wait);
      if (next < 0) break;
      read += static_cast<char>(next);
      if (next != *expected) break;
    }
    if (read == kPasteEnd) {
      const int next = Take(source, Wait::kMoment);
      PutBack(next);
      overrun_ = next >= 0;  // bytes sent with the marker: the paste goes on
      pasting_ = overrun_;
      if (!pasting_) pastedBlank_ = false;  // no blank for a line break at the end
      return;
    }
    ahead_.insert(0, read);
  }
  if (byte == '\r' || byte == '\n') {
    if (byte == '\r') {  // CR LF is one line break
      const int next = Take(source, wait);
      if (next != '\n') PutBack(next);
    }
    if (breaksEndLines) {
      out += key::kPastedBreak;
    } else {
      pastedBlank_ = true;
    }
    return;
  }
  if (pastedBlank_) out += ' ';
  pastedBlank_ = false;
  if ((byte < 0x20 && byte != '\t') || byte == 0x7F) out += key::kLiteral;
  out += static_cast<char>(byte);
}

namespace {

// The length of the valid UTF-8 character at `at`, or 0 if its bytes are not one.
size_t Utf8Length(const char* text, size_t size, size_t at) {
  const auto byte = [text, size](size_t i) {
    return i < size ? static_cast<unsigned char>(text[i]) : 0;
  };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0x80) return 1;
  if (Between(lead, 0xC2, 0xDF)) {
    length = 2;
  } else if (Between(lead, 0xE0, 0xEF)) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (Between(lead, 0xF0, 0xF4)) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (!Between(byte(at + 1), low, high)) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!Between(byte(at + i), 0x80, 0xBF)) return 0;
  }
  return length;
}

}  // namespace

std::string VisibleForm(const std::string& text, bool utf8) {
  std::string shown;
  shown.reserve(text.size());
  AppendVisibleForm(shown, text.data(), text.size(), utf8);
  return shown;
}

void AppendVisibleForm(std::string& shown, const char* text, size_t size, bool utf8) {
  for (size_t i = 0; i < size; ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    const size_t length = utf8 ? Utf8Length(text, size, i) : 1;
    if ((byte < 32 && byte != '\n' && byte != '\t') || byte == 127) {
      shown += '^';
      shown += static_cast<char>(byte ^ 64);  // ESC is ^[, DEL is ^?
    } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // A C1 control written as UTF-8: some terminals act on these as on ESC sequences.
      shown += "M-^";
      shown += static_cast<char>((text[i + 1] - 0x80) ^ 64);
      ++i;
    } else if (length == 0 || (!utf8 && Between(byte, 0x80, 0x9F))) {
      // A lone C1 byte (0x9B is CSI) drives 8-bit terminals; a stray byte garbles UTF-8 ones.
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      shown += hex;
    } else {
      shown.append(text + i, length);
      i += length - 1;
    }
  }
}

ConsoleLine ConsolePaste::Take(std::string& line, bool textPrompt, bool keysWaiting) {
  const bool pasted = keysWaiting || pasting_;  // a paste's last line has nothing behind it
  pasting_ = keysWaiting;
  if (textPrompt) {
    joined_.clear();
    // A blank line ending a paste is the paste's too; only a blank typed after it ends the text.
    return keysWaiting || (pasted && line.empty()) ? ConsoleLine::kPasted : ConsoleLine::kTyped;
  }
  if (!pasted) return ConsoleLine::kTyped;
  if (!line.empty() && !joined_.empty()) joined_ += ' ';
  joined_ += line;
  if (keysWaiting) return ConsoleLine::kJoined;
  line.swap(joined_);
  joined_.clear();
  return ConsoleLine::kOffer;
}
