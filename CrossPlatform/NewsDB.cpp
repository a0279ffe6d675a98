#include "NewsDB.h"

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

NewsItem::NewsItem(std::istream& in) { constructionOk = Deserialize(in); }

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
  return DeserializeValue(in, index) && DeserializeValue(in, title) &&
         DeserializeValue(in, text) && DeserializeValue(in, timeOfDay) &&
         DeserializeValue(in, day) && DeserializeValue(in, month) && DeserializeValue(in, year) &&
         DeserializeValue(in, read) && DeserializeValue(in, visible);
}
