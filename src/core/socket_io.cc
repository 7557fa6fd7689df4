// Exact-length transfers over non-blocking sockets.
#include "core/socket_io.h"

#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>

#include "core/byte_order.h"
#include "core/last_error.h"
#include "core/wake.h"

namespace {

constexpr int kWaitSeconds = 2;
constexpr int kMaxIdleWaits = 3;

// Waits for the socket to be ready; 1 ready, 0 timed out, -1 error.
int WaitReady(int socket, bool for_write) {
  if (socket < 0 || socket >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  timeval timeout{kWaitSeconds, 0};
  int ready = EndRequested() ? -1
              : for_write  ? ::select(socket + 1, nullptr, &set, nullptr, &timeout)
                           : ::select(socket + 1, &set, nullptr, nullptr, &timeout);
  if (EndRequested()) {  // the daemon is ending: no peer holds it up
    errno = EINTR;
    return -1;
  }
  if (ready < 0 && errno == EINTR) return 1;  // try the transfer again
  return ready;
}

// The loop shared by both directions.
template <typename Transfer>
bool TransferAll(int socket, std::size_t length, bool for_write, Transfer transfer) {
  std::size_t done = 0;
  int waits = 0;
  while (done < length) {
    ssize_t got = transfer(done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      waits = 0;
      continue;
    }
    if (got == 0) {
      SetLastError(ECONNRESET);
      return false;
    }
    SetLastError(errno);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    int ready = WaitReady(socket, for_write);
    if (ready == 0) {
      SetLastError(ETIMEDOUT);
      return false;
    }
    if (ready != 1) {
      SetLastError(errno);
      return false;
    }
    if (++waits > kMaxIdleWaits) {
      SetLastError(EAGAIN);
      return false;
    }
  }
  return true;
}

}  // namespace

bool SendAll(int socket, const void* buffer, std::size_t length) {
  if (length == 0) return true;
  if (buffer == nullptr) {
    SetLastError(EINVAL);
    return false;
  }
  const char* bytes = static_cast<const char*>(buffer);
  return TransferAll(socket, length, true, [&](std::size_t done) {
    return ::send(socket, bytes + done, length - done, MSG_NOSIGNAL);
  });
}

bool ReceiveAll(int socket, void* buffer, std::size_t length) {
  if (buffer == nullptr) {
    SetLastError(EINVAL);
    return false;
  }
  if (length == 0) return true;
  char* bytes = static_cast<char*>(buffer);
  return TransferAll(socket, length, false, [&](std::size_t done) {
    return ::recv(socket, bytes + done, length - done, 0);
  });
}

bool SendU32(int socket, std::uint32_t value) {
  unsigned char bytes[4];
  StoreU32(bytes, value);
  return SendAll(socket, bytes, 4);
}

bool ReceiveU32(int socket, std::uint32_t* value) {
  unsigned char bytes[4];
  if (!ReceiveAll(socket, bytes, 4)) return false;
  *value = LoadU32(bytes);
  return true;
}

