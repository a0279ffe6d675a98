// NewsItem, one news message, and NewsDB, the database that holds them; both are records.
//
// A message is one record of nine values, in field order:
//   <"3" "Hello" "Room changed" "545" "5" "12" "2026" "0" "1">
// A database is one record of its counter and its list of messages:
//   <"4" "2" <"1" ...> <"4" ...>>
//
// Sharing a file, a recipe:
// - Reading takes no lock: NewsDB(path), ReloadIfChanged and FileReader read the file as it is;
//   a save renames a whole new file into place, so a reader sees the old or the new text whole.
// - Changing a file that other programs (or other NewsDB objects) change too: UpdateFile. It takes
//   the file's save lock, reads the file again if it changed since this database read or wrote
//   it, carries out the change on that, and saves, all under the lock, so no other save comes in
//   between; new messages take GetUnusedIndex(). Its change runs under the lock: keep it short,
//   and save nothing from it (a save of the same file there fails at once).
// - Save() is for a file this program alone changes: it refuses to overwrite a file that changed
//   since this database read or wrote it, or that it did not read whole. SerializeFile(path)
//   overwrites whatever is there.
// - Threads: one NewsDB is used by one thread at a time; distinct ones may be used at once, on
//   one file too (their saves follow one another). Each FileStamp (and each copy of one) keeps
//   the file it describes open, one descriptor shared by the copies.
#ifndef CROSSPLATFORM_NEWSDB_H
#define CROSSPLATFORM_NEWSDB_H

#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "Serializable.h"
#include "newsdb_version.h"

class NewsItem final : public Serializable {
 public:
  // Sets all nine fields; `index` is stored as unsigned.
  NewsItem(int32_t index, const std::string& title, const std::string& text, uint32_t timeOfDay,
           uint32_t day, uint32_t month, int32_t year, bool read, bool visible);
  // Reads a message from `in`; ask DidConstructionFail() right after (running out of memory
  // fails it too, and LastError() then says so).
  explicit NewsItem(std::istream& in);

  // Appends the nine values in field order.
  void SerializeValues(std::string& out) const override;
  // Reads the nine values in field order; false at the first that cannot be read.
  bool DeserializeValues(std::istream& in) override;

  uint32_t index = 0;      // number of the message inside its database
  std::string title;       // one line; may be empty
  std::string text;        // body; lines joined by single line breaks
  uint32_t timeOfDay = 0;  // local time of creation, hour * 60 + minute
  uint32_t day = 0;        // day of the month of creation, 1 to 31
  uint32_t month = 0;      // month of creation, 1 to 12
  int32_t year = 0;        // full year of creation
  bool read = false;       // counts as read
  bool visible = false;    // counts as visible; the visible-only views skip it otherwise
};

class NewsDB;

namespace newsdb {

// What a change passed to NewsDB::UpdateFile finds.
enum class FileContent {
  kUnchanged,   // the file is as this database last read or wrote it
  kReloaded,    // the file changed (or a save of this database failed): this database now holds
                // what the file holds
  kUnreadable,  // the file could not be read, or its lock not taken: nothing will be written
};

// A change that UpdateFile carries out on the database; returns whether it changed anything
// (nothing is written when it did not).
using DatabaseChange = std::function<bool(NewsDB& db, FileContent found)>;

}  // namespace newsdb

// The database: the messages in insertion order and the counter that numbers new ones.
// Positions are 0-based. Operations ending in All see every message; the others see only the
// visible ones. Lookups by a message's index always see every message.
class NewsDB final : public Serializable {
 public:
  // An empty database with counter 0 and no file name.
  NewsDB();
  // Reads a database from `in`; ask DidConstructionFail() right after (running out of memory
  // fails it too, and LastError() then says so).
  explicit NewsDB(std::istream& in);
  // True when the database file `file`, read through `in` up to the end of its record, holds
  // nothing after it but bytes outside values, and was read without an error: a value there
  // would be data that no load reads and the next save destroys. Reads `in` to its end.
  static bool ReadWhole(const newsdb::FileReader& file, std::istream& in);
  // Reads the whole database file open in `file` into this database, as the stream constructor
  // and ReadWhole do. False, with LastError() saying why, when it is not read whole: an empty
  // file, text that is not a database (LastErrorOffset() where reading stopped), a value after
  // the record, a read error, or too little memory; the database then holds what was read.
  bool ReadFrom(newsdb::FileReader& file);
  // Reads the database file at the UTF-8 `path` and remembers the path for Save(), even on
  // failure, and the file's stamp (Seen()); a file that is missing or not a readable regular file
  // counts as a failure, as does one with a value after the database record, and running out of
  // memory. Ask DidConstructionFail() right after, and LastError() why it failed.
  explicit NewsDB(const std::string& path);

  // Appends the counter and the list of messages.
  void SerializeValues(std::string& out) const override;
  // Reads the counter, then the list; false if either fails, keeping what was read before. A
  // message that fails for want of memory sets LastError().
  bool DeserializeValues(std::istream& in) override;
  // Saves to the remembered file name, for a file that this program alone changes (see
  // UpdateFile for a shared one): only while the file there is still the one this database last
  // read or wrote, and only after a load that read it whole (a file missing at the load may be
  // made while it is still missing). False, writing nothing, when there is no name
  // (std::errc::invalid_argument), the load failed on a file that exists
  // (FileError::kNotReadWhole), the file changed since (FileError::kChangedSinceRead), or the
  // save fails; LastError() says which.
  bool Save();
  // The stamp of the file as this database last read or wrote it at its remembered name.
  const newsdb::FileStamp& Seen() const { return seen_; }

  uint64_t CountAll() const;
  // Number of visible messages.
  uint64_t Count() const;
  // Number of visible messages not yet read.
  uint64_t UnreadCount() const;
  // List position of the message at visible position `pos`, or -1 if there is none.
  int64_t GetVisibleIndex(uint64_t pos) const;
  // The message at list position `i`, which must be below CountAll(); valid until the list
  // next changes.
  NewsItem& GetNewsItemAll(uint64_t i);
  // Advances the counter and returns it: the number for a new message (wraps after 2^32 - 1).
  uint32_t GetIndex();
  // Advances the counter with GetIndex() until it names a number that is neither 0 nor any
  // message's, and returns that number; a file whose counter lags behind its messages, or that
  // wrapped, then still gets numbers that name one message each.
  uint32_t GetUnusedIndex();
  // Appends a copy of `item`, stored unread; neither checks nor changes any number.
  void AddNewsItem(const NewsItem& item);
  // Removes the message at visible position `pos`; does nothing if `pos` is not below Count().
  void RemoveNewsItemWithPos(uint64_t pos);
  // Removes the first message whose index is `key`, visible or not; does nothing if none is.
  void RemoveNewsItemWithIndex(uint32_t key);
  // Adds, unread, a copy of every message of `other` whose index is not yet present (of several
  // with one index only the first), and raises the counter to the largest index added. Returns
  // true if anything was added.
  bool Import(const NewsDB& other);

  // Carries out `change` on the newest database in the file at the UTF-8 `path` and saves the
  // result, holding the save lock from reading to renaming, so that no other save can come in
  // between: the way to change a file that other programs change too. `seen` describes the file
  // as this database last read or wrote it: while the file still matches it, this database is
  // changed as it is; otherwise the file is read into this database first (a file that has gone
  // keeps this database) and `change` finds it reloaded. When the lock cannot be taken or the
  // newer file cannot be read, `change` finds the file unreadable (what it does then stays in
  // this database alone) and nothing is written. When `change` says it changed nothing, nothing
  // is written either and the result is true. Returns true only when the database is saved;
  // `seen` then describes the file. After a failure `seen` is stale, so that the next call starts
  // again from the file's content and a change made again is made once. Running out of memory
  // fails it like any other step, nothing written, and `change` may then have been carried out
  // only in part. `waiting` is asked while the save waits for another (see
  // newsdb::FileReplacement::Begin); a save of the file that this thread is making already fails at
  // once (FileError::kSavingAlready). `change` runs under the save lock: keep it short, and save
  // nothing from it. On failure LastError() says why.
  bool UpdateFile(const std::string& path, newsdb::FileStamp& seen,
                  const newsdb::DatabaseChange& change, const newsdb::SaveWait& waiting = nullptr);
  // UpdateFile at the remembered file name, from the remembered stamp (Seen()).
  bool UpdateFile(const newsdb::DatabaseChange& change, const newsdb::SaveWait& waiting = nullptr);
  // If the file at the UTF-8 `path` no longer matches `seen`, reads it into this database and
  // returns true, `seen` then describing it; a file that has gone or cannot be read leaves this
  // database and `seen` as they are, and LastError() says why (empty when nothing changed).
  bool ReloadIfChanged(const std::string& path, newsdb::FileStamp& seen);

  std::string fileName;         // path given to the path constructor; used only by Save()
  uint32_t lastIndex = 0;       // last index handed out by GetIndex()
  std::vector<NewsItem> items;  // the messages, in insertion (file) order

 private:
  newsdb::FileStamp seen_;  // the file at `fileName` as this database last read or wrote it
  bool readWhole_ = true;   // false once the path constructor failed on a file that exists

  // Replaces the counter and messages with those of the file that newsdb::FileReader::Open(`where`)
  // opens (a path, or the file a begun save replaces), and `seen` with its stamp; kMissing or
  // kFailed (this database unchanged) when it cannot be read.
  template <typename Where>
  newsdb::OpenResult ReadNewest(const Where& where, newsdb::FileStamp& seen);
};

#endif  // CROSSPLATFORM_NEWSDB_H
