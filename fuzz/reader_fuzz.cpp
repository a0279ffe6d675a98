// Fuzz target for the record reader: any bytes, read as a database and as a single message.
// Whatever loads must save to a text that loads again and saves to the very same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "NewsDB.h"

namespace {

std::string Text(const Serializable& record) {
  std::ostringstream out;
  record.Serialize(out);
  return out.str();
}

// Aborts unless `first`, loaded from `input`, saves to a text that reloads to the same text.
template <typename Record>
void CheckRoundTrip(const std::string& input) {
  std::istringstream in(input);
  Record first(in);
  if (first.DidConstructionFail()) return;
  const std::string saved = Text(first);
  std::istringstream again(saved);
  Record second(again);
  if (second.DidConstructionFail() || Text(second) != saved) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckRoundTrip<NewsDB>(input);
  CheckRoundTrip<NewsItem>(input);
  return 0;
}
