#include "NewsDB.h"

#include <algorithm>
#include <cassert>
#include <unordered_set>

using namespace newsdb;

NewsItem::NewsItem(int32_t index, const std::string& title, const std::string& text,
                   uint32_t timeOfDay, uint32_t day, uint32_t month, int32_t year, bool read,
                   bool visible)
    : index(static_cast<uint32_t>(index)),
      title(title),
      text(text),
      timeOfDay(timeOfDay),
      day(day),
      month(month),
      year(year),
      read(read),
      visible(visible) {}

NewsItem::NewsItem(std::istream& in) {
  constructionOk = UnlessOutOfMemory([&] { return Deserialize(in); }, &lastError_);
}

void NewsItem::SerializeValues(std::string& out) const {
  AddSerialization(out, index);
  AddSerialization(out, title);
  AddSerialization(out, text);
  AddSerialization(out, timeOfDay);
  AddSerialization(out, day);
  AddSerialization(out, month);
  AddSerialization(out, year);
  AddSerialization(out, read);
  AddSerialization(out, visible);
}

bool NewsItem::DeserializeValues(std::istream& in) {
  return DeserializeValue(in, index) && DeserializeValue(in, title) && DeserializeValue(in, text) &&
         DeserializeValue(in, timeOfDay) && DeserializeValue(in, day) &&
         DeserializeValue(in, month) && DeserializeValue(in, year) && DeserializeValue(in, read) &&
         DeserializeValue(in, visible);
}

NewsDB::NewsDB() = default;

NewsDB::NewsDB(std::istream& in) {
  constructionOk = UnlessOutOfMemory([&] { return Deserialize(in); }, &lastError_);
}

NewsDB::NewsDB(const std::string& path) {
  readWhole_ = false;  // until it is
  constructionOk = UnlessOutOfMemory(
      [&] {
        fileName = path;
        lastErrorOffset_ = 0;
        FileReader file;
        const OpenResult opened = file.Open(path);
        readWhole_ = opened == OpenResult::kMissing;  // a missing file is made by the first save
        if (opened != OpenResult::kOpened) {
          lastError_ = file.Error();
          return false;
        }
        readWhole_ = ReadFrom(file);
        if (readWhole_) seen_ = file.Stamp();
        return readWhole_;
      },
      &lastError_);
}

bool NewsDB::ReadWhole(const FileReader& file, std::istream& in) {
  return NothingFollows(in) && !file.ReadFailed();
}

bool NewsDB::ReadFrom(FileReader& file) {
  lastError_.clear();
  lastErrorOffset_ = 0;
  std::istream in(&file);
  constructionOk = UnlessOutOfMemory(
      [&] {
        if (!Deserialize(in)) {
          if (lastError_) return false;  // a message that memory could not hold: it said so
          if (file.ReadFailed()) {
            lastError_ = file.Error();
          } else if (in.eof() && file.Position() == 0) {  // the end, before a single byte
            lastError_ = FileError::kEmptyFile;
          } else {
            lastError_ = FileError::kNotDatabase;
            lastErrorOffset_ = file.Position();
          }
          return false;
        }
        if (ReadWhole(file, in)) return true;
        lastError_ =
            file.ReadFailed() ? file.Error() : make_error_code(FileError::kDataAfterRecord);
        return false;
      },
      &lastError_);
  return constructionOk;
}

void NewsDB::SerializeValues(std::string& out) const {
  AddSerialization(out, lastIndex);
  AddClassVectorSerialization(out, items);
}

bool NewsDB::DeserializeValues(std::istream& in) {
  return DeserializeValue(in, lastIndex) && DeserializeClassVector(in, items, &lastError_);
}

bool NewsDB::Save() {
  lastErrorOffset_ = 0;
  if (fileName.empty()) {
    lastError_ = std::make_error_code(std::errc::invalid_argument);  // no file to save to
    return false;
  }
  if (!readWhole_) {  // what the load did not read would be lost
    lastError_ = FileError::kNotReadWhole;
    return false;
  }
  return UnlessOutOfMemory(
      [&] {
        FileReplacement file;
        if (!file.Begin(fileName)) {
          lastError_ = file.Error();
          return false;
        }
        FileStamp last = seen_;
        last.stale = false;  // a failed UpdateFile changed this database, not the file
        if (file.TargetStamp() != last) {
          lastError_ = FileError::kChangedSinceRead;  // another program's work is not overwritten
          return false;
        }
        const bool saved = WriteTo(file) && file.Commit();
        lastError_ = file.Error();
        if (saved) seen_ = file.Stamp();
        return saved;
      },
      &lastError_);
}

uint64_t NewsDB::CountAll() const {
  return items.size();
}

uint64_t NewsDB::Count() const {
  return static_cast<uint64_t>(
      std::count_if(items.begin(), items.end(), [](const NewsItem& item) { return item.visible; }));
}

uint64_t NewsDB::UnreadCount() const {
  return static_cast<uint64_t>(std::count_if(
      items.begin(), items.end(), [](const NewsItem& item) { return item.visible && !item.read; }));
}

int64_t NewsDB::GetVisibleIndex(uint64_t pos) const {
  for (size_t i = 0; i < items.size(); ++i) {
    if (!items[i].visible) continue;
    if (pos == 0) return static_cast<int64_t>(i);
    --pos;
  }
  return -1;
}

NewsItem& NewsDB::GetNewsItemAll(uint64_t i) {
  assert(i < items.size());
  return items[i];
}

uint32_t NewsDB::GetIndex() {
  return ++lastIndex;
}

uint32_t NewsDB::GetUnusedIndex() {
  uint32_t index = GetIndex();
  const auto taken = [this](uint32_t number) {
    return std::any_of(items.begin(), items.end(),
                       [number](const NewsItem& item) { return item.index == number; });
  };
  if (index != 0 && !taken(index)) return index;
  // A lagging counter may have to pass many numbers in use: look them up in a set.
  std::unordered_set<uint32_t> used;
  used.reserve(items.size() + 1);
  used.insert(0);
  for (const NewsItem& item : items) used.insert(item.index);
  // Fewer than 2^32 - 1 messages fit in memory, so a free number is always found.
  while (used.count(index) != 0) index = GetIndex();
  return index;
}

void NewsDB::AddNewsItem(const NewsItem& item) {
  items.push_back(item);
  items.back().read = false;
}

void NewsDB::RemoveNewsItemWithPos(uint64_t pos) {
  const int64_t position = GetVisibleIndex(pos);
  if (position < 0) return;
  items.erase(items.begin() + position);
}

void NewsDB::RemoveNewsItemWithIndex(uint32_t key) {
  const auto found = std::find_if(items.begin(), items.end(),
                                  [key](const NewsItem& item) { return item.index == key; });
  if (found != items.end()) items.erase(found);
}

bool NewsDB::Import(const NewsDB& other) {
  // The set stands for the front-to-back search of the list, including the copies added here.
  std::unordered_set<uint32_t> present;
  present.reserve(items.size() + other.items.size());
  for (const NewsItem& item : items) present.insert(item.index);
  std::vector<const NewsItem*> added;
  for (const NewsItem& item : other.items) {
    if (present.insert(item.index).second) added.push_back(&item);
  }
  // Nothing is added when `other` is this database, so the list can grow once, safely.
  items.reserve(items.size() + added.size());
  for (const NewsItem* item : added) {
    AddNewsItem(*item);
    // Numbers handed out later must not repeat an imported one.
    lastIndex = std::max(lastIndex, item->index);
  }
  return !added.empty();
}

bool NewsDB::UpdateFile(const std::string& path, FileStamp& seen, const DatabaseChange& change,
                        const SaveWait& waiting) {
  lastErrorOffset_ = 0;
  const bool saved = UnlessOutOfMemory(
      [&] {
        FileReplacement file;
        FileContent found = FileContent::kUnchanged;
        std::error_code unread = file.Begin(path, waiting) ? std::error_code() : file.Error();
        uint64_t offset = 0;
        if (unread) {
          found = FileContent::kUnreadable;
        } else if (file.TargetStamp() != seen) {
          switch (ReadNewest(file, seen)) {
            case OpenResult::kOpened:
              found = FileContent::kReloaded;
              break;
            case OpenResult::kMissing:
              // After a failed save this database holds a change the file never got: the file's
              // content, none, is where its next change starts. Otherwise the file has gone, and
              // this database is the newest there is.
              if (seen.stale) {
                lastIndex = 0;
                items.clear();
                seen = FileStamp();
                found = FileContent::kReloaded;
              }
              break;
            case OpenResult::kFailed:  // what cannot be read must not be overwritten
              found = FileContent::kUnreadable;
              unread = lastError_;
              offset = lastErrorOffset_;
              break;
          }
        }
        const bool changed = change(*this, found);
        lastError_ = unread;  // `change` may have loaded or saved meanwhile
        lastErrorOffset_ = offset;
        if (found == FileContent::kUnreadable) return false;
        if (!changed) return true;  // the file holds this database already
        const bool written = WriteTo(file) && file.Commit();
        lastError_ = file.Error();
        if (written) seen = file.Stamp();
        return written;
      },
      &lastError_);
  if (!saved) seen.stale = true;  // the next call starts again from the file's content
  return saved;
}

bool NewsDB::UpdateFile(const DatabaseChange& change, const SaveWait& waiting) {
  if (!fileName.empty()) return UpdateFile(fileName, seen_, change, waiting);
  lastError_ = std::make_error_code(std::errc::invalid_argument);  // no file to save to
  lastErrorOffset_ = 0;
  return false;
}

bool NewsDB::ReloadIfChanged(const std::string& path, FileStamp& seen) {
  lastError_.clear();  // nothing to read is nothing to report
  lastErrorOffset_ = 0;
  return StampOf(path) != seen && ReadNewest(path, seen) == OpenResult::kOpened;
}

template <typename Where>
OpenResult NewsDB::ReadNewest(const Where& where, FileStamp& seen) {
  FileReader reader;  // closed again before a save renames over the file, as Windows wants
  const OpenResult opened = reader.Open(where);
  if (opened != OpenResult::kOpened) {
    lastError_ = reader.Error();
    lastErrorOffset_ = 0;
    return opened;
  }
  NewsDB newest;
  if (!newest.ReadFrom(reader)) {
    lastError_ = newest.LastError();
    lastErrorOffset_ = newest.LastErrorOffset();
    return OpenResult::kFailed;
  }
  lastIndex = newest.lastIndex;
  items = std::move(newest.items);
  seen = reader.Stamp();
  lastError_.clear();
  lastErrorOffset_ = 0;
  return OpenResult::kOpened;
}
