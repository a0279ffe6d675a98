// Load, save and the editor measured against what the machine itself does with the same bytes,
// in one run, in interleaved rounds so that a busy moment of a shared machine falls on both:
//   raw read:    read(2) of the whole file, from the page cache, into memory the program has;
//   raw replace: what any crash-safe save must do with the bytes: write them to a temporary
//                file, flush it to the disk, rename it over the file, flush the folder.
// Loads, like the raw read, go to memory the program has: that of the load before, which the
// C library keeps. A load in a new process, which must also be handed its memory by the system
// page by page, is shown beside them. The memory a load and a save take is measured in a child
// process (load_save).
//   file_bench FOLDER [ROUNDS]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "NewsDB.h"
#include "sample_db.h"

using namespace newsdb;  // the library's own names

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The median, lowest and highest of a set of figures.
struct Spread {
  double median, low, high;
};

Spread SpreadOf(std::vector<double> figures) {
  std::sort(figures.begin(), figures.end());
  const size_t n = figures.size();
  const double median = n % 2 == 1 ? figures[n / 2] : (figures[n / 2 - 1] + figures[n / 2]) / 2;
  return {median, figures.front(), figures.back()};
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "file_bench: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

// Reads the whole file at `path` into `memory`, which already has its size and is in use, so that
// only the reading is timed, not the system's first handing out of the memory.
double RawRead(const std::string& path, std::string& memory) {
  const Clock::time_point start = Clock::now();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("raw read");
  for (size_t done = 0; done < memory.size();) {
    const ssize_t got = read(fd, &memory[done], memory.size() - done);
    if (got <= 0) Fail("raw read");
    done += static_cast<size_t>(got);
  }
  close(fd);
  return SecondsSince(start);
}

double RawReplace(const std::string& path, const std::string& bytes) {
  const std::string temporary = TemporaryPathFor(path);
  const Clock::time_point start = Clock::now();
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("raw replace");
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written <= 0) Fail("raw replace");
    done += static_cast<size_t>(written);
  }
  if (fsync(fd) != 0 || close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
    Fail("raw replace");
  }
  const int folder = open(std::filesystem::path(path).parent_path().c_str(), O_RDONLY);
  if (folder < 0 || fsync(folder) != 0) Fail("raw replace");
  close(folder);
  return SecondsSince(start);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Runs `program` with `args`, typing `input` at it through a pipe and reading all it writes
// through another; returns the seconds it took and keeps the end of its output in `tail`.
double RunThroughPipes(const std::string& program, const std::vector<std::string>& args,
                       const std::string& input, std::string& tail) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) Fail("pipe");
  const Clock::time_point start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    Fail("typing");
  }
  close(in[1]);
  tail.clear();
  std::vector<char> buffer(1 << 16);
  for (ssize_t got; (got = read(out[0], buffer.data(), buffer.size())) > 0;) {
    tail.append(buffer.data(), static_cast<size_t>(got));
    if (tail.size() > (1 << 20)) tail.erase(0, tail.size() - (1 << 16));
  }
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  const double seconds = SecondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "file_bench: %s failed\n", program.c_str());
    std::exit(1);
  }
  return seconds;
}

// What load_save reports: messages, peak bytes before the load, after it and after a save, and
// the seconds the load took.
struct Peaks {
  double messages = 0, start = 0, loaded = 0, saved = 0, seconds = 0;
};

Peaks MeasureMemory(const std::vector<std::string>& args) {
  std::string output;
  RunThroughPipes(NEWS_LOAD_SAVE_PATH, args, "", output);
  Peaks peaks;
  std::istringstream(output) >> peaks.messages >> peaks.start >> peaks.loaded >> peaks.saved >>
      peaks.seconds;
  return peaks;
}

double Megabytes(double bytes) {
  return bytes / 1e6;
}

std::string LoadAverage() {
  std::string average = ReadAll("/proc/loadavg");
  average = average.substr(0, average.find(' ', average.find(' ', average.find(' ') + 1) + 1));
  return average.empty() ? "unknown" : average;
}

void Line(const char* what, const std::vector<double>& seconds) {
  const Spread s = SpreadOf(seconds);
  std::printf("  %-28s %8.1f ms  (%.1f-%.1f)\n", what, s.median * 1e3, s.low * 1e3, s.high * 1e3);
}

// Prints how `ours` compares with `raw`, round by round: raw time over our time, in percent.
void Share(const char* what, const std::vector<double>& ours, const std::vector<double>& raw,
           const char* of, double goal) {
  std::vector<double> shares;
  for (size_t i = 0; i < ours.size(); ++i) shares.push_back(100 * raw[i] / ours[i]);
  const Spread s = SpreadOf(shares);
  const Spread time = SpreadOf(ours);
  std::printf("  %-28s %8.1f ms  (%.1f-%.1f)  %3.0f%% of %s (%.0f-%.0f%%), goal >= %.0f%%: %s\n",
              what, time.median * 1e3, time.low * 1e3, time.high * 1e3, s.median, of, s.low, s.high,
              goal, s.median >= goal ? "met" : "NOT MET");
}

// Loads and saves the database of `count` messages in interleaved rounds; returns the median
// raw read and raw replace, in seconds.
std::pair<double, double> MeasureLoadAndSave(const std::string& folder, int64_t count, int rounds) {
  const std::string path = SavedFile(folder, count);
  const std::string bytes = ReadAll(path);
  const std::string rawTarget = folder + "/raw.db", saveTarget = folder + "/saved.db";
  std::printf("%lld messages, %.1f MB, %d rounds: median (lowest-highest)\n",
              static_cast<long long>(count), Megabytes(static_cast<double>(bytes.size())), rounds);
  std::string memory = bytes;              // where the raw reads go
  std::make_unique<NewsDB>(path).reset();  // the memory the loads go to
  std::vector<double> rawRead, loadPath, loadStream, rawReplace, save;
  for (int round = 0; round < rounds; ++round) {
    // Half the rounds measure the raw figures first, half last.
    const bool rawFirst = round % 2 == 0;
    if (rawFirst) rawRead.push_back(RawRead(path, memory));
    Clock::time_point start = Clock::now();
    auto db = std::make_unique<NewsDB>(path);
    loadPath.push_back(SecondsSince(start));
    if (db->DidConstructionFail() || static_cast<int64_t>(db->CountAll()) != count) {
      Fail("load");
    }
    db.reset();  // outside the time: the editor never frees its database
    start = Clock::now();
    {
      FileReader reader;
      if (reader.Open(path) != OpenResult::kOpened) Fail("open");
      std::istream in(&reader);
      db = std::make_unique<NewsDB>(in);
    }
    loadStream.push_back(SecondsSince(start));
    if (db->DidConstructionFail()) Fail("load");
    if (!rawFirst) rawRead.push_back(RawRead(path, memory));

    if (rawFirst) rawReplace.push_back(RawReplace(rawTarget, bytes));
    start = Clock::now();
    if (!db->SerializeFile(saveTarget)) Fail("save");
    save.push_back(SecondsSince(start));
    if (!rawFirst) rawReplace.push_back(RawReplace(rawTarget, bytes));
    db.reset();
  }
  if (ReadAll(saveTarget) != bytes) Fail("saved text differs");
  Line("raw read", rawRead);
  Share("load, NewsDB(path)", loadPath, rawRead, "raw read", 15);
  Share("load, the editor's stream", loadStream, rawRead, "raw read", 15);
  Line("raw replace", rawReplace);
  Share("save, SerializeFile", save, rawReplace, "raw replace", 80);
  std::filesystem::remove(rawTarget);
  std::filesystem::remove(saveTarget);
  return {SpreadOf(rawRead).median, SpreadOf(rawReplace).median};
}

// Peak memory of loading `path`, and of loading and saving it; with `rawRead`, the time of a
// load in a new process beside it.
void MeasurePeaks(const std::string& folder, const std::string& path, double rawRead = 0) {
  const double size = static_cast<double>(std::filesystem::file_size(path));
  const Peaks loaded = MeasureMemory({path});
  const Peaks saved = MeasureMemory({path, folder + "/copy.db"});
  std::filesystem::remove(folder + "/copy.db");
  const double limit = 2 * size + 16e6;
  if (rawRead > 0) {
    std::printf("  load in a new process, its memory new to it: %.1f ms, %.0f%% of raw read\n",
                loaded.seconds * 1e3, 100 * rawRead / loaded.seconds);
    const double each = (loaded.loaded - loaded.start) / loaded.messages;
    std::printf(
        "  memory of the loaded database: %.0f bytes per message (the file has %.0f), "
        "goal <= 400: %s\n",
        each, size / loaded.messages, each <= 400 ? "met" : "NOT MET");
  }
  std::printf("  peak of load and save: %.1f MB, goal <= 2 x file + 16 MB = %.1f MB: %s\n",
              Megabytes(saved.saved), Megabytes(limit), saved.saved <= limit ? "met" : "NOT MET");
}

// The editor started on a copy of the 1,000,000-message file, adding a message and deleting it
// again, each a whole run through pipes: start, listing, change, save, listing, quit.
void MeasureEditor(const std::string& folder, int64_t count, int rounds, double raw) {
  const std::string path = folder + "/editor.db";
  std::filesystem::copy_file(SavedFile(folder, count), path,
                             std::filesystem::copy_options::overwrite_existing);
  std::printf(
      "the editor on the %lld-message file, through pipes (start, listing, change, save, "
      "listing, quit):\n",
      static_cast<long long>(count));
  std::vector<double> adds, deletes;
  std::string tail;
  for (int round = 0; round < rounds; ++round) {
    adds.push_back(RunThroughPipes(NEWS_EDITOR_PATH, {path}, "a\nBench\nOne line.\n\nq\n", tail));
    const std::string marker = "  Message Bench ";
    const size_t at = tail.rfind(marker);
    if (at == std::string::npos) Fail("add");
    const size_t from = at + marker.size();
    const std::string number = tail.substr(from, tail.find(' ', from) - from);
    deletes.push_back(RunThroughPipes(NEWS_EDITOR_PATH, {path}, "d\n" + number + "\nq\n", tail));
  }
  if (static_cast<int64_t>(NewsDB(path).CountAll()) != count) Fail("the adds and deletes");
  const auto show = [raw](const char* what, const std::vector<double>& seconds) {
    const Spread s = SpreadOf(seconds);
    std::printf(
        "  %-6s %.2f s (%.2f-%.2f): %.1f times raw read + raw replace (%.2f s), "
        "goal <= 4: %s\n",
        what, s.median, s.low, s.high, s.median / raw, raw,
        s.median <= 4 * raw ? "met" : "NOT MET");
  };
  show("add", adds);
  show("delete", deletes);
  std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::printf("Usage: file_bench FOLDER [ROUNDS]\n");
    return 2;
  }
  const std::string folder = argv[1];
  const int rounds = argc == 3 ? std::max(1, std::atoi(argv[2])) : 5;
  std::signal(SIGPIPE, SIG_IGN);
  std::printf("%u processors, load average %s at the start\n", std::thread::hardware_concurrency(),
              LoadAverage().c_str());
  const auto small = MeasureLoadAndSave(folder, 100000, rounds);
  MeasurePeaks(folder, SavedFile(folder, 100000), small.first);
  const auto large = MeasureLoadAndSave(folder, 1000000, rounds);
  MeasurePeaks(folder, SavedFile(folder, 1000000), large.first);
  std::printf("one message of 200 MB:\n");
  MeasurePeaks(folder, OneMessageFile(folder, 200000000));
  MeasureEditor(folder, 1000000, std::max(1, rounds / 2), large.first + large.second);
  std::printf("load average %s at the end\n", LoadAverage().c_str());
  return 0;
}
