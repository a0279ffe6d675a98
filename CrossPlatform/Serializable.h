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
// only from the number and order of values each record type reads.
#ifndef CROSSPLATFORM_SERIALIZABLE_H
#define CROSSPLATFORM_SERIALIZABLE_H

#include <cstdint>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#define SERIALIZABLE_POSIX_FILES 1
#else
#include <cstdio>
#endif

// True for the five value types a record may hold.
template <typename T>
inline constexpr bool IsRecordValueType =
    std::is_same_v<T, std::string> || std::is_same_v<T, uint32_t> || std::is_same_v<T, int32_t> ||
    std::is_same_v<T, uint64_t> || std::is_same_v<T, bool>;

// Returns the text of `value`: a string unchanged, a number in plain decimal (a leading "-" only
// when negative), a boolean as "1" or "0".
template <typename T>
static std::string ToString(const T& value) {
  static_assert(IsRecordValueType<T>, "not a record value type");
  if constexpr (std::is_same_v<T, std::string>) {
    return value;
  } else {
    std::stringstream stream(std::ios_base::in | std::ios_base::out);
    stream << value;
    return stream.str();
  }
}

// Reads `text` as a T after applying `manipulator`, by the stream's extraction rules: leading
// white space skipped, reading stops at the first byte that cannot belong to the number, a
// boolean is 0 or 1. Returns true on success; `target` is unspecified after a failed number.
// A string is copied unchanged and always succeeds.
template <typename T>
static bool FromString(T& target, const std::string& text,
                       std::ios_base& (*manipulator)(std::ios_base&)) {
  static_assert(IsRecordValueType<T>, "not a record value type");
  if constexpr (std::is_same_v<T, std::string>) {
    target = text;
    return true;
  } else {
    std::istringstream stream(text, std::ios_base::in);
    stream >> manipulator >> target;
    return !stream.fail();
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

  // Returns the opening marker of a record.
  static std::string BeginSerialization() { return "<"; }
  // Appends the closing marker to `text`.
  static void EndSerialization(std::string& text) { text += '>'; }
  // Appends the closing marker to `text`, then writes all of `text` to `stream` at once.
  static void EndSerialization(std::string& text, std::ostream& stream) {
    EndSerialization(text);
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
  }

  // Appends `value` quoted and escaped, after one blank unless `out` is exactly "<".
  template <typename T>
  static void AddSerialization(std::string& out, const T& value) {
    AppendSeparator(out);
    if constexpr (std::is_same_v<T, std::string>) {
      AppendQuoted(out, value);  // a string is its own text; no copy needed
    } else {
      AppendQuoted(out, ToString(value));
    }
  }

  // Appends the element count of `list`, then every element as a nested record.
  template <typename T>
  static void AddClassVectorSerialization(std::string& out, const std::vector<T>& list) {
    AddSerialization(out, static_cast<uint64_t>(list.size()));
    for (const T& element : list) element.Serialize(out);
  }

  // Reads the next value from `in` into `target`. False at end of input or a stream error
  // before or inside the value, or when its text does not convert; a value that ends early
  // leaves `target` unchanged. Never reads past the value's closing quote.
  template <typename T>
  static bool DeserializeValue(std::istream& in, T& target) {
    char byte = 0;
    do {
      if (!ReadByte(in, byte)) return false;
    } while (byte != '"');
    std::string collected;
    for (;;) {
      if (!ReadByte(in, byte)) return false;
      if (byte == '"') break;
      if (byte == '\\' && !ReadByte(in, byte)) return false;
      collected += byte;
    }
    if constexpr (std::is_same_v<T, std::string>) {
      target = std::move(collected);  // what FromString would copy, without the copy
      return true;
    } else {
      return FromString(target, collected, std::dec);
    }
  }

  // Reads a count and then that many records of type T into `list`, which is emptied once the
  // count has been read. False when the count cannot be read (list untouched) or an element
  // fails (the elements before it stay). The count is never trusted for allocation: a file
  // claiming more elements than it holds fails at the first missing one.
  template <typename T>
  static bool DeserializeClassVector(std::istream& in, std::vector<T>& list) {
    uint64_t count = 0;
    if (!DeserializeValue(in, count)) return false;
    list.clear();
    for (uint64_t i = 0; i < count; ++i) {
      T element(in);
      if (element.DidConstructionFail()) return false;
      list.push_back(std::move(element));
    }
    return true;
  }

  // Appends this record with its markers to `out`, after one blank unless `out` is exactly "<".
  void Serialize(std::string& out) const {
    AppendSeparator(out);
    out += RecordText();
  }

  // Writes this record with its markers to `stream` in one output operation.
  void Serialize(std::ostream& stream) const {
    std::string text = BeginSerialization();
    SerializeValues(text);
    EndSerialization(text, stream);
  }

  // Replaces the file at `path` with this record, crash-safely: the text goes to a temporary
  // file beside the target ("<target>.tmp", one fixed name), is flushed to the disk and renamed
  // over the target. When `path` is a symbolic link, the file it points to is replaced. An
  // existing target keeps its permission bits (and its owner, where that may be set). Returns true
  // only when every step succeeded; on failure the temporary file is removed and an existing target
  // is left as it was.
  bool SerializeFile(const std::string& path) const { return ReplaceFile(path, RecordText()); }

  // Reads this record's values from `in`; returns the result of DeserializeValues unchanged.
  bool Deserialize(std::istream& in) { return DeserializeValues(in); }

  // True when the constructor that read this record failed.
  bool DidConstructionFail() { return !constructionOk; }

 protected:
  ~Serializable() = default;  // records are never destroyed through the base

  bool constructionOk;

 private:
  // Appends the blank that separates items, unless `out` holds only an opening marker.
  static void AppendSeparator(std::string& out) {
    if (out != "<") out += ' ';
  }

  // Appends `text` between double quotes, with a backslash before every quote and backslash.
  static void AppendQuoted(std::string& out, const std::string& text) {
    out += '"';
    size_t plain = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '"' && text[i] != '\\') continue;
      out.append(text, plain, i - plain);
      out += '\\';
      plain = i;  // the special byte itself goes out with the next run
    }
    out.append(text, plain, std::string::npos);
    out += '"';
  }

  // Returns this record, complete with its markers.
  std::string RecordText() const {
    std::string text = BeginSerialization();
    SerializeValues(text);
    EndSerialization(text);
    return text;
  }

  // One unformatted byte read, straight from the buffer: false, with eof and fail set, at the end
  // of input; false on a stream that is not good.
  static bool ReadByte(std::istream& in, char& byte) {
    using Traits = std::istream::traits_type;
    std::streambuf* buffer = in.rdbuf();
    if (!in.good() || buffer == nullptr) {
      in.setstate(std::ios_base::failbit);
      return false;
    }
    const Traits::int_type next = buffer->sbumpc();
    if (Traits::eq_int_type(next, Traits::eof())) {
      in.setstate(std::ios_base::eofbit | std::ios_base::failbit);
      return false;
    }
    byte = Traits::to_char_type(next);
    return true;
  }

  static std::string TemporaryPathFor(const std::string& target) { return target + ".tmp"; }

#ifdef SERIALIZABLE_POSIX_FILES
  // Follows symbolic links from `path` to the file they finally name (which need not exist).
  // False on a loop or an unreadable link.
  static bool ResolveLinks(const std::string& path, std::string& resolved) {
    resolved = path;
    for (int hops = 0; hops < 40; ++hops) {
      struct stat info;
      if (lstat(resolved.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
      std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
      const ssize_t length = readlink(resolved.c_str(), &link[0], link.size());
      if (length < 0 || static_cast<size_t>(length) >= link.size()) return false;
      link.resize(static_cast<size_t>(length));
      const size_t slash = resolved.rfind('/');
      if (link.empty() || link[0] == '/' || slash == std::string::npos) {
        resolved = link;
      } else {
        resolved = resolved.substr(0, slash + 1) + link;
      }
    }
    return false;
  }

  // Writes all of `text` to `fd`, resuming after interruptions and short writes.
  static bool WriteAll(int fd, const std::string& text) {
    const char* next = text.data();
    size_t left = text.size();
    while (left > 0) {
      const ssize_t written = write(fd, next, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      next += written;
      left -= static_cast<size_t>(written);
    }
    return true;
  }

  // Flushes the directory holding `path`, so that a finished rename survives a power loss.
  static void SyncDirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = open(directory.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);  // the rename has happened either way; this only hastens its durability
    close(fd);
  }

  static bool ReplaceFile(const std::string& path, const std::string& text) {
    std::string target;
    if (!ResolveLinks(path, target)) return false;
    const std::string temporary = TemporaryPathFor(target);
    // A leftover of an interrupted save is replaced; O_EXCL then refuses to write through
    // anything that appears at the temporary name meanwhile, a planted link included.
    unlink(temporary.c_str());
    struct stat existing;
    const bool replacing = stat(target.c_str(), &existing) == 0;
    // A file that replaces another starts private and takes the old one's owner and mode
    // before any data is in it; a new file gets what a plain create gives.
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replacing ? 0600 : 0666);
    if (fd < 0) return false;
    bool ok =
        !replacing || ((fchown(fd, existing.st_uid, existing.st_gid) == 0 || errno == EPERM) &&
                       fchmod(fd, existing.st_mode & 07777) == 0);
    ok = ok && WriteAll(fd, text) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
      unlink(temporary.c_str());
      return false;
    }
    SyncDirectoryOf(target);
    return true;
  }
#else
  // Without POSIX calls: the same temporary-and-rename steps through the C library.
  static bool ReplaceFile(const std::string& path, const std::string& text) {
    const std::string temporary = TemporaryPathFor(path);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = (std::fflush(file) == 0) && ok;
    ok = (std::fclose(file) == 0) && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(temporary.c_str());
    return ok;
  }
#endif
};

#endif  // CROSSPLATFORM_SERIALIZABLE_H
