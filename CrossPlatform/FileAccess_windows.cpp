// Database files on Windows: names cross as UTF-8 and become UTF-16 for the wide calls here.
#if defined(_WIN32)

#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <winioctl.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "FileAccess.h"

namespace newsdb {

namespace {

// FileRenameInfoEx (Windows 10 1607), by number: not every SDK's headers name it.
const FILE_INFO_BY_HANDLE_CLASS kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// The largest single read or write.
constexpr DWORD kMaxTransfer = DWORD{1} << 30;

// How long a save waits for a transient refusal (a file being closed or deleted by another
// process) before it reports failure. A save of this user's that holds the lock is waited for
// however long it takes; another user's, which might hold it for ever, as long as the save says.
constexpr int kRetries = 100;
constexpr DWORD kRetryMilliseconds = 5;

// `utf8` as UTF-16; false when it is not valid UTF-8.
bool Widen(const std::string& utf8, std::wstring& wide) {
  wide.clear();
  if (utf8.empty()) return true;
  const int length = static_cast<int>(utf8.size());
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
  if (size <= 0) return false;
  wide.resize(static_cast<size_t>(size));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, &wide[0], size) ==
         size;
}

// `wide` as UTF-8; false when it holds a lone surrogate, which UTF-8 cannot say.
bool Narrow(const std::wstring& wide, std::string& utf8) {
  utf8.clear();
  if (wide.empty()) return true;
  const int length = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, nullptr,
                                       0, nullptr, nullptr);
  if (size <= 0) return false;
  utf8.resize(static_cast<size_t>(size));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, &utf8[0], size,
                             nullptr, nullptr) == size;
}

HANDLE HandleOf(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// The system's error `value`, as GetLastError() gives it.
std::error_code ErrorOf(DWORD value) {
  return {static_cast<int>(value), std::system_category()};
}

// The error the last failed call left: to be taken right where that call returns, before another
// call changes it.
std::error_code LastError() {
  return ErrorOf(GetLastError());
}

// Why a file could not be reached: a missing folder on the way is this library's to name.
std::error_code WhyUnreached(DWORD error) {
  return error == ERROR_PATH_NOT_FOUND ? make_error_code(FileError::kFolderMissing)
                                       : ErrorOf(error);
}

// Why a file with the attributes `attributes` is never read or replaced: a folder or a device.
std::error_code NotPlain(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
             ? std::make_error_code(std::errc::is_a_directory)
             : make_error_code(FileError::kNotRegularFile);
}

// How a save waits for another: in short steps, asking the caller's `waiting`, if given, before
// each whether to go on, with the time since the save began.
struct Patience {
  const SaveWait& waiting;
  std::chrono::steady_clock::time_point began;
  // How long to wait for another user's save, which might hold its lock for ever.
  std::chrono::steady_clock::duration othersWait;

  // Waits one step; false, at once, when the caller gives the wait up.
  bool Pause() const {
    if (waiting && !waiting(std::chrono::steady_clock::now() - began)) return false;
    Sleep(kRetryMilliseconds);
    return true;
  }
};

bool IsTransient(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

FileStamp StampOfHandle(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return FileStamp();
  FileStamp stamp;
  stamp.exists = true;
  stamp.device = info.dwVolumeSerialNumber;
  stamp.file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  stamp.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  stamp.modified = static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                        info.ftLastWriteTime.dwLowDateTime);
  FILE_BASIC_INFO basic;
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    stamp.changed = basic.ChangeTime.QuadPart;
  }
  return stamp;
}

// Opens `path` for reading while letting other programs read, write, rename and delete it, so
// that a reader never stands in the way of a save.
HANDLE OpenShared(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// An existing target may be replaced only if it is a plain file that is not read-only; a missing
// one only in a folder that exists. False with `error` saying why not.
bool MayReplace(const std::wstring& target, std::error_code& error) {
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD why = GetLastError();
    if (why == ERROR_FILE_NOT_FOUND) return true;
    error = WhyUnreached(why);
    return false;
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    error = NotPlain(attributes);
  } else if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    error = ErrorOf(ERROR_ACCESS_DENIED);
  }
  return !error;
}

// True for a plain file with no other name, which a save may write.
bool IsPlain(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

// True when the token `token` names `sid` as its `kind` of SID: TokenUser or TokenOwner.
bool TokenNames(HANDLE token, TOKEN_INFORMATION_CLASS kind, PSID sid) {
  DWORD size = 0;
  GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<char> buffer(size);
  if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size)) return false;
  const PSID named = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                       : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
  return EqualSid(named, sid) != FALSE;
}

// True when the owner of the open file `file` is this process's user, or the owner the process
// gives the files it makes (an elevated administrator's belong to the Administrators group).
// The process's token is asked, not a thread's impersonation token: the files a save takes over
// are those of the process's user.
bool OwnedByThisUser(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  HANDLE token = nullptr;
  const bool owned = owner != nullptr && IsValidSid(owner) &&
                     OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                     (TokenNames(token, TokenUser, owner) || TokenNames(token, TokenOwner, owner));
  if (token != nullptr) CloseHandle(token);
  LocalFree(descriptor);
  return owned;
}

// True when the file at `temporary` belongs to another user. Opening it only to read its owner
// does not meet the sharing mode of the save that holds it; owners may always read it.
bool OwnedByAnotherUser(const std::wstring& temporary) {
  const HANDLE file = CreateFileW(temporary.c_str(), READ_CONTROL,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool others = !OwnedByThisUser(file);
  CloseHandle(file);
  return others;
}

// Removes the name of the open file `file` when it is closed, and closes it. False when the
// removal was refused.
bool RemoveAndClose(HANDLE file) {
  FILE_DISPOSITION_INFO remove{TRUE};
  const bool removed =
      SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove) != FALSE;
  CloseHandle(file);
  return removed;
}

// True when `one` and `other` name one file: the file system ignores letter case.
bool SameName(const std::wstring& one, const std::wstring& other) {
  return CompareStringOrdinal(one.c_str(), static_cast<int>(one.size()), other.c_str(),
                              static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

// The temporary files whose locks this process holds, by full path, each with the thread whose
// save holds it: a save that would wait for a lock its own thread holds would wait for ever.
class HeldLocks {
 public:
  static HeldLocks& Get() {
    static HeldLocks held;
    return held;
  }
  void Add(const std::wstring& temporary) {
    AcquireSRWLockExclusive(&lock_);
    held_.emplace_back(GetCurrentThreadId(), temporary);
    ReleaseSRWLockExclusive(&lock_);
  }
  // Forgets the lock of the temporary file at the UTF-8 `path`.
  void Remove(const std::string& path) {
    std::wstring temporary;
    if (!Widen(path, temporary)) return;
    AcquireSRWLockExclusive(&lock_);
    for (auto entry = held_.begin(); entry != held_.end(); ++entry) {
      if (SameName(entry->second, temporary)) {
        held_.erase(entry);
        break;
      }
    }
    ReleaseSRWLockExclusive(&lock_);
  }
  bool HeldHere(const std::wstring& temporary) {
    AcquireSRWLockExclusive(&lock_);
    bool here = false;
    for (const auto& entry : held_) {
      here = here || (entry.first == GetCurrentThreadId() && SameName(entry.second, temporary));
    }
    ReleaseSRWLockExclusive(&lock_);
    return here;
  }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::vector<std::pair<DWORD, std::wstring>> held_;
};

// Opens `temporary` only to remove it, for a file this user may not write; false when it may not
// be removed either, or another save holds it (sharing only reading, as the lock does).
bool RemoveUnwritable(const std::wstring& temporary) {
  const HANDLE file = CreateFileW(temporary.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return file != INVALID_HANDLE_VALUE && RemoveAndClose(file);
}

// Clears the read-only attribute of this user's own plain file at `temporary`, a leftover that
// could otherwise neither be written nor removed. False where no such file is there.
bool ClearOwnReadOnly(const std::wstring& temporary) {
  const HANDLE file =
      CreateFileW(temporary.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO basic;
  bool cleared = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
                 (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0 && IsPlain(file) &&
                 OwnedByThisUser(file);
  if (cleared) {
    const DWORD rest = basic.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
    basic = FILE_BASIC_INFO{};  // times of 0 stay as they are
    basic.FileAttributes = rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;
    cleared = SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
  }
  CloseHandle(file);
  return cleared;
}

// Opens the temporary file for writing with no one else allowed to write, rename or delete it:
// that is the save lock. A save that holds it is waited for (another user's for at most as long as
// `patience` says, then the save fails); a killed save's handle was closed by the system, so its
// file is taken over when it is this user's own, read-only or not. Anything else found at that name
// (a link to another file, or another user's file, which would give the database its owner and
// access list) is never written: its name is removed, and where this user may not remove it the
// save fails, with `error` saying why. Every wait asks `patience`.
HANDLE OpenLocked(const std::wstring& temporary, const Patience& patience, std::error_code& error) {
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(patience.othersWait);
  const ULONGLONG deadline =
      GetTickCount64() + static_cast<ULONGLONG>(wait.count() > 0 ? wait.count() : 0);
  for (int refused = 0;;) {
    const HANDLE file = CreateFileW(
        temporary.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
        FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      // A file this call made is this process's own, whoever the system made its owner.
      const bool made = GetLastError() != ERROR_ALREADY_EXISTS;
      if (IsPlain(file) && (made || OwnedByThisUser(file))) return file;
      if (!RemoveAndClose(file) || ++refused > kRetries) {
        error = FileError::kTemporaryInTheWay;
        return INVALID_HANDLE_VALUE;
      }
      continue;
    }
    const DWORD why = GetLastError();
    if (why == ERROR_SHARING_VIOLATION && HeldLocks::Get().HeldHere(temporary)) {
      error = FileError::kSavingAlready;
      return INVALID_HANDLE_VALUE;
    }
    if (why == ERROR_SHARING_VIOLATION) {  // another save holds the lock
      if (GetTickCount64() >= deadline && OwnedByAnotherUser(temporary)) {
        error = FileError::kOthersSaveHeld;
        return INVALID_HANDLE_VALUE;
      }
      if (!patience.Pause()) {
        error = FileError::kWaitGivenUp;
        return INVALID_HANDLE_VALUE;
      }
      continue;
    }
    // Refused outright: this user's read-only leftover, which is made writable; another user's
    // file this user may not write, which is removed where this user may; or, for a moment,
    // another save's abandoned file while it is being deleted. Where nothing stands at the name,
    // the folder refused it.
    if (why != ERROR_ACCESS_DENIED || ++refused > kRetries) {
      const bool inTheWay = why == ERROR_ACCESS_DENIED &&
                            GetFileAttributesW(temporary.c_str()) != INVALID_FILE_ATTRIBUTES;
      error = inTheWay ? make_error_code(FileError::kTemporaryInTheWay) : WhyUnreached(why);
      return INVALID_HANDLE_VALUE;
    }
    if (!ClearOwnReadOnly(temporary) && !RemoveUnwritable(temporary)) Sleep(kRetryMilliseconds);
  }
}

// Renames the open file `file` over `target` (a full path) through its handle, so the lock is
// held until the new file is in place. POSIX semantics, where the system has them, let the
// rename replace a file that readers hold open.
bool RenameOver(HANDLE file, const std::wstring& target) {
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  FILE_RENAME_INFO* const info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, target.data(), info->FileNameLength);
  const DWORD size = static_cast<DWORD>(buffer.size());
  for (int attempt = 0;; ++attempt) {
    info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    if (SetFileInformationByHandle(file, kFileRenameInfoEx, info, size)) return true;
    info->Flags = 0;
    info->ReplaceIfExists = TRUE;
    if (SetFileInformationByHandle(file, FileRenameInfo, info, size)) return true;
    // A save that has just renamed its own file into place may not have closed it yet.
    if (!IsTransient(GetLastError()) || attempt >= kRetries) return false;
    Sleep(kRetryMilliseconds);
  }
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
  while (size > 0) {
    const DWORD chunk = size < kMaxTransfer ? static_cast<DWORD>(size) : kMaxTransfer;
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr)) return false;
    if (written == 0) {  // nothing taken, and no error said
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

// Gives the new file `file` the access control list of the open file `existing`, and its owner and
// group where this user may set them (another owner takes a privilege; this user, whom the file
// then keeps as owner, may write it anyway). False, with `error`, where the list cannot be given.
bool TakeOverSecurity(HANDLE existing, HANDLE file, std::error_code& error) {
  PSID owner = nullptr, group = nullptr;
  PACL access = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD why = GetSecurityInfo(
      existing, SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
      &group, &access, nullptr, &descriptor);
  if (why == ERROR_SUCCESS) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    // Inherited entries come anew from the same folder, unless the file is kept from inheriting.
    const SECURITY_INFORMATION which =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    why = SetSecurityInfo(file, SE_FILE_OBJECT, which, nullptr, nullptr, access, nullptr);
    const HANDLE owning =
        ReOpenFile(file, WRITE_OWNER, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (owning != INVALID_HANDLE_VALUE) {
      SetSecurityInfo(owning, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, owner, group,
                      nullptr, nullptr);
      CloseHandle(owning);
    }
    LocalFree(descriptor);
  }
  if (why != ERROR_SUCCESS) error = ErrorOf(why);
  return why == ERROR_SUCCESS;
}

// Copies the stream at `from` to the new stream `to`.
bool CopyStream(const std::wstring& from, const std::wstring& to, std::error_code& error) {
  const HANDLE source = OpenShared(from, GENERIC_READ);
  if (source == INVALID_HANDLE_VALUE) {
    error = LastError();
    return false;
  }
  const HANDLE copy = CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = copy != INVALID_HANDLE_VALUE;
  std::vector<char> buffer(1 << 16);
  DWORD got = 0;
  while (ok &&
         (ok = ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) !=
               FALSE) &&
         got > 0) {
    ok = WriteAll(copy, buffer.data(), got);
  }
  if (!ok) error = LastError();
  if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
  CloseHandle(source);
  return ok;
}

// Copies the alternate data streams of the file at `target` to the new file at `temporary`.
// False, with `error`, where one cannot be copied.
bool TakeOverStreams(const std::wstring& target, const std::wstring& temporary,
                     std::error_code& error) {
  WIN32_FIND_STREAM_DATA stream;
  const HANDLE search = FindFirstStreamW(target.c_str(), FindStreamInfoStandard, &stream, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD why = GetLastError();
    // No stream but the text, or a file system or system without streams.
    if (why == ERROR_HANDLE_EOF || why == ERROR_INVALID_PARAMETER ||
        why == ERROR_CALL_NOT_IMPLEMENTED) {
      return true;
    }
    error = ErrorOf(why);
    return false;
  }
  bool ok = true;
  do {
    if (std::wcscmp(stream.cStreamName, L"::$DATA") != 0) {
      ok = CopyStream(target + stream.cStreamName, temporary + stream.cStreamName, error);
    }
  } while (ok && FindNextStreamW(search, &stream));
  if (ok && GetLastError() != ERROR_HANDLE_EOF) {
    error = LastError();
    ok = false;
  }
  FindClose(search);
  return ok;
}

// Gives the new file `file` at `temporary` what the file at `target` has besides its text, before
// any text is in it: its hidden, system, archive and not-indexed attributes (a leftover's own go),
// its access control list, owner and group (see TakeOverSecurity), its alternate data streams and
// its compression. False, with `error`, where the file cannot be read or its access list or
// streams cannot be given, or it is encrypted and the new file is not: a save never lets more
// people read the text than could before.
bool TakeOverLooks(const std::wstring& target, const std::wstring& temporary, HANDLE file,
                   std::error_code& error) {
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO old{}, made{};
  const HANDLE existing =
      CreateFileW(target.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  bool ok = true;
  if (existing == INVALID_HANDLE_VALUE) {
    const DWORD why = GetLastError();
    ok = why == ERROR_FILE_NOT_FOUND;
    if (!ok) error = ErrorOf(why);
  } else if (!GetFileInformationByHandleEx(existing, FileBasicInfo, &old, sizeof old) ||
             !GetFileInformationByHandleEx(file, FileBasicInfo, &made, sizeof made)) {
    error = LastError();
    ok = false;
  } else if ((old.FileAttributes & ~made.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0) {
    error = ErrorOf(ERROR_ENCRYPTION_FAILED);
    ok = false;
  } else {
    ok = TakeOverSecurity(existing, file, error) && TakeOverStreams(target, temporary, error);
    if (ok && (old.FileAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0) {
      USHORT format = COMPRESSION_FORMAT_DEFAULT;
      DWORD returned = 0;  // only space is at stake: a failure is no reason to fail the save
      DeviceIoControl(file, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned,
                      nullptr);
    }
  }
  if (existing != INVALID_HANDLE_VALUE) CloseHandle(existing);
  FILE_BASIC_INFO basic{};  // times of 0 stay as they are
  basic.FileAttributes =
      (old.FileAttributes & kept) != 0 ? old.FileAttributes & kept : FILE_ATTRIBUTE_NORMAL;
  if (ok && !SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) {
    error = LastError();
    ok = false;
  }
  return ok;
}

// The length of the UTF-8 `text` in UTF-16 units, as Windows limits names.
size_t Utf16Units(const std::string& text) {
  size_t units = 0;
  for (const char byte : text) {
    const unsigned char value = static_cast<unsigned char>(byte);
    units += (value & 0xC0) != 0x80;  // each character's first byte
    units += value >= 0xF0;           // beyond the first plane: a surrogate pair
  }
  return units;
}

// Puts the full path `full` in the \\?\ form, to which no length limit applies, unless it is in
// that form or names a device already.
void LongForm(std::wstring& full) {
  if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return;
  if (full.compare(0, 2, L"\\\\") == 0) {
    full = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  } else {
    full.insert(0, L"\\\\?\\");
  }
}

// `path` as a full path in the \\?\ form, with what Windows drops from names as it opens them
// (dots and spaces at the end) dropped; false with `error` where the system cannot make one.
bool FullPath(const std::wstring& path, std::wstring& full, std::error_code& error) {
  full.assign(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (size == 0) {
      error = LastError();
      return false;
    }
    if (size < full.size()) {
      full.resize(size);
      LongForm(full);
      return true;
    }
    full.resize(size);
  }
}

// True when the full path `full`, in the \\?\ form, names an alternate data stream of a file: a
// colon anywhere after its drive's.
bool NamesStream(const std::wstring& full) {
  size_t start = 4;
  if (full.compare(start, 4, L"UNC\\") == 0) {
    start += 4;
  } else if (full.size() > start + 1 && full[start + 1] == L':') {
    start += 2;
  }
  return full.find(L':', start) != std::wstring::npos;
}

// Where a file is, as every spelling of its name reaches it: Windows opens one file by its name
// in any letter case, with dots or spaces after it, by its short name, and through any spelling of
// its folder, so its save's temporary file (the lock) is named after this instead.
struct Place {
  std::wstring folder;  // full, \\?\ form, with a separator at the end; final where it exists
  std::wstring name;    // as the folder has it where the file exists; otherwise as given
  size_t limit = 255;   // the longest name the folder's volume allows, in UTF-16 units

  std::wstring Target() const { return folder + name; }
};

// The final path of the open folder `folder`, ending in a separator; empty if the system has none.
std::wstring FinalPath(HANDLE folder) {
  std::wstring final(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size =
        GetFinalPathNameByHandleW(folder, &final[0], static_cast<DWORD>(final.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (size == 0) return std::wstring();
    const bool fits = size < final.size();
    final.resize(size);
    if (fits) break;
  }
  LongForm(final);
  if (final.back() != L'\\') final += L'\\';
  return final;
}

// Finds the file at the UTF-8 `path`. False with `error` where the path is no valid UTF-8 or
// names an alternate data stream, which is never read or replaced. A folder that cannot be opened
// is left as given, for the call that then fails to say why.
bool Locate(const std::string& path, Place& place, std::error_code& error) {
  std::wstring wide, full;
  if (!Widen(path, wide)) {
    error = ErrorOf(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  if (!FullPath(wide, full, error)) return false;
  if (NamesStream(full)) {
    error = std::make_error_code(std::errc::invalid_argument);
    return false;
  }
  const size_t separator = full.find_last_of(L'\\');
  place.folder = full.substr(0, separator + 1);
  place.name = full.substr(separator + 1);
  const HANDLE folder = CreateFileW(place.folder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return true;
  DWORD limit = 0;
  if (GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, &limit, nullptr, nullptr, 0) &&
      limit > 0) {
    place.limit = limit;
  }
  const std::wstring final = FinalPath(folder);
  CloseHandle(folder);
  if (!final.empty()) place.folder = final;
  // A name with wildcards names no file, and would find others.
  if (place.name.empty() || place.name.find_first_of(L"*?<>\"") != std::wstring::npos) return true;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW(place.Target().c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search != INVALID_HANDLE_VALUE) {
    place.name = found.cFileName;
    FindClose(search);
  }
  return true;
}

// The UTF-8 name of the temporary file of a save of the file at `place`; false where the file's
// name cannot be said in UTF-8.
bool TemporaryNameOf(const Place& place, std::string& temporary) {
  std::string name;
  if (!Narrow(place.name, name)) return false;
  temporary = TemporaryNameFor(name, place.limit, Utf16Units);
  return true;
}

}  // namespace

// The folder as given, so that the path is as the caller spells it; the name as any spelling of it
// finds the file.
std::string TemporaryPathFor(const std::string& target) {
  const size_t separator = target.find_last_of("/\\:");
  const size_t name = separator == std::string::npos ? 0 : separator + 1;
  Place place;
  std::error_code ignored;
  std::string temporary;
  if (!Locate(target, place, ignored) || !TemporaryNameOf(place, temporary)) {
    temporary = TemporaryNameFor(target.substr(name), place.limit, Utf16Units);
  }
  return target.substr(0, name) + temporary;
}

FileStamp StampOf(const std::string& path) {
  Place place;
  std::error_code ignored;
  if (!Locate(path, place, ignored)) return FileStamp();
  const HANDLE file = OpenShared(place.Target(), FILE_READ_ATTRIBUTES);
  if (file == INVALID_HANDLE_VALUE) return FileStamp();
  const FileStamp stamp = StampOfHandle(file);
  CloseHandle(file);
  return stamp;
}

OpenResult FileReader::Open(const std::string& path) {
  Close();
  error_.clear();
  Place place;
  if (!Locate(path, place, error_)) return OpenResult::kFailed;
  const std::wstring wide = place.Target();
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  HANDLE file = INVALID_HANDLE_VALUE;
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    error_ = NotPlain(attributes);
    return OpenResult::kFailed;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES) file = OpenShared(wide, GENERIC_READ);
  if (file == INVALID_HANDLE_VALUE) {
    // A missing folder on the way is not a file a save could create.
    const DWORD why = GetLastError();
    error_ = WhyUnreached(why);
    return why == ERROR_FILE_NOT_FOUND ? OpenResult::kMissing : OpenResult::kFailed;
  }
  return Take(reinterpret_cast<intptr_t>(file));
}

// Here a save keeps no folder open: the file is opened by its name, which the lock keeps for it.
OpenResult FileReader::Open(const FileReplacement& save) {
  if (save.handle_ < 0) {
    Close();
    error_ = std::make_error_code(std::errc::invalid_argument);  // no save under way
    return OpenResult::kFailed;
  }
  return Open(save.target_);
}

OpenResult FileReader::Take(intptr_t handle) {
  const HANDLE file = HandleOf(handle);
  if (GetFileType(file) != FILE_TYPE_DISK) {  // a pipe, console or other device
    error_ = FileError::kNotRegularFile;
    CloseHandle(file);
    return OpenResult::kFailed;
  }
  handle_ = handle;
  stamp_ = StampOfHandle(file);
  readFailed_ = false;
  unread_ = stamp_.size;
  read_ = 0;
  setg(buffer_, buffer_, buffer_);
  return OpenResult::kOpened;
}

int64_t FileReader::ReadSome(char* data, size_t size) {
  DWORD got = 0;
  const DWORD chunk = size < kMaxTransfer ? static_cast<DWORD>(size) : kMaxTransfer;
  if (!ReadFile(HandleOf(handle_), data, chunk, &got, nullptr)) {
    error_ = LastError();
    return -1;
  }
  return got;
}

void FileReader::Close() {
  if (handle_ >= 0) CloseHandle(HandleOf(handle_));
  handle_ = -1;
  setg(nullptr, nullptr, nullptr);
}

// Here a save keeps nothing beyond what every platform does, and makes no Impl.
struct FileReplacement::Impl {};

FileReplacement::FileReplacement() = default;

FileReplacement::~FileReplacement() {
  Abandon();
}

bool FileReplacement::Begin(const std::string& path, const SaveWait& waiting) {
  Abandon();
  error_.clear();
  ok_ = false;
  target_ = path;
  temporary_.clear();
  const Patience patience{waiting, std::chrono::steady_clock::now(), othersWait_};
  std::error_code error;
  Place place;
  std::string name;
  std::wstring temporary;
  if (!Locate(path, place, error) || !MayReplace(place.Target(), error)) {
    // refused before anything was made
  } else if (!TemporaryNameOf(place, name) || !Widen(name, temporary) ||
             !Narrow(place.Target(), target_) || !Narrow(place.folder + temporary, temporary_)) {
    error = ErrorOf(ERROR_NO_UNICODE_TRANSLATION);
  } else {
    temporary.insert(0, place.folder);
    const HANDLE file = OpenLocked(temporary, patience, error);
    if (file != INVALID_HANDLE_VALUE) handle_ = reinterpret_cast<intptr_t>(file);
    if (file != INVALID_HANDLE_VALUE) HeldLocks::Get().Add(temporary);
  }
  if (handle_ < 0) {
    Fail(error);
    return false;
  }
  ok_ = true;
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(HandleOf(handle_), start, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(HandleOf(handle_))) {
    Fail(LastError());
  } else if (!TakeOverLooks(place.Target(), temporary, HandleOf(handle_), error)) {
    Fail(error);
  }
  if (!ok_) Abandon();
  return ok_;
}

FileStamp FileReplacement::TargetStamp() const {
  return StampOf(target_);
}

bool FileReplacement::Write(const char* data, size_t size) {
  return WriteNow(data, size);
}

// Here every piece is written on the calling thread: no save starts a thread of its own.
bool FileReplacement::Hand(std::string& piece) {
  const bool ok = WriteNow(piece.data(), piece.size());
  piece.clear();
  return ok;
}

bool FileReplacement::WriteNow(const char* data, size_t size) {
  if (!ok_ || handle_ < 0) {
    Fail(std::make_error_code(std::errc::bad_file_descriptor));  // no save under way
  } else if (!WriteAll(HandleOf(handle_), data, size)) {
    Fail(LastError());
  }
  return ok_;
}

bool FileReplacement::Commit() {
  if (!ok_ || handle_ < 0) Fail(std::make_error_code(std::errc::bad_file_descriptor));
  if (handle_ < 0) return false;
  const HANDLE file = HandleOf(handle_);
  std::wstring target;
  if (ok_ && !Widen(target_, target)) Fail(ErrorOf(ERROR_NO_UNICODE_TRANSLATION));
  if (ok_ && (!FlushFileBuffers(file) || !RenameOver(file, target))) Fail(LastError());
  if (!ok_) {
    Abandon();
    return false;
  }
  // The rename goes to the disk too, as with MOVEFILE_WRITE_THROUGH, which flushes the moved
  // file so. It has happened either way; this only hastens its durability.
  FlushFileBuffers(file);
  stamp_ = StampOfHandle(file);
  CloseHandle(file);  // releases the lock, now that the new file is in place
  handle_ = -1;
  HeldLocks::Get().Remove(temporary_);
  return true;
}

void FileReplacement::Abandon() {
  if (handle_ < 0) return;
  RemoveAndClose(HandleOf(handle_));
  handle_ = -1;
  ok_ = false;
  HeldLocks::Get().Remove(temporary_);
}

}  // namespace newsdb

#endif  // _WIN32
