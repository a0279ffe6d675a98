// The path walk of PathWalk_posix.h.
#if !defined(_WIN32)

// As in FileAccess_posix.cpp, before any system header: both must see one struct stat.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64
#endif
#if !defined(_TIME_BITS)
#define _TIME_BITS 64
#endif

#include "PathWalk_posix.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "FileAccess.h"

namespace newsdb {

namespace {

// True when the system itself would follow the link described by `link` in the folder `folder`
// for this user: outside a shared sticky folder always; inside one only when this user or the
// folder's owner owns the link. Links another user planted in such a folder are what this guards
// against.
bool MayFollow(const struct stat& folder, const struct stat& link) {
  return !SharedSticky(folder) || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

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
// follow it; `info` describes the link. False with `error` saying why not.
bool ReadLinkToFollow(int folder, const std::string& name, const struct stat& info,
                      std::string& target, std::error_code& error) {
  struct stat here;
  if (fstat(folder, &here) != 0) {
    error = LastError();
    return false;
  }
  if (!MayFollow(here, info)) {
    error = FileError::kUnsafeLink;
    return false;
  }
  target.assign(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
  const ssize_t length = readlinkat(folder, name.c_str(), &target[0], target.size());
  if (length < 0) error = LastError();
  // Empty, or grown since it was looked at.
  if (length == 0 || static_cast<size_t>(length) >= target.size()) error = ErrorOf(EINVAL);
  if (length <= 0 || static_cast<size_t>(length) >= target.size()) return false;
  target.resize(static_cast<size_t>(length));
  return true;
}

// A walk through folders as the system's own lookup makes it: the folder reached, open, and its
// path without links.
class Walk {
 public:
  explicit Walk(bool absolute)
      : absolute_(absolute), at_(open(absolute ? "/" : ".", kFolderFlags)), error_(errno) {}
  ~Walk() {
    if (at_ >= 0) CloseFd(at_);
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // The folder reached; -1 once a step has failed.
  int At() const { return at_; }
  // Why the step that failed did.
  std::error_code Error() const { return ErrorOf(error_); }
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
    const int error = errno;  // of the open that gave `folder`
    if (at_ >= 0) CloseFd(at_);
    at_ = folder;
    if (folder < 0) error_ = error;
  }

  bool absolute_;
  int at_;
  int error_;  // the errno of the open that failed
  std::vector<std::string> walked_;
};

}  // namespace

bool SharedSticky(const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

bool Resolve(const std::string& path, int& folder, std::string& name, std::string& resolved,
             std::error_code& error) {
  folder = -1;
  name.clear();
  const auto refuse = [&error](std::error_code why) {
    error = why;
    return false;
  };
  const std::error_code folderNamed = std::make_error_code(std::errc::is_a_directory);
  if (path.empty()) return refuse(ErrorOf(ENOENT));
  if (path.back() == '/') return refuse(folderNamed);
  std::vector<std::string> ahead;
  PushParts(path, ahead);
  Walk walk(path[0] == '/');
  for (int links = 0; walk.At() >= 0 && !ahead.empty();) {
    const std::string part = ahead.back();
    ahead.pop_back();
    const bool last = ahead.empty();
    struct stat info;
    if (part == "." || part == "..") {
      if (last) return refuse(folderNamed);
      walk.Enter(part);
    } else if (fstatat(walk.At(), part.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return refuse(LastError());
      if (!last) return refuse(FileError::kFolderMissing);
      name = part;  // a file still to be made
    } else if (S_ISLNK(info.st_mode)) {
      std::string target;
      if (++links > 40) return refuse(ErrorOf(ELOOP));
      if (!ReadLinkToFollow(walk.At(), part, info, target, error)) return false;
      if (last && target.back() == '/') return refuse(folderNamed);
      PushParts(target, ahead);
      if (target[0] == '/') walk.Restart();
    } else if (last) {
      name = part;
    } else {
      walk.Enter(part);
    }
  }
  if (walk.At() < 0) return refuse(walk.Error());
  if (name.empty()) return refuse(folderNamed);
  folder = walk.Finish(name, resolved);
  return true;
}

}  // namespace newsdb

#endif  // !_WIN32
