// The public headers compile in a program where a system header has made min, max, near and far
// macros, as <windows.h> does: on Windows after <windows.h> itself (without NOMINMAX), elsewhere
// after the same macros, defined once the standard headers are in, as they stand there.
#if defined(_WIN32)
#include <windows.h>
#else
#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <istream>
#include <limits>
#include <locale>
#include <memory>
#include <new>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>
#define min(a, b) ((a) < (b) ? (a) : (b))
#define max(a, b) ((a) > (b) ? (a) : (b))
#define near
#define far
#endif

#include "NewsDB.h"

// Uses what the headers define inline, so that its code is compiled too.
bool HeadersCompileUnderMacros(std::istream& in) {
  NewsDB db(in);
  std::string text;
  db.SerializeValues(text);
  return !db.DidConstructionFail() && Serializable::NothingFollows(in);
}
