// Database files on Linux, macOS and other POSIX systems.
#if !defined(_WIN32)

// Before any system header: files over 2 GiB, and times after 2038 in their stamps, on 32-bit
// systems whose C library offers them (it wants both or neither). No type that these change
// crosses FileAccess.h, so code built without them works with this file.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64
#endif
#if !defined(_TIME_BITS)
#define _TIME_BITS 64
#endif

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__) || defined(__APPLE__)
#include <sys/xattr.h>
#endif
#if defined(__APPLE__)
#include <sys/acl.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "FileAccess.h"
#include "PathWalk_posix.h"

namespace newsdb {

namespace {

// The largest single read or write; macOS refuses larger ones.
constexpr size_t kMaxTransfer = size_t{1} << 30;

int FdOf(intptr_t handle) {
  return static_cast<int>(handle);
}

int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// Holds off the cancellation of the calling thread while it lives.
class NoCancel {
 public:
  NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &before_); }
  ~NoCancel() { pthread_setcancelstate(before_, nullptr); }
  NoCancel(const NoCancel&) = delete;
  NoCancel& operator=(const NoCancel&) = delete;

 private:
  int before_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace

void CloseFd(int fd) {
  const NoCancel closing;
  close(fd);
}

namespace {

// Keeps `fd` open for as long as `stamp` or a copy of it lives.
void Keep(FileStamp& stamp, int fd) {
  if (fd >= 0)
    stamp.keep = std::shared_ptr<void>(new int(fd), [](void* held) {
      CloseFd(*static_cast<int*>(held));
      delete static_cast<int*>(held);
    });
}

// The descriptors of this process that hold or wait for a save lock. A lock goes with the open
// file, which a child made by fork shares; so the child lets go of its copies at once (replaced
// by a descriptor that can be neither written nor flushed, so that their numbers stay taken
// until the saves' objects close them), and only the saving process holds the lock. A fork waits
// while such a descriptor is opened and registered, or closed, so none escapes. Which thread holds
// each lock is noted too: a save that would wait for a lock its own thread holds waits for ever.
class SaveLocks {
 public:
  static SaveLocks& Get() {
    static SaveLocks locks;
    return locks;
  }

  // openat(`folder`, `name`, `flags`, `mode`), registered; -1 (errno EMFILE) when this process
  // already has as many saves under way as are kept track of.
  int Open(int folder, const char* name, int flags, mode_t mode) {
    pthread_mutex_lock(&mutex_);
    Slot* const slot = Find(-1);
    const int fd = slot == nullptr ? -1 : openat(folder, name, flags, mode);
    if (slot == nullptr) errno = EMFILE;
    if (fd >= 0) *slot = Slot{fd, {}, false, {}};
    pthread_mutex_unlock(&mutex_);
    return fd;
  }
  // Notes that the calling thread holds the lock of the registered `fd`, the file `file`.
  void Hold(int fd, const struct stat& file) {
    pthread_mutex_lock(&mutex_);
    if (Slot* const slot = Find(fd)) *slot = Slot{fd, pthread_self(), true, file};
    pthread_mutex_unlock(&mutex_);
  }
  // True when the calling thread holds the lock of the file `file`.
  bool HeldHere(const struct stat& file) {
    pthread_mutex_lock(&mutex_);
    bool here = false;
    for (const Slot& slot : slots_) {
      here = here || (slot.fd >= 0 && slot.held && pthread_equal(slot.holder, pthread_self()) &&
                      slot.file.st_dev == file.st_dev && slot.file.st_ino == file.st_ino);
    }
    pthread_mutex_unlock(&mutex_);
    return here;
  }
  // Closes `fd`, and forgets it if it was registered.
  void Close(int fd) {
    const NoCancel closing;
    pthread_mutex_lock(&mutex_);
    if (Slot* const slot = Find(fd)) slot->fd = -1;
    close(fd);
    pthread_mutex_unlock(&mutex_);
  }

 private:
  static constexpr size_t kSlots = 64;

  struct Slot {
    int fd;
    pthread_t holder;  // while `held`: the thread whose save holds the lock
    bool held;
    struct stat file;
  };

  SaveLocks() : inert_(open("/dev/null", O_RDONLY | O_CLOEXEC)) {
    for (Slot& slot : slots_) slot.fd = -1;
    pthread_atfork(Prepare, Parent, Child);
  }

  Slot* Find(int fd) {
    for (Slot& slot : slots_) {
      if (slot.fd == fd) return &slot;
    }
    return nullptr;
  }

  static void Prepare() { pthread_mutex_lock(&Get().mutex_); }
  static void Parent() { pthread_mutex_unlock(&Get().mutex_); }
  static void Child() {
    SaveLocks& locks = Get();
    for (Slot& slot : locks.slots_) {
      if (slot.fd < 0) continue;
      if (locks.inert_ < 0 || dup2(locks.inert_, slot.fd) < 0) close(slot.fd);
      fcntl(slot.fd, F_SETFD, FD_CLOEXEC);
      slot.fd = -1;
    }
    pthread_mutex_unlock(&locks.mutex_);
  }

  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  const int inert_;  // opened beforehand: /dev/null may not be reachable in the child
  Slot slots_[kSlots];
};

FileStamp StampFrom(const struct stat& info) {
  FileStamp stamp;
  stamp.exists = true;
  stamp.device = static_cast<uint64_t>(info.st_dev);
  stamp.file = static_cast<uint64_t>(info.st_ino);
  stamp.size = static_cast<uint64_t>(info.st_size);
#if defined(__APPLE__)
  stamp.modified = Nanoseconds(info.st_mtimespec);
  stamp.changed = Nanoseconds(info.st_ctimespec);
#else
  stamp.modified = Nanoseconds(info.st_mtim);
  stamp.changed = Nanoseconds(info.st_ctim);
#endif
  return stamp;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The folder part of `path` ("." when there is none) and its last component.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path of the file `name` in the folder of the file at `path`.
std::string Beside(const std::string& path, const std::string& name) {
  return path.substr(0, path.size() - NameOf(path).size()) + name;
}

// Why a file that `info` describes, which is not a regular file, is never read or replaced.
std::error_code NotRegular(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return std::make_error_code(std::errc::is_a_directory);
  return FileError::kNotRegularFile;
}

// True when this user may remove `file` from `folder` for a save: in a shared sticky folder only
// their own; elsewhere the folder's permissions decide.
bool MayRemove(const struct stat& folder, const struct stat& file) {
  return !SharedSticky(folder) || file.st_uid == geteuid();
}

// Writes all of `size` bytes to `fd`, resuming after interruptions and short writes.
bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size < kMaxTransfer ? size : kMaxTransfer);
    if (written < 0 && errno == EINTR) continue;
    if (written == 0) errno = EIO;  // nothing taken, and no error said
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Starts writing the `size` bytes at `offset` of `fd` to the disk, without waiting for it, so
// that the disk works while the rest of the text is produced and the flush before the rename
// finds little left to do. Only Linux offers this; elsewhere the flush does it all.
void StartWriteback(int fd, uint64_t offset, uint64_t size) {
#if defined(__linux__)
  // A hint: the flush still checks everything.
  sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
  (void)offset;
  (void)size;
#endif
}

// Flushes `fd` all the way to the disk; plain fsync stops at the drive's cache on macOS.
bool FlushToDisk(int fd) {
#if defined(F_FULLFSYNC)
  if (fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
  return fsync(fd) == 0;
}

// Flushes `folder`, so that a finished rename survives a power loss.
void FlushFolder(int folder) {
  const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;  // a folder this user may not read: the rename is not flushed
  fsync(fd);           // the rename has happened either way; this only hastens its durability
  CloseFd(fd);
}

// An existing file `name` in `folder` may be replaced only if it is a regular file this user may
// write, as a truncating write would need: the rename alone needs no more than the folder's
// permission. False with `error` saying why not.
bool MayReplace(int folder, const std::string& name, struct stat& existing, bool& exists,
                std::error_code& error) {
  exists = fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno == ENOENT) return true;
  if (exists && !S_ISREG(existing.st_mode)) {
    error = NotRegular(existing);
    return false;
  }
  if (exists && faccessat(folder, name.c_str(), W_OK, AT_EACCESS) == 0) return true;
  error = LastError();  // of the look, or of the check
  return false;
}

// How a save waits for another: in steps of 10 ms, asking the caller's `waiting`, if given, before
// each whether to go on, with the time since the save began.
struct Patience {
  const SaveWait& waiting;
  std::chrono::steady_clock::time_point began;
  // How long to wait for another user's save, which might hold its lock for ever, and for another
  // user's temporary file to leave its private first moments.
  std::chrono::steady_clock::duration othersWait;

  // True when someone is asked, so that no wait may block.
  bool Asks() const { return static_cast<bool>(waiting); }
  // Waits one step; false, at once, when the caller gives the wait up.
  bool Pause() const {
    if (waiting && !waiting(std::chrono::steady_clock::now() - began)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
  }
};

size_t Bytes(const std::string& text) {
  return text.size();
}

// The longest name the open `folder` may hold, in bytes (255 if it cannot be asked).
size_t NameLimit(int folder) {
  errno = 0;
  const long limit = folder < 0 ? -1 : fpathconf(folder, _PC_NAME_MAX);
  return limit > 0                   ? static_cast<size_t>(limit)
         : folder >= 0 && errno == 0 ? SIZE_MAX  // no limit at all
                                     : 255;
}

// True for the errors of a file system that keeps no locks (a network file system without its
// lock service): saves there write files of their own instead.
bool LocksUnsupported(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS;
}

// kBusy: held past the deadline; kGivenUp: the caller gave the wait up; kFailed: errno says why.
enum class Locking { kLocked, kNoLocks, kBusy, kGivenUp, kFailed };

// Locks `fd`, waiting however long it takes, or until `deadline` if there is one, or until
// `patience` gives up. With neither, the system waits, and grants the lock the moment it is free.
Locking Lock(int fd, const std::chrono::steady_clock::time_point* deadline,
             const Patience& patience) {
  const bool blocking = deadline == nullptr && !patience.Asks();
  for (;;) {
    if (flock(fd, blocking ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) return Locking::kLocked;
    if (errno == EINTR) continue;
    if (LocksUnsupported(errno)) return Locking::kNoLocks;
    if (errno != EWOULDBLOCK) return Locking::kFailed;
    if (deadline != nullptr && std::chrono::steady_clock::now() >= *deadline) return Locking::kBusy;
    if (!patience.Pause()) return Locking::kGivenUp;
  }
}

// Removes the name `name` in `folder` if it still names the file open as `fd`: after a rename, or
// once another save has taken a name over, it belongs to someone else.
void RemoveIfStill(int folder, const std::string& name, int fd) {
  struct stat made, named;
  if (fstat(fd, &made) == 0 && fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      SameFile(made, named)) {
    unlinkat(folder, name.c_str(), 0);
  }
}

// Opens the plain file at `name` in `folder` for writing, or makes it (with `mode`) if nothing is
// there, as a registered lock descriptor. Anything else found there is never opened, so nothing is
// written through a link and a FIFO cannot block: it is removed where `MayRemove` allows and the
// name is tried again. -1, with `error` saying why, when nothing may be opened; `created` tells
// whether this call made the file.
int OpenPlain(int folder, const struct stat& folderInfo, const std::string& name, mode_t mode,
              bool& created, const Patience& patience, std::error_code& error) {
  const auto deadline = std::chrono::steady_clock::now() + patience.othersWait;
  // O_NOFOLLOW and O_NONBLOCK: should a link or FIFO take the name after the check, it is
  // neither followed nor waited for.
  const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  for (;;) {
    struct stat named;
    const bool missing = fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0;
    if (missing && errno != ENOENT) {
      error = LastError();
      return -1;
    }
    if (!missing && !S_ISREG(named.st_mode)) {
      // A folder may hold others' files: it is never removed.
      if (S_ISDIR(named.st_mode) || !MayRemove(folderInfo, named)) {
        error = FileError::kTemporaryInTheWay;
        return -1;
      }
      if (unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
        error = LastError();
        return -1;
      }
      continue;
    }
    const int fd = SaveLocks::Get().Open(folder, name.c_str(),
                                         missing ? flags | O_CREAT | O_EXCL : flags, mode);
    created = missing;
    if (fd >= 0) return fd;
    if (errno == ENOENT || errno == EEXIST || errno == ELOOP) continue;  // changed meanwhile
    if (errno != EACCES || missing) {
      error = LastError();
      return -1;
    }
    // Another user's save keeps its file private until it has the database's permissions; one
    // that stays private is that user's, in the way.
    if (std::chrono::steady_clock::now() >= deadline) {
      error = named.st_uid == geteuid() ? ErrorOf(EACCES) : FileError::kTemporaryInTheWay;
      return -1;
    }
    if (!patience.Pause()) {
      error = FileError::kWaitGivenUp;
      return -1;
    }
  }
}

// Opens and locks the temporary file `name` in `folder`, waiting for the save that holds it.
// After the lock is granted the file must still be the one at that name: the save that held it
// may have renamed it into place or removed it, and then the next one is tried. Only a plain file
// of this user's own with no other name is returned; anything else found locked there is left
// over from another user's killed save, or planted, and is never written: its name is removed
// where `MayRemove` allows, and a file of this user's own takes its place. A file this call made
// is removed again if it fails. Where the file system keeps no locks, -1 with `noLocks` set, and
// nothing made is left; on any other failure -1 with `error` saying why. Every wait asks
// `patience`.
int OpenLocked(int folder, const std::string& name, mode_t mode, bool& created, bool& noLocks,
               const Patience& patience, std::error_code& error) {
  noLocks = false;
  struct stat folderInfo;
  if (fstat(folder, &folderInfo) != 0) {
    error = LastError();
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + patience.othersWait;
  for (;;) {
    const int fd = OpenPlain(folder, folderInfo, name, mode, created, patience, error);
    if (fd < 0) return -1;
    struct stat held;
    const bool seen = fstat(fd, &held) == 0;
    if (seen && SaveLocks::Get().HeldHere(held)) {  // a save of this thread's: never waited for
      error = FileError::kSavingAlready;
      SaveLocks::Get().Close(fd);
      return -1;
    }
    // This user's own saves are waited for however long they take.
    const bool own =
        seen && S_ISREG(held.st_mode) && held.st_uid == geteuid() && held.st_nlink == 1;
    const Locking locking = seen ? Lock(fd, own ? nullptr : &deadline, patience) : Locking::kFailed;
    if (locking != Locking::kLocked) {
      if (locking == Locking::kFailed) error = LastError();
      if (locking == Locking::kBusy) error = FileError::kOthersSaveHeld;
      if (locking == Locking::kGivenUp) error = FileError::kWaitGivenUp;
      // A file another save holds locked is that save's own now. Otherwise the empty file this
      // call made goes again; had another save locked it meanwhile, its rename would find the
      // name gone and fail, never rename someone else's file.
      noLocks = locking == Locking::kNoLocks;
      const bool held = locking == Locking::kBusy || locking == Locking::kGivenUp;
      struct stat now;
      if (!held && created && fstat(fd, &now) == 0 && now.st_size == 0) {
        RemoveIfStill(folder, name, fd);
      }
      SaveLocks::Get().Close(fd);
      return -1;
    }
    struct stat named;
    const bool namedExists = fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
    std::error_code refused;
    if (!namedExists && errno != ENOENT) refused = LastError();
    if (namedExists && SameFile(held, named)) {
      if (own) {
        SaveLocks::Get().Hold(fd, held);
        return fd;
      }
      if (!MayRemove(folderInfo, held)) {
        refused = FileError::kTemporaryInTheWay;
      } else if (unlinkat(folder, name.c_str(), 0) != 0) {
        refused = LastError();
      }
    }
    SaveLocks::Get().Close(fd);
    if (refused) {
      error = refused;
      return -1;
    }
  }
}

// A name for a file of one save's own beside the database `name` in `folder`, whose names are at
// most `limit` bytes long: its temporary name with sixteen hex digits put in before ".tmp", which
// are never the same twice in a row.
std::string UniqueNameFor(const std::string& name, size_t limit) {
  static std::atomic<uint64_t> made{0};
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t mixed = (static_cast<uint64_t>(getpid()) << 32) ^ ++made ^
                   static_cast<uint64_t>(now.tv_sec) * 1000000007u ^
                   static_cast<uint64_t>(now.tv_nsec) ^ reinterpret_cast<uintptr_t>(&now);
  mixed ^= mixed >> 33;  // one round of a 64-bit mixer spreads every input over every digit
  mixed *= 0xff51afd7ed558ccdu;
  mixed ^= mixed >> 33;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(mixed));
  const std::string plain = TemporaryNameFor(name, limit > 21 ? limit - 17 : 4, Bytes);
  return plain.substr(0, plain.size() - 4) + "." + digits + ".tmp";
}

// Makes a file of this save's own in `folder` (with `mode`), which no other save opens: unnamed
// where the system can make one (`unique` then stays empty until LinkUnnamed), else at a new
// UniqueNameFor `name`. -1 when neither can be made.
int OpenUnique(int folder, const std::string& name, size_t limit, mode_t mode,
               std::string& unique) {
  unique.clear();
#if defined(O_TMPFILE)
  const int unnamed = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  // It gets a name through /proc/self/fd, which must be there.
  struct stat self;
  if (unnamed >= 0 && fstatat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(unnamed)).c_str(), &self,
                              AT_SYMLINK_NOFOLLOW) == 0) {
    return unnamed;
  }
  if (unnamed >= 0) CloseFd(unnamed);
#endif
  for (int attempt = 0; attempt < 100; ++attempt) {
    unique = UniqueNameFor(name, limit);
    const int fd = openat(folder, unique.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Gives the unnamed file `fd` in `folder` a new UniqueNameFor `name`, kept in `unique`.
bool LinkUnnamed(int fd, int folder, const std::string& name, size_t limit, std::string& unique) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    unique = UniqueNameFor(name, limit);
    if (linkat(AT_FDCWD, self.c_str(), folder, unique.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) break;
  }
  unique.clear();
  return false;
}

// Reads into `value` what `read(buffer, size)` gives, asking first for the size it needs and
// again should that have grown meanwhile; false with errno as the call left it.
template <typename Read>
bool ReadSized(const Read& read, std::string& value) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t size = read(nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size));
    const ssize_t got = read(value.empty() ? nullptr : &value[0], value.size());
    if (got >= 0) {
      value.resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
  return false;
}

#if defined(__linux__) || defined(__APPLE__)
// The extended attributes of the file that a save replaces, read through a descriptor of their
// own: opened for reading, or on Linux, for a file this user may write but not read, opened only
// as a path and reached through /proc. Not opened when the file is no longer `existing`.
class AttributeSource {
 public:
  AttributeSource(int folder, const std::string& name, const struct stat& existing) {
    fd_ = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
#if defined(O_PATH)
    if (fd_ < 0 && errno == EACCES) {
      fd_ = openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
      if (fd_ >= 0) path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
#endif
    struct stat opened;
    const bool looked = fd_ >= 0 && fstat(fd_, &opened) == 0;
    if (fd_ >= 0 && !(looked && SameFile(opened, existing))) {
      const int error = looked ? EAGAIN : errno;  // replaced meanwhile: a later save may work
      CloseFd(fd_);
      fd_ = -1;
      errno = error;
    }
  }
  // Leaves errno as it was: a failure read from it is the caller's to report.
  ~AttributeSource() {
    const int error = errno;
    if (fd_ >= 0) CloseFd(fd_);
    errno = error;
  }
  AttributeSource(const AttributeSource&) = delete;
  AttributeSource& operator=(const AttributeSource&) = delete;

  int Fd() const {
    return fd_;
  }
  // The names of the attributes, each ended by a zero byte.
  bool Names(std::string& names) const {
    return ReadSized([this](char* list, size_t size) { return List(list, size); }, names);
  }
  bool Value(const char* name, std::string& value) const {
    return ReadSized([&](char* data, size_t size) { return Get(name, data, size); }, value);
  }

 private:
#if defined(__APPLE__)
  ssize_t List(char* list, size_t size) const {
    return flistxattr(fd_, list, size, 0);
  }
  ssize_t Get(const char* name, char* data, size_t size) const {
    return fgetxattr(fd_, name, data, size, 0, 0);
  }
#else
  ssize_t List(char* list, size_t size) const {
    return path_.empty() ? flistxattr(fd_, list, size) : listxattr(path_.c_str(), list, size);
  }
  ssize_t Get(const char* name, char* data, size_t size) const {
    return path_.empty() ? fgetxattr(fd_, name, data, size)
                         : getxattr(path_.c_str(), name, data, size);
  }
#endif

  int fd_ = -1;
  std::string path_;
};
#endif

#if defined(__linux__)
// The access control list of a file, where Linux keeps it.
constexpr char kAccessList[] = "system.posix_acl_access";

// True for an attribute that says who may use the file: the access control lists of POSIX and
// of network file systems.
bool SaysWhoMay(const char* attribute) {
  return std::strncmp(attribute, "system.", 7) == 0;
}

// Gives the temporary file `to` the extended attributes of the file it replaces: its access
// control lists always (one the folder gave the new file is removed where the old file had
// none), the others where this user may set them. False where an access list cannot be made the
// same, or would speak of another owner or group than before (`sameOwners` false), so that
// nobody gains or loses access.
bool CopyAttributes(int folder, const std::string& name, const struct stat& existing, int to,
                    bool sameOwners) {
  const AttributeSource from(folder, name, existing);
  std::string names;
  if (from.Fd() < 0) return false;
  if (!from.Names(names)) {
    if (errno != ENOTSUP && errno != EOPNOTSUPP) return false;
    names.clear();  // a file system without extended attributes
  }
  bool hadList = false;
  for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    const char* const attribute = &names[at];
    std::string value, made;
    if (!from.Value(attribute, value)) {
      if (errno == ENODATA || !SaysWhoMay(attribute)) continue;  // gone, or not this user's
      return false;
    }
    if (SaysWhoMay(attribute) && !sameOwners) {
      errno = EPERM;  // the list would grant the new owners what it granted the old
      return false;
    }
    hadList = hadList || std::strcmp(attribute, kAccessList) == 0;
    if (fsetxattr(to, attribute, value.data(), value.size(), 0) == 0 || !SaysWhoMay(attribute)) {
      continue;
    }
    const int refused = errno;
    const auto get = [&](char* data, size_t size) { return fgetxattr(to, attribute, data, size); };
    if (!ReadSized(get, made) || made != value) {  // unless it has it already
      errno = refused;
      return false;
    }
  }
  return hadList || fremovexattr(to, kAccessList) == 0 || errno == ENODATA || errno == ENOTSUP ||
         errno == EOPNOTSUPP;
}
#elif defined(__APPLE__)
// As on Linux, but here the access control list is not among the extended attributes.
bool CopyAttributes(int folder, const std::string& name, const struct stat& existing, int to,
                    bool sameOwners) {
  const AttributeSource from(folder, name, existing);
  std::string names;
  if (from.Fd() < 0) return false;
  if (from.Names(names)) {
    for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
      std::string value;
      if (from.Value(&names[at], value)) {
        fsetxattr(to, &names[at], value.data(), value.size(), 0, 0);  // where this user may
      }
    }
  }
  acl_t list = acl_get_fd_np(from.Fd(), ACL_TYPE_EXTENDED);
  if (list == nullptr && errno != ENOENT) return errno == ENOTSUP || errno == EOPNOTSUPP;
  if (list != nullptr && !sameOwners) {
    acl_free(list);
    errno = EPERM;  // the list would grant the new owners what it granted the old
    return false;
  }
  if (list == nullptr) list = acl_init(0);  // none: one the folder gave the new file goes
  const bool kept = list != nullptr && (acl_set_fd_np(to, list, ACL_TYPE_EXTENDED) == 0 ||
                                        errno == ENOTSUP || errno == EOPNOTSUPP);
  if (list != nullptr) acl_free(list);
  return kept;
}
#else
// Elsewhere no calls for them are known here: the new file has what the system gives it.
bool CopyAttributes(int, const std::string&, const struct stat&, int, bool) {
  return true;
}
#endif

// Gives the temporary file `fd` the owner, group, extended attributes and permission bits of the
// file `name` in `folder` that it replaces, which `existing` describes; false with errno saying
// why not. Owner and group are set
// one at a time: a user may give a file any group they belong to, but not another owner. The mode
// comes last, since an access list sets it too.
bool TakeOverAttributes(int folder, const std::string& name, int fd, const struct stat& existing) {
  if (fchown(fd, existing.st_uid, static_cast<gid_t>(-1)) != 0 && errno != EPERM) return false;
  if (fchown(fd, static_cast<uid_t>(-1), existing.st_gid) != 0 && errno != EPERM) return false;
  struct stat made;
  return fstat(fd, &made) == 0 &&
         CopyAttributes(folder, name, existing, fd,
                        made.st_uid == existing.st_uid && made.st_gid == existing.st_gid) &&
         fchmod(fd, existing.st_mode & 07777) == 0;
}

// The name of the temporary file for `name` in the open `folder`.
std::string TemporaryNameIn(int folder, const std::string& name) {
  return TemporaryNameFor(name, NameLimit(folder), Bytes);
}

// After a failed stat or open of `path`: kMissing only when no file has that name and a save
// could create it, in a folder that exists and is reached as the save reaches it. So a dangling
// link into a missing folder, or one the save may not follow, fails the load at once rather than
// the save after the user has typed a message. `error` says why.
OpenResult MissingOrFailed(const std::string& path, std::error_code& error) {
  error = LastError();
  if (error != std::errc::no_such_file_or_directory) return OpenResult::kFailed;
  int folder = -1;
  std::string name, resolved;
  if (!Resolve(path, folder, name, resolved, error)) return OpenResult::kFailed;
  struct stat named;
  const bool missing = fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0;
  CloseFd(folder);
  return missing ? OpenResult::kMissing : OpenResult::kFailed;
}

// Opens the regular file `name` in the open `folder` for reading, into `fd`. Anything else found
// there is never opened. `error` says why no file was opened.
OpenResult OpenRegularIn(int folder, const std::string& name, int& fd, std::error_code& error) {
  fd = -1;
  struct stat info;
  if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(info.st_mode)) {
      error = NotRegular(info);
      return OpenResult::kFailed;
    }
    // O_NOFOLLOW and O_NONBLOCK: should a link or FIFO take the name after the check, it is
    // neither followed nor waited for.
    fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) return OpenResult::kOpened;
  }
  error = LastError();
  return errno == ENOENT ? OpenResult::kMissing : OpenResult::kFailed;
}

// Opens the file a save of `name` in `folder` writes, made with `mode` if this call makes it
// (`made`): its temporary file, locked, or, where the file system keeps no locks, a file of its
// own. `temporary` becomes the file's name in `folder`, empty while it has none.
int OpenSaveFile(int folder, const std::string& name, mode_t mode, bool& made,
                 std::string& temporary, const Patience& patience, std::error_code& error) {
  temporary = TemporaryNameIn(folder, name);
  bool noLocks = false;
  const int fd = OpenLocked(folder, temporary, mode, made, noLocks, patience, error);
  if (fd >= 0 || !noLocks) return fd;
  made = true;
  const int own = OpenUnique(folder, name, NameLimit(folder), mode, temporary);
  if (own < 0) error = LastError();
  return own;
}

// Gives up the save file `fd` named `temporary` in `folder` (empty for a file with no name),
// removing it if the name is still its own.
void Discard(int folder, const std::string& temporary, int fd) {
  if (!temporary.empty()) RemoveIfStill(folder, temporary, fd);
  SaveLocks::Get().Close(fd);
}

}  // namespace

// What a save keeps here beyond what every platform does.
struct FileReplacement::Impl {
  struct Writer;  // the thread that writes handed pieces

  // Makes `writer`, with its thread where one can be had, for `save`.
  void StartWriter(FileReplacement& save);
  // Waits until every handed piece is written, and ends the writing thread.
  void StopWriter();

  int folder = -1;           // the target's folder, open while a save is under way
  uint64_t written = 0;      // bytes of the new text written so far
  uint64_t writingBack = 0;  // of them, how many the disk has been asked to take
  Writer* writer = nullptr;  // owned; made by the first Hand(), ended by StopWriter()
  pid_t process = 0;         // the process that saves
  int cancelState = 0;       // the cancellation state Begin() held off
  bool holdsCancel = false;
};

FileReplacement::FileReplacement() = default;

FileReplacement::~FileReplacement() {
  Abandon();
}

std::string TemporaryPathFor(const std::string& target) {
  const size_t slash = target.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  const int folder = open(FolderOf(target).c_str(), kFolderFlags);
  const std::string temporary = TemporaryNameIn(folder, target.substr(name));
  if (folder >= 0) CloseFd(folder);
  return target.substr(0, name) + temporary;
}

FileStamp StampOf(const std::string& path) {
  int folder = -1;
  std::string name, resolved;
  std::error_code unknown;
  if (!Resolve(path, folder, name, resolved, unknown)) return FileStamp();
  struct stat info;
  const bool found = fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  CloseFd(folder);
  return found ? StampFrom(info) : FileStamp();
}

OpenResult FileReader::Open(const std::string& path) {
  Close();
  error_.clear();
  // What the name is now, whatever leads to it: a FIFO or device is never opened.
  // (A path too long for the system to take in one piece is only walked.)
  struct stat info;
  const bool looked = stat(path.c_str(), &info) == 0;
  if (!looked && errno != ENAMETOOLONG) return MissingOrFailed(path, error_);
  if (looked && !S_ISREG(info.st_mode)) {
    error_ = NotRegular(info);
    return OpenResult::kFailed;
  }
  // Then it is read through the folder a save reaches it in, as a save would.
  int folder = -1, fd = -1;
  std::string name, resolved;
  if (!Resolve(path, folder, name, resolved, error_)) return OpenResult::kFailed;
  const OpenResult opened = OpenRegularIn(folder, name, fd, error_);
  CloseFd(folder);
  return opened == OpenResult::kOpened ? Take(fd) : opened;
}

OpenResult FileReader::Open(const FileReplacement& save) {
  Close();
  error_.clear();
  if (save.impl_ == nullptr || save.impl_->folder < 0) {  // no save under way
    error_ = std::make_error_code(std::errc::invalid_argument);
    return OpenResult::kFailed;
  }
  int fd = -1;
  const OpenResult opened = OpenRegularIn(save.impl_->folder, NameOf(save.target_), fd, error_);
  return opened == OpenResult::kOpened ? Take(fd) : opened;
}

OpenResult FileReader::Take(intptr_t handle) {
  const int fd = FdOf(handle);
  struct stat info;
  const bool looked = fstat(fd, &info) == 0;
  if (!looked || !S_ISREG(info.st_mode)) {
    error_ = looked ? NotRegular(info) : LastError();
    CloseFd(fd);
    return OpenResult::kFailed;
  }
  handle_ = fd;
  stamp_ = StampFrom(info);
  Keep(stamp_, fcntl(fd, F_DUPFD_CLOEXEC, 0));
  readFailed_ = false;
  unread_ = stamp_.size;
  read_ = 0;
  setg(buffer_, buffer_, buffer_);
  return OpenResult::kOpened;
}

int64_t FileReader::ReadSome(char* data, size_t size) {
  for (;;) {
    const ssize_t got = read(FdOf(handle_), data, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error_ = LastError();
    return got;
  }
}

void FileReader::Close() {
  if (handle_ >= 0) CloseFd(FdOf(handle_));
  handle_ = -1;
  setg(nullptr, nullptr, nullptr);
}

FileStamp FileReplacement::TargetStamp() const {
  struct stat info;
  if (impl_ == nullptr || impl_->folder < 0 ||
      fstatat(impl_->folder, NameOf(target_).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return FileStamp();
  }
  return StampFrom(info);
}

bool FileReplacement::Begin(const std::string& path, const SaveWait& waiting) {
  Abandon();
  error_.clear();
  if (impl_ == nullptr) impl_.reset(new (std::nothrow) Impl);
  if (impl_ == nullptr) {
    Fail(std::make_error_code(std::errc::not_enough_memory));
    return false;
  }
  Impl& impl = *impl_;
  // A save runs to its end: a cancellation acts after Commit() or Abandon().
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &impl.cancelState);
  impl.holdsCancel = true;
  impl.process = getpid();
  impl.written = impl.writingBack = 0;
  const Patience patience{waiting, std::chrono::steady_clock::now(), othersWait_};
  std::error_code error;
  std::string name;
  int folder = -1;
  if (Resolve(path, folder, name, target_, error)) impl.folder = folder;
  struct stat existing;
  bool exists = false;
  ok_ = impl.folder >= 0 && MayReplace(folder, name, existing, exists, error);
  for (int attempt = 0; ok_; ++attempt) {
    // The text goes only into a file this save made, which no one else can have open: one that
    // replaces another starts private and takes the old one's attributes before any data is in
    // it; a new file is made with what a plain create gives.
    const mode_t mode = exists ? 0600 : 0666;
    bool made = false;
    std::string temporary;
    handle_ = OpenSaveFile(folder, name, mode, made, temporary, patience, error);
    temporary_ = temporary.empty() ? "" : Beside(target_, temporary);
    // Once more with it open: the file may have been made read-only, or made at all, meanwhile.
    ok_ = handle_ >= 0 && MayReplace(folder, name, existing, exists, error);
    if (!ok_ || (made && mode == (exists ? 0600 : 0666))) break;
    Discard(folder, temporary, FdOf(handle_));  // a leftover, or made for the other case: anew
    handle_ = -1;
    ok_ = attempt < 100;
    if (!ok_) error = ErrorOf(EAGAIN);  // the file came and went all the while
  }
  struct stat made;
  if (ok_ && (ftruncate(FdOf(handle_), 0) != 0 || fstat(FdOf(handle_), &made) != 0 ||
              (exists && !TakeOverAttributes(folder, name, FdOf(handle_), existing)))) {
    ok_ = false;
    error = LastError();
  }
  if (ok_) stamp_ = StampFrom(made);  // which file is this save's own, till Commit() is done
  if (!ok_) Fail(error);
  if (!ok_) Abandon();
  return ok_;
}

// The pieces of a save's text, written on a thread of their own so that producing the text and
// copying it to the system overlap: one piece at a time, handed over only once the last is out.
struct FileReplacement::Impl::Writer {
  FileReplacement* save;
  pthread_t thread{};
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
  std::string piece;     // being written while `busy`
  bool started = false;  // false when no thread could be had: the save writes as it goes
  bool busy = false;
  bool stopping = false;

  explicit Writer(FileReplacement* of) : save(of) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() {
    pthread_cond_destroy(&changed);
    pthread_mutex_destroy(&lock);
  }

  static void* Run(void* self) {
    Writer& writer = *static_cast<Writer*>(self);
    pthread_mutex_lock(&writer.lock);
    for (;;) {
      while (!writer.busy && !writer.stopping) pthread_cond_wait(&writer.changed, &writer.lock);
      if (!writer.busy) break;
      pthread_mutex_unlock(&writer.lock);
      writer.save->WriteNow(writer.piece.data(), writer.piece.size());
      pthread_mutex_lock(&writer.lock);
      writer.busy = false;
      pthread_cond_broadcast(&writer.changed);
    }
    pthread_mutex_unlock(&writer.lock);
    return nullptr;
  }

  // Waits, with `lock` held, until the piece handed last is written.
  void WaitUntilIdle() {
    while (busy) pthread_cond_wait(&changed, &lock);
  }
};

bool FileReplacement::Write(const char* data, size_t size) {
  if (impl_ != nullptr && impl_->writer != nullptr) {  // after what was handed before
    const NoCancel waiting;
    pthread_mutex_lock(&impl_->writer->lock);
    impl_->writer->WaitUntilIdle();
    pthread_mutex_unlock(&impl_->writer->lock);
  }
  return WriteNow(data, size);
}

bool FileReplacement::Hand(std::string& piece) {
  // A save under way has its Impl.
  if (ok_ && handle_ >= 0 && impl_->writer == nullptr) impl_->StartWriter(*this);
  Impl::Writer* const writer = impl_ == nullptr ? nullptr : impl_->writer;
  if (writer == nullptr || !writer->started) {  // written here and now
    const bool ok = Write(piece.data(), piece.size());
    piece.clear();
    return ok;
  }
  const NoCancel waiting;
  pthread_mutex_lock(&writer->lock);
  writer->WaitUntilIdle();
  const bool ok = ok_;
  const size_t size = piece.size();
  if (ok) {
    writer->piece.swap(piece);  // the caller goes on in the buffer written last
    writer->busy = true;
    pthread_cond_broadcast(&writer->changed);
  }
  pthread_mutex_unlock(&writer->lock);
  piece.clear();
  piece.reserve(size);  // the next piece grows no more than this one did
  return ok;
}

void FileReplacement::Impl::StartWriter(FileReplacement& save) {
  writer = new (std::nothrow) Writer(&save);
  if (writer == nullptr) return;
  // The thread takes no signal meant for the program, which stays with the program's own
  // threads, so its writes are never cut short by one; those its own work raises (the file size
  // limit's among them) it takes as the calling thread would, blocked where the caller blocks
  // them.
  sigset_t program, before;
  sigfillset(&program);
  for (const int own : {SIGXFSZ, SIGPIPE, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
    sigdelset(&program, own);
  pthread_sigmask(SIG_BLOCK, &program, &before);
  writer->started = pthread_create(&writer->thread, nullptr, Writer::Run, writer) == 0;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void FileReplacement::Impl::StopWriter() {
  if (writer == nullptr) return;
  if (writer->started && process != getpid()) {
    writer = nullptr;  // a child made by fork: the thread, and what it holds, stayed behind
    return;
  }
  if (writer->started) {
    const NoCancel waiting;
    pthread_mutex_lock(&writer->lock);
    writer->WaitUntilIdle();
    writer->stopping = true;
    pthread_cond_broadcast(&writer->changed);
    pthread_mutex_unlock(&writer->lock);
    pthread_join(writer->thread, nullptr);
  }
  delete writer;
  writer = nullptr;
}

bool FileReplacement::WriteNow(const char* data, size_t size) {
  if (!ok_ || handle_ < 0) {
    Fail(std::make_error_code(std::errc::bad_file_descriptor));  // no save under way
  } else if (impl_->process != getpid()) {                       // a save under way has its Impl
    // A child made by fork shares the file, which is its parent's to write.
    Fail(std::make_error_code(std::errc::operation_not_permitted));
  } else if (!WriteAll(FdOf(handle_), data, size)) {
    Fail(LastError());
  }
  if (!ok_) return false;
  Impl& impl = *impl_;
  impl.written += size;
  // The disk is given the text in pieces of some megabytes: each call costs its own time.
  constexpr uint64_t kWriteback = uint64_t{8} << 20;
  if (impl.written - impl.writingBack >= kWriteback) {
    StartWriteback(FdOf(handle_), impl.writingBack, impl.written - impl.writingBack);
    impl.writingBack = impl.written;
  }
  return true;
}

bool FileReplacement::Commit() {
  if (impl_ != nullptr) impl_->StopWriter();
  const int fd = FdOf(handle_);
  const int folder = impl_ == nullptr ? -1 : impl_->folder;
  const std::string name = NameOf(target_);
  if (!ok_ || handle_ < 0) {
    Fail(std::make_error_code(std::errc::bad_file_descriptor));  // no save under way
  } else if (impl_->process != getpid()) {
    Fail(std::make_error_code(std::errc::operation_not_permitted));  // the parent's to rename
  } else if (!FlushToDisk(fd)) {
    Fail(LastError());
  }
  if (ok_ && temporary_.empty()) {  // an unnamed file gets its name now
    std::string linked;
    if (!LinkUnnamed(fd, folder, name, NameLimit(folder), linked)) Fail(LastError());
    temporary_ = Beside(target_, linked);
  }
  // Only this save's own file is renamed into place (Begin() noted which it is in `stamp_`): a
  // name taken from it meanwhile, by a save that found no lock, now names someone else's.
  struct stat named;
  const std::string own = NameOf(temporary_);
  if (ok_ && fstatat(folder, own.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) Fail(LastError());
  if (ok_ && (static_cast<uint64_t>(named.st_dev) != stamp_.device ||
              static_cast<uint64_t>(named.st_ino) != stamp_.file)) {
    Fail(FileError::kTemporaryInTheWay);
  }
  if (ok_ && renameat(folder, own.c_str(), folder, name.c_str()) != 0) Fail(LastError());
  if (!ok_) {
    Abandon();
    return false;
  }
  temporary_.clear();  // the name is the database's now, never to be removed
  struct stat info, opened;
  const bool known = fstat(fd, &info) == 0;
  stamp_ = known ? StampFrom(info) : FileStamp();
  // Its own open file, without the lock: the lock goes with this save's descriptor.
  const int kept = known ? openat(folder, name.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                         : -1;
  if (kept >= 0 && fstat(kept, &opened) == 0 && SameFile(info, opened)) {
    Keep(stamp_, kept);
  } else if (kept >= 0) {
    CloseFd(kept);
  }
  FlushFolder(folder);
  SaveLocks::Get().Close(fd);  // releases the lock, now that the new file is in place
  handle_ = -1;
  Abandon();  // what is left: the folder, and the cancellation held off
  return true;
}

void FileReplacement::Abandon() {
  int before = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &before);
  if (impl_ != nullptr) impl_->StopWriter();
  if (handle_ >= 0) {  // a save under way, which has its Impl
    // Only the saving process removes its file, and only while the name is still the file's.
    const std::string temporary = impl_->process == getpid() ? NameOf(temporary_) : "";
    Discard(impl_->folder, temporary, FdOf(handle_));
    handle_ = -1;
  }
  temporary_.clear();
  ok_ = false;
  if (impl_ != nullptr) {
    if (impl_->folder >= 0) CloseFd(impl_->folder);
    impl_->folder = -1;
    if (impl_->holdsCancel) before = impl_->cancelState;
    impl_->holdsCancel = false;
  }
  pthread_setcancelstate(before, nullptr);
}

}  // namespace newsdb

#endif  // !_WIN32
