#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "Serializable.h"
#include "classic_reference.h"

namespace {

// Numbers at and around every type's limits and far beyond, and what may stand around them.
std::vector<std::string> Numbers() {
  std::vector<std::string> numbers = {"", "0", "1", "5", "10", "007"};
  for (const char* stem : {"214748364", "429496729", "922337203685477580", "1844674407370955161",
                           "9999999999999999999"}) {
    for (char last = '4'; last <= '9'; ++last) numbers.push_back(stem + std::string(1, last));
  }
  return numbers;
}
const std::vector<std::string> kNumbers = Numbers();
const std::vector<std::string> kPrefixes = {
    "",   "-",  "+",  " ",  "\t\n\v\f\r-",           "+-",  "-+",
    "--", "- ", "0x", "-0", "000000000000000000000", "\xa0"};
const std::vector<std::string> kSuffixes = {"", " ", "x", ",000", ".5", "e3", "\n", "0", "-1"};

// Fails where reading `text` as a T disagrees with the reference, the first few times.
template <typename T>
void CompareRead(const std::string& text, const char* type, int& mismatches) {
  T expected{}, actual{};
  const bool expectedOk = ClassicRead(expected, text),
             actualOk = FromString(actual, text, std::dec);
  if ((actualOk == expectedOk && (!actualOk || actual == expected)) || ++mismatches > 8) return;
  ADD_FAILURE() << testing::PrintToString(text) << " as " << type << ": "
                << (actualOk ? ClassicWrite(actual) : "failure") << ", should be "
                << (expectedOk ? ClassicWrite(expected) : "failure");
}

// Expects `value` written as the reference writes it, alone and as a value of a record.
template <typename T>
void CompareWrite(T value) {
  std::string record;
  Serializable::AddSerialization(record, value);
  EXPECT_EQ(ToString(value) + record, ClassicWrite(value) + " \"" + ClassicWrite(value) + "\"");
}

}  // namespace

TEST(ValueText, ConversionsMatchTheClassicLocaleUnderAGroupingGlobalLocale) {
  GroupingGlobalLocale grouping;
  std::ostringstream plain;  // a stream made now groups, the reference does not
  plain << 1234;
  EXPECT_EQ(plain.str() + " " + ClassicWrite(1234), "1,234 1234");
  int mismatches = 0;
  for (const std::string& prefix : kPrefixes) {
    for (const std::string& number : kNumbers) {
      for (const std::string& suffix : kSuffixes) {
        const std::string text = prefix + number + suffix;
        CompareRead<uint32_t>(text, "uint32_t", mismatches);
        CompareRead<int32_t>(text, "int32_t", mismatches);
        CompareRead<uint64_t>(text, "uint64_t", mismatches);
        CompareRead<bool>(text, "bool", mismatches);
      }
    }
  }
  for (uint64_t number : {0x0ull, 0x7fffffffull, 0x80000000ull, 0xffffffffull, ~0x0ull}) {
    CompareWrite(number);  // and cut to each narrower type
    CompareWrite(static_cast<uint32_t>(number));
    CompareWrite(static_cast<int32_t>(static_cast<uint32_t>(number)));
    CompareWrite((number & 1) != 0);
  }
}
