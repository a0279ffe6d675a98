// Database files by UTF-8 name: reading one, and replacing one crash-safely under a save lock.
//
// A save writes the new text to the temporary file ".NAME.tmp" beside the database NAME (beside
// the file that a symbolic link names; see TemporaryNameFor for names too long for that), flushes
// it to the disk and renames it over the database,
// so the database is always either the old or the new text. The temporary file is also the save
// lock: a save opens it without removing it, locks it, makes sure it is still the file at that
// name, and keeps the lock until the rename is done. Saves of several processes therefore follow
// one another, and each renames only its own text into place. The system drops a lock with the
// process that held it, so a killed save never blocks later ones; the next save removes its
// temporary file under the lock and makes its own: the text goes only into a file the save made,
// which nobody can have opened before. Where the file system has no locks, no save can wait for
// another: each then writes a file no other save opens (on Linux an unnamed one, named only just
// before the rename; elsewhere ".NAME.<16 hex digits>.tmp", made new for it), so that two saves at
// once each put a whole text in place and the last rename wins. No other file is ever made beside
// the database.
//
// A save is the process's own: from Begin() to the end of Commit() or of its abandonment, thread
// cancellation is held off (it acts after the save), and a child made by fork meanwhile lets go
// of its copy of the lock at once and can neither write nor rename the save's file. The new file
// gets the old one's owner, group, permissions, access control list and the other extended
// attributes its user may set, before any data is in it.
//
// Each platform family implements this header in a file of its own (FileAccess_posix.cpp,
// FileAccess_windows.cpp); each compiles to nothing on the other. What is alike everywhere is in
// FileAccess.cpp.
#ifndef CROSSPLATFORM_FILEACCESS_H
#define CROSSPLATFORM_FILEACCESS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <streambuf>
#include <string>
#include <system_error>

namespace newsdb {

// Why a file was not loaded or saved where a rule of this library's refused it; the system's own
// errors come as they are (std::errc, or the platform's codes in std::system_category()), running
// out of memory as std::errc::not_enough_memory.
enum class FileError {
  kNotRegularFile = 1,  // a FIFO, device or socket: never opened
  kFolderMissing,       // a folder on the way does not exist
  kUnsafeLink,          // a symbolic link in a shared sticky folder belongs to another user
  kTemporaryInTheWay,   // another user's file, or no plain file, at the temporary name
  kOthersSaveHeld,      // another user's save held the lock past the wait for it
  kWaitGivenUp,         // the caller gave up waiting for another save of the file
  kEmptyFile,           // the file is empty, which no database is
  kNotDatabase,         // the text is not a database record
  kDataAfterRecord,     // a value follows the database record
  kNotReadWhole,        // the database was not read whole from the file, which Save() keeps
  kChangedSinceRead,    // another program changed the file since this database read or wrote it
  kSavingAlready,       // this thread is saving the file already, and would wait for itself
};

// The category of FileError codes; its messages are short lower-case phrases.
const std::error_category& FileErrorCategory();

inline std::error_code make_error_code(FileError error) {
  return {static_cast<int>(error), FileErrorCategory()};
}

}  // namespace newsdb

namespace std {
template <>
struct is_error_code_enum<newsdb::FileError> : true_type {};
}  // namespace std

namespace newsdb {

// Asked again and again while a save waits for another save of the same file, with how long it
// has waited so far; returning false gives the wait up (the save fails, FileError::kWaitGivenUp).
using SaveWait = std::function<bool(std::chrono::steady_clock::duration waited)>;

// What a file's content was when it was last seen: a save, or any write to the file, changes it.
struct FileStamp {
  bool exists = false;
  uint64_t device = 0;
  uint64_t file = 0;  // the file's number on its device
  uint64_t size = 0;
  int64_t modified = 0;  // last change of the content, in the system's own units
  int64_t changed = 0;   // last change of the content or its metadata
  // Set where a save failed after its change was made in memory: no file matches the stamp, so
  // the next save reads the file anew (a missing file as an empty database) before its change.
  bool stale = false;
  // Where the system may give a deleted file's number to a new file, the stamps of files this
  // program read or wrote keep the file open (one descriptor for all copies of a stamp), so that
  // no newer file can look like it.
  std::shared_ptr<void> keep;

  bool operator==(const FileStamp& other) const {
    return exists == other.exists && device == other.device && file == other.file &&
           size == other.size && modified == other.modified && changed == other.changed &&
           stale == other.stale;
  }
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// The stamp of the file at the UTF-8 `path` now; `exists` is false when there is none.
FileStamp StampOf(const std::string& path);

// What opening a file for reading found.
enum class OpenResult {
  kOpened,   // a regular file, open for reading
  kMissing,  // no file has that name, in a folder that exists
  kFailed,   // anything else: no permission, a directory, a FIFO or device, a missing folder
};

class FileReplacement;

// A regular file opened for reading, as a stream buffer; the file is closed when it goes. A read
// error ends the input early and is remembered in ReadFailed().
class FileReader final : public std::streambuf {
 public:
  FileReader() = default;
  ~FileReader() override { Close(); }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Opens the file at the UTF-8 `path` if it is a regular file, reaching it as a save does.
  // Anything else is never opened, so a FIFO or a device cannot block or be disturbed.
  OpenResult Open(const std::string& path);
  // Opens the file that the begun `save` replaces, through the folder the save reached it in, so
  // that no change of the path meanwhile leads elsewhere: while the save holds its lock, the
  // newest content there is.
  OpenResult Open(const FileReplacement& save);
  // The opened file's stamp.
  const FileStamp& Stamp() const { return stamp_; }
  // True when reading stopped at an error rather than at the end of the file.
  bool ReadFailed() const { return readFailed_; }
  // Why Open() did not open a file (no such file for kMissing), or the read error that stopped
  // reading; empty otherwise.
  const std::error_code& Error() const { return error_; }
  // How many bytes of the file were taken from this buffer so far: where reading stands.
  uint64_t Position() const;

 protected:
  int_type underflow() override;
  // The bytes buffered and those of the file not yet read, as the file's size had them.
  std::streamsize showmanyc() override;

 private:
  // Reads from the open file `handle` from now on if it is a regular file; closes it otherwise.
  OpenResult Take(intptr_t handle);
  // Reads up to `size` bytes into `data`; the count, 0 at the end, -1 on an error (in `error_`).
  int64_t ReadSome(char* data, size_t size);
  void Close();

  intptr_t handle_ = -1;
  FileStamp stamp_;
  bool readFailed_ = false;
  std::error_code error_;
  uint64_t unread_ = 0;  // of the file's size when it was opened, what has not been read yet
  uint64_t read_ = 0;    // bytes read from the file so far, those still buffered included
  char buffer_[1 << 16];
};

inline uint64_t FileReader::Position() const {
  return read_ - static_cast<uint64_t>(egptr() - gptr());
}

inline FileReader::int_type FileReader::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (handle_ < 0) return traits_type::eof();
  const int64_t got = ReadSome(buffer_, sizeof buffer_);
  if (got <= 0) {
    readFailed_ = got < 0;
    return traits_type::eof();
  }
  unread_ -= static_cast<uint64_t>(got) < unread_ ? static_cast<uint64_t>(got) : unread_;
  read_ += static_cast<uint64_t>(got);
  setg(buffer_, buffer_, buffer_ + got);
  return traits_type::to_int_type(*gptr());
}

inline std::streamsize FileReader::showmanyc() {
  const uint64_t left = static_cast<uint64_t>(egptr() - gptr()) + unread_;
  const auto most = static_cast<uint64_t>((std::numeric_limits<std::streamsize>::max)());
  return static_cast<std::streamsize>(left < most ? left : most);
}

// One save of a file: takes the save lock in Begin() and holds it until Commit() has renamed the
// new text into place, or until the object goes, which abandons an unfinished save (its temporary
// file is removed and the file keeps its old content).
class FileReplacement {
 public:
  FileReplacement();
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  // Takes the save lock of the file at the UTF-8 `path`, waiting while another save holds it, and
  // readies an empty temporary file. False, with nothing changed, when the file exists but this
  // user may not write it or it is not a regular file, when a symbolic link on the way, to a
  // folder or to the file, may not be followed (one another user planted in a shared sticky
  // folder), or when the temporary file cannot be made, or what stands at its name is not this
  // user's own plain file and may not be removed.
  // `waiting`, if given, is asked while this save waits for another; without it the save waits
  // for this user's own saves however long they take.
  bool Begin(const std::string& path, const SaveWait& waiting = nullptr);
  // Appends `size` bytes to the new text; false once any write has failed.
  bool Write(const char* data, size_t size);
  // Appends all of `piece` to the new text and leaves `piece` empty. Where the platform can, the
  // bytes are written by a thread of the save's own while the caller produces the next piece, so
  // a failure of theirs shows in the next call or in Commit(). False once any write has failed.
  bool Hand(std::string& piece);
  // Flushes the new text to the disk and renames it over the file, which keeps its permissions
  // (and its owner and group where this user may set them). True only when every step since
  // Begin() worked; otherwise the temporary file is removed and the file is as it was.
  bool Commit();
  // The file that is replaced: the path given to Begin(), after symbolic links (on Windows its
  // full `\\?\` form, spelt as the folder spells it). To see its newest
  // content while the lock is held, use TargetStamp() and FileReader::Open(*this).
  const std::string& Target() const { return target_; }
  // The stamp of the file that is replaced, as it is now; `exists` is false when there is none.
  FileStamp TargetStamp() const;
  // After a successful Commit(), the stamp of the new file.
  const FileStamp& Stamp() const { return stamp_; }
  // Why the save failed: the error of the first step that did, from Begin() on; empty while
  // every step has worked.
  const std::error_code& Error() const { return error_; }
  // How long a later Begin() waits for another user's save, which might hold its lock for ever,
  // before it fails with FileError::kOthersSaveHeld; ten seconds unless set.
  void SetOthersWait(std::chrono::steady_clock::duration wait) { othersWait_ = wait; }

 private:
  friend class FileReader;
  struct Impl;  // what only one platform keeps of a save

  void Abandon();
  // Ends the save as failed, for the reason `why` unless an earlier step's failure is known.
  void Fail(const std::error_code& why);
  // Appends `size` bytes right away, on the calling thread.
  bool WriteNow(const char* data, size_t size);

  std::string target_;
  std::string temporary_;  // the new text's path; empty while its file has no name
  intptr_t handle_ = -1;
  bool ok_ = false;  // every step since Begin() worked
  std::error_code error_;
  FileStamp stamp_;
  std::chrono::steady_clock::duration othersWait_ = std::chrono::seconds(10);
  std::unique_ptr<Impl> impl_;  // made by the first Begin() where the platform needs one
};

// The temporary file of a save of `target`: TemporaryNameFor its name, in the same folder.
std::string TemporaryPathFor(const std::string& target);

// The name of the temporary file for the file `name` in a folder whose names may be at most
// `limit` units long, as `length` counts them: ".NAME.tmp" where that fits, else the start of
// NAME (cut between characters), "~", sixteen hex digits of a hash of all of NAME, and ".tmp".
// It is the same in every process on every platform, so all saves of a file share one lock.
inline std::string TemporaryNameFor(const std::string& name, size_t limit,
                                    size_t (*length)(const std::string&)) {
  const std::string plain = "." + name + ".tmp";
  if (length(plain) <= limit) return plain;
  uint64_t hash = 14695981039346656037u;  // 64-bit FNV-1a: fixed, unlike std::hash
  for (const char byte : name) hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211u;
  std::string tail = "~0123456789abcdef.tmp";
  for (size_t digit = 16; digit > 0; --digit, hash >>= 4)
    tail[digit] = "0123456789abcdef"[hash & 15];
  std::string start = "." + name;
  while (start.size() > 1 && length(start + tail) > limit) {
    char dropped;
    do {  // a whole UTF-8 character: its continuation bytes, then its first byte
      dropped = start.back();
      start.pop_back();
    } while (start.size() > 1 && (static_cast<unsigned char>(dropped) & 0xC0) == 0x80);
  }
  return start + tail;
}

}  // namespace newsdb

#endif  // CROSSPLATFORM_FILEACCESS_H
