// news-editor: a console editor for one news database file.
//
// Loads the file named on the command line (or starts empty), lists it, then reads one-letter
// commands from standard input. Every change is saved at once as a complete rewrite, made to the
// newest content of the file, so that several editors and programs can share one database.

// Before any system header: a 64-bit time_t on 32-bit systems whose C library offers one, so that
// messages written after 2038 get their dates (the C library wants large files with it). No type
// that these change crosses into the other files.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64
#endif
#if !defined(_TIME_BITS)
#define _TIME_BITS 64
#endif

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "NewsDB.h"
#include "console.h"
#include "pending_changes.h"

using newsdb::FileContent;
using newsdb::FileError;
using newsdb::FileReader;
using newsdb::FileStamp;
using newsdb::OpenResult;
using newsdb::SaveWait;

namespace {

// What ends a folder's name in a path.
#if defined(_WIN32)
const char kPathSeparators[] = "/\\";
#else
const char kPathSeparators[] = "/";
#endif

// Appends `number` in decimal, as standard output prints it.
template <typename Number>
void appendDecimal(std::string& text, Number number) {
  char digits[24];
  text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

// Writes `piece` to standard output and empties it. False when the user asked to stop.
bool writeOut(std::string& piece) {
  std::cout.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  piece.clear();
  return !interruptRequested();
}

// Appends stored `text` to `piece` as it is shown, writing `piece` out whenever it has grown to
// `limit` bytes, so that a long text is never copied whole. False when the user stopped the
// listing.
bool appendText(std::string& piece, const std::string& text, size_t limit) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.size() - at > limit ? at + limit : text.size();
    // Cut between characters: before a byte that continues none.
    for (int back = 0; back < 3 && end < text.size() && end > at + 1 &&
                       (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80;
         ++back) {
      --end;
    }
    appendShown(piece, text.data() + at, end - at);
    at = end;
    // Only a text that goes on is written out in the middle of its entry.
    if (at < text.size() && piece.size() >= limit && !writeOut(piece)) return false;
  }
  return true;
}

}  // namespace

// Prints the number of visible messages, then every message, visible or not, in list order.
// Lines are not flushed one by one: output is flushed before input is read, before a save and at
// the end. The entries are put together in pieces of some 64 KB, each written at once; Ctrl-C at
// a terminal ends the listing after the piece being written.
void showDB(NewsDB* db) {
  std::cout << "DB contains " << db->Count() << " news items.\n";
  const uint64_t all = db->CountAll();
  constexpr size_t kPiece = size_t{1} << 16;
  std::string piece;
  piece.reserve(2 * kPiece);
  for (uint64_t i = 0; i < all; ++i) {
    const NewsItem& item = db->GetNewsItemAll(i);
    piece += "  Message ";
    if (!appendText(piece, item.title, kPiece)) return;
    piece += ' ';
    appendDecimal(piece, item.index);
    piece += " (";
    appendDecimal(piece, item.timeOfDay / 60);
    const uint32_t minute = item.timeOfDay % 60;  // always two digits
    piece += ':';
    piece += static_cast<char>('0' + minute / 10);
    piece += static_cast<char>('0' + minute % 10);
    piece += ' ';
    appendDecimal(piece, item.day);
    piece += '.';
    appendDecimal(piece, item.month);
    piece += '.';
    appendDecimal(piece, item.year);
    piece += ") :";
    if (!appendText(piece, item.text, kPiece)) return;
    piece += item.visible ? "(Visible=1)\n" : "(Visible=0)\n";
    if ((piece.size() >= kPiece || i + 1 == all) && !writeOut(piece)) return;
  }
}

// Prints the list of commands.
void showHelp() {
  std::cout << "Valid commands are:\n"
               "  h: this help screen\n"
               "  l: list all news\n"
               "  d: delete a news message\n"
               "  a: add a new news message\n"
               "  q: close this application\n";
}

namespace {

const char kSaveFailed[] = "Unable to save news DB";

// Returns what `body` returns, or false when it ran out of memory, which must fail one command,
// never end the editor: the standard library reports a shortage only by throwing.
template <typename Body>
bool withMemory(const Body& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

// Says on standard error, after what standard output has said, why `what` (load, save, ...) of
// `path` failed: `cause`, and for text that is not a database where reading stopped.
void sayWhy(const char* what, const std::string& path, const std::error_code& cause,
            uint64_t offset = 0) {
  std::cout.flush();
  std::string reason = cause ? cause.message() : "the cause is unknown";
  if (cause == FileError::kNotDatabase) {
    reason += " (reading stopped at byte " + std::to_string(offset) + ")";
  }
  std::cerr << "news-editor: cannot " << what << " " << path << ": " << reason << std::endl;
}

// The database file as this editor knows it.
struct DatabaseFile {
  std::string path;
  FileStamp seen;            // the file as this editor last read or wrote it
  PendingChanges unsaved;    // changes made in memory that no save has written yet
  bool waitGivenUp = false;  // a save's wait was given up since the editor was asked to end
};

// Saves the database with the unsaved changes made on the newest content of the file, which
// another program may have saved meanwhile. Changes that cannot be saved stay in memory for the
// next save. Returns true when everything is saved.
// A save that waits for another says so after a second, and gives up when the user asks to stop,
// or two seconds after the editor is asked to end, and then at once (then it fails as any save
// does). A stop signal
// meanwhile stops the editor after the save.
bool saveChanges(NewsDB* db, DatabaseFile& file) {
  std::cout.flush();  // what was said before shows while the save, or its wait for the lock, lasts
  bool told = false;
  const SaveWait waiting = [&told, &file](std::chrono::steady_clock::duration waited) {
    if (!told && waited >= std::chrono::seconds(1)) {
      told = true;
      std::cerr << "news-editor: waiting for another program's save of " << file.path << std::endl;
    }
    if (endRequest() != 0 && (file.waitGivenUp || waited >= std::chrono::seconds(2))) {
      file.waitGivenUp = true;
      return false;
    }
    return !interruptRequested();
  };
  holdStops(true);
  const bool saved = db->UpdateFile(
      file.path, file.seen,
      [&file](NewsDB& newest, FileContent found) {
        if (found == FileContent::kReloaded) {
          file.unsaved.ApplyAll(newest);
        } else {
          file.unsaved.ApplyRest(newest);
        }
        return true;  // even a delete of no message writes the file, as a change does
      },
      waiting);
  holdStops(false);
  if (saved) file.unsaved.Clear();
  return saved;
}

// Lists the database as the file holds it now, which another program may have changed, with the
// changes no save has written yet.
void showNewest(NewsDB* db, DatabaseFile& file) {
  if (db->ReloadIfChanged(file.path, file.seen)) file.unsaved.ApplyAll(*db);
  showDB(db);
}

// Saves the unsaved changes, the one just made among them, lists the database as saved, then
// prints `confirmation` (if any) when the save worked and a warning when it did not.
void saveAndList(NewsDB* db, DatabaseFile& file, const char* confirmation = nullptr) {
  const bool saved = saveChanges(db, file);
  showDB(db);
  if (!saved) {
    std::cout << kSaveFailed << std::endl;
    sayWhy("save", file.path, db->LastError(), db->LastErrorOffset());
  } else if (confirmation != nullptr) {
    std::cout << confirmation << std::endl;
  }
}

// Sets `local` to the local time at `time`; false when it has none. Through the calls that fill
// the caller's own std::tm, which Visual C++ does not warn of, and no other thread can overwrite.
bool toLocalTime(std::time_t time, std::tm& local) {
#if defined(_WIN32)
  return localtime_s(&local, &time) == 0;
#else
  return localtime_r(&time, &local) != nullptr;
#endif
}

// The local time now, as a new message records it.
std::tm localTimeNow() {
  std::tm local{};
  if (!toLocalTime(std::time(nullptr), local)) local = std::tm{};
  return local;
}

// The add dialogue. Returns false when standard input ended during it; text typed before the
// end is still added, so nothing typed is lost. Ctrl-C at a terminal adds nothing.
bool addNews(NewsDB* db, DatabaseFile& file) {
  std::string title;
  const LineEnd titleEnd = readLine(title, "Enter new title text:\n", LineKind::kTitle);
  if (titleEnd != LineEnd::kTyped) return titleEnd != LineEnd::kInputEnded;
  std::string text;
  std::string line;
  std::string prompt = "Enter new news text [quit editing with two newlines]:\n";
  size_t blankLines = 0;  // pasted blank lines that text has yet to follow
  LineEnd end;
  while ((end = readLine(line, prompt, LineKind::kText)) != LineEnd::kInputEnded) {
    if (end == LineEnd::kCancelled) return true;
    prompt.clear();
    // An empty line typed ends the text; the blank lines of a paste belong to it.
    if (line.empty() && end == LineEnd::kTyped) break;
    if (line.empty()) {
      ++blankLines;
      continue;
    }
    if (!text.empty()) text.append(blankLines + 1, '\n');
    blankLines = 0;
    text += line;
  }
  // An empty first line cancels before a number is used up.
  if (text.empty()) return end != LineEnd::kInputEnded;
  file.unsaved.Add(title, text, localTimeNow());
  saveAndList(db, file, "Added new news entry to DB");
  return end != LineEnd::kInputEnded;
}

// The delete dialogue. Returns false when standard input ended during it.
bool deleteNews(NewsDB* db, DatabaseFile& file) {
  std::string line;
  const LineEnd end = readLine(line, "Enter index to delete:\n", LineKind::kNumber);
  if (end != LineEnd::kTyped) return end != LineEnd::kInputEnded;
  // Decimal with leading blanks and a sign; no digits reads as 0, which means "do nothing".
  errno = 0;
  const long long number = std::strtoll(line.c_str(), nullptr, 10);
  const bool outOfRange = errno == ERANGE;
  if (number == 0 && !outOfRange) return true;
  // -2147483648 to 4294967295 name a 32-bit index (so -1 is 4294967295); others name none.
  const bool names =
      !outOfRange && number >= INT32_MIN && number <= static_cast<long long>(UINT32_MAX);
  file.unsaved.Delete(names ? std::optional<uint32_t>(static_cast<uint32_t>(number))
                            : std::nullopt);
  saveAndList(db, file);
  return true;
}

// The name of a rescue file for the database at `path` written at `now`, the `attempt`th tried:
// the database's name, the local date and time, and a count from the second on.
std::string rescueName(const std::string& path, std::time_t now, int attempt) {
  const size_t slash = path.find_last_of(kPathSeparators);
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  if (name.empty() || name == "." || name == "..") name = "news";
  char time[32] = "";
  std::tm local{};
  if (toLocalTime(now, local)) std::strftime(time, sizeof time, ".%Y-%m-%d-%H%M%S", &local);
  return name + time + (attempt > 1 ? "-" + std::to_string(attempt) : "");
}

// Writes the database as this editor holds it, with every change no save has written, to a new
// private file in the user's rescue folder, and says where on standard error, or why not.
void keepUnsaved(NewsDB* db, DatabaseFile& file) {
  std::error_code error;
  std::string folder, text;
  if (!withMemory([&] {
        file.unsaved.ApplyRest(*db);
        db->Serialize(text);
        return true;
      })) {
    error = std::make_error_code(std::errc::not_enough_memory);
  } else if (rescueFolder(folder, error)) {
    const std::time_t now = std::time(nullptr);
    for (int attempt = 1; attempt <= 100; ++attempt) {
      const std::string kept = folder + rescueName(file.path, now, attempt);
      if (writePrivateFile(kept, text, error)) {
        std::cerr << "news-editor: the unsaved change is kept in " << kept << std::endl;
        return;
      }
      if (error != std::errc::file_exists) break;
    }
  }
  sayWhy("keep the unsaved change in", folder.empty() ? file.path : folder, error);
}

// Carries out the command `line`. Returns false when standard input ended during it.
bool runCommand(NewsDB* db, DatabaseFile& file, const std::string& line) {
  switch (line.empty() ? '\0' : line[0]) {
    case 'a':
    case 'A':
      return addNews(db, file);
    case 'd':
    case 'D':
      return deleteNews(db, file);
    case 'h':
    case 'H':
      showHelp();
      return true;
    case 'l':
    case 'L':
      showNewest(db, file);
      return true;
    default:
      return true;  // anything else, an empty line included, just asks again
  }
}

// Reads and carries out commands until quit, the end of input or a request to end. Returns the
// exit status: 0 once every change is saved, 1 when one still cannot be saved at the end (it is
// then kept in a rescue file).
int runCommands(NewsDB* db, DatabaseFile& file) {
  std::string line;
  bool inputLeft = true;
  while (inputLeft) {
    std::cout << std::endl;
    const LineEnd end = readLine(line, "Enter command [h for help]:", LineKind::kCommand);
    if (end == LineEnd::kInputEnded) break;
    if (end == LineEnd::kCancelled) continue;  // Ctrl-C shows a fresh prompt
    if (line[0] == 'q' || line[0] == 'Q') break;
    if (!withMemory([&] { return (inputLeft = runCommand(db, file, line)), true; })) {
      sayWhy("carry out the command for", file.path,
             std::make_error_code(std::errc::not_enough_memory));
    }
  }
  // A change whose save failed gets one more try; if that fails too, the user must know, and
  // the change is kept where the user can find it.
  if (file.unsaved.Empty() || saveChanges(db, file)) return 0;
  std::cout << kSaveFailed << std::endl;
  sayWhy("save", file.path, db->LastError(), db->LastErrorOffset());
  keepUnsaved(db, file);
  return 1;
}

// Loads the database at `path`; a file that does not exist starts an empty database, which the
// first save creates. Null, with the reason said on standard error after "Unable to load news
// DB", when the file exists but cannot be read whole, which must never be replaced: a value after
// the database record is data the first save would destroy.
NewsDB* loadDB(const std::string& path, FileStamp& seen) {
  FileReader reader;
  std::error_code why;
  uint64_t offset = 0;
  NewsDB* db = nullptr;
  switch (reader.Open(path)) {
    case OpenResult::kMissing:
      return new NewsDB();
    case OpenResult::kFailed:
      why = reader.Error();
      break;
    case OpenResult::kOpened:
      db = new NewsDB();
      if (withMemory([&] { return db->ReadFrom(reader); })) {
        seen = reader.Stamp();
        return db;
      }
      why = db->LastError() ? db->LastError() : std::make_error_code(std::errc::not_enough_memory);
      offset = db->LastErrorOffset();
      delete db;
      break;
  }
  std::cout << "Unable to load news DB" << std::endl;
  sayWhy("load", path, why, offset);
  return nullptr;
}

// The exit status when the arguments or the file are refused: 255, not -1, which cmd sees as an
// ERRORLEVEL below 1, so that `if errorlevel 1` would take it for success.
constexpr int kRefused = 255;

void showUsage(const std::string& name) {
  std::cout << "Usage:" << std::endl << "  " << name << " database" << std::endl << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  // Standard output goes out in pieces of a megabyte, at a terminal too, not line by line: it is
  // flushed before each line is read, before each save and at the end. Set before any output.
  static char outputBuffer[1 << 20];
  std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
  const std::vector<std::string> args = startConsole(argc, argv);
  const std::string name = !args.empty() && !args[0].empty() ? args[0] : "news-editor";
  if (args.size() == 2 && args[1] == "--version") {
    std::cout << "news-editor " NEWS_EDITOR_VERSION << std::endl;
    return 0;
  }
  if (args.size() == 2 && args[1] == "--help") {
    std::cout << "Usage:" << std::endl
              << "  " << name << " [--] database" << std::endl
              << "  " << name << " --help | --version" << std::endl
              << std::endl
              << "Lists the news messages in the file database, then adds, deletes and lists them"
              << std::endl
              << "on one-letter commands read from standard input, saving every change at once."
              << std::endl
              << std::endl;
    showHelp();
    return 0;
  }
  // "--" ends the options, so that a database may be named "-x"; any other option is a mistake,
  // never the name of a file to create.
  const size_t at = args.size() > 1 && args[1] == "--" ? 2 : 1;
  if (args.size() != at + 1 || (at == 1 && args[1].size() > 1 && args[1][0] == '-')) {
    showUsage(name);
    return kRefused;
  }
  DatabaseFile file{args[at], FileStamp(), {}};
  // Lives until the process ends; freeing it at exit would only cost time.
  static NewsDB* const db = loadDB(file.path, file.seen);
  if (db == nullptr) return kRefused;
  if (!withMemory([] { return showDB(db), true; })) {
    sayWhy("list", file.path, std::make_error_code(std::errc::not_enough_memory));
  }
  const int status = runCommands(db, file);
  endConsole();
  endAsRequested();
  return status;
}
