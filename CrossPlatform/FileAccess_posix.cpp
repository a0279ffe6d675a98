// Database files on Linux, macOS and other POSIX systems.
#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

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

// True when the system itself would follow the link `link` (whose details are `info`) for this
// user: outside a sticky, world-writable folder always; inside one only when this user or the
// folder's owner owns the link. Links another user planted in such a shared folder are what
// this guards against.
bool MayFollow(const std::string& link, const struct stat& info) {
  struct stat folder;
  if (stat(FolderOf(link).c_str(), &folder) != 0) return false;
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return !shared || info.st_uid == geteuid() || info.st_uid == folder.st_uid;
}

// Follows symbolic links from `path` to the file they finally name, which need not exist. False
// on a loop, an unreadable link, or a link that may not be followed.
bool ResolveLinks(const std::string& path, std::string& resolved) {
  resolved = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(resolved.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    if (!MayFollow(resolved, info)) return false;
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
    const ssize_t length = readlink(resolved.c_str(), &link[0], link.size());
    if (length <= 0 || static_cast<size_t>(length) >= link.size()) return false;
    link.resize(static_cast<size_t>(length));
    const size_t slash = resolved.rfind('/');
    if (link[0] == '/' || slash == std::string::npos) {
      resolved = link;
    } else {
      resolved.resize(slash + 1);  // a relative link is read from its own folder
      resolved += link;
    }
  }
  return false;
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

// Starts writing what has been written to `fd` so far to the disk, without waiting for it, so
// that the disk works while the rest of the text is produced and the flush before the rename
// finds little left to do. Only Linux offers this; elsewhere the flush does it all.
void StartWriteback(int fd) {
#if defined(__linux__)
  sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);  // a hint: the flush still checks everything
#else
  (void)fd;
#endif
}

// Flushes `fd` all the way to the disk; plain fsync stops at the drive's cache on macOS.
bool FlushToDisk(int fd) {
#if defined(F_FULLFSYNC)
  if (fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
  return fsync(fd) == 0;
}

// Flushes the folder holding `path`, so that a finished rename survives a power loss.
void FlushFolderOf(const std::string& path) {
  const int fd = open(FolderOf(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // the rename has happened either way; this only hastens its durability
  close(fd);
}

// An existing target may be replaced only if it is a regular file this user may write, as a
// truncating write would need: the rename alone needs no more than the folder's permission.
bool MayReplace(const std::string& target, struct stat& existing, bool& exists) {
  exists = stat(target.c_str(), &existing) == 0;
  if (!exists) return errno == ENOENT;
  return S_ISREG(existing.st_mode) && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
}

// How long a save waits for another user's save, which might hold its lock for ever, and for
// another user's temporary file to leave its private first moments.
constexpr auto kOthersWait = std::chrono::seconds(10);

// Locks `fd`, waiting however long it takes, or until `deadline` if there is one.
bool Lock(int fd, const std::chrono::steady_clock::time_point* deadline) {
  for (;;) {
    if (flock(fd, deadline == nullptr ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= *deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Opens and locks the temporary file `temporary`, waiting for the save that holds it. After the
// lock is granted the file must still be the one at that name: the save that held it may have
// renamed it into place or removed it, and then the next one is tried. Only a plain file of this
// user's own with no other name is returned; anything else found locked there is left over from
// another user's killed save, or planted, and is never written: its name is removed where the
// folder allows (never in a shared sticky folder), and a file of this user's own takes its place.
int OpenLocked(const std::string& temporary, mode_t mode) {
  const auto deadline = std::chrono::steady_clock::now() + kOthersWait;
  for (;;) {
    // O_NOFOLLOW: a link planted at the temporary name is never written through.
    const int fd = open(temporary.c_str(),
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    struct stat held, named;
    if (fd < 0) {
      // Another user's save keeps its file private until it has the database's permissions.
      const bool busy = errno == EACCES && lstat(temporary.c_str(), &named) == 0;
      if (!busy || std::chrono::steady_clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      close(fd);
      return -1;
    }
    // This user's own saves are waited for however long they take.
    const bool own = held.st_uid == geteuid() && held.st_nlink == 1;
    if (!Lock(fd, own ? nullptr : &deadline)) {
      close(fd);
      return -1;
    }
    const bool named_exists = lstat(temporary.c_str(), &named) == 0;
    if (named_exists && SameFile(held, named)) {
      if (own) return fd;
      const bool removed = unlink(temporary.c_str()) == 0;
      close(fd);
      if (!removed) return -1;
    } else {
      close(fd);
      if (!named_exists && errno != ENOENT) return -1;
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

// After a failed stat or open of `path`: kMissing only when no file has that name in a folder
// that exists, where a save could create it.
OpenResult MissingOrFailed(const std::string& path) {
  if (errno != ENOENT || path.empty()) return OpenResult::kFailed;
  struct stat folder;
  const bool inFolder = stat(FolderOf(path).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode);
  return inFolder ? OpenResult::kMissing : OpenResult::kFailed;
}

}  // namespace

std::string TemporaryPathFor(const std::string& target) {
  const size_t slash = target.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  return target.substr(0, name) + "." + target.substr(name) + ".tmp";
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
  ok_ = false;
  if (!ResolveLinks(path, target_) || NameOf(target_).empty()) return false;
  struct stat existing;
  bool exists = false;
  if (!MayReplace(target_, existing, exists)) return false;
  temporary_ = TemporaryPathFor(target_);
  // A file that replaces another starts private and takes the old one's owner and mode before
  // any data is in it; a new file gets what a plain create gives.
  const int fd = OpenLocked(temporary_, exists ? 0600 : 0666);
  if (fd < 0) return false;
  handle_ = fd;
  // Once more under the lock: the file may have been made read-only, or made at all, meanwhile.
  ok_ = MayReplace(target_, existing, exists) && ftruncate(fd, 0) == 0 &&
        (!exists || TakeOverAttributes(fd, existing));
  if (!ok_) Abandon();
  return ok_;
}

bool FileReplacement::Write(const char* data, size_t size) {
  ok_ = ok_ && handle_ >= 0 && WriteAll(FdOf(handle_), data, size);
  if (ok_) StartWriteback(FdOf(handle_));
  return ok_;
}

bool FileReplacement::Commit() {
  if (handle_ < 0) return false;
  const int fd = FdOf(handle_);
  ok_ = ok_ && FlushToDisk(fd) && rename(temporary_.c_str(), target_.c_str()) == 0;
  if (!ok_) {
    Abandon();
    return false;
  }
  struct stat info, opened;
  stamp_ = fstat(fd, &info) == 0 ? StampFrom(info) : FileStamp();
  // Its own open file, without the lock: the lock goes with this save's descriptor.
  const int kept = open(target_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (kept >= 0 && fstat(kept, &opened) == 0 && SameFile(info, opened)) {
    Keep(stamp_, kept);
  } else if (kept >= 0) {
    close(kept);
  }
  FlushFolderOf(target_);
  close(fd);  // releases the lock, now that the new file is in place
  handle_ = -1;
  return true;
}

void FileReplacement::Abandon() {
  if (handle_ < 0) return;
  unlink(temporary_.c_str());  // still under the lock, so it is this save's own file
  close(FdOf(handle_));
  handle_ = -1;
  ok_ = false;
}

#endif  // !_WIN32
