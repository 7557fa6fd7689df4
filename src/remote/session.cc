// Session table basics: slot 0, lookups, closing, and notifications.
#include "remote/session.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/helpers.h"
#include "core/log.h"
#include "core/manager_state.h"

namespace {

// Sends every byte, waiting at most 2 seconds at a time for the socket to
// take more; four waits in a row without progress give up.
bool SendBytes(int socket, const unsigned char* data, std::size_t size) {
  int idle_waits = 0;
  while (size > 0) {
    ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      idle_waits = 0;
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (++idle_waits > 4) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd wait{socket, POLLOUT, 0};
    ::poll(&wait, 1, 2000);
  }
  return true;
}

}  // namespace

void InitSessionTable() {
  for (ClientSession& slot : g_manager.remote.sessions) slot = ClientSession{};
  ClientSession& own = g_manager.remote.sessions[0];
  own.user_name = "operator";
  own.address = "console";
  own.access = 0xFFFFFFFF;
  own.socket = 0;
}

int FindSessionBySocket(int socket) {
  if (socket == 0) return 0;
  for (int slot = 1; slot < kSessionSlots; ++slot) {
    if (g_manager.remote.sessions[slot].socket == socket) return slot;
  }
  return -1;
}

bool CloseSession(int slot) {
  if (slot < 0 || slot >= kSessionSlots) return false;
  ClientSession& session = g_manager.remote.sessions[slot];
  LogMessage(6, "Client at %s has disconnected.", session.address.c_str());
  session = ClientSession{};
  return true;
}

bool NotifyClient(std::uint32_t code, int slot, const void* data, std::size_t length) {
  if (slot == 0) return true;
  if (slot < 0 || slot >= kSessionSlots) return false;
  const ClientSession& session = g_manager.remote.sessions[slot];
  std::vector<unsigned char> wire(8 + length);
  for (int i = 0; i < 4; ++i) {
    wire[i] = static_cast<unsigned char>(code >> (8 * i));
    wire[4 + i] = static_cast<unsigned char>(static_cast<std::uint32_t>(length) >> (8 * i));
  }
  if (length != 0) std::memcpy(wire.data() + 8, data, length);
  if (!SendBytes(session.socket, wire.data(), wire.size())) {
    SetLastError(errno);
    LogMessage(6, "Couldn't notify client at %s! %s", session.address.c_str(),
               ErrorText(LastError()).c_str());
    return false;
  }
  return true;
}
