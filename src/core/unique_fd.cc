// Closing what UniqueFd and UniqueFile hold.
#include "core/unique_fd.h"

#include <unistd.h>

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool UniqueFd::Close() {
  return ::close(Release()) == 0;
}

void FileCloser::operator()(std::FILE* file) const { std::fclose(file); }
