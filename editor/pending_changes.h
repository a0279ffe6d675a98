// The changes the editor made in memory that no save has written yet, kept as data so that a
// failed save can make them again on whatever content the file has by the next one.
#ifndef EDITOR_PENDING_CHANGES_H
#define EDITOR_PENDING_CHANGES_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "NewsDB.h"

// Unsaved adds and deletes, in the order they were made. Made again on newer content, an add may
// get another number; a delete of the number its message was shown with follows it there.
class PendingChanges {
 public:
  // Adds a new, unread and visible message written at `written`, under a number no message has.
  void Add(const std::string& title, const std::string& text, const std::tm& written);
  // Deletes the message numbered `shown` as listed; std::nullopt names none and deletes nothing.
  void Delete(std::optional<uint32_t> shown);
  // Makes on `db` the changes it does not hold yet: those after the last that was made whole.
  void ApplyRest(NewsDB& db);
  // Makes every change on `db`, which holds content read anew without any of them.
  void ApplyAll(NewsDB& db);
  // Forgets every change, once a save has written them.
  void Clear();
  // Whether no change waits for a save.
  bool Empty() const { return changes_.empty(); }

 private:
  struct Change {
    enum class Kind { kAdd, kDelete } kind;  // what the change does
    std::string title, text;                 // an add's message
    std::tm written;                         // when an add's message was written
    // An add's number where it was last made; a delete's number, where `follows` is kNone.
    uint32_t number = 0;
    bool names = true;       // a delete names a message at all
    size_t follows = kNone;  // a delete's add, whose number it takes
  };
  static constexpr size_t kNone = static_cast<size_t>(-1);  // a delete follows no add

  // Makes `change` on `db`; an add keeps the number it got there.
  void Make(Change& change, NewsDB& db);

  std::vector<Change> changes_;
  // How many of the changes the database in memory holds: all but those a save that ran out of
  // memory did not get to make.
  size_t applied_ = 0;
};

#endif  // EDITOR_PENDING_CHANGES_H
