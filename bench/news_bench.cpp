// Benchmarks of the operations whose cost grows with the database: load, save, merge, removal
// and the editor's listing, at 1,000, 10,000 and 100,000 messages. How load and save compare
// with the machine's own reading and writing is file_bench's part.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "NewsDB.h"
#include "sample_db.h"

void showDB(NewsDB* db);  // the editor's listing

namespace {

void Report(benchmark::State& state, int64_t bytesPerIteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytesPerIteration);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Load(benchmark::State& state) {
  const std::string path = SavedFile(NEWS_BENCH_DIR, state.range(0));
  for (auto _ : state) {
    auto db = std::make_unique<NewsDB>(path);
    if (db->DidConstructionFail()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(db->items.data());
    state.PauseTiming();
    db.reset();  // outside the time: the editor never frees its database
    state.ResumeTiming();
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

// Load and save go to the disk: their rates are of wall-clock time.
BENCHMARK(BM_Load)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Save)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Import)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveLastByIndex)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Listing)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
