// A shared library with the news database library linked into it, as a plugin of another program
// would have: it links only if that library was built position-independent.
#include <cstdint>
#include <string>

#include "NewsDB.h"

// Saves a database of one message to `path` and loads it back; the number of messages loaded, or
// -1 if the save or the load failed.
int NewsPluginRoundTrip(const std::string& path) {
  NewsDB saved;
  saved.AddNewsItem(NewsItem(static_cast<int32_t>(saved.GetUnusedIndex()), "Plugin", "Loaded", 600,
                             8, 12, 2026, false, true));
  if (!saved.SerializeFile(path)) return -1;
  NewsDB loaded(path);
  return loaded.DidConstructionFail() ? -1 : static_cast<int>(loaded.CountAll());
}
