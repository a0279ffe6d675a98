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
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "FileAccess.h"

namespace {

// The largest single read or write; macOS refuses larger ones.
constexpr size_t kMaxTransfer = size_t{1} << 30;

int FdOf(intptr_t handle) {
  return static_cast<int>(handle);
}

int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// Keeps `fd` open for as long as `stamp` or a copy of it lives.
void Keep(FileStamp& stamp, int fd) {
  if (fd >= 0)
    stamp.keep = std::shared_ptr<void>(new int(fd), [](void* held) {
      close(*static_cast<int*>(held));
      delete static_cast<int*>(held);
    });
}

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

// A folder where everyone may create files but only their owners remove them, such as /tmp.
bool SharedSticky(const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

// True when the system itself would follow the link described by `link` in the folder `folder`
// for this user: outside a shared sticky folder always; inside one only when this user or the
// folder's owner owns the link. Links another user planted in such a folder are what this guards
// against.
bool MayFollow(const struct stat& folder, const struct stat& link) {
  return !SharedSticky(folder) || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// True when this user may remove `file` from `folder` for a save: in a shared sticky folder only
// their own; elsewhere the folder's permissions decide.
bool MayRemove(const struct stat& folder, const struct stat& file) {
  return !SharedSticky(folder) || file.st_uid == geteuid();
}

// How folders are opened on the way to a file: where the system can, with only the right to pass
// through them, as the system's own lookup needs; never through a link.
#if defined(O_PATH)
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kFolderFlags = O_SEARCH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

// Adds the parts of the path `text` to `ahead`, the parts still to walk, so that the first of
// them is walked next (it is last in `ahead`).
void PushParts(const std::string& text, std::vector<std::string>& ahead) {
  for (size_t end = text.size(), slash; end != std::string::npos; end = slash) {
    slash = end == 0 ? std::string::npos : text.rfind('/', end - 1);
    const size_t begin = slash == std::string::npos ? 0 : slash + 1;
    if (end > begin) ahead.push_back(text.substr(begin, end - begin));
  }
}

// Reads into `target` what the link `name` in the open folder `folder` names, when this user may
// follow it; `info` describes the link.
bool ReadLinkToFollow(int folder, const std::string& name, const struct stat& info,
                      std::string& target) {
  struct stat here;
  if (fstat(folder, &here) != 0 || !MayFollow(here, info)) return false;
  target.assign(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
  const ssize_t length = readlinkat(folder, name.c_str(), &target[0], target.size());
  if (length <= 0 || static_cast<size_t>(length) >= target.size()) return false;
  target.resize(static_cast<size_t>(length));
  return true;
}

// A walk through folders as the system's own lookup makes it: the folder reached, open, and its
// path without links.
class Walk {
 public:
  explicit Walk(bool absolute)
      : absolute_(absolute), at_(open(absolute ? "/" : ".", kFolderFlags)) {}
  ~Walk() {
    if (at_ >= 0) close(at_);
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // The folder reached; -1 once a step has failed.
  int At() const { return at_; }
  // Goes into the folder `part` of this one, "." and ".." included.
  void Enter(const std::string& part) {
    if (part == ".") return;
    Move(openat(at_, part.c_str(), kFolderFlags));
    if (part != "..") {
      walked_.push_back(part);
    } else if (!walked_.empty() && walked_.back() != "..") {
      walked_.pop_back();
    } else if (!absolute_) {
      walked_.push_back("..");
    }  // else at the root, whose ".." is itself
  }
  // Starts again from the root, for a link that does.
  void Restart() {
    Move(open("/", kFolderFlags));
    absolute_ = true;
    walked_.clear();
  }
  // Hands over the folder reached; `resolved` becomes the path without links of `name` in it.
  int Finish(const std::string& name, std::string& resolved) {
    resolved = absolute_ ? "/" : "";
    for (const std::string& part : walked_) resolved += part + "/";
    resolved += name;
    const int folder = at_;
    at_ = -1;
    return folder;
  }

 private:
  void Move(int folder) {
    close(at_);
    at_ = folder;
  }

  bool absolute_;
  int at_;
  std::vector<std::string> walked_;
};

// Walks `path` part by part as the system would, following each symbolic link, whether to a
// folder or to the file itself, but only where MayFollow allows. The folder of the file it names
// stays open in `folder`, where every later step is taken, so no link is followed unchecked.
// `name` is the file's name there (it need not exist) and `resolved` its path without links.
// False, with `folder` -1, on a missing folder, a loop or a link that may not be followed.
bool Resolve(const std::string& path, int& folder, std::string& name, std::string& resolved) {
  folder = -1;
  name.clear();
  if (path.empty() || path.back() == '/') return false;
  std::vector<std::string> ahead;
  PushParts(path, ahead);
  Walk walk(path[0] == '/');
  for (int links = 0; walk.At() >= 0 && !ahead.empty();) {
    const std::string part = ahead.back();
    ahead.pop_back();
    const bool last = ahead.empty();
    struct stat info;
    if (part == "." || part == "..") {
      if (last) return false;  // a folder, not a file
      walk.Enter(part);
    } else if (fstatat(walk.At(), part.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (!last || errno != ENOENT) return false;
      name = part;  // a file still to be made
    } else if (S_ISLNK(info.st_mode)) {
      std::string target;
      if (++links > 40 || !ReadLinkToFollow(walk.At(), part, info, target)) return false;
      if (last && target.back() == '/') return false;  // a folder, not a file
      PushParts(target, ahead);
      if (target[0] == '/') walk.Restart();
    } else if (last) {
      name = part;
    } else {
      walk.Enter(part);
    }
  }
  if (walk.At() < 0 || name.empty()) return false;
  folder = walk.Finish(name, resolved);
  return true;
}

// Writes all of `size` bytes to `fd`, resuming after interruptions and short writes.
bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size < kMaxTransfer ? size : kMaxTransfer);
    if (written < 0 && errno == EINTR) continue;
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
  if (fd < 0) return;
  fsync(fd);  // the rename has happened either way; this only hastens its durability
  close(fd);
}

// An existing file `name` in `folder` may be replaced only if it is a regular file this user may
// write, as a truncating write would need: the rename alone needs no more than the folder's
// permission.
bool MayReplace(int folder, const std::string& name, struct stat& existing, bool& exists) {
  exists = fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists) return errno == ENOENT;
  return S_ISREG(existing.st_mode) && faccessat(folder, name.c_str(), W_OK, AT_EACCESS) == 0;
}

// How long a save waits for another user's save, which might hold its lock for ever, and for
// another user's temporary file to leave its private first moments.
constexpr auto kOthersWait = std::chrono::seconds(10);

// True for the errors of a file system that keeps no locks (a network file system without its
// lock service): saves go on there unlocked.
bool LocksUnsupported(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS;
}

// Locks `fd`, waiting however long it takes, or until `deadline` if there is one. True also
// where the file system has no locks.
bool Lock(int fd, const std::chrono::steady_clock::time_point* deadline) {
  for (;;) {
    if (flock(fd, deadline == nullptr ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (LocksUnsupported(errno)) return true;
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= *deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Removes the file open as `fd`, which this save made at `name` in `folder`, unless that name
// has been given to another file since.
void RemoveMade(int folder, const std::string& name, int fd) {
  struct stat made, named;
  if (fstat(fd, &made) != 0 || fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      SameFile(made, named)) {
    unlinkat(folder, name.c_str(), 0);
  }
}

// Opens the plain file at `name` in `folder` for writing, or makes it (with `mode`) if nothing is
// there. Anything else found there is never opened, so nothing is written through a link and a
// FIFO cannot block: it is removed where `MayRemove` allows and the name is tried again. -1 when
// nothing may be opened; `created` tells whether this call made the file.
int OpenPlain(int folder, const struct stat& folderInfo, const std::string& name, mode_t mode,
              bool& created) {
  const auto deadline = std::chrono::steady_clock::now() + kOthersWait;
  // O_NOFOLLOW and O_NONBLOCK: should a link or FIFO take the name after the check, it is
  // neither followed nor waited for.
  const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  for (;;) {
    struct stat named;
    const bool missing = fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0;
    if (missing && errno != ENOENT) return -1;
    if (!missing && !S_ISREG(named.st_mode)) {
      // A folder may hold others' files: it is never removed.
      if (S_ISDIR(named.st_mode) || !MayRemove(folderInfo, named) ||
          (unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT)) {
        return -1;
      }
      continue;
    }
    const int fd = openat(folder, name.c_str(), missing ? flags | O_CREAT | O_EXCL : flags, mode);
    created = missing;
    if (fd >= 0) return fd;
    if (errno == ENOENT || errno == EEXIST || errno == ELOOP) continue;  // changed meanwhile
    // Another user's save keeps its file private until it has the database's permissions.
    if (errno != EACCES || missing || std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Opens and locks the temporary file `name` in `folder`, waiting for the save that holds it.
// After the lock is granted the file must still be the one at that name: the save that held it
// may have renamed it into place or removed it, and then the next one is tried. Only a plain file
// of this user's own with no other name is returned; anything else found locked there is left
// over from another user's killed save, or planted, and is never written: its name is removed
// where `MayRemove` allows, and a file of this user's own takes its place. A file this call made
// is removed again if it fails.
int OpenLocked(int folder, const std::string& name, mode_t mode) {
  struct stat folderInfo;
  if (fstat(folder, &folderInfo) != 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + kOthersWait;
  for (;;) {
    bool created = false;
    const int fd = OpenPlain(folder, folderInfo, name, mode, created);
    if (fd < 0) return -1;
    struct stat held;
    const bool seen = fstat(fd, &held) == 0;
    // This user's own saves are waited for however long they take.
    const bool own =
        seen && S_ISREG(held.st_mode) && held.st_uid == geteuid() && held.st_nlink == 1;
    if (!seen || !Lock(fd, own ? nullptr : &deadline)) {
      if (created) RemoveMade(folder, name, fd);
      close(fd);
      return -1;
    }
    struct stat named;
    const bool namedExists = fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
    if (namedExists && SameFile(held, named)) {
      if (own) return fd;
      const bool removed = MayRemove(folderInfo, held) && unlinkat(folder, name.c_str(), 0) == 0;
      close(fd);
      if (!removed) return -1;
    } else {
      close(fd);
      if (!namedExists && errno != ENOENT) return -1;
    }
  }
}

// Gives the temporary file `fd` the owner, group and permission bits of the file it replaces.
// Owner and group are set one at a time: a user may give a file any group they belong to, but
// not another owner.
bool TakeOverAttributes(int fd, const struct stat& existing) {
  if (fchown(fd, existing.st_uid, static_cast<gid_t>(-1)) != 0 && errno != EPERM) return false;
  if (fchown(fd, static_cast<uid_t>(-1), existing.st_gid) != 0 && errno != EPERM) return false;
  return fchmod(fd, existing.st_mode & 07777) == 0;
}

size_t Bytes(const std::string& text) {
  return text.size();
}

// The name of the temporary file for `name` in the open `folder`, whose names have a limit of
// their own (255 bytes if it cannot be asked).
std::string TemporaryNameIn(int folder, const std::string& name) {
  errno = 0;
  const long limit = folder < 0 ? -1 : fpathconf(folder, _PC_NAME_MAX);
  const size_t bytes = limit > 0                   ? static_cast<size_t>(limit)
                       : folder >= 0 && errno == 0 ? SIZE_MAX  // no limit at all
                                                   : 255;
  return TemporaryNameFor(name, bytes, Bytes);
}

// After a failed stat or open of `path`: kMissing only when no file has that name and a save
// could create it, in a folder that exists and is reached as the save reaches it. So a dangling
// link into a missing folder, or one the save may not follow, fails the load at once rather than
// the save after the user has typed a message.
OpenResult MissingOrFailed(const std::string& path) {
  if (errno != ENOENT) return OpenResult::kFailed;
  int folder = -1;
  std::string name, resolved;
  if (!Resolve(path, folder, name, resolved)) return OpenResult::kFailed;
  struct stat named;
  const bool missing = fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0;
  close(folder);
  return missing ? OpenResult::kMissing : OpenResult::kFailed;
}

}  // namespace

std::string TemporaryPathFor(const std::string& target) {
  const size_t slash = target.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  const int folder = open(FolderOf(target).c_str(), kFolderFlags);
  const std::string temporary = TemporaryNameIn(folder, target.substr(name));
  if (folder >= 0) close(folder);
  return target.substr(0, name) + temporary;
}

FileStamp StampOf(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return FileStamp();
  return StampFrom(info);
}

OpenResult FileReader::Open(const std::string& path) {
  Close();
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return MissingOrFailed(path);
  if (!S_ISREG(info.st_mode)) return OpenResult::kFailed;
  // O_NONBLOCK: should the name have become a FIFO since the check, opening still returns.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return MissingOrFailed(path);
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return OpenResult::kFailed;
  }
  handle_ = fd;
  stamp_ = StampFrom(info);
  Keep(stamp_, fcntl(fd, F_DUPFD_CLOEXEC, 0));
  readFailed_ = false;
  unread_ = stamp_.size;
  setg(buffer_, buffer_, buffer_);
  return OpenResult::kOpened;
}

int64_t FileReader::ReadSome(char* data, size_t size) {
  for (;;) {
    const ssize_t got = read(FdOf(handle_), data, size);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

void FileReader::Close() {
  if (handle_ >= 0) close(FdOf(handle_));
  handle_ = -1;
  setg(nullptr, nullptr, nullptr);
}

bool FileReplacement::Begin(const std::string& path) {
  Abandon();
  written_ = writingBack_ = 0;
  std::string name;
  int folder = -1;
  if (!Resolve(path, folder, name, target_)) return false;
  folder_ = folder;
  struct stat existing;
  bool exists = false;
  if (!MayReplace(folder, name, existing, exists)) {
    Abandon();
    return false;
  }
  const std::string temporary = TemporaryNameIn(folder, name);
  temporary_ = target_.substr(0, target_.size() - name.size()) + temporary;
  // A file that replaces another starts private and takes the old one's owner and mode before
  // any data is in it; a new file gets what a plain create gives.
  handle_ = OpenLocked(folder, temporary, exists ? 0600 : 0666);
  // Once more under the lock: the file may have been made read-only, or made at all, meanwhile.
  ok_ = handle_ >= 0 && MayReplace(folder, name, existing, exists) &&
        ftruncate(FdOf(handle_), 0) == 0 &&
        (!exists || TakeOverAttributes(FdOf(handle_), existing));
  if (!ok_) Abandon();
  return ok_;
}

// Holds off the cancellation of the calling thread while it lives: a thread cancelled while it
// waits for the writer would take the writer's lock with it and hang in its own clean-up.
class NoCancel {
 public:
  NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &before_); }
  ~NoCancel() { pthread_setcancelstate(before_, nullptr); }
  NoCancel(const NoCancel&) = delete;
  NoCancel& operator=(const NoCancel&) = delete;

 private:
  int before_ = PTHREAD_CANCEL_ENABLE;
};

// The pieces of a save's text, written on a thread of their own so that producing the text and
// copying it to the system overlap: one piece at a time, handed over only once the last is out.
struct FileReplacement::Writer {
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
  if (writer_ != nullptr) {  // after what was handed before
    const NoCancel waiting;
    pthread_mutex_lock(&writer_->lock);
    writer_->WaitUntilIdle();
    pthread_mutex_unlock(&writer_->lock);
  }
  return WriteNow(data, size);
}

bool FileReplacement::Hand(std::string& piece) {
  if (writer_ == nullptr && ok_ && handle_ >= 0) StartWriter();
  if (writer_ == nullptr || !writer_->started) {  // written here and now
    const bool ok = Write(piece.data(), piece.size());
    piece.clear();
    return ok;
  }
  const NoCancel waiting;
  pthread_mutex_lock(&writer_->lock);
  writer_->WaitUntilIdle();
  const bool ok = ok_;
  const size_t size = piece.size();
  if (ok) {
    writer_->piece.swap(piece);  // the caller goes on in the buffer written last
    writer_->busy = true;
    pthread_cond_broadcast(&writer_->changed);
  }
  pthread_mutex_unlock(&writer_->lock);
  piece.clear();
  piece.reserve(size);  // the next piece grows no more than this one did
  return ok;
}

void FileReplacement::StartWriter() {
  writer_ = new (std::nothrow) Writer(this);
  if (writer_ == nullptr) return;
  // The thread takes no signal meant for the program, which stays with the program's own
  // threads, so its writes are never cut short by one; those its own work raises (the file size
  // limit's among them) it takes as the calling thread would.
  sigset_t all, before;
  sigfillset(&all);
  for (const int own : {SIGXFSZ, SIGPIPE, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigdelset(&all, own);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  writer_->started = pthread_create(&writer_->thread, nullptr, Writer::Run, writer_) == 0;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void FileReplacement::StopWriter() {
  if (writer_ == nullptr) return;
  if (writer_->started) {
    const NoCancel waiting;
    pthread_mutex_lock(&writer_->lock);
    writer_->WaitUntilIdle();
    writer_->stopping = true;
    pthread_cond_broadcast(&writer_->changed);
    pthread_mutex_unlock(&writer_->lock);
    pthread_join(writer_->thread, nullptr);
  }
  delete writer_;
  writer_ = nullptr;
}

bool FileReplacement::WriteNow(const char* data, size_t size) {
  ok_ = ok_ && handle_ >= 0 && WriteAll(FdOf(handle_), data, size);
  if (!ok_) return false;
  written_ += size;
  // The disk is given the text in pieces of some megabytes: each call costs its own time.
  constexpr uint64_t kWriteback = uint64_t{8} << 20;
  if (written_ - writingBack_ >= kWriteback) {
    StartWriteback(FdOf(handle_), writingBack_, written_ - writingBack_);
    writingBack_ = written_;
  }
  return true;
}

bool FileReplacement::Commit() {
  StopWriter();
  if (handle_ < 0) return false;
  const int fd = FdOf(handle_);
  const int folder = FdOf(folder_);
  const std::string name = NameOf(target_);
  ok_ = ok_ && FlushToDisk(fd) &&
        renameat(folder, NameOf(temporary_).c_str(), folder, name.c_str()) == 0;
  if (!ok_) {
    Abandon();
    return false;
  }
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
    close(kept);
  }
  FlushFolder(folder);
  close(fd);  // releases the lock, now that the new file is in place
  handle_ = -1;
  close(folder);
  folder_ = -1;
  return true;
}

void FileReplacement::Abandon() {
  StopWriter();
  if (handle_ >= 0) {
    // Still under the lock, so it is this save's own file.
    unlinkat(FdOf(folder_), NameOf(temporary_).c_str(), 0);
    close(FdOf(handle_));
    handle_ = -1;
  }
  if (folder_ >= 0) close(FdOf(folder_));
  folder_ = -1;
  ok_ = false;
}

#endif  // !_WIN32
