// The walk a save makes to a file's folder on POSIX systems: part by part, as the system's own
// lookup would, following symbolic links only where the system itself would let this user.
// Internal to the library, with the helpers its POSIX files share; not installed.
#ifndef CROSSPLATFORM_PATHWALK_POSIX_H
#define CROSSPLATFORM_PATHWALK_POSIX_H
#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace newsdb {

// The system's error `value`, as the C library numbers it.
inline std::error_code ErrorOf(int value) {
  return {value, std::generic_category()};
}

// The error the last failed call left in errno: to be taken right where that call returns,
// before another call changes errno.
inline std::error_code LastError() {
  return ErrorOf(errno);
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

// Closes `fd` where no cancellation can act: a thread cancelled in close() may leave the file
// open, a lock with it, and one cancelled in a destructor ends the program.
void CloseFd(int fd);

// A folder where everyone may create files but only their owners remove them, such as /tmp.
bool SharedSticky(const struct stat& folder);

// Walks `path` part by part as the system would, following each symbolic link, whether to a
// folder or to the file itself, but only where MayFollow allows. The folder of the file it names
// stays open in `folder`, where every later step is taken, so no link is followed unchecked.
// `name` is the file's name there (it need not exist) and `resolved` its path without links.
// False, with `folder` -1 and `error` saying why, on a missing folder, a loop, a link that may not
// be followed, or a path that names a folder.
bool Resolve(const std::string& path, int& folder, std::string& name, std::string& resolved,
             std::error_code& error);

}  // namespace newsdb

#endif  // !_WIN32
#endif  // CROSSPLATFORM_PATHWALK_POSIX_H
