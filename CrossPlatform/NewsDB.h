// NewsItem, one news message, and NewsDB, the database that holds them; both are records.
//
// A message is one record of nine values, in field order:
//   <"3" "Hello" "Room changed" "545" "5" "12" "2026" "0" "1">
// A database is one record of its counter and its list of messages:
//   <"4" "2" <"1" ...> <"4" ...>>
#ifndef CROSSPLATFORM_NEWSDB_H
#define CROSSPLATFORM_NEWSDB_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "Serializable.h"

class NewsItem : public Serializable {
 public:
  // Sets all nine fields; `index` is stored as unsigned.
  NewsItem(int32_t index, const std::string& title, const std::string& text, uint32_t timeOfDay,
           uint32_t day, uint32_t month, int32_t year, bool read, bool visible);
  // Reads a message from `in`; ask DidConstructionFail() right after.
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

#endif  // CROSSPLATFORM_NEWSDB_H
