// Serializable: the base of every stored record, and the record text it reads and writes.
//
// Record text
//   record  = "<" [ item *( " " item ) ] ">"
//   item    = value / record
//   value   = DQUOTE *( escaped / byte ) DQUOTE
//   escaped = "\" ( DQUOTE / "\" )     ; written only for these two bytes
// A value holds the text of one field (see ToString). Every other byte, line breaks, tabs, zero
// bytes and bytes above 127 included, stands in a value as it is. A list of records is a value
// holding the element count followed by each element as a nested record. Nothing is written
// outside values but the markers and single blanks, so a record without line breaks in its
// values is one line with no line break at its end.
//
// The reader does not parse this structure: for each value asked for it skips every byte up to
// and including the next double quote, then takes bytes up to the next unescaped double quote,
// a backslash making the byte after it literal. Which value belongs to which record follows
// only from the number and order of values each record type reads. A number or boolean value
// longer than 64 bytes fails as soon as that is seen, without the rest of it being read.
#ifndef CROSSPLATFORM_SERIALIZABLE_H
#define CROSSPLATFORM_SERIALIZABLE_H

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <istream>
#include <limits>
#include <locale>
#include <new>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "FileAccess.h"

namespace newsdb {

// True for the five value types a record may hold.
template <typename T>
inline constexpr bool IsRecordValueType =
    std::is_same_v<T, std::string> || std::is_same_v<T, uint32_t> || std::is_same_v<T, int32_t> ||
    std::is_same_v<T, uint64_t> || std::is_same_v<T, bool>;

}  // namespace newsdb

// Returns the text of `value`: a string unchanged, a number in plain decimal (a leading "-" only
// when negative), a boolean as "1" or "0". No locale setting changes it.
template <typename T>
inline std::string ToString(const T& value) {
  static_assert(newsdb::IsRecordValueType<T>, "not a record value type");
  if constexpr (std::is_same_v<T, std::string>) {
    return value;
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "1" : "0";
  } else {
    char digits[24];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
  }
}

namespace newsdb {

// Reads a decimal integer from [at, end) as a stream does under the classic locale, whatever
// locale is set: white space skipped, an optional sign, digits up to the first byte that is not
// one. False when there is no digit or the magnitude exceeds the limit for its sign.
inline bool ReadDecimal(const char* at, const char* end, bool& negative, uint64_t& magnitude,
                        uint64_t positiveLimit, uint64_t negativeLimit) {
  while (at != end && (*at == ' ' || (*at >= '\t' && *at <= '\r'))) ++at;
  if (at == end) return false;
  negative = *at == '-';
  if (negative || *at == '+') ++at;
  const char* const first = at;
  while (at != end && *at == '0') ++at;  // leading zeros add nothing
  // Nineteen digits always fit in 64 bits; a twentieth is checked; with more, the number is too
  // large whatever they are.
  const char* const safe = end - at > 19 ? at + 19 : end;
  uint64_t value = 0;
  for (; at != safe && static_cast<unsigned char>(*at - '0') <= 9; ++at) {
    value = value * 10 + static_cast<unsigned char>(*at - '0');
  }
  bool overflow = false;
  if (at != end && static_cast<unsigned char>(*at - '0') <= 9) {
    const unsigned digit = static_cast<unsigned char>(*at++ - '0');
    overflow = value > (UINT64_MAX - digit) / 10 ||
               (at != end && static_cast<unsigned char>(*at - '0') <= 9);
    value = value * 10 + digit;
  }
  magnitude = value;
  return at != first && !overflow && value <= (negative ? negativeLimit : positiveLimit);
}

// Reads the `size` bytes at `text` as a decimal number or boolean, by the rules of FromString
// below with std::dec. Returns true on success; `target` is unspecified after a failure.
template <typename T>
bool DecimalFromChars(T& target, const char* text, size_t size) {
  bool negative = false;
  uint64_t magnitude = 0;
  const char* const end = text + size;
  if constexpr (std::is_same_v<T, bool>) {
    if (!ReadDecimal(text, end, negative, magnitude, INT64_MAX, uint64_t{1} << 63)) return false;
    if (magnitude > 1 || (negative && magnitude == 1)) return false;
    target = magnitude == 1;
  } else if constexpr (std::is_signed_v<T>) {
    const uint64_t most = static_cast<uint64_t>((std::numeric_limits<T>::max)());
    if (!ReadDecimal(text, end, negative, magnitude, most, most + 1)) return false;
    target =
        negative ? static_cast<T>(-static_cast<int64_t>(magnitude)) : static_cast<T>(magnitude);
  } else {
    const uint64_t most = (std::numeric_limits<T>::max)();
    if (!ReadDecimal(text, end, negative, magnitude, most, most)) return false;
    target = static_cast<T>(negative ? 0 - magnitude : magnitude);
  }
  return true;
}

}  // namespace newsdb

// Reads `text` as a T after applying `manipulator`, by a stream's extraction rules under the
// classic locale: leading white space skipped, an optional sign (a minus before an unsigned number
// gives its wrapped value, as the stream does), reading stops at the first byte that cannot belong
// to the number, out-of-range numbers fail, a boolean is 0 or 1. Returns true on success; `target`
// is unspecified after a failed number. A string is copied unchanged and always succeeds.
template <typename T>
inline bool FromString(T& target, const std::string& text,
                       std::ios_base& (*manipulator)(std::ios_base&)) {
  static_assert(newsdb::IsRecordValueType<T>, "not a record value type");
  if constexpr (std::is_same_v<T, std::string>) {
    target = text;
    return true;
  } else {
    if (manipulator != std::dec) {  // other bases are rare enough to take the slow road
      std::istringstream stream(text, std::ios_base::in);
      stream.imbue(std::locale::classic());
      stream >> manipulator >> target;
      return !stream.fail();
    }
    return newsdb::DecimalFromChars(target, text.data(), text.size());
  }
}

class Serializable {
 public:
  // A new record counts as constructed; readers overwrite the flag with their result.
  Serializable() : constructionOk(true) {}

  // Appends this record's values, in its fixed order, to `out`.
  virtual void SerializeValues(std::string& out) const = 0;
  // Reads this record's values in the same order; false at the first that cannot be read, with
  // the fields read before it keeping their new values.
  virtual bool DeserializeValues(std::istream& in) = 0;

  static std::string BeginSerialization() { return "<"; }
  static void EndSerialization(std::string& text) { text += '>'; }
  // Appends the closing marker to `text`, then writes all of `text` to `stream` at once.
  static void EndSerialization(std::string& text, std::ostream& stream) {
    EndSerialization(text);
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
  }

  // Appends `value` quoted and escaped, after one blank unless `out` ends in an opening marker.
  template <typename T>
  static void AddSerialization(std::string& out, const T& value) {
    static_assert(newsdb::IsRecordValueType<T>, "not a record value type");
    // The blank, the opening quote and, for a number, what ToString gives and the closing quote
    // (digits and signs need no escape) go on in one piece, with no string per number.
    char piece[26];
    size_t size = 0;
    if (NeedsSeparator(out)) piece[size++] = ' ';
    piece[size++] = '"';
    if constexpr (std::is_same_v<T, std::string>) {
      out.append(piece, size);
      AppendEscaped(out, value.data(), value.size());  // a string is its own text; no copy needed
      out += '"';
    } else {
      if constexpr (std::is_same_v<T, bool>) {
        piece[size++] = value ? '1' : '0';
      } else {
        // One place is kept for the closing quote.
        size = static_cast<size_t>(
            std::to_chars(piece + size, piece + sizeof piece - 1, value).ptr - piece);
      }
      piece[size++] = '"';
      out.append(piece, size);
    }
  }

  // Appends the element count of `list`, then every element as a nested record.
  template <typename T>
  static void AddClassVectorSerialization(std::string& out, const std::vector<T>& list) {
    AddSerialization(out, static_cast<uint64_t>(list.size()));
    for (const T& element : list) {
      element.Serialize(out);
      SpillIfLarge(out);
    }
  }

  // Reads the next value from `in` into `target`. False at end of input or a stream error
  // before or inside the value, when a number's value is longer than any number (64 bytes), or
  // when its text does not convert; a value that ends early leaves `target` unchanged. Never
  // reads past the value's closing quote.
  template <typename T>
  static bool DeserializeValue(std::istream& in, T& target) {
    static_assert(newsdb::IsRecordValueType<T>, "not a record value type");
    constexpr bool kString = std::is_same_v<T, std::string>;
    if constexpr (!kString) {
      if (TakeBufferedDigits(in, target)) return true;
    }
    ValueText text;
    if (!ReadValueText(in, kString ? kLongestValue : kLongestNumber, text)) return false;
    if constexpr (kString) {
      // Either way the string is made once, at its size.
      if (text.inPlace) {
        target.assign(text.data, text.size);
      } else {
        target = std::move(text.collected);
      }
      return true;
    } else {
      return newsdb::DecimalFromChars(target, text.data,
                                      text.size);  // what FromString does with std::dec
    }
  }

  // Reads a count and then that many records of type T into `list`, which is emptied once the
  // count has been read. False when the count cannot be read (list untouched) or an element
  // fails (the elements before it stay). The count is trusted only as far as the input could
  // hold it: the list takes no more memory ahead than the input has bytes left (and a sixty-fourth
  // more, for elements added later), and a file claiming more elements than it holds fails at
  // the first missing one. An element that failed for want of memory says so in `error`, if
  // given.
  template <typename T>
  static bool DeserializeClassVector(std::istream& in, std::vector<T>& list,
                                     std::error_code* error = nullptr) {
    uint64_t count = 0;
    if (!DeserializeValue(in, count)) return false;
    list.clear();
    const uint64_t most = list.max_size();
    const uint64_t expected = std::min<uint64_t>({count, BytesLeft(in) / sizeof(T), most});
    // A little room beyond: the first elements added after a load move no others.
    list.reserve(static_cast<size_t>((std::min)(most, expected + expected / 64)));
    for (uint64_t i = 0; i < count; ++i) {
      T element(in);
      if (element.DidConstructionFail()) {
        if (error != nullptr && element.LastError()) *error = element.LastError();
        return false;
      }
      list.push_back(std::move(element));
    }
    return true;
  }

  // Reads `in` to its end; true when no value stands there (nothing but bytes outside quotes:
  // blanks, markers, line breaks) and no read failed. A file holds one record: a value after it
  // would be data that a load does not read and the next save destroys.
  static bool NothingFollows(std::istream& in) {
    using Traits = std::istream::traits_type;
    std::streambuf* const buffer = in.rdbuf();
    while (in.good() && buffer != nullptr) {
      const char* const next = GetArea::Next(buffer);
      const char* const end = GetArea::End(buffer);
      if (next != end) {
        if (FindByte(next, end, '"') != end) return false;
        GetArea::Consume(buffer, static_cast<size_t>(end - next));
        continue;
      }
      const Traits::int_type byte = in.get();  // refills the buffer, or finds the end
      if (!Traits::eq_int_type(byte, Traits::eof()) && Traits::to_char_type(byte) == '"') {
        return false;
      }
    }
    return in.eof() && !in.bad();
  }

  // Appends this record with its markers to `out`, after one blank unless `out` ends in an
  // opening marker.
  void Serialize(std::string& out) const {
    // Straight into `out`, with no string of its own: the first value follows the marker.
    if (NeedsSeparator(out)) out += ' ';
    out += '<';
    SerializeValues(out);
    out += '>';
  }

  // Writes this record with its markers to `stream` in one output operation.
  void Serialize(std::ostream& stream) const {
    std::string text = BeginSerialization();
    SerializeValues(text);
    EndSerialization(text, stream);
  }

  // Replaces the file at the UTF-8 `path` with this record, crash-safely and under the save lock
  // (see FileAccess.h): the file always holds either its old content or this whole record.
  // Returns true only when every step succeeded; on failure, running out of memory included, the
  // file is left as it was and no temporary file remains.
  bool SerializeFile(const std::string& path) const {
    lastErrorOffset_ = 0;
    return UnlessOutOfMemory(
        [&] {
          newsdb::FileReplacement file;
          const bool saved = file.Begin(path) && WriteTo(file) && file.Commit();
          lastError_ = file.Error();
          return saved;
        },
        &lastError_);
  }

  bool Deserialize(std::istream& in) { return DeserializeValues(in); }

  // True when the constructor that read this record failed.
  bool DidConstructionFail() const { return !constructionOk; }

  // Why the last load or save of a file by this record failed (a system error, a FileError, or
  // std::errc::not_enough_memory); empty after one that worked.
  const std::error_code& LastError() const { return lastError_; }
  // Where LastError() is FileError::kNotDatabase: the byte of the file, counted from 0, at which
  // reading stopped.
  uint64_t LastErrorOffset() const { return lastErrorOffset_; }

 protected:
  ~Serializable() = default;  // records are never destroyed through the base

  bool constructionOk;
  // Set by every load and save of a file: why it failed, or empty.
  mutable std::error_code lastError_;
  mutable uint64_t lastErrorOffset_ = 0;

  // Returns what `body` returns, or false when it ran out of memory. Loads and saves run inside
  // it: memory is the standard library's to hand out, and it reports a shortage only by throwing
  // std::bad_alloc, or std::length_error for more than a container can hold at all, which must
  // end a load or save as a failure, never the program. Then `error`, if given, says so.
  template <typename Body>
  static bool UnlessOutOfMemory(const Body& body, std::error_code* error = nullptr) {
    try {
      return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {}
    if (error != nullptr) *error = std::make_error_code(std::errc::not_enough_memory);
    return false;
  }

  // Writes this record into the save `file`, in pieces as its text is produced, so that neither
  // the whole text nor a second copy of any value is ever held in memory. False when a write
  // failed.
  bool WriteTo(newsdb::FileReplacement& file) const {
    std::string text = BeginSerialization();
    text.reserve(2 * kSpillBytes);  // a piece and the record that ends it
    Spill spill(text, file);
    SerializeValues(text);
    EndSerialization(text);
    return spill.ok && file.Write(text.data(), text.size());
  }

 private:
  // The longest number or boolean value read: far more than the 20 digits and sign of the
  // longest number, so that blanks and leading zeros still fit.
  static constexpr size_t kLongestNumber = 64;
  static constexpr size_t kLongestValue = (std::numeric_limits<size_t>::max)();

  // Where the text of a record being written to a file goes once it has grown large; in effect
  // on this thread for as long as it lives.
  struct Spill {
    Spill(std::string& recordText, newsdb::FileReplacement& saveFile)
        : text(&recordText), file(&saveFile), outer(spill_) {
      spill_ = this;
    }
    ~Spill() { spill_ = outer; }
    Spill(const Spill&) = delete;
    Spill& operator=(const Spill&) = delete;

    std::string* text;  // the file's text not yet written
    newsdb::FileReplacement* file;
    bool ok = true;
    char last = '\0';  // the last byte handed to the file; 0 before the first piece
    Spill* outer;      // an enclosing file write on this thread, if any
  };
  static constexpr size_t kSpillBytes = size_t{1} << 20;
  // The file write in progress on this thread; only its own text is ever written out, so a
  // record nested in a string of its own is never sent to the file out of order.
  static inline thread_local Spill* spill_ = nullptr;

  // Sends `out` to the file being written when it is that file's text and has grown large.
  static void SpillIfLarge(std::string& out) {
    Spill* const spill = spill_;
    if (spill == nullptr || spill->text != &out || out.size() < kSpillBytes) return;
    spill->last = out.back();  // what the empty text goes on from
    spill->ok = spill->file->Hand(out) && spill->ok;
  }

  // False when an item appended to `out` takes no blank before it: when the text so far ends in
  // an opening marker, which is when a record was just opened, as values end in a quote and
  // records in ">". Of a file's text that a save has just handed to the file whole, the last byte
  // handed over is the end; an empty text of no save takes the blank.
  static bool NeedsSeparator(const std::string& out) {
    if (!out.empty()) return out.back() != '<';
    const Spill* const spill = spill_;
    return spill == nullptr || spill->text != &out || spill->last != '<';
  }

  // The first `byte` in [from, to), or `to`. The bytes between values and most numbers are few,
  // so the first ones are looked at one by one; the rest with memchr, which compares many bytes
  // at once but costs more to start.
  static const char* FindByte(const char* from, const char* to, char byte) {
    for (const char* first = to - from > 16 ? from + 16 : to; from != first; ++from) {
      if (*from == byte) return from;
    }
    if (from == to) return to;  // an empty buffer may have no address at all
    const void* found = std::memchr(from, byte, static_cast<size_t>(to - from));
    return found == nullptr ? to : static_cast<const char*>(found);
  }

  // The first double quote or backslash in [from, to), or `to`. Eight bytes are tested at a time
  // by word arithmetic: a byte equal to either gives its word a high bit in the test.
  static const char* FindSpecial(const char* from, const char* to) {
    constexpr uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
    for (; to - from >= 8; from += 8) {
      uint64_t word;
      std::memcpy(&word, from, 8);
      const uint64_t quotes = word ^ (kOnes * '"'), slashes = word ^ (kOnes * '\\');
      if ((((quotes - kOnes) & ~quotes) | ((slashes - kOnes) & ~slashes)) & kHighs) break;
    }
    for (; from != to; ++from) {
      if (*from == '"' || *from == '\\') return from;
    }
    return to;
  }

  // Appends `text` with a backslash before every quote and backslash.
  static void AppendEscaped(std::string& out, const char* text, size_t size) {
    const char* const end = text + size;
    const char* run = text;  // where what is not yet appended starts
    for (const char* special = FindSpecial(text, end); special != end;
         special = FindSpecial(special + 1, end)) {
      AppendRun(out, run, special);
      out += '\\';
      run = special;  // the byte itself goes on with the run after it
    }
    AppendRun(out, run, end);
  }

  // Appends [from, to) to `out`; to a file's text in pieces, each sent to the file once the text
  // has grown large, so that no long value is ever held twice.
  static void AppendRun(std::string& out, const char* from, const char* to) {
    const Spill* const spill = spill_;
    if (spill == nullptr || spill->text != &out) {
      out.append(from, to);
      return;
    }
    for (;;) {
      const size_t piece = (std::min)(static_cast<size_t>(to - from), kSpillBytes);
      out.append(from, piece);
      from += piece;
      SpillIfLarge(out);
      if (from == to) return;
    }
  }

  // The text of one value, escapes resolved: in place in the stream's buffer when it stood there
  // whole without escapes, else collected.
  struct ValueText {
    const char* data = nullptr;
    size_t size = 0;
    bool inPlace = false;
    std::string collected;
  };

  // Reads the text of the next value from `in`: skips every byte up to and including a double
  // quote, then takes bytes up to the next one that no backslash escapes. False, with failbit
  // set, when the input ends or fails first, or when the value is longer than `longest` bytes,
  // which is found out without reading further.
  static bool ReadValueText(std::istream& in, size_t longest, ValueText& text) {
    std::streambuf* const buffer = in.rdbuf();
    if (!in.good() || buffer == nullptr || !TakeBufferedValue(buffer, longest, text)) {
      return ReadValueTextInPieces(in, longest, text);
    }
    return true;
  }

  // The common case of a number: the value lies in the bytes the buffer holds ready and is
  // nothing but one to nine digits, which every number type holds. False, with nothing taken,
  // for anything else, which ReadValueText and DecimalFromChars then read by every rule.
  template <typename T>
  static bool TakeBufferedDigits(std::istream& in, T& target) {
    std::streambuf* const buffer = in.rdbuf();
    if (!in.good() || buffer == nullptr) return false;
    const char* const next = GetArea::Next(buffer);
    const char* const end = GetArea::End(buffer);
    const char* const open = FindByte(next, end, '"');
    if (open == end) return false;
    const char* const first = open + 1;
    const char* const last = end - first > 9 ? first + 9 : end;
    uint32_t value = 0;
    const char* at = first;
    for (; at != last && static_cast<unsigned char>(*at - '0') <= 9; ++at) {
      value = value * 10 + static_cast<unsigned char>(*at - '0');
    }
    if (at == first || at == end || *at != '"' || (std::is_same_v<T, bool> && value > 1)) {
      return false;
    }
    target = static_cast<T>(value);
    GetArea::Consume(buffer, static_cast<size_t>(at + 1 - next));
    return true;
  }

  // The common case: the value lies whole in the bytes the buffer holds ready. Without escapes
  // it is used in place; with them it is collected into a string made at its size at once.
  // False, with nothing taken, when the value does not end there.
  static bool TakeBufferedValue(std::streambuf* buffer, size_t longest, ValueText& text) {
    const char* const next = GetArea::Next(buffer);
    const char* const end = GetArea::End(buffer);
    const char* const open = FindByte(next, end, '"');
    if (open == end) return false;
    const char* const begin = open + 1;
    const char* const reach =
        static_cast<size_t>(end - begin) > longest ? begin + longest + 1 : end;
    const char* slashes[8];  // the first escapes, so that collecting needs no second search
    size_t escapes = 0;
    const char* close = FindSpecial(begin, reach);
    for (; close + 1 < reach && *close == '\\'; close = FindSpecial(close + 2, reach)) {
      if (escapes < 8) slashes[escapes] = close;
      ++escapes;
    }
    if (close == reach || *close != '"') return false;
    if (escapes == 0) {
      text.data = begin;
      text.size = static_cast<size_t>(close - begin);
      text.inPlace = true;
    } else {
      std::string& collected = text.collected;
      collected.reserve(static_cast<size_t>(close - begin) - escapes);
      const char* at = begin;
      for (size_t i = 0; i < escapes; ++i) {
        // Past the first escapes, the next backslash is the next escape's.
        const char* const slash = i < 8 ? slashes[i] : FindByte(at, close, '\\');
        collected.append(at, slash);
        collected += slash[1];
        at = slash + 2;
      }
      collected.append(at, close);
      text.data = collected.data();
      text.size = collected.size();
    }
    GetArea::Consume(buffer, static_cast<size_t>(close + 1 - next));
    return true;
  }

  // Reads a value as ReadValueText does, wherever it lies. Buffered bytes are scanned in place;
  // an empty buffer is refilled by reading one byte through the stream itself, which turns a read
  // error of the buffer into the stream's bad state rather than an exception, and which also
  // serves buffers that keep no bytes.
  static bool ReadValueTextInPieces(std::istream& in, size_t longest, ValueText& text) {
    using Traits = std::istream::traits_type;
    std::streambuf* const buffer = in.rdbuf();
    ValueScan scan{longest};
    while (in.good() && buffer != nullptr) {
      const char* const next = GetArea::Next(buffer);
      const char* const end = GetArea::End(buffer);
      if (next != end) {
        GetArea::Consume(buffer, scan.Take(next, end, text.collected));
      } else {
        const Traits::int_type byte = in.get();
        if (Traits::eq_int_type(byte, Traits::eof())) break;
        const char single = Traits::to_char_type(byte);
        scan.Take(&single, &single + 1, text.collected);
      }
      if (scan.done) {
        text.data = text.collected.data();
        text.size = text.collected.size();
        return true;
      }
      if (text.collected.size() > longest) break;
    }
    in.setstate(std::ios_base::failbit);
    return false;
  }

  // Where the reader stands in a value, across the pieces of input it is given.
  struct ValueScan {
    size_t longest;        // a value longer than this is not taken further
    bool inside = false;   // the opening quote has been read
    bool escaped = false;  // a backslash was the last byte
    bool done = false;     // the closing quote has been read

    // Takes bytes from [next, end): up to the opening quote, then into `text` until the value is
    // done or longer than `longest`. Returns how many it took.
    size_t Take(const char* next, const char* end, std::string& text) {
      const char* at = next;
      if (!inside) {
        const char* const quote = FindByte(at, end, '"');
        if (quote == end) return static_cast<size_t>(end - next);
        at = quote + 1;
        inside = true;
      }
      const size_t room = longest - (std::min)(longest, text.size());
      const char* const reach = static_cast<size_t>(end - at) > room ? at + room + 1 : end;
      while (at < reach && !done) {
        if (escaped) {
          text += *at++;
          escaped = false;
          continue;
        }
        const char* const stop = FindSpecial(at, reach);
        text.append(at, stop);
        if (stop == reach) return static_cast<size_t>(reach - next);
        at = stop + 1;
        (*stop == '"' ? done : escaped) = true;
      }
      return static_cast<size_t>(at - next);
    }
  };

  // How many bytes `in` is known to hold still, from its buffer and what the buffer says of the
  // rest; 0 when nothing is known.
  static uint64_t BytesLeft(std::istream& in) {
    std::streambuf* const buffer = in.rdbuf();
    if (buffer == nullptr) return 0;
    const std::streamsize buffered = GetArea::End(buffer) - GetArea::Next(buffer);
    return static_cast<uint64_t>(std::max<std::streamsize>({0, buffered, GetArea::More(buffer)}));
  }

  // The bytes a stream buffer holds ready, reached through member pointers formed in a derived
  // class: the language's one way to use these protected members on any buffer. Reading them in
  // place saves a function call per byte, or two stream calls per value.
  struct GetArea : std::streambuf {
    static const char* Next(std::streambuf* buffer) { return (buffer->*&GetArea::gptr)(); }
    static const char* End(std::streambuf* buffer) { return (buffer->*&GetArea::egptr)(); }
    static void Consume(std::streambuf* buffer, size_t count) {
      for (; count > 0; count -= std::min<size_t>(count, INT_MAX)) {
        (buffer->*&GetArea::gbump)(static_cast<int>(std::min<size_t>(count, INT_MAX)));
      }
    }
    // What the buffer estimates it can still deliver; 0 or -1 when it cannot tell.
    static std::streamsize More(std::streambuf* buffer) { return (buffer->*&GetArea::showmanyc)(); }
  };
};

#endif  // CROSSPLATFORM_SERIALIZABLE_H
