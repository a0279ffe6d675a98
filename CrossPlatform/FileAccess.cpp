// What FileAccess.h says alike on every platform.
#include "FileAccess.h"

namespace newsdb {

namespace {

class FileErrors final : public std::error_category {
 public:
  const char* name() const noexcept override { return "news file"; }
  std::string message(int value) const override {
    switch (static_cast<FileError>(value)) {
      case FileError::kNotRegularFile:
        return "not a regular file";
      case FileError::kFolderMissing:
        return "the folder does not exist";
      case FileError::kUnsafeLink:
        return "a link in a shared sticky folder belongs to another user";
      case FileError::kTemporaryInTheWay:
        return "another user's file, or no plain file, holds the temporary name";
      case FileError::kOthersSaveHeld:
        return "another user's save holds the file";
      case FileError::kWaitGivenUp:
        return "gave up waiting for another program's save";
      case FileError::kEmptyFile:
        return "the file is empty";
      case FileError::kNotDatabase:
        return "not a news database";
      case FileError::kDataAfterRecord:
        return "data follows the database record";
      case FileError::kNotReadWhole:
        return "the database was not read whole from the file";
      case FileError::kChangedSinceRead:
        return "another program changed the file since it was read";
      case FileError::kSavingAlready:
        return "this thread is saving the file already";
    }
    return "unknown error";
  }
};

}  // namespace

const std::error_category& FileErrorCategory() {
  static const FileErrors category;
  return category;
}

void FileReplacement::Fail(const std::error_code& why) {
  if (!error_) error_ = why;
  ok_ = false;
}

}  // namespace newsdb
