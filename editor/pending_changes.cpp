#include "pending_changes.h"

#include <utility>

void PendingChanges::Add(const std::string& title, const std::string& text,
                         const std::tm& written) {
  Change change{Change::Kind::kAdd, title, text, written};
  changes_.push_back(std::move(change));
}

void PendingChanges::Delete(std::optional<uint32_t> shown) {
  Change change{Change::Kind::kDelete, {}, {}, std::tm{}};
  change.names = shown.has_value();
  change.number = shown.value_or(0);
  // The number of a message no save has written yet follows that message; the latest add that
  // was shown with it, should an older one have held it before it was made again.
  for (size_t i = 0; change.names && i < changes_.size(); ++i) {
    if (changes_[i].kind == Change::Kind::kAdd && changes_[i].number == change.number) {
      change.follows = i;
    }
  }
  changes_.push_back(std::move(change));
}

void PendingChanges::ApplyRest(NewsDB& db) {
  for (; applied_ < changes_.size(); ++applied_) Make(changes_[applied_], db);
}

void PendingChanges::ApplyAll(NewsDB& db) {
  applied_ = 0;
  ApplyRest(db);
}

void PendingChanges::Clear() {
  changes_.clear();
  applied_ = 0;
}

void PendingChanges::Make(Change& change, NewsDB& db) {
  if (change.kind == Change::Kind::kAdd) {
    change.number = db.GetUnusedIndex();
    const std::tm& written = change.written;
    db.AddNewsItem(NewsItem(static_cast<int32_t>(change.number), change.title, change.text,
                            static_cast<uint32_t>(written.tm_hour * 60 + written.tm_min),
                            static_cast<uint32_t>(written.tm_mday),
                            static_cast<uint32_t>(written.tm_mon + 1), written.tm_year + 1900,
                            false, true));
  } else if (change.names) {
    db.RemoveNewsItemWithIndex(change.follows == kNone ? change.number
                                                       : changes_[change.follows].number);
  }
}
