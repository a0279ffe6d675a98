// What the value conversions must produce whatever the global locale: the behaviour of a string
// stream imbued with the classic locale. Shared by the conversion test and its fuzz target.
#ifndef TESTS_CLASSIC_REFERENCE_H
#define TESTS_CLASSIC_REFERENCE_H

#include <locale>
#include <sstream>
#include <string>

// Reads `text` into `target` as a classic-locale stream does; true on success.
template <typename T>
bool ClassicRead(T& target, const std::string& text) {
  std::istringstream stream(text);
  stream.imbue(std::locale::classic());
  stream >> std::dec >> target;
  return !stream.fail();
}

template <typename T>
std::string ClassicWrite(const T& value) {
  std::ostringstream stream;
  stream.imbue(std::locale::classic());
  stream << value;
  return stream.str();
}

// Numbers grouped by thousands with commas, as many user locales do; built here so that nothing
// depends on which system locales are installed.
class GroupingNumpunct : public std::numpunct<char> {
 protected:
  std::string do_grouping() const override { return "\3"; }
  char do_thousands_sep() const override { return ','; }
};

// Makes a grouping locale the global one for its lifetime.
class GroupingGlobalLocale {
 public:
  GroupingGlobalLocale()
      : previous_(std::locale::global(std::locale(std::locale::classic(), new GroupingNumpunct))) {}
  ~GroupingGlobalLocale() { std::locale::global(previous_); }
  GroupingGlobalLocale(const GroupingGlobalLocale&) = delete;
  GroupingGlobalLocale& operator=(const GroupingGlobalLocale&) = delete;

 private:
  std::locale previous_;
};

#endif  // TESTS_CLASSIC_REFERENCE_H
