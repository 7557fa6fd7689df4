// Owners of an open descriptor and of an open FILE*, closed when dropped.
#pragma once

#include <cstdio>
#include <memory>

// Owns an open descriptor (or none, -1) and closes it when dropped.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor, if any, and holds `fd` instead.
  void Reset(int fd = -1);
  // Closes now; false with errno set when close() reports an error (a
  // write that was delayed until then may have failed).
  bool Close();

 private:
  int fd_ = -1;
};

// Owns an open FILE* and closes it when dropped.
struct FileCloser {
  void operator()(std::FILE* file) const;
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;
