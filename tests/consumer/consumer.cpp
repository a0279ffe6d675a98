// Saves a database with two messages to the file named by its argument, loads it back and checks
// that everything came back: what a program using the library does first.
#include <iostream>
#include <string>

#include "NewsDB.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: newsdb-consumer FILE\n";
    return 2;
  }
  const std::string path = argv[1];

  NewsDB saved;
  saved.AddNewsItem(NewsItem(static_cast<int32_t>(saved.GetUnusedIndex()), "Lunch",
                             "Pizza in the \"kitchen\"\nat noon.", 12 * 60, 6, 12, 2026, false,
                             true));
  saved.AddNewsItem(NewsItem(static_cast<int32_t>(saved.GetUnusedIndex()), "Hidden", "C:\\path",
                             545, 7, 12, 2026, true, false));
  if (!saved.SerializeFile(path)) {
    std::cerr << "newsdb-consumer: cannot save " << path << "\n";
    return 1;
  }

  NewsDB loaded(path);
  if (loaded.DidConstructionFail()) {
    std::cerr << "newsdb-consumer: cannot load " << path << "\n";
    return 1;
  }
  bool same = loaded.lastIndex == saved.lastIndex && loaded.CountAll() == saved.CountAll();
  for (uint64_t i = 0; same && i < saved.CountAll(); ++i) {
    const NewsItem& a = saved.GetNewsItemAll(i);
    const NewsItem& b = loaded.GetNewsItemAll(i);
    same = a.index == b.index && a.title == b.title && a.text == b.text &&
           a.timeOfDay == b.timeOfDay && a.day == b.day && a.month == b.month && a.year == b.year &&
           a.read == b.read && a.visible == b.visible;
  }
  if (!same) {
    std::cerr << "newsdb-consumer: " << path << " did not load as it was saved\n";
    return 1;
  }
  std::cout << "newsdb-consumer: saved and loaded " << loaded.CountAll() << " messages ("
            << loaded.Count() << " visible) in " << path << "\n";
  return 0;
}
