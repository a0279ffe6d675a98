// Benchmarks of the operations whose cost grows with the database: load, save, merge, removal
// and the editor's listing, at 1,000, 10,000 and 100,000 messages.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void Report(benchmark::State& state, int64_t bytesPerIteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytesPerIteration);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The machine's own rate of reading the file's bytes into memory, for comparison with a load.
void BM_RawRead(benchmark::State& state) {
  const std::string path = SavedFile(state.range(0));
  const int64_t size = static_cast<int64_t>(std::filesystem::file_size(path));
  for (auto _ : state) {
    std::string bytes(static_cast<size_t>(size), '\0');
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr || std::fread(&bytes[0], 1, bytes.size(), file) != bytes.size()) {
      state.SkipWithError("read failed");
    }
    if (file != nullptr) std::fclose(file);
    benchmark::DoNotOptimize(bytes.data());
  }
  Report(state, size);
}

// The machine's own rate of writing the same bytes and flushing them to the disk, for comparison
// with a save.
void BM_RawWrite(benchmark::State& state) {
  const std::string bytes = ReadAll(SavedFile(state.range(0)));
  const std::string path = NEWS_BENCH_DIR "/raw.db";
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        fsync(fd) != 0) {
      state.SkipWithError("write failed");
    }
    if (fd >= 0) close(fd);
  }
  Report(state, static_cast<int64_t>(bytes.size()));
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

// Load and save go to the disk: their rates are of wall-clock time, like the raw rates'.
BENCHMARK(BM_RawRead)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Load)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RawWrite)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Save)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Import)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveLastByIndex)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Listing)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

namespace {

// The console report, plus the median rates of load and save at 100,000 messages beside the
// machine's raw rates from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto rate = run.counters.find("bytes_per_second");
      if (rate == run.counters.end()) continue;
      // With repetitions the median stands for the benchmark, else its single run does.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.str()] = rate->second.value;
      } else if (run.run_type == Run::RT_Iteration && medians_.count(run.run_name.str()) == 0) {
        singles_[run.run_name.str()] = rate->second.value;
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, rate] : singles_) medians_.emplace(name, rate);
    const auto show = [this](const char* what, const char* name, const char* raw) {
      if (medians_.count(name) == 0 || medians_.count(raw) == 0) return;
      std::printf("%s: %.0f MB/s, raw %.0f MB/s, %.0f%% of raw\n", what, medians_[name] / 1e6,
                  medians_[raw] / 1e6, 100 * medians_[name] / medians_[raw]);
    };
    show("load at 100,000", "BM_Load/100000/real_time", "BM_RawRead/100000/real_time");
    show("save at 100,000", "BM_Save/100000/real_time", "BM_RawWrite/100000/real_time");
  }

 private:
  std::map<std::string, double> medians_, singles_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
