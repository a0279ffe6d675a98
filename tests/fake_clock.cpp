// A stand-in for the C library's clock, preloaded into the editor by its tests: the time is
// NEWS_FAKE_TIME (seconds since 1970), as the C library would give it. Through the time() of a
// 32-bit time_t that is -1 after 2038; through the 64-bit one of a 32-bit system (__time64, which
// code built for 64-bit time calls) it is exact.
#include <cstdint>
#include <cstdlib>

namespace {

int64_t FakeNow() {
  const char* const now = std::getenv("NEWS_FAKE_TIME");
  return now == nullptr ? 0 : std::strtoll(now, nullptr, 10);
}

}  // namespace

// Named by assembler labels, so that no declaration of the C library's gets in the way; time_t
// is a long there.
extern "C" long FakeTime(long* out) __asm__("time");
extern "C" int64_t FakeTime64(int64_t* out) __asm__("__time64");

long FakeTime(long* out) {
  const int64_t now = FakeNow();
  const long result = now == static_cast<long>(now) ? static_cast<long>(now) : -1;
  if (out != nullptr) *out = result;
  return result;
}

int64_t FakeTime64(int64_t* out) {
  const int64_t now = FakeNow();
  if (out != nullptr) *out = now;
  return now;
}
