// What crosses a terminal: the keys of every terminal in use reach the line editor as its bound
// keys or not at all, pastes only ever insert text, and stored text is shown without anything a
// terminal could act on.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
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
  const KeyDecoder::Source source = [&](KeyDecoder::Wait wait) {
    const bool forever = wait == KeyDecoder::Wait::kForever;
    if (at < sent.size() && sent[at] == kPause) {
      ++at;
      if (!forever) return KeyDecoder::kNoByte;
    }
    if (at == sent.size()) return forever ? KeyDecoder::kInputEnded : KeyDecoder::kNoByte;
    return static_cast<int>(static_cast<unsigned char>(sent[at++]));
  };
  KeyDecoder decoder(utf8);
  std::string received;
  while (decoder.Next(source, textPrompt, received)) {}
  return received;
}

// The rows of the table `name` under data/: its lines but blank ones and comments, split at tabs;
// each must have four columns.
std::vector<std::vector<std::string>> Rows(const std::string& name) {
  std::ifstream table(NEWS_TEST_DATA "/" + name);
  std::vector<std::vector<std::string>> rows;
  for (std::string row; std::getline(table, row);) {
    if (row.empty() || row[0] == '#') continue;
    std::istringstream fields(row);
    rows.emplace_back();
    for (std::string field; std::getline(fields, field, '\t');) rows.back().push_back(field);
    EXPECT_EQ(rows.back().size(), 4u) << row;
    rows.back().resize(4);
  }
  return rows;
}

}  // namespace

TEST(KeyDecoder, EveryKeyEditsTheLineOrDoesNothingAndPastesAreText) {
  const auto rows = Rows("keys.txt");
  EXPECT_GT(rows.size(), 30u);
  for (const auto& columns : rows) {
    SCOPED_TRACE(columns[0]);
    const std::string sent = Unescape(columns[2]), expected = Unescape(columns[3]);
    const bool utf8 = columns[1] != "latin1";
    for (const bool textPrompt : {true, false}) {
      if (columns[1] == (textPrompt ? "other" : "text")) continue;
      EXPECT_EQ(testing::PrintToString(Decoded(sent, textPrompt, utf8)),
                testing::PrintToString(expected));
    }
  }
}

TEST(VisibleForm, ShowsWhatATerminalWouldActOnAndKeepsValidText) {
  const auto rows = Rows("visible.txt");
  EXPECT_GE(rows.size(), 6u);
  for (const auto& columns : rows) {
    EXPECT_EQ(testing::PrintToString(VisibleForm(Unescape(columns[2]), columns[1] == "utf8")),
              testing::PrintToString(Unescape(columns[3])))
        << columns[0];
  }
}

// Lines read at a console that marks no paste, each with "+" where keys waited behind its line end,
// and what each is taken as: T(yped), P(asted), J(oined) or O(ffered), with the line given on.
TEST(ConsolePaste, BlankPastedLinesStayInTheTextAndPastedCommandsAreOnlyOffered) {
  const struct {
    bool textPrompt;
    std::vector<std::string> lines;
    std::string taken;
  } kCases[] = {
      {true,
       {"Meeting moved to Friday.+", "+", "Details follow below.+", "1 room is booked.+", "", ""},
       "P:Meeting moved to Friday.|P:|P:Details follow below.|P:1 room is booked.|P:|T:|"},
      {true, {"typed", "typed ahead+", "", ""}, "T:typed|P:typed ahead|P:|T:|"},
      {true, {"a+", "b", ""}, "P:a|T:b|T:|"},
      {false,
       {"Details follow below.+", "+", "1 room is booked.+", "", "l"},
       "J|J|J|O:Details follow below. 1 room is booked.|T:l|"},
      {false, {"1+", "2", "3+", "4"}, "J|O:1 2|J|O:3 4|"},
  };
  for (const auto& c : kCases) {
    ConsolePaste paste;
    std::string taken;
    for (std::string line : c.lines) {
      const bool waiting = !line.empty() && line.back() == '+';
      if (waiting) line.pop_back();
      switch (paste.Take(line, c.textPrompt, waiting)) {
        case ConsoleLine::kTyped:
          taken += "T:" + line + "|";
          break;
        case ConsoleLine::kPasted:
          taken += "P:" + line + "|";
          break;
        case ConsoleLine::kJoined:
          taken += "J|";
          break;
        case ConsoleLine::kOffer:
          taken += "O:" + line + "|";
          break;
      }
    }
    EXPECT_EQ(taken, c.taken);
  }
}
