// Fuzz target for the value conversions: any bytes must read as a classic-locale stream reads
// them, and a number made of the first bytes must be written as such a stream writes it, even
// with a global locale that groups thousands. Run with -dict=fuzz/conversion.dict: the limits
// are too long for the fuzzer to stumble on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Serializable.h"
#include "classic_reference.h"

namespace {

template <typename T>
void CheckRead(const std::string& text) {
  T expected{};
  T actual{};
  const bool expectedOk = ClassicRead(expected, text);
  if (FromString(actual, text, std::dec) != expectedOk || (expectedOk && actual != expected)) {
    std::abort();
  }
}

template <typename T>
void CheckWrite(T value) {
  if (ToString(value) != ClassicWrite(value)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static GroupingGlobalLocale grouping;  // for the whole run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckRead<uint32_t>(text);
  CheckRead<int32_t>(text);
  CheckRead<uint64_t>(text);
  CheckRead<bool>(text);
  uint64_t number = 0;
  if (size > 0) std::memcpy(&number, data, size < sizeof number ? size : sizeof number);
  CheckWrite(number);
  CheckWrite(static_cast<uint32_t>(number));
  CheckWrite(static_cast<int32_t>(static_cast<uint32_t>(number)));
  CheckWrite((number & 1) != 0);
  return 0;
}
