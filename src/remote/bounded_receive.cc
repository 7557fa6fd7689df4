// Deadline-bounded receiving over non-blocking client sockets.
#include "remote/bounded_receive.h"

#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>

#include "core/helpers.h"
#include "core/wake.h"

namespace {

// Waits for readability until the deadline: 1 ready, 0 timed out, -1 error.
int WaitReadable(int socket, Deadline deadline) {
  if (socket < 0 || socket >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  timeval timeout{static_cast<time_t>(left.count() / 1000000),
                  static_cast<suseconds_t>(left.count() % 1000000)};
  int ready = EndRequested() ? -1 : ::select(socket + 1, &set, nullptr, nullptr, &timeout);
  if (EndRequested()) {  // the daemon is ending: no peer holds it up
    errno = EINTR;
    return -1;
  }
  if (ready < 0 && errno == EINTR) return 1;
  return ready;
}

}  // namespace

Deadline DeadlineIn(int seconds) {
  return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

bool ReceiveBefore(int socket, void* buffer, std::size_t length, Deadline deadline) {
  char* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    ssize_t got = ::recv(socket, bytes + done, length - done, MSG_DONTWAIT);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) {
      SetLastError(ECONNRESET);
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return FailWithErrno();
    int ready = WaitReadable(socket, deadline);
    if (ready == 0) {
      SetLastError(ETIMEDOUT);
      return false;
    }
    if (ready < 0) return FailWithErrno();
  }
  return true;
}

bool ReceiveU32Before(int socket, std::uint32_t* value, Deadline deadline) {
  unsigned char bytes[4];
  if (!ReceiveBefore(socket, bytes, 4, deadline)) return false;
  *value = LoadU32(bytes);
  return true;
}
