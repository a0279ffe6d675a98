// Loads a database file and, if a second name is given, saves it under that name; then prints
// the number of messages, the process's peak memory before the load, after it and after the
// save, in bytes, and the seconds the load took. The benchmark runs it to measure the memory a
// load and a save take, and a load in a new process.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "NewsDB.h"

namespace {

// The peak resident memory of this program so far (Linux). Unlike getrusage's figure, it counts
// nothing of the process that started this program.
long long PeakBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 7, "VmHWM:\t") == 0) return std::stoll(line.substr(7)) * 1024;  // in kB
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::printf("Usage: load_save from.db [to.db]\n");
    return 2;
  }
  const long long start = PeakBytes();
  const auto begin = std::chrono::steady_clock::now();
  NewsDB db{std::string(argv[1])};
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - begin;
  if (db.DidConstructionFail()) return 1;
  const long long loaded = PeakBytes();
  if (argc == 3 && !db.SerializeFile(argv[2])) return 1;
  std::printf("%llu %lld %lld %lld %.6f\n", static_cast<unsigned long long>(db.CountAll()), start,
              loaded, PeakBytes(), seconds.count());
  return 0;
}
