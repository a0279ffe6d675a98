// The databases the benchmarks work on, made the same way on every machine.
#ifndef BENCH_SAMPLE_DB_H
#define BENCH_SAMPLE_DB_H

#include <cstdint>
#include <filesystem>
#include <string>

#include "NewsDB.h"

// A database of `count` messages numbered from `first`: titles of 40 bytes, texts of about 200
// bytes in four lines with a few quotes, one message in ten invisible.
inline NewsDB Generate(int64_t count, uint32_t first = 1) {
  NewsDB db;
  db.items.reserve(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    const uint32_t index = first + static_cast<uint32_t>(i);
    const std::string number = std::to_string(index);
    std::string title = "Weekly notice number " + number + " for all staff";
    title.resize(40, '.');
    const std::string text = "The meeting about item " + number +
                             " moves to room 4 this week.\nPlease bring the \"blue\" folder and "
                             "your notes.\nCoffee is served from nine.\nQuestions go to the "
                             "office, as \"usual\", by Friday noon.";
    db.items.emplace_back(static_cast<int32_t>(index), title, text, static_cast<uint32_t>(i % 1440),
                          static_cast<uint32_t>(1 + i % 28), static_cast<uint32_t>(1 + i % 12),
                          2026, i % 3 == 0, i % 10 != 0);
  }
  db.lastIndex = first + static_cast<uint32_t>(count) - 1;
  return db;
}

// The path of a saved database of `count` messages in `folder`, written on first use.
inline std::string SavedFile(const std::string& folder, int64_t count) {
  const std::string path = folder + "/news-" + std::to_string(count) + ".db";
  if (!std::filesystem::exists(path)) Generate(count).SerializeFile(path);
  return path;
}

// The path of a saved database in `folder` holding one message whose text has `bytes` bytes in
// lines of 100 with a quote in each, written on first use.
inline std::string OneMessageFile(const std::string& folder, size_t bytes) {
  const std::string path = folder + "/one-message-" + std::to_string(bytes / 1000000) + "MB.db";
  if (std::filesystem::exists(path)) return path;
  std::string text(bytes, 'x');
  for (size_t at = 99; at < bytes; at += 100) text[at] = '\n';
  for (size_t at = 50; at < bytes; at += 100) text[at] = '"';
  NewsDB db;
  db.items.emplace_back(1, "Long", text, 545, 5, 12, 2026, false, true);
  db.lastIndex = 1;
  text = std::string();
  db.SerializeFile(path);
  return path;
}

#endif  // BENCH_SAMPLE_DB_H
