// news-editor: a console editor for one news database file.
//
// Loads the file named on the command line (or starts empty), lists it, then reads one-letter
// commands from standard input. Every change is saved at once as a complete rewrite.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>

#include "NewsDB.h"

// Prints the number of visible messages, then every message, visible or not, in list order.
void showDB(NewsDB* db) {
  std::cout << "DB contains " << db->Count() << " news items." << std::endl;
  const uint64_t all = db->CountAll();
  for (uint64_t i = 0; i < all; ++i) {
    const NewsItem& item = db->GetNewsItemAll(i);
    std::cout << "  Message " << item.title << " " << item.index << " (" << item.timeOfDay / 60
              << ":" << std::setfill('0') << std::setw(2) << item.timeOfDay % 60 << " " << item.day
              << "." << item.month << "." << item.year << ") :" << item.text
              << "(Visible=" << (item.visible ? "1" : "0") << ")" << std::endl;
  }
}

// Prints the list of commands.
void showHelp() {
  std::cout << "Valid commands are:" << std::endl
            << "  h: this help screen" << std::endl
            << "  l: list all news" << std::endl
            << "  d: delete a news message" << std::endl
            << "  a: add a new news message" << std::endl
            << "  q: close this application" << std::endl;
}

namespace {

// Reads one whole line of standard input, without its line break and cut at its first zero
// byte. False at the end of input or on a read error.
bool readLine(std::string& line) {
  if (!std::getline(std::cin, line)) return false;
  const size_t zero = line.find('\0');
  if (zero != std::string::npos) line.resize(zero);
  return true;
}

// Saves the whole database to `path` and lists it, then prints `confirmation` (if any) when the
// save worked and a warning when it did not; the change stays in memory for the next save.
void saveAndList(NewsDB* db, const std::string& path, const char* confirmation = nullptr) {
  const bool saved = db->SerializeFile(path);
  showDB(db);
  if (!saved) {
    std::cout << "Unable to save news DB" << std::endl;
  } else if (confirmation != nullptr) {
    std::cout << confirmation << std::endl;
  }
}

// A new, unread and visible message stamped with the local time now.
NewsItem newMessage(uint32_t index, const std::string& title, const std::string& text) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (const std::tm* converted = std::localtime(&now)) local = *converted;
  return NewsItem(static_cast<int32_t>(index), title, text,
                  static_cast<uint32_t>(local.tm_hour * 60 + local.tm_min),
                  static_cast<uint32_t>(local.tm_mday), static_cast<uint32_t>(local.tm_mon + 1),
                  local.tm_year + 1900, false, true);
}

// The add dialogue. Returns false when standard input ended during it; text typed before the
// end is still added, so nothing typed is lost.
bool addNews(NewsDB* db, const std::string& path) {
  std::cout << "Enter new title text:" << std::endl;
  std::string title;
  if (!readLine(title)) return false;
  std::cout << "Enter new news text [quit editing with two newlines]:" << std::endl;
  std::string text;
  std::string line;
  bool inputLeft = true;
  while ((inputLeft = readLine(line)) && !line.empty()) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  // An empty first line cancels before a number is used up.
  if (text.empty()) return inputLeft;
  db->AddNewsItem(newMessage(db->GetIndex(), title, text));
  saveAndList(db, path, "Added new news entry to DB");
  return inputLeft;
}

// The delete dialogue. Returns false when standard input ended during it.
bool deleteNews(NewsDB* db, const std::string& path) {
  std::cout << "Enter index to delete:" << std::endl;
  std::string line;
  if (!readLine(line)) return false;
  // Decimal with leading blanks and a sign; no digits reads as 0, which means "do nothing".
  errno = 0;
  const long long number = std::strtoll(line.c_str(), nullptr, 10);
  const bool outOfRange = errno == ERANGE;
  if (number == 0 && !outOfRange) return true;
  // -2147483648 to 4294967295 name a 32-bit index (so -1 is 4294967295); others name none.
  if (!outOfRange && number >= INT32_MIN && number <= static_cast<long long>(UINT32_MAX)) {
    db->RemoveNewsItemWithIndex(static_cast<uint32_t>(number));
  }
  saveAndList(db, path);
  return true;
}

// Reads and carries out commands until quit or the end of input. Returns the exit status.
int runCommands(NewsDB* db, const std::string& path) {
  std::string line;
  for (;;) {
    std::cout << std::endl << "Enter command [h for help]:" << std::flush;
    if (!readLine(line)) return 0;
    bool inputLeft = true;
    switch (line.empty() ? '\0' : line[0]) {
      case 'a':
      case 'A':
        inputLeft = addNews(db, path);
        break;
      case 'd':
      case 'D':
        inputLeft = deleteNews(db, path);
        break;
      case 'h':
      case 'H':
        showHelp();
        break;
      case 'l':
      case 'L':
        showDB(db);
        break;
      case 'q':
      case 'Q':
        return 0;
      default:
        break;  // anything else, an empty line included, just asks again
    }
    if (!inputLeft) return 0;
  }
}

// Loads the database at `path`; a file that cannot be opened starts an empty database, which
// the first save creates.
NewsDB* loadDB(const std::string& path) {
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) return new NewsDB();
  return new NewsDB(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    const char* name =
        argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "news-editor";
    std::cout << "Usage:" << std::endl << "  " << name << " database" << std::endl << std::endl;
    return -1;
  }
  const std::string path = argv[1];
  // Lives until the process ends; freeing it at exit would only cost time.
  static NewsDB* const db = loadDB(path);
  if (db->DidConstructionFail()) {
    std::cout << "Unable to load news DB" << std::endl;
    return -1;
  }
  showDB(db);
  return runCommands(db, path);
}
