// What crosses a terminal: the keys of every terminal in use reach the line editor as its bound
// keys or not at all, pastes only ever insert text, and stored text is shown without anything a
// terminal could act on.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "terminal_codes.h"

namespace {

// `text` with its C escapes resolved: \e, \r, \n, \t, \\ and \xHH; \p becomes kPause.
constexpr char kPause = '\xff';
std::string Unescape(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
      continue;
    }
    const char kind = text[++i];
    if (kind == 'x') {
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      const std::string from = "ernt\\p", to = "\033\r\n\t\\";
      const size_t at = from.find(kind);
      bytes += at < to.size() ? to[at] : kPause;
    }
  }
  return bytes;
}

// What the decoder gives for `sent`, read as a terminal sends it: a pause makes one short wait
// come back empty, and the input ends after the last byte.
std::string Decoded(const std::string& sent, bool textPrompt, bool utf8) {
  size_t at = 0;
  const KeyDecoder::Source source = [&](bool wait) {
    if (at < sent.size() && sent[at] == kPause) {
      ++at;
      if (!wait) return KeyDecoder::kNoByte;
    }
    if (at == sent.size()) return wait ? KeyDecoder::kInputEnded : KeyDecoder::kNoByte;
    return static_cast<int>(static_cast<unsigned char>(sent[at++]));
  };
  KeyDecoder decoder(utf8);
  std::string received;
  while (decoder.Next(source, textPrompt, received)) {}
  return received;
}

}  // namespace

TEST(KeyDecoder, EveryKeyEditsTheLineOrDoesNothingAndPastesAreText) {
  std::ifstream table(NEWS_TEST_DATA "/keys.txt");
  ASSERT_TRUE(table.is_open());
  int rows = 0;
  for (std::string row; std::getline(table, row);) {
    if (row.empty() || row[0] == '#') continue;
    std::vector<std::string> columns;
    std::istringstream fields(row);
    for (std::string field; std::getline(fields, field, '\t');) columns.push_back(field);
    ASSERT_EQ(columns.size(), 4u) << row;
    SCOPED_TRACE(columns[0]);
    ++rows;
    const std::string sent = Unescape(columns[2]), expected = Unescape(columns[3]);
    const bool utf8 = columns[1] != "latin1";
    for (const bool textPrompt : {true, false}) {
      if (columns[1] == (textPrompt ? "other" : "text")) continue;
      EXPECT_EQ(testing::PrintToString(Decoded(sent, textPrompt, utf8)),
                testing::PrintToString(expected));
    }
  }
  EXPECT_GT(rows, 30);
}

TEST(VisibleForm, ShowsWhatATerminalWouldActOnAndKeepsValidText) {
  const std::tuple<const char*, bool, const char*> cases[] = {
      {"Gr\xC3\xBC\xC3\x9F \xE6\x97\xA5\xF0\x9F\x93\xB0 tab\tline\nend", true,
       "Gr\xC3\xBC\xC3\x9F \xE6\x97\xA5\xF0\x9F\x93\xB0 tab\tline\nend"},
      {"\x1B]0;x\x07\x7F", true, "^[]0;x^G^?"},
      {"\xC2\x9B\xC2\x85\xC2\xA0", true, "M-^[M-^E\xC2\xA0"},  // C1 as UTF-8; NBSP is text
      {"\x9B"
       "2J \x9D \x9C \xE9t\xC3",
       true, "\\x9B2J \\x9D \\x9C \\xE9t\\xC3"},
      {"\xED\xA0\x80 \xC0\xAF \xE0\x80\xAF \xF0\x80\x80\xAF \xF4\x90\x80\x80", true,
       "\\xED\\xA0\\x80 \\xC0\\xAF \\xE0\\x80\\xAF \\xF0\\x80\\x80\\xAF "
       "\\xF4\\x90\\x80\\x80"},  // a surrogate, overlong forms, beyond U+10FFFF
      {"\x9B"
       "2J \xE9t\xC2\x9B",
       false, "\\x9B2J \xE9t\xC2\\x9B"},
  };
  for (const auto& [stored, utf8, shown] : cases) {
    EXPECT_EQ(VisibleForm(stored, utf8), shown) << testing::PrintToString(stored);
  }
}
