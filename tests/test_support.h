// Helpers shared by the tests: private temporary directories, whole files, and (on POSIX) work
// done as another, unprivileged user.
#ifndef TESTS_TEST_SUPPORT_H
#define TESTS_TEST_SUPPORT_H

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <system_error>
#include <utility>

#include "Serializable.h"

#if !defined(_WIN32)
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <vector>
#endif

// A fresh directory of the test's own, removed with everything in it at the end of the scope.
// Paths are UTF-8 on every platform.
class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::filesystem::path candidate =
          std::filesystem::temp_directory_path() / ("news-test-" + std::to_string(seed()));
      if (std::filesystem::create_directory(candidate)) path_ = candidate.u8string();
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::u8path(path_), ignored);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The error of a load of a file that is not there, as the platform reports it.
#if defined(_WIN32)
inline const std::error_code kNoSuchFile(2, std::system_category());  // ERROR_FILE_NOT_FOUND
#else
inline const std::error_code kNoSuchFile =
    std::make_error_code(std::errc::no_such_file_or_directory);
#endif

// The record text of `record`.
inline std::string TextOf(const Serializable& record) {
  std::ostringstream out;
  record.Serialize(out);
  return out.str();
}

inline std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::u8path(utf8);
}

inline bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(PathOf(path), ignored));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(PathOf(path), std::ios::binary);
  std::ostringstream bytes;
  if (in) bytes << in.rdbuf();
  return bytes.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(PathOf(path), std::ios::binary) << bytes;
}

// A stream buffer that hands out `text` `piece` bytes at a time, or, with `piece` 0, one byte at
// a time without keeping any, as some buffers do. Counts the bytes it has handed out.
class PieceBuffer : public std::streambuf {
 public:
  PieceBuffer(std::string text, size_t piece) : text_(std::move(text)), piece_(piece) {}
  size_t handedOut = 0;

 protected:
  int_type underflow() override {
    if (handedOut == text_.size()) return traits_type::eof();
    if (piece_ == 0) return traits_type::to_int_type(text_[handedOut]);  // a look, not a take
    char* const next = &text_[handedOut];
    handedOut += std::min(piece_, text_.size() - handedOut);
    setg(next, next, &text_[0] + handedOut);
    return traits_type::to_int_type(*next);
  }
  int_type uflow() override {
    if (piece_ != 0) return std::streambuf::uflow();
    return handedOut == text_.size() ? traits_type::eof()
                                     : traits_type::to_int_type(text_[handedOut++]);
  }

 private:
  std::string text_;
  size_t piece_;
};

// True when built with AddressSanitizer, which takes far more address space than any limit set
// on it would leave.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

#if !defined(_WIN32)
// Unprivileged users and groups that exist only as numbers, for the permission tests.
constexpr uid_t kAlice = 61001, kBob = 61002, kMallory = 61003;
constexpr gid_t kTeam = 61010, kBobsGroup = 61011;

// Runs `prepare` and then `body` in a child process. Returns "ok" or "failed" by `body`'s result;
// "impossible" where `prepare` failed (the caller then skips), "threw" where an exception left
// them, "crashed" where the child did not end by itself (one that still runs after a minute,
// waiting for ever, is ended).
inline std::string InChild(const std::function<bool()>& prepare,
                           const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);
    try {
      _exit(!prepare() ? 2 : body() ? 0 : 1);
    } catch (...) {
      _exit(3);  // never back into the test framework, which the parent runs
    }
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return "crashed";
  const char* const results[] = {"ok", "failed", "impossible", "threw"};
  return results[std::min(WEXITSTATUS(status), 3)];
}

// Runs `body` in a child process switched to `uid` with primary group `gid` and the extra
// `groups`, with the results of InChild; "impossible" also where this process may not switch.
inline std::string AsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
                          const std::function<bool()>& body) {
  if (geteuid() != 0) return "impossible";
  return InChild(
      [&] {
        return setgroups(groups.size(), groups.data()) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
      },
      body);
}
#endif

#endif  // TESTS_TEST_SUPPORT_H
