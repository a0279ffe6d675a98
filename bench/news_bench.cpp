// Benchmarks of the operations whose cost grows with the database: load, save, merge, removal
// and the editor's listing, at 1,000, 10,000 and 100,000 messages.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>

#include "NewsDB.h"

void showDB(NewsDB* db);  // the editor's listing

namespace {

// A database of `count` messages numbered from `first`: titles of about 40 bytes, texts of
// about 200 bytes in four lines with a few quotes, one message in ten invisible.
NewsDB Generate(int64_t count, uint32_t first = 1) {
  NewsDB db;
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

// The path of a saved database of `count` messages, written on first use.
std::string SavedFile(int64_t count) {
  const std::string path = NEWS_BENCH_DIR "/news-" + std::to_string(count) + ".db";
  if (!std::filesystem::exists(path)) Generate(count).SerializeFile(path);
  return path;
}

void Report(benchmark::State& state, int64_t bytesPerIteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytesPerIteration);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Load(benchmark::State& state) {
  const std::string path = SavedFile(state.range(0));
  for (auto _ : state) {
    NewsDB db(path);
    if (db.DidConstructionFail()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(db.items.data());
  }
  Report(state, static_cast<int64_t>(std::filesystem::file_size(path)));
}

void BM_Save(benchmark::State& state) {
  const NewsDB db = Generate(state.range(0));
  const std::string path = NEWS_BENCH_DIR "/saved.db";
  for (auto _ : state) {
    if (!db.SerializeFile(path)) state.SkipWithError("save failed");
  }
  Report(state, static_cast<int64_t>(std::filesystem::file_size(path)));
}

// Merges a database of the same size whose second half of numbers is new.
void BM_Import(benchmark::State& state) {
  const NewsDB base = Generate(state.range(0));
  const NewsDB other = Generate(state.range(0), static_cast<uint32_t>(state.range(0) / 2 + 1));
  NewsDB db;
  for (auto _ : state) {
    state.PauseTiming();
    db = base;
    state.ResumeTiming();
    benchmark::DoNotOptimize(db.Import(other));
  }
  Report(state, 0);
}

// Removes the last message by its number, then puts it back (a constant-time append).
void BM_RemoveLastByIndex(benchmark::State& state) {
  NewsDB db = Generate(state.range(0));
  const NewsItem last = db.items.back();
  for (auto _ : state) {
    db.RemoveNewsItemWithIndex(last.index);
    db.items.push_back(last);
  }
  Report(state, 0);
}

// Counts what is written and drops it.
class DiscardingBuffer : public std::streambuf {
 public:
  int64_t written = 0;

 protected:
  int overflow(int c) override {
    ++written;
    return c;
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    written += n;
    return n;
  }
};

void BM_Listing(benchmark::State& state) {
  NewsDB db = Generate(state.range(0));
  DiscardingBuffer discard;
  std::streambuf* const console = std::cout.rdbuf(&discard);
  for (auto _ : state) showDB(&db);
  std::cout.rdbuf(console);
  Report(state, discard.written / static_cast<int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_Load)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Save)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Import)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveLastByIndex)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Listing)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
