#include <gtest/gtest.h>

#include <cstdint>
#include <random>
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
const std::string kOddBytes = "+-+- \t\n\v\f\r,.,.aexX\xa0\x85";

// Counts disagreements with the reference and keeps the first few to show.
struct Mismatches {
  size_t cases = 0;
  size_t count = 0;
  std::string shown;
  void Add(const std::string& what) {
    if (count++ < 8) shown += what + "\n";
  }
};

// A number of any magnitude up to the largest uint64_t.
uint64_t RandomNumber(std::mt19937& random) {
  uint64_t bits = random();
  bits = (bits << 32) | random();  // two statements: the order of the draws is fixed
  return bits >> (random() % 64);
}

// Up to four pieces: digit runs, single bytes a number may or may not hold, and numbers.
std::string RandomText(std::mt19937& random) {
  std::string text;
  for (unsigned pieces = random() % 5; pieces > 0; --pieces) {
    const unsigned kind = random() % 4;
    for (unsigned n = 1 + random() % 24; kind == 0 && n > 0; --n) text += char('0' + random() % 10);
    if (kind == 1) text += kOddBytes[random() % kOddBytes.size()];
    if (kind == 2) text += kNumbers[random() % kNumbers.size()];
    if (kind == 3 && random() % 2 == 0) text += '-';
    if (kind == 3) text += ClassicWrite(RandomNumber(random));
  }
  return text;
}

template <typename T>
void CompareRead(const std::string& text, const char* type, Mismatches& mismatches) {
  T expected{};
  T actual{};
  const bool expectedOk = ClassicRead(expected, text);
  const bool actualOk = FromString(actual, text, std::dec);
  ++mismatches.cases;
  if (actualOk == expectedOk && (!actualOk || actual == expected)) return;
  mismatches.Add(testing::PrintToString(text) + " as " + type + ": " +
                 (actualOk ? ClassicWrite(actual) : "failure") + ", should be " +
                 (expectedOk ? ClassicWrite(expected) : "failure"));
}

void CompareReads(const std::string& text, Mismatches& mismatches) {
  CompareRead<uint32_t>(text, "uint32_t", mismatches);
  CompareRead<int32_t>(text, "int32_t", mismatches);
  CompareRead<uint64_t>(text, "uint64_t", mismatches);
  CompareRead<bool>(text, "bool", mismatches);
}

template <typename T>
void CompareWrite(T value, Mismatches& mismatches) {
  ++mismatches.cases;
  const std::string expected = ClassicWrite(value);
  std::string record;
  Serializable::AddSerialization(record, value);  // as a value of a record: a blank, then quoted
  if (ToString(value) != expected || record != " \"" + expected + "\"") {
    mismatches.Add(expected + " written as " + ToString(value) + " and as" + record);
  }
}

// Writes `number` as each type, cut to its width.
void CompareWrites(uint64_t number, Mismatches& mismatches) {
  CompareWrite(number, mismatches);
  CompareWrite(static_cast<uint32_t>(number), mismatches);
  CompareWrite(static_cast<int32_t>(static_cast<uint32_t>(number)), mismatches);
  CompareWrite((number & 1) != 0, mismatches);
}

}  // namespace

TEST(ValueText, ConversionsMatchTheClassicLocaleUnderAGroupingGlobalLocale) {
  Mismatches reads;
  Mismatches writes;
  {
    GroupingGlobalLocale grouping;
    std::ostringstream plain;  // a stream made now groups, the reference does not
    plain << 1234;
    EXPECT_EQ(plain.str() + " " + ClassicWrite(1234), "1,234 1234");
    for (const std::string& prefix : kPrefixes) {
      for (const std::string& number : kNumbers) {
        for (const std::string& suffix : kSuffixes) CompareReads(prefix + number + suffix, reads);
      }
    }
    std::mt19937 random(1234567);
    for (int i = 0; i < 200000; ++i) CompareReads(RandomText(random), reads);
    for (uint64_t limit : {0x0ull, 0x7fffffffull, 0x80000000ull, 0xffffffffull, ~0x0ull}) {
      CompareWrites(limit, writes);
    }
    for (int i = 0; i < 50000; ++i) CompareWrites(RandomNumber(random), writes);
  }
  EXPECT_EQ(reads.count, 0u) << "of " << reads.cases << " reads, first:\n" << reads.shown;
  EXPECT_EQ(writes.count, 0u) << "of " << writes.cases << " writes, first:\n" << writes.shown;
}
